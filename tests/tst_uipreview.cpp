// The panes beside the gallery. The device preview, against a scripted
// server: the pane width and screen geometry rules, the connection pills,
// the hover tilt from the pointer to the projection, drops of thumbnails and
// image files, the placeholder and the badge, and the pane sliding in and
// out. The activity pane: folding of long details, the empty state, Clear,
// records that stay unfolded while the list refreshes, red errors, copying
// rows, and the room it takes.

#include "support/screentests.h"

#include "ui/activity/activitylogpane.h"
#include "ui/kit/statepanels.h"
#include "ui/settings/connectionpill.h"
#include "ui/preview/devicepreview.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/gallerytoolbar.h"
#include "ui/preview/appearanceswitch.h"
#include "ui/preview/previewgallerysplit.h"

#include <QClipboard>
#include <QFile>
#include <QJsonObject>
#include <QMimeData>
#include <QScreen>
#include <QSplitter>
#include <QToolButton>
#include <QTest>
#include <QWindow>

namespace {

const QByteArray landscapeFrameStatus
    = R"({"devices":[{"id":"f1","displayName":"Hall","reachable":true,"width":1600,"height":1200}]})";

using ScreenTests::galleryOf;

ActivityLogStore &logStore() { return ActivityLogStore::shared(); }

QByteArray jpeg(QSize size)
{
    return GalleryFixture::imageBytes(QColor(0x33, 0x88, 0xcc), "JPEG", size);
}

bool hasReddishPixel(const QImage &image, const QRect &area)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (const QColor c = image.pixelColor(x, y); c.red() > 150 && c.green() < 110 && c.blue() < 110)
                return true;
    return false;
}

} // namespace

class TestUiPreview : public QObject, private GalleryFixture
{
    Q_OBJECT

    PreviewGallerySplit *split = nullptr;
    std::unique_ptr<ActivityLogPane> pane; // the activity pane on its own

    DeviceCurrentPreview *preview() const { return split->preview(); }
    QRect rowRect(int row) const { return pane->listView()->visualRect(pane->model()->index(row)); }

    // An unlocked store holding `local` (full-size files cached), and the
    // gallery with its preview pane shown at `size`.
    void open(const GalleryState &local, QSize size = {1400, 1000})
    {
        AppConfig::saveLocalState(local);
        for (const QString &id : local.order) {
            QFile file(AppConfig::cacheURL(id));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(jpeg({300, 400}));
        }
        serveGallery(local);
        server.on("PUT", "/api/gallery/current", Response::json(200, galleryJson(local)));
        server.on("POST", "/api/gallery/photos", Response::json(200, galleryJson(local)));
        QVERIFY(unlock());
        createScreen();
        split = new PreviewGallerySplit(*screen, *store, *chrome);
        QVERIFY(showScreen(size));
        settle();
        server.clearRequests();
    }

    // The activity pane shown by itself over an empty log.
    void showActivityPane()
    {
        logStore().clear();
        chrome->setShowActivityInspector(true);
        pane = std::make_unique<ActivityLogPane>(logStore(), *chrome);
        pane->resize(340, 600);
        pane->show();
        QVERIFY(QTest::qWaitForWindowExposed(pane.get()));
    }

private Q_SLOTS:
    void initTestCase() { startServer(); }
    void init() { reset(); }
    void cleanup()
    {
        pane.reset();
        tearDown();
    }

    void paneWidthRule_data()
    {
        QTest::addColumn<double>("contentHeight");
        QTest::addColumn<double>("aspect");
        QTest::addColumn<double>("totalWidth");
        QTest::addColumn<double>("width");
        QTest::newRow("portrait frame") << 1000.0 << 0.75 << 1400.0 << 720.5;
        QTest::newRow("capped at 72 % of 600") << 1000.0 << 0.75 << 600.0 << 432.0;
        QTest::newRow("short window keeps 80 points of screen") << 150.0 << 0.75 << 1400.0 << 184.0;
        QTest::newRow("landscape frame") << 1000.0 << 1 / 0.75 << 3000.0 << 1200.0;
        QTest::newRow("no width yet") << 1000.0 << 0.75 << 0.0 << 0.72;
    }
    void paneWidthRule()
    {
        QFETCH(double, contentHeight);
        QFETCH(double, aspect);
        QFETCH(double, totalWidth);
        QFETCH(double, width);
        QCOMPARE(PreviewPaneLayout::leftPaneWidth(contentHeight, aspect, totalWidth), width);
    }

    void screenGeometry_data()
    {
        QTest::addColumn<double>("deviceAspect");
        QTest::addColumn<bool>("landscape");
        QTest::addColumn<QSizeF>("area");
        QTest::addColumn<double>("aspect");
        QTest::addColumn<double>("screenWidth");
        QTest::newRow("no geometry known") << 0.0 << false << QSizeF(300, 900) << 0.75 << 196.0;
        QTest::newRow("landscape frame drawn 4:3 wide") << 0.75 << true << QSizeF(1000, 400) << 1 / 0.75 << 296 / 0.75;
        QTest::newRow("a narrow pane keeps 80 points") << 0.75 << false << QSizeF(60, 900) << 0.75 << 80.0;
        QTest::newRow("no height: the width binds") << 0.75 << false << QSizeF(500, 0) << 0.75 << 396.0;
        QTest::newRow("portrait never wider than square") << 1.25 << false << QSizeF(300, 300) << 1.0 << 196.0;
    }
    void screenGeometry()
    {
        QFETCH(double, deviceAspect);
        QFETCH(bool, landscape);
        QFETCH(QSizeF, area);
        QFETCH(double, aspect);
        QFETCH(double, screenWidth);
        QCOMPARE(DeviceCurrentPreview::screenAspectRatio(deviceAspect, landscape), aspect);
        QCOMPARE(DeviceCurrentPreview::screenWidth(area, aspect), screenWidth);
    }

    void pills_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QColor>("fill");
        QTest::newRow("up") << int(LinkStatus::up) << "Connected" << "checkmark.circle.fill"
                            << QColor::fromRgbF(0.86f, 0.96f, 0.88f);
        QTest::newRow("down") << int(LinkStatus::down) << "Disconnected" << "xmark.circle.fill"
                              << QColor::fromRgbF(1.0f, 0.9f, 0.9f);
        QTest::newRow("checking") << int(LinkStatus::checking) << "Connecting" << "ellipsis.circle.fill"
                                  << QColor::fromRgbF(1.0f, 0.94f, 0.86f);
        QTest::newRow("not applicable") << int(LinkStatus::notApplicable) << "N/A" << "minus.circle"
                                        << QColor::fromRgbF(0.94f, 0.94f, 0.95f);
    }
    void pills()
    {
        QFETCH(int, status);
        QFETCH(QString, text);
        QFETCH(QString, symbol);
        QFETCH(QColor, fill);
        ConnectionPill pill(QStringLiteral("Server"));
        pill.setSubtitle(QStringLiteral("http://127.0.0.1:3000"));
        pill.setStatus(LinkStatus(status));
        pill.show();
        QCOMPARE(pill.statusText(), text);
        QCOMPARE(pill.shownSymbolName(), symbol);
        // A spinner turns in place of the symbol only while checking.
        QCOMPARE(pill.isSpinnerShown(), LinkStatus(status) == LinkStatus::checking);
        QCOMPARE(ConnectionPill::solidFill(LinkStatus(status), false), fill);
        QVERIFY(ConnectionPill::solidFill(LinkStatus(status), true).lightness() < fill.lightness() / 2);
        // The pill is drawn in its fill.
        const QImage shot = pill.grab().toImage();
        QCOMPARE(shot.pixelColor(shot.width() / 2, 2).rgb(), fill.rgb());
    }

    // The pointer over the pane sets the chrome's tilt; the preview springs
    // to it and projects the device so that the side under the pointer moves away.
    void hoverTilt_data()
    {
        QTest::addColumn<QPointF>("fraction");
        QTest::addColumn<double>("yaw");
        QTest::addColumn<double>("pitch");
        QTest::newRow("centre") << QPointF(0.5, 0.5) << 0.0 << 0.0;
        QTest::newRow("top left") << QPointF(0, 0) << -3.0 << 2.5;
        QTest::newRow("bottom right") << QPointF(1, 1) << 3.0 << -2.5;
    }
    void hoverTilt()
    {
        QFETCH(QPointF, fraction);
        QFETCH(double, yaw);
        QFETCH(double, pitch);
        open(galleryOf({"a"}, QStringLiteral("a")));
        const QPointF pointer(preview()->width() * fraction.x(), preview()->height() * fraction.y());
        QMouseEvent move(QEvent::MouseMove, pointer, preview()->mapToGlobal(pointer), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(preview(), &move);
        QCOMPARE(chrome->devicePreviewHoverTilt(), (DevicePreviewHoverTiltAngles{yaw, pitch}));
        QTRY_COMPARE(preview()->shownTilt(), (DevicePreviewHoverTiltAngles{yaw, pitch}));

        // The lengths of the projected frame's edges.
        const QPolygonF frame = preview()->deviceTransform().map(QPolygonF(preview()->frameRect()));
        const double top = QLineF(frame[0], frame[1]).length(), right = QLineF(frame[1], frame[2]).length();
        const double bottom = QLineF(frame[2], frame[3]).length(), left = QLineF(frame[3], frame[0]).length();
        QCOMPARE(left > right + 0.5, yaw > 0);
        QCOMPARE(right > left + 0.5, yaw < 0);
        QCOMPARE(bottom > top + 0.5, pitch > 0);
        QCOMPARE(top > bottom + 0.5, pitch < 0);

        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(preview(), &leave);
        QCOMPARE(chrome->devicePreviewHoverTilt(), DevicePreviewHoverTiltAngles{});
        QTRY_COMPARE(preview()->shownTilt(), DevicePreviewHoverTiltAngles{});
    }

    // A thumbnail makes its photo the one for today (the store refuses the
    // current one); image files are uploaded; other text is left alone.
    void drops_data()
    {
        QTest::addColumn<QString>("kind"); // "thumbnail", "text", "file"
        QTest::addColumn<QString>("payload");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QByteArray>("request"); // "PUT" current, "POST" upload, "" none
        QTest::newRow("another thumbnail") << "thumbnail" << "b" << true << QByteArray("PUT");
        QTest::newRow("the current thumbnail") << "thumbnail" << "a" << true << QByteArray();
        QTest::newRow("text naming a photo") << "text" << "c" << true << QByteArray("PUT");
        QTest::newRow("unrelated text") << "text" << "hello" << false << QByteArray();
        QTest::newRow("an image file") << "file" << "drop.jpg" << true << QByteArray("POST");
    }
    void drops()
    {
        QFETCH(QString, kind);
        QFETCH(QString, payload);
        QFETCH(bool, accepted);
        QFETCH(QByteArray, request);
        open(galleryOf({"a", "b", "c"}, QStringLiteral("a")));
        std::unique_ptr<QMimeData> mime;
        Qt::DropActions actions = Qt::CopyAction;
        if (kind == QLatin1String("thumbnail")) {
            mime.reset(PhotoDragPasteboard::mimeData(payload));
            actions = Qt::MoveAction; // as the grid drags
        } else if (kind == QLatin1String("text")) {
            mime = std::make_unique<QMimeData>();
            mime->setText(payload);
        } else {
            QFile file(TestEnvironment::home() + QStringLiteral("/") + payload);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(jpeg({40, 30})) > 0);
            mime = std::make_unique<QMimeData>();
            mime->setUrls({QUrl::fromLocalFile(file.fileName())});
        }
        const QPoint centre = preview()->rect().center();
        QDragEnterEvent enter(centre, actions, mime.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(preview(), &enter);
        QCOMPARE(enter.isAccepted(), accepted);
        QCOMPARE(preview()->isDropTargeted(), accepted);
        if (accepted) {
            QDropEvent dropped(QPointF(centre), actions, mime.get(), Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(preview(), &dropped);
            QVERIFY(dropped.isAccepted());
            QVERIFY(!preview()->isDropTargeted());
        }
        settle();
        const auto puts = server.requests("PUT", "/api/gallery/current");
        QCOMPARE(puts.size(), request == "PUT" ? 1 : 0);
        if (!puts.isEmpty())
            QCOMPARE(QJsonDocument::fromJson(puts.first().body).object().value("photoId").toString(), payload);
        QCOMPARE(server.requests("POST", "/api/gallery/photos").size(), request == "POST" ? 1 : 0);
    }

    // Without a current photo the screen shows how to choose one and no
    // badge; with one, the photo and, under the pointer, the store's caption.
    void placeholderAndBadge()
    {
        open(galleryOf({}));
        QVERIFY(preview()->showsPlaceholder());
        QCOMPARE(DeviceCurrentPreview::placeholderTitle(), QStringLiteral("No current photo"));
        QCOMPARE(DeviceCurrentPreview::placeholderDescription(),
                 QStringLiteral("Select a photo and choose Show for today, or drag a thumbnail or image file here."));
        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
        QApplication::sendEvent(preview(), &enter);
        QVERIFY(preview()->isPreviewHovered());
        QVERIFY(!preview()->hoverBadgeText());
        cleanup();
        init();

        open(galleryOf({"a", "b"}, QStringLiteral("b")));
        QCOMPARE(preview()->shownPhotoID(), std::optional<QString>(QStringLiteral("b")));
        QTRY_VERIFY(preview()->imageModel().hasImage());
        QCOMPARE(preview()->imageModel().loadedMaxPixelSize(), std::optional<int>(1200));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(preview(), &leave);
        QVERIFY(!preview()->hoverBadgeText());
        QApplication::sendEvent(preview(), &enter);
        const PhotoEntry photo = *store->state().currentPhoto();
        QCOMPARE(preview()->hoverBadgeText(), std::optional<QString>(store->devicePreviewCaption(photo)));
        QVERIFY(preview()->hoverBadgeText()->startsWith(QStringLiteral("Added by Ana / until ")));
        QApplication::sendEvent(preview(), &leave);
        QVERIFY(!preview()->hoverBadgeText());
        // The photo is letterboxed in black: the 3:4 photo on the frame's
        // 3:4 screen fills it, the screen's centre is the photo's colour.
        const QColor centre = preview()->grab().toImage().pixelColor(preview()->screenRect().center().toPoint());
        QVERIFY2(centre.blue() > centre.red() + 60, qPrintable(centre.name()));
    }

    // The switch shows the photo or its e-paper rendering, keeping the photo
    // on screen while the rendering is computed; the choice is saved, and a
    // frame that reports another shape is rendered for that shape.
    void epaperSwitch()
    {
        open(galleryOf({"a", "b"}, QStringLiteral("b")));
        QTRY_VERIFY(preview()->imageModel().hasImage());
        PreviewAppearanceSwitch *toggle = preview()->appearanceSwitch();
        QVERIFY(toggle->isVisible());
        QCOMPARE(toggle->photoButton()->accessibleName(), QStringLiteral("Photo"));
        QCOMPARE(toggle->epaperButton()->accessibleName(), QStringLiteral("E-paper"));
        QVERIFY(!toggle->epaperButton()->toolTip().isEmpty());
        QVERIFY(toggle->photoButton()->isChecked());
        QVERIFY(!preview()->showsEpaperRendering());

        QTest::mouseClick(toggle->epaperButton(), Qt::LeftButton);
        QCOMPARE(store->settings().previewAppearance, PreviewAppearance::epaper);
        QCOMPARE(AppConfig::loadSettings().previewAppearance, PreviewAppearance::epaper);
        // Until the rendering is there, the photo stays.
        QVERIFY(preview()->epaperModel().isRendering());
        QVERIFY(!preview()->showsEpaperRendering());
        QVERIFY(!preview()->showsPlaceholder() && preview()->imageModel().hasImage());
        QTRY_VERIFY(preview()->showsEpaperRendering());
        QCOMPARE(preview()->epaperModel().rendering().size(), QSize(1200, 1600));

        server.on("GET", "/api/devices/status", Response::json(200, landscapeFrameStatus));
        TaskWait::run(store->updateDeviceStatus());
        QCOMPARE(store->deviceScreenSize(), QSize(1600, 1200));
        QTRY_COMPARE(preview()->epaperModel().rendering().size(), QSize(1600, 1200));
        QVERIFY(preview()->showsEpaperRendering());

        QTest::mouseClick(toggle->photoButton(), Qt::LeftButton);
        QCOMPARE(store->settings().previewAppearance, PreviewAppearance::photo);
        QVERIFY(!preview()->showsEpaperRendering());
        QCOMPARE(AppConfig::loadSettings().previewAppearance, PreviewAppearance::photo);
    }

    // A photo for today that could not be read is read again when the pane
    // is shown again, not before.
    void failedPhotoLoadsAgainWhenShownAgain()
    {
        open(galleryOf({"a", "b"}, QStringLiteral("b")));
        const QString file = AppConfig::cacheURL(QStringLiteral("a"));
        const auto writeA = [&](const QByteArray &bytes) {
            QFile cached(file);
            QVERIFY(cached.open(QIODevice::WriteOnly | QIODevice::Truncate));
            cached.write(bytes);
        };
        writeA("not a jpeg");
        serveGallery(galleryOf({"a", "b"}, QStringLiteral("a"), QStringLiteral("v2")));
        TaskWait::run(store->syncAll());
        QCOMPARE(preview()->shownPhotoID(), std::optional<QString>(QStringLiteral("a")));
        PhotoImageModel &model = preview()->imageModel();
        QTRY_VERIFY_WITH_TIMEOUT(model.loadFailed() && !model.isLoading(), 30000);

        writeA(jpeg({300, 400}));
        TaskWait::run(store->syncAll());
        QVERIFY(model.loadFailed());
        chrome->setShowDevicePreview(false);
        QTRY_VERIFY(preview()->isHidden());
        QVERIFY(model.loadFailed());
        chrome->setShowDevicePreview(true);
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        QVERIFY(!model.loadFailed());
    }

    // The pane takes the rule's width in the splitter, slides out and back
    // with the toolbar's toggle, and follows the frame's shape.
    void splitFollowsChromeAndFrame()
    {
        open(galleryOf({"a"}, QStringLiteral("a")));
        QCOMPARE(screen->splitter()->height(), 1000);
        QCOMPARE(split->targetPaneWidth(), 721); // 720.5, rounded
        QTRY_COMPARE(preview()->width(), 721);
        QVERIFY(screen->toolbar()->devicePreviewAction()->isVisible());

        screen->toolbar()->devicePreviewAction()->trigger();
        QVERIFY(!chrome->showDevicePreview());
        QVERIFY(split->isAnimating());
        QTRY_VERIFY(preview()->isHidden());
        QVERIFY(screen->grid()->width() > 1300);

        screen->toolbar()->devicePreviewAction()->trigger();
        QVERIFY(chrome->showDevicePreview());
        QVERIFY(preview()->isVisible());
        QTRY_VERIFY(!split->isAnimating());
        QCOMPARE(preview()->width(), 721);

        // A landscape frame reports in: the pane widens up to 72 % of the window.
        server.on("GET", "/api/devices/status", Response::json(200, landscapeFrameStatus));
        TaskWait::run(store->updateDeviceStatus());
        QVERIFY(store->deviceScreenIsLandscape());
        QTRY_COMPARE(preview()->width(), 1008);
        screen->resize(1400, 500);
        QTRY_COMPARE(preview()->width(), int(std::lround((500 - 178) / 0.75 + 104)));
    }

    // Opening the activity pane in a window too narrow for it widens the
    // window, within its screen, so the toolbar keeps its buttons; closing
    // the pane gives the width back.
    void activityPaneMakesRoom_data()
    {
        QTest::addColumn<QString>("screenName");
        QTest::addColumn<int>("startWidth");
        QTest::addColumn<bool>("atRightEdge");
        QTest::addColumn<bool>("grows");
        QTest::addColumn<bool>("toolbarFits");
        QTest::newRow("narrow window") << "wide" << 900 << false << true << true;
        QTest::newRow("at the screen's right edge: moves left") << "wide" << 900 << true << true << true;
        QTest::newRow("small screen: up to its edge") << "small" << 900 << false << true << false;
        QTest::newRow("wide enough already") << "wide" << 1500 << false << false << true;
    }

    void activityPaneMakesRoom()
    {
        QFETCH(QString, screenName);
        QFETCH(int, startWidth);
        QFETCH(bool, atRightEdge);
        QFETCH(bool, grows);
        QFETCH(bool, toolbarFits);
        QScreen *target = nullptr;
        for (QScreen *candidate : QGuiApplication::screens())
            if (candidate->name() == screenName)
                target = candidate;
        if (!target)
            QSKIP("needs the test screens of the offscreen platform");
        const QRect available = target->availableGeometry();

        open(galleryOf({"a"}, QStringLiteral("a")), {startWidth, 600});
        screen->windowHandle()->setScreen(target);
        const QPoint origin(atRightEdge ? available.right() + 1 - startWidth : available.left(), available.top());
        screen->move(origin);
        QTRY_COMPARE(screen->pos(), origin);
        QTRY_VERIFY(!split->isAnimating());

        chrome->setShowActivityInspector(true);
        QVERIFY(screen->activityPane()->isVisible());
        if (grows)
            QTRY_VERIFY(screen->width() > startWidth);
        else
            QCOMPARE(screen->width(), startWidth);
        const QRect frame = screen->frameGeometry();
        QVERIFY2(available.contains(frame), qPrintable(QStringLiteral("%1,%2 %3x%4")
                     .arg(frame.x()).arg(frame.y()).arg(frame.width()).arg(frame.height())));
        QTRY_COMPARE(screen->toolbar()->width() >= screen->toolbar()->sizeHint().width(), toolbarFits);
        if (!toolbarFits)
            QCOMPARE(screen->frameGeometry().right(), available.right());

        chrome->setShowActivityInspector(false);
        QVERIFY(screen->activityPane()->isHidden());
        QTRY_COMPARE(screen->width(), startWidth);
    }

    // Details up to 160 user-perceived characters on one line are inline;
    // longer or multi-line ones fold to their first line, cut at 160.
    void folding_data()
    {
        QTest::addColumn<QString>("detail");
        QTest::addColumn<bool>("inlineShown");
        QTest::addColumn<QString>("preview");
        const QString a160(160, QLatin1Char('a'));
        const QString thumb = QString::fromUtf8("\U0001F44D\U0001F3FD"); // one character, four UTF-16 units
        QTest::newRow("160 on one line") << a160 << true << a160;
        QTest::newRow("161") << a160 + QLatin1Char('b') << false << a160 + QChar(0x2026);
        QTest::newRow("two short lines") << QStringLiteral("first\nsecond") << false << QStringLiteral("first");
        QTest::newRow("160 emoji") << thumb.repeated(160) << true << thumb.repeated(160);
        QTest::newRow("161 emoji") << thumb.repeated(161) << false << thumb.repeated(160) + QChar(0x2026);
    }
    void folding()
    {
        QFETCH(QString, detail);
        QFETCH(bool, inlineShown);
        QFETCH(QString, preview);
        QCOMPARE(ActivityLogText::isInline(detail), inlineShown);
        QCOMPARE(ActivityLogText::collapsedPreview(detail), preview);
    }

    void emptyStateRowsAndClear()
    {
        showActivityPane();
        QVERIFY(pane->isShowingEmptyState());
        QCOMPARE(pane->emptyState()->title(), QStringLiteral("No activity yet"));
        QCOMPARE(pane->emptyState()->description(), QStringLiteral("Sync, uploads, and server events appear here."));
        logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("Sync started"));
        QVERIFY(!pane->isShowingEmptyState());
        logStore().log(LogCategory::sync, LogLevel::success, QStringLiteral("Sync complete"));
        QCOMPARE(pane->model()->rowCount(), 2);
        QCOMPARE(pane->model()->index(0).data().toString(), QStringLiteral("Sync complete"));

        QTest::mouseClick(pane->clearButton(), Qt::LeftButton);
        QVERIFY(logStore().entries().isEmpty());
        QCOMPARE(pane->model()->rowCount(), 0);
        QVERIFY(pane->isShowingEmptyState());
        chrome->setShowActivityInspector(false);
        QVERIFY(!pane->clearButton()->isVisible());
    }

    // An unfolded record stays open while new records arrive; hiding the
    // pane folds everything again.
    void unfoldedRecordsStayOpen()
    {
        showActivityPane();
        logStore().log(LogCategory::gallery, LogLevel::info, QStringLiteral("Long one"),
            QStringLiteral("line one\nline two\nline three"));
        QTRY_VERIFY(rowRect(0).height() > 0);
        const int folded = rowRect(0).height();
        const QUuid id = logStore().entries().first().id;
        QStyleOptionViewItem option;
        option.initFrom(pane->listView()->viewport());
        option.rect = rowRect(0);
        const QRectF detail = ActivityLogDelegate::layout(option, logStore().entries().first(), false).detail;
        QTest::mouseClick(pane->listView()->viewport(), Qt::LeftButton, {}, detail.center().toPoint());
        QVERIFY(pane->model()->isExpanded(id));
        QTRY_VERIFY(rowRect(0).height() > folded);

        logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("Newer"));
        QVERIFY(pane->model()->isExpanded(id));
        QTRY_VERIFY(rowRect(1).height() > folded);

        pane->hide();
        pane->show();
        QVERIFY(!pane->model()->isExpanded(id));
    }

    // Only the error's row has red in it (rows are newest first).
    void onlyErrorsAreRed()
    {
        showActivityPane();
        for (LogLevel level : { LogLevel::info, LogLevel::success, LogLevel::warning, LogLevel::error })
            logStore().log(LogCategory::sync, level, QStringLiteral("MMMMMMMM WWWWWWWW"));
        QTRY_VERIFY(rowRect(3).height() > 0);
        const QImage shot = pane->listView()->viewport()->grab().toImage();
        for (int row = 0; row < 4; ++row)
            QVERIFY2(hasReddishPixel(shot, rowRect(row)) == (row == 0), qPrintable(QString::number(row)));
    }

    void selectedRowsAreCopied()
    {
        showActivityPane();
        logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("First"));
        logStore().log(LogCategory::sync, LogLevel::error, QStringLiteral("Second"), QStringLiteral("why it failed"));
        pane->listView()->selectAll();
        pane->listView()->setFocus();
        QTest::keyClick(pane->listView(), Qt::Key_C, Qt::ControlModifier);
        const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(QStringLiteral("  Second")));
        QCOMPARE(lines.at(1), QStringLiteral("why it failed"));
        QVERIFY(lines.at(2).endsWith(QStringLiteral("  First")));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::setUp();
    // Two screens on the offscreen platform, a roomy one and a small one, for
    // the cases where the window makes room for a pane.
    if (qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("offscreen")) == QStringLiteral("offscreen")) {
        const QString config = TestEnvironment::home() + QStringLiteral("/screens.json");
        QFile file(config);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(R"({"screens":[)"
                       R"({"name":"wide","x":0,"y":0,"width":1600,"height":1000,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1},)"
                       R"({"name":"small","x":1600,"y":0,"width":1000,"height":700,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})");
            file.close();
            qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.toUtf8());
        }
    }
    QApplication app(argc, argv);
    TestUiPreview test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_uipreview.moc"
