// The gallery screen against a scripted server: its states, selection,
// reordering, uploads, toolbar, thumbnails and a large gallery; then the
// photo-image loading the screens share and the decoded-image cache.

#include "support/screentests.h"

#include "ui/activity/activitylogpane.h"
#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/gallerythumbsizing.h"
#include "ui/gallery/gallerytoolbar.h"
#include "ui/kit/photoimagemodel.h"
#include "ui/kit/statepanels.h"

#include "clock.h"

#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QKeySequence>
#include <QMimeData>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QTimer>

namespace {

GalleryState galleryOf(const QStringList &ids, const QString &version = QStringLiteral("v1"))
{
    return ScreenTests::galleryOf(ids, {}, version).withResolvedCurrentPhoto();
}

// The ids p0 .. p<count - 1>.
QStringList numbered(int count)
{
    QStringList ids;
    for (int i = 0; i < count; ++i)
        ids.append(QStringLiteral("p%1").arg(i));
    return ids;
}

void writeAt(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Writes `bytes` to the file `name` in the home folder; returns its path.
QString writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = TestEnvironment::home() + QStringLiteral("/") + name;
    writeAt(path, bytes);
    return path;
}

QStringList uploadedNames(const ScriptableServer &server)
{
    static const QRegularExpression name(QStringLiteral("filename=\"([^\"]+)\""));
    QStringList names;
    for (const auto &request : server.requests("POST", "/api/gallery/photos"))
        names.append(name.match(QString::fromUtf8(request.body)).captured(1));
    return names;
}

QByteArray jpegBytes(int width, int height, QColor color = Qt::darkCyan)
{
    return GalleryFixture::imageBytes(color, "JPEG", {width, height});
}

bool isRed(const QImage &image)
{
    const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
    return centre.red() > 200 && centre.green() < 60 && centre.blue() < 60;
}

// The gallery warnings of a failed image load.
QList<LogEntry> warnings()
{
    QList<LogEntry> found;
    for (const LogEntry &entry : ActivityLogStore::shared().entries())
        if (entry.message == QLatin1StringView("Could not load cached image") && entry.level == LogLevel::warning
            && entry.category == LogCategory::gallery)
            found.append(entry);
    return found;
}

// Drags `mime` over `target` to `position`, as the platform's drag does.
void sendDrag(QWidget *target, const QMimeData *mime, QPoint position)
{
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(position, actions, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(position, actions, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
}

// Drops `mime` there; true when the drop was accepted.
bool sendDrop(QWidget *target, const QMimeData *mime, QPoint position, Qt::DropAction action = Qt::CopyAction)
{
    QDropEvent drop(QPointF(position), action, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

} // namespace

class TestGalleryGrid : public QObject, private GalleryFixture
{
    Q_OBJECT

    GalleryPhotoGrid *grid() const { return screen->grid(); }
    QWidget *viewport() const { return screen->grid()->viewport(); }
    QSet<QString> selected() const { return store->selection().selectedIDs(); }
    bool thumbnailShown(const QString &id) const
    {
        return grid()->imageModel(id) && grid()->imageModel(id)->hasImage();
    }

    // The server's gallery; none answers "not modified".
    void serve(const std::optional<GalleryState> &state, int delayMs = 0)
    {
        if (state)
            return serveGallery(*state, delayMs);
        Response notModified = Response::text(304, "");
        notModified.delayMs = delayMs;
        server.on("GET", "/api/gallery", notModified);
        serveCurrent(store->state());
    }

    // An unlocked store holding `local`, with thumbnails in the cache, and
    // the screen shown once its first refresh (answered with `remote`, or
    // "not modified") ran.
    void open(const GalleryState &local, std::optional<GalleryState> remote = std::nullopt, bool waitForRefresh = true,
        int refreshDelayMs = 0)
    {
        const QByteArray thumbnail = imageBytes(QColor(0x88, 0x99, 0xaa));
        for (const QString &id : local.order) {
            if (!QFile::exists(AppConfig::thumbnailCacheURL(id, 512)))
                writeAt(AppConfig::thumbnailCacheURL(id, 512), thumbnail);
        }
        QVERIFY(signIn(local));
        serve(remote, refreshDelayMs);
        createScreen();
        QVERIFY(showScreen({1000, 700}));
        if (waitForRefresh) {
            settle();
            server.clearRequests();
        }
    }

    // A signed-in store over `local` (photos a and b), with no screen;
    // false when the sign-in failed.
    [[nodiscard]] bool signIn(const GalleryState &local = galleryOf({ "a", "b" }))
    {
        AppConfig::saveLocalState(local);
        if (!unlock())
            return false;
        settle();
        server.clearRequests();
        ActivityLogStore::shared().clear();
        return true;
    }

    QPoint cellPoint(int index, double fraction = 0.5) const
    {
        const QRect cell = grid()->visualRect(index);
        return { cell.left() + int(cell.width() * fraction), cell.center().y() };
    }

private Q_SLOTS:
    void initTestCase() { startServer(); }
    void init() { reset(); }
    void cleanup() { tearDown(); }
    void cleanupTestCase() { QCOMPARE(ThumbnailDecoder::mainThreadDecodeCount(), 0); }

    void thumbSizing_data()
    {
        QTest::addColumn<double>("cellWidth");
        QTest::addColumn<double>("cellHeight");
        QTest::addColumn<double>("scale");
        QTest::addColumn<int>("maxPixelSize");
        QTest::addColumn<int>("downloadWidth");
        QTest::newRow("150 points on 2x") << 150.0 << 200.0 << 2.0 << 420 << 512;
        QTest::newRow("small cell") << 40.0 << 53.0 << 1.0 << 280 << 512;
        QTest::newRow("huge cell") << 3000.0 << 4000.0 << 2.0 << 4096 << 1024;
        QTest::newRow("just above the least") << 200.0 << 267.0 << 1.0 << 281 << 512;
        QTest::newRow("rounded up to 1024") << 600.0 << 800.0 << 1.0 << 840 << 1024;
    }
    void thumbSizing()
    {
        QFETCH(double, cellWidth);
        QFETCH(double, cellHeight);
        QFETCH(double, scale);
        QFETCH(int, maxPixelSize);
        QFETCH(int, downloadWidth);
        QCOMPARE(GalleryThumbSizing::maxPixelSize(cellWidth, cellHeight, scale), maxPixelSize);
        QCOMPARE(GalleryThumbSizing::thumbnailDownloadWidth(maxPixelSize), downloadWidth);
        // Thumbnails keep the frame's portrait shape, at most square.
        QCOMPARE(GalleryThumbSizing::thumbAspectRatio(1600.0 / 1200.0), 1.0);
        QCOMPARE(GalleryThumbSizing::thumbAspectRatio(0), 0.75);
    }

    // While the first refresh of an empty gallery runs the screen shows the
    // loading state, then the photos or the empty state.
    void contentStates_data()
    {
        QTest::addColumn<QStringList>("local");
        QTest::addColumn<QStringList>("remote");
        QTest::addColumn<int>("during");
        QTest::addColumn<QString>("titleDuring");
        QTest::addColumn<int>("after");
        QTest::addColumn<QString>("titleAfter");
        const int loading = int(GalleryScreen::Content::loading);
        const int empty = int(GalleryScreen::Content::empty);
        const int grid = int(GalleryScreen::Content::grid);
        using L = QStringList;
        QTest::newRow("empty everywhere") << L {} << L {} << loading << "Loading photos\u2026" << empty << "0 photos";
        QTest::newRow("first photos arrive") << L {} << L { "a", "b", "c" } << loading << "Loading photos\u2026" << grid
                                             << "3 photos";
        QTest::newRow("one photo here") << L { "a" } << L { "a" } << grid << "1 photo" << grid << "1 photo";
    }
    void contentStates()
    {
        QFETCH(QStringList, local);
        QFETCH(QStringList, remote);
        QFETCH(int, during);
        QFETCH(QString, titleDuring);
        QFETCH(int, after);
        QFETCH(QString, titleAfter);
        open(galleryOf(local), galleryOf(remote, QStringLiteral("v2")), false, 300);
        QCOMPARE(int(screen->content()), during);
        QCOMPARE(screen->toolbar()->title(), titleDuring);
        QCOMPARE(screen->loadingState()->text(), QStringLiteral("Loading photos from server\u2026"));
        settle();
        QCOMPARE(int(screen->content()), after);
        QCOMPARE(screen->toolbar()->title(), titleAfter);
        QCOMPARE(screen->emptyState()->title(), QStringLiteral("Drop photos to upload"));
        QCOMPARE(screen->emptyState()->description(),
            QStringLiteral("JPEG images from your file manager, or use Add in the toolbar."));
        // Appearing refreshed the gallery, checked the server and reloaded the frames.
        QCOMPARE(server.requests("GET", "/api/gallery").size(), 1);
        QVERIFY(!server.requests("GET", "/api/health").isEmpty());
        QVERIFY(!server.requests("GET", "/api/devices").isEmpty());
    }

    // Clicks and keys reach the selection through the gallery's handlers; the
    // right button (the menu's) keeps it, and the arrows move in rows of the
    // settings' column count (every move and wrap is tst_gallerymodel's table).
    void clicksAndKeys_data()
    {
        QTest::addColumn<QStringList>("input"); // "[c|s|r]<index>" a click, "bg" the background, or a key
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("lightbox");
        using L = QStringList;
        QTest::newRow("range keeps the anchor") << L { "2", "s0", "s4" } << L { "p2", "p3", "p4" } << "";
        QTest::newRow("ctrl toggles") << L { "1", "c3", "c1" } << L { "p3" } << "";
        QTest::newRow("background clears") << L { "1", "c3", "bg" } << L {} << "";
        QTest::newRow("right button keeps it") << L { "0", "r2" } << L { "p0" } << "";
        QTest::newRow("down a row of five") << L { "1", "Down" } << L { "p6" } << "";
        QTest::newRow("escape clears") << L { "2", "s3", "Esc" } << L {} << "";
        QTest::newRow("return opens") << L { "4", "Return" } << L { "p4" } << "p4";
        QTest::newRow("arrows step the lightbox") << L { "0", "Space", "Left" } << L { "p6" } << "p6";
        QTest::newRow("escape closes the lightbox") << L { "0", "Space", "Esc" } << L { "p0" } << "";
    }
    void clicksAndKeys()
    {
        QFETCH(QStringList, input);
        QFETCH(QStringList, expected);
        QFETCH(QString, lightbox);
        open(galleryOf({ "p0", "p1", "p2", "p3", "p4", "p5", "p6" }));
        for (const QString &step : input) {
            const QChar kind = step.front();
            if (step == QLatin1StringView("bg")) {
                QTest::mouseClick(viewport(), Qt::LeftButton, {}, QPoint(viewport()->width() / 2, 650));
            } else if (kind.isUpper()) {
                QTest::keyClick(grid(), QKeySequence::fromString(step)[0].key());
            } else {
                const Qt::KeyboardModifiers modifiers = kind == QLatin1Char('c') ? Qt::ControlModifier
                    : kind == QLatin1Char('s')                                  ? Qt::ShiftModifier
                                                                                : Qt::NoModifier;
                QTest::mouseClick(viewport(), kind == QLatin1Char('r') ? Qt::RightButton : Qt::LeftButton,
                    modifiers, cellPoint(step.right(1).toInt()));
            }
        }
        QCOMPARE(selected(), QSet<QString>(expected.begin(), expected.end()));
        QCOMPARE(store->selection().lightboxNavigationPhotoID().value_or(QString()), lightbox);
        if (lightbox.isEmpty())
            QTRY_VERIFY(grid()->hasFocus());
    }

    // A press selects at once; moving 4 pixels with the button held starts
    // a drag of that photo, less does not. Dragged over another thumbnail it
    // shows where it would go; dropping it sends the new order, or nothing
    // when the order stays.
    void reorderByDrag_data()
    {
        QTest::addColumn<int>("target");
        QTest::addColumn<double>("fraction");
        QTest::addColumn<int>("insertion");
        QTest::addColumn<QStringList>("sent");
        using L = QStringList;
        QTest::newRow("left half of c") << 2 << 0.25 << 2 << L {};
        QTest::newRow("right half of c") << 2 << 0.75 << 3 << L { "a", "c", "b", "d" };
        QTest::newRow("past the last") << 3 << 1.4 << 4 << L { "a", "c", "d", "b" };
    }
    void reorderByDrag()
    {
        QFETCH(int, target);
        QFETCH(double, fraction);
        QFETCH(int, insertion);
        QFETCH(QStringList, sent);
        open(galleryOf({ "a", "b", "c", "d" }));
        server.on("PUT", "/api/gallery/order", Response::json(200, galleryJson(galleryOf(sent, QStringLiteral("v2")))));
        const QPoint start = cellPoint(1);
        QTest::mousePress(viewport(), Qt::LeftButton, {}, start);
        QCOMPARE(selected(), QSet<QString> { "b" });
        const auto moveBy = [&](QPoint offset) {
            QMouseEvent move(QEvent::MouseMove, QPointF(start + offset), viewport()->mapToGlobal(QPointF(start)),
                Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(viewport(), &move);
        };
        moveBy({ 2, 2 });
        QVERIFY(!grid()->findChild<QDrag *>());
        moveBy({ 4, 0 });
        // Qt deletes a finished drag, and its data, once the event loop runs.
        QDrag *drag = grid()->findChild<QDrag *>();
        QVERIFY(drag);
        const QMimeData *mime = drag->mimeData();
        QCOMPARE(PhotoDragPasteboard::photoID(mime), std::optional<QString>(QStringLiteral("b")));
        QTest::mouseRelease(viewport(), Qt::LeftButton, {}, start + QPoint(4, 0));
        QCOMPARE(grid()->dropInsertionIndex(), std::nullopt);

        const QPoint position = cellPoint(target, fraction);
        sendDrag(viewport(), mime, position);
        QCOMPARE(grid()->dropInsertionIndex(), std::optional<int>(insertion));
        QVERIFY(!screen->isFileDropTargeted());
        QCOMPARE(sendDrop(viewport(), mime, position, Qt::MoveAction), !sent.isEmpty());
        QCOMPARE(grid()->dropInsertionIndex(), std::nullopt);
        settle();
        const auto requests = server.requests("PUT", "/api/gallery/order");
        QCOMPARE(requests.size(), sent.isEmpty() ? 0 : 1);
        if (!sent.isEmpty()) {
            const QJsonObject body = QJsonDocument::fromJson(requests.first().body).object();
            QCOMPARE(body.value(QLatin1StringView("order")).toVariant().toStringList(), sent);
            QCOMPARE(grid()->photoOrder(), QList<QString>(sent.begin(), sent.end()));
        }
    }

    // What each kind of drop uploads, on the grid or the empty state, and
    // whether it is outlined on hover.
    void fileDrops_data()
    {
        QTest::addColumn<QStringList>("files"); // dropped as locations, "" for the home folder
        QTest::addColumn<QString>("type"); // else the data's type: "text" gives the two files' paths
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("outlined");
        QTest::addColumn<QString>("uploaded"); // a pattern of the sent file names
        QTest::addColumn<bool>("onEmptyState"); // else on the second photo of two
        const QByteArray png = imageBytes(Qt::green, "PNG");
        const QByteArray jpeg = imageBytes(Qt::green);
        const QString dropped = QStringLiteral("^gallery-drop-[0-9a-f-]{36}\\.");
        using L = QStringList;
        QTest::newRow("file locations") << L { "one.jpg", "two.png" } << "" << QByteArray() << true
                                        << "^one\\.jpg,two\\.png$" << false;
        QTest::newRow("PNG data") << L {} << "image/png" << png << true << dropped + "png$" << false;
        QTest::newRow("JPEG data") << L {} << "image/jpeg" << jpeg << true << dropped + "jpg$" << false;
        QTest::newRow("Qt image") << L {} << "qt-image" << jpeg << true << dropped + "png$" << false;
        QTest::newRow("unreadable PNG data")
            << L {} << "image/png" << QByteArray("not an image") << true << "^$" << false;
        QTest::newRow("a folder") << L { "" } << "" << QByteArray() << false << "^$" << false;
        QTest::newRow("a text file") << L { "notes.txt" } << "" << QByteArray() << false << "^$" << false;
        QTest::newRow("an image without extension") << L { "scan" } << "" << QByteArray() << true << "^scan$" << false;
        QTest::newRow("text without extension") << L { "README" } << "" << QByteArray() << false << "^$" << false;
        QTest::newRow("onto the empty state")
            << L {} << "text" << QByteArray() << true << "^one\\.jpg,two\\.png$" << true;
    }
    void fileDrops()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, type);
        QFETCH(QByteArray, data);
        QFETCH(bool, outlined);
        QFETCH(QString, uploaded);
        QFETCH(bool, onEmptyState);
        open(galleryOf(onEmptyState ? QStringList() : QStringList { "a", "b" }));
        QCOMPARE(screen->content(), onEmptyState ? GalleryScreen::Content::empty : GalleryScreen::Content::grid);
        server.on("POST", "/api/gallery/photos", Response::json(200, galleryJson(galleryOf({ "a", "b", "n" }, "v2"))));
        const QString jpeg = writeFile(QStringLiteral("one.jpg"), imageBytes(Qt::red));
        const QString png = writeFile(QStringLiteral("two.png"), imageBytes(Qt::blue, "PNG"));
        writeFile(QStringLiteral("notes.txt"), "hello");
        writeFile(QStringLiteral("scan"), imageBytes(Qt::red));
        writeFile(QStringLiteral("README"), "hello");
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString &name : files)
            urls.append(QUrl::fromLocalFile(TestEnvironment::home() + (name.isEmpty() ? QString() : "/" + name)));
        if (!urls.isEmpty())
            mime.setUrls(urls);
        else if (type == QLatin1StringView("text"))
            mime.setText(QStringLiteral(" ") + jpeg + QStringLiteral("\n\n") + png + QStringLiteral("\n"));
        else if (type == QLatin1StringView("qt-image"))
            mime.setImageData(QImage::fromData(data));
        else
            mime.setData(type, data);

        QWidget *target = onEmptyState ? static_cast<QWidget *>(screen.get()) : viewport();
        const QPoint position = onEmptyState ? screen->rect().center() : cellPoint(1);
        sendDrag(target, &mime, position);
        QCOMPARE(screen->isFileDropTargeted(), outlined);
        QCOMPARE(grid()->dropInsertionIndex(), std::nullopt);
        sendDrop(target, &mime, position);
        QVERIFY(!screen->isFileDropTargeted());
        settle();
        const QString names = uploadedNames(server).join(QLatin1Char(','));
        QVERIFY2(QRegularExpression(uploaded).match(names).hasMatch(), qPrintable(names));
        QCOMPARE(screen->content(), GalleryScreen::Content::grid);
    }

    // The slider's right end gives 2 columns, its left end 8; the count is
    // saved and the grid follows at once. The row at the top of the view
    // stays in place, then as well as when the window is resized.
    void sliderSetsTheColumnCount_data()
    {
        QTest::addColumn<int>("sliderValue");
        QTest::addColumn<int>("columns");
        QTest::newRow("right end") << 8 << 2;
        QTest::newRow("left end") << 2 << 8;
    }
    void sliderSetsTheColumnCount()
    {
        QFETCH(int, sliderValue);
        QFETCH(int, columns);
        open(galleryOf(numbered(600)));
        grid()->verticalScrollBar()->setValue(int(std::ceil(grid()->layoutGeometry().cellRect(300).top())));
        const QPoint topLeft(GalleryGridGeometry::padding + 2, GalleryGridGeometry::padding + 2);
        QCOMPARE(grid()->indexAt(topLeft), 300);
        QSlider *slider = screen->toolbar()->sizeControl()->slider();
        QCOMPARE(slider->value(), 5);
        slider->setValue(sliderValue);
        QCOMPARE(AppConfig::loadSettings().galleryGridColumnCount, columns);
        QCOMPARE(grid()->layoutGeometry().columns, columns);
        QCOMPARE(grid()->settledGridWidth(), double(viewport()->width()));
        QCOMPARE(slider->accessibleDescription(), QStringLiteral("%1 columns").arg(columns));
        const int topRow = 300 - 300 % columns;
        QCOMPARE(grid()->indexAt(topLeft), topRow);
        screen->resize(700, 700);
        QCOMPARE(grid()->indexAt(topLeft), topRow);
    }

    // Thumbnails are decoded at a new width only once resizing pauses.
    void widthSettlesBeforeDecoding()
    {
        open(galleryOf({ "a", "b", "c" }));
        const int before = grid()->thumbMaxPixelSize();
        screen->resize(1600, 700);
        QCOMPARE(grid()->thumbMaxPixelSize(), before);
        QCOMPARE(grid()->layoutGeometry().cellWidth, (1600 - 2 * 14 - 4 * 10) / 5.0);
        QTRY_VERIFY(grid()->thumbMaxPixelSize() > before);
        QTRY_COMPARE(grid()->imageModel(QStringLiteral("a"))->loadedMaxPixelSize(),
            std::optional<int>(grid()->thumbMaxPixelSize()));
    }

    // Back in front after a short absence: a scheduled pull; after five
    // seconds or more, a connection check as well.
    void returningToTheApplication_data()
    {
        QTest::addColumn<int>("awaySeconds");
        QTest::addColumn<bool>("checked");
        QTest::newRow("3 s") << 3 << false;
        QTest::newRow("10 s") << 10 << true;
    }
    void returningToTheApplication()
    {
        QFETCH(int, awaySeconds);
        QFETCH(bool, checked);
        open(galleryOf({ "a" }));
        QDateTime now = QDateTime::currentDateTimeUtc();
        Clock::setForTesting([&now] { return now; });
        screen->applicationStateChanged(Qt::ApplicationInactive);
        now = now.addSecs(awaySeconds);
        screen->applicationStateChanged(Qt::ApplicationActive);
        settle();
        Clock::setForTesting({});
        QCOMPARE(server.requests("GET", "/api/gallery/current").size(), 1);
        QCOMPARE(server.requests("GET", "/api/health").size(), checked ? 1 : 0);
    }

    // The toolbar's buttons, and uploads of a pasted file and of one picked by Add.
    void toolbarAndPaste()
    {
        open(galleryOf({ "a", "b" }));
        GalleryToolbar *toolbar = screen->toolbar();
        QVERIFY(!screen->activityPane()->isVisible());
        toolbar->activityAction()->trigger();
        QVERIFY(chrome->showActivityInspector());
        QVERIFY(screen->activityPane()->isVisible());
        QCOMPARE(toolbar->activityAction()->toolTip(), QStringLiteral("Hide activity log"));

        serve(std::nullopt, 200);
        toolbar->syncAction()->trigger();
        QVERIFY(!toolbar->syncAction()->isEnabled());
        QVERIFY(!toolbar->addPhotosAction()->isEnabled());
        settle();
        QVERIFY(toolbar->syncAction()->isEnabled());
        QVERIFY(toolbar->addPhotosAction()->isEnabled());
        QCOMPARE(server.requests("GET", "/api/gallery").size(), 1);

        server.on("POST", "/api/gallery/photos", Response::json(200, galleryJson(galleryOf({ "a", "b", "n" }, "v2"))));
        auto *mime = new QMimeData;
        mime->setUrls({ QUrl::fromLocalFile(writeFile(QStringLiteral("pasted.jpg"), imageBytes(Qt::red))) });
        QApplication::clipboard()->setMimeData(mime);
        grid()->setFocus();
        QTest::keyClick(grid(), Qt::Key_V, Qt::ControlModifier);
        settle();
        QCOMPARE(uploadedNames(server), QStringList { "pasted.jpg" });
        const QString picked = writeFile(QStringLiteral("picked.png"), imageBytes(Qt::blue, "PNG"));
        screen->setFilePicker([picked](QWidget *, std::function<void(QStringList)> done) { done({ picked }); });
        toolbar->addPhotosAction()->trigger();
        settle();
        QCOMPARE(uploadedNames(server), (QStringList { "pasted.jpg", "picked.png" }));
    }

    // A tag too wide for its cell goes onto two lines at a space before it
    // is cut short, so narrow cells still read "Showing for today" whole.
    void cornerTagLines_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("widthOf");
        QTest::addColumn<QStringList>("lines");
        const QString today = QStringLiteral("Showing for today");
        QTest::newRow("fits") << today << today << QStringList{today};
        QTest::newRow("two lines") << today << "Showing for" << QStringList{"Showing for", "today"};
        QTest::newRow("second line too wide: cut short") << today << "Showing" << QStringList{};
        QTest::newRow("no space: cut short") << QStringLiteral("12/6/26") << "12/6" << QStringList{};
    }

    void cornerTagLines()
    {
        QFETCH(QString, tag);
        QFETCH(QString, widthOf);
        QFETCH(QStringList, lines);
        QFont font = QApplication::font();
        font.setWeight(QFont::DemiBold);
        const QFontMetricsF metrics(font);
        const double width = metrics.horizontalAdvance(widthOf) + 0.5;
        const QStringList laid = GalleryPhotoGrid::cornerTagLines(tag, font, width);
        if (!lines.isEmpty()) {
            QCOMPARE(laid, lines);
            return;
        }
        QCOMPARE(laid.size(), 1);
        QVERIFY(laid.first().endsWith(QChar(0x2026)));
        QVERIFY(metrics.horizontalAdvance(laid.first()) <= width);
    }

    // Tags follow the store's showing tags; borders mark the selection and
    // the photo on the frames.
    void tagsAndBorders()
    {
        GalleryState state = galleryOf({ "a", "b", "c", "d" });
        state.currentPhotoId = QStringLiteral("b");
        open(state);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(grid()->cornerTag(i), store->showingTag(grid()->photoOrder().at(i)));
        QCOMPARE(grid()->cornerTag(1), std::optional<QString>(QStringLiteral("Showing for today")));

        store->selection().setSelectedIDs({ "b", "c" });
        QTRY_VERIFY(thumbnailShown(QStringLiteral("a")));
        // Pixels at the middle of a cell's left edge: `inside` pixels in, or
        // the first pixel past a border `width` wide.
        const auto border = [&](const QImage &image, int index, int inside) {
            const double left = grid()->layoutGeometry().cellRect(index).left();
            return image.pixelColor(int(std::floor(left)) + inside, grid()->visualRect(index).center().y());
        };
        const auto past = [&](const QImage &image, int index, int width) {
            const double left = grid()->layoutGeometry().cellRect(index).left();
            return image.pixelColor(int(std::ceil(left + width)) + 1, grid()->visualRect(index).center().y());
        };
        const QColor accent = AppBrandColor::accentGreen();
        const QColor photo(0x88, 0x99, 0xaa);
        const auto near = [](QColor a, QColor b) {
            return std::abs(a.red() - b.red()) < 16 && std::abs(a.green() - b.green()) < 16
                && std::abs(a.blue() - b.blue()) < 16;
        };
        const QImage shot = viewport()->grab().toImage();
        QVERIFY(near(border(shot, 0, 1), photo)); // neither selected nor current
        QVERIFY(near(border(shot, 1, 1), accent)); // selected and current: 2 points
        QVERIFY(near(past(shot, 1, 2), photo));
        QVERIFY(near(border(shot, 2, 2), accent)); // selected: 3 points
        QVERIFY(near(past(shot, 2, 3), photo));
        store->selection().clearSelection();
        const QImage unselected = viewport()->grab().toImage();
        QVERIFY(near(border(unselected, 1, 1), Qt::black)); // current: black, 2 points
        QVERIFY(near(past(unselected, 1, 2), photo));
    }

    // A photo that left the gallery keeps no decoded image in memory (in a
    // gallery whose photos keep changing, the cache's limit never comes).
    void decodedImagesOfRemovedPhotosAreDropped()
    {
        open(galleryOf({"a", "b"}), galleryOf({"a"}, QStringLiteral("v2")), false, 1500);
        QTRY_VERIFY(thumbnailShown(QStringLiteral("a")) && thumbnailShown(QStringLiteral("b")));
        const int decoded = DecodedImageCache::shared().count();
        settle();
        QTRY_COMPARE(grid()->photoOrder(), QStringList{"a"});
        QCOMPARE(DecodedImageCache::shared().count(), decoded - 1);
    }

    // Scrolling through thousands of photos keeps a bounded number of image
    // models, never decodes on the main thread (cleanupTestCase counts), and
    // scrolling back a little decodes nothing again.
    void scrollingAThousandsPhotoGallery()
    {
        open(galleryOf(numbered(5000)));
        QScrollBar *bar = grid()->verticalScrollBar();
        QTRY_VERIFY(thumbnailShown(QStringLiteral("p0")));

        qint64 slowestPaint = 0;
        for (int value = 0; value <= bar->maximum(); value += bar->pageStep()) {
            bar->setValue(value);
            QElapsedTimer paint;
            paint.start();
            viewport()->repaint();
            slowestPaint = std::max(slowestPaint, paint.elapsed());
            QVERIFY(grid()->imageModelCount() <= 8 * 5 * 4);
            QCoreApplication::processEvents();
        }
        qInfo("scrolled 5000 photos, slowest frame %lld ms", slowestPaint);
        QVERIFY(slowestPaint < 100);

        // The decoded-image cache holds a few screens: scrolling back past
        // the cells kept loaded costs no decoding.
        QTest::qWait(200);
        const qint64 decodes = ThumbnailDecoder::decodeCount();
        for (int back = 0; back < 2; ++back) {
            bar->setValue(std::max(0, bar->value() - bar->pageStep()));
            viewport()->repaint();
            QTest::qWait(100);
        }
        QCOMPARE(ThumbnailDecoder::decodeCount(), decodes);
    }

    // A reorder of a 20,000-photo gallery with the screen shown: the answer
    // is decoded and saved off the main thread, and the grid, toolbar and
    // selection follow the new state without holding the event loop up.
    void reorderOfTwentyThousandPhotosKeepsTheScreenResponsive()
    {
        open(galleryOf(numbered(20000)));
        QStringList reversed = numbered(20000);
        std::reverse(reversed.begin(), reversed.end());
        server.on("PUT", "/api/gallery/order", Response::json(200, galleryJson(galleryOf(reversed, "v2"))));

        QElapsedTimer sinceTick;
        qint64 longest = 0;
        QTimer ticker;
        ticker.setInterval(5);
        connect(&ticker, &QTimer::timeout, this, [&] { longest = std::max(longest, sinceTick.restart()); });
        sinceTick.start();
        ticker.start();
        QElapsedTimer total;
        total.start();
        TaskWait::run(store->applyOrder(reversed));
        QCoreApplication::processEvents();
        longest = std::max(longest, sinceTick.elapsed());
        ticker.stop();
        qInfo("reorder of 20000 photos: %lld ms, longest main-thread stall %lld ms", total.elapsed(), longest);

        QCOMPARE(grid()->photoOrder().first(), QStringLiteral("p19999"));
        QCOMPARE(AppConfig::loadLocalState().state.order.first(), QStringLiteral("p19999"));
        // About 0.45 s in the sanitizer build (tens of milliseconds
        // optimised); decoding and encoding the manifest on the main thread
        // as well took about 2 s there.
        QVERIFY(longest < 1500);
    }

    // A missing file is fetched through the store once and read again; a
    // file that still cannot be read ends in one warning. An identical
    // request, while the load runs or after it, starts nothing.
    void loadOutcomes_data()
    {
        QTest::addColumn<QString>("onDisk"); // "jpeg", "corrupt" or "" (missing)
        QTest::addColumn<int>("serverStatus");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<int>("fetches");
        QTest::addColumn<QString>("warningDetail");
        QTest::newRow("cached") << "jpeg" << 404 << true << 0 << "";
        QTest::newRow("missing, fetched") << "" << 200 << true << 1 << "";
        QTest::newRow("missing, fetch fails") << "" << 404 << false << 1 << "a maxPx=300 fileExists=false";
        QTest::newRow("undecodable, not fetched again") << "corrupt" << 200 << false << 0 << "a maxPx=300 fileExists=true";
    }
    void loadOutcomes()
    {
        QVERIFY(signIn());
        QFETCH(QString, onDisk);
        QFETCH(int, serverStatus);
        QFETCH(bool, shown);
        QFETCH(int, fetches);
        QFETCH(QString, warningDetail);
        const QString file = AppConfig::thumbnailCacheURL(QStringLiteral("a"), 512);
        if (onDisk == QLatin1StringView("jpeg"))
            writeAt(file, jpegBytes(600, 800));
        else if (onDisk == QLatin1StringView("corrupt"))
            writeAt(file, "not a jpeg");
        server.on("GET", "/api/gallery/photos/a/image",
            Response::text(serverStatus, serverStatus == 200 ? jpegBytes(480, 640) : QByteArray(), "image/jpeg"));
        const auto fetched = [&] { return server.requests("GET", "/api/gallery/photos/a/image"); };
        const int warned = warningDetail.isEmpty() ? 0 : 1;

        PhotoImageModel model;
        const auto load = [&](PhotoImageModel::FailedLoad failed) {
            model.load("a", 300, 512, PhotoImageModel::storeEnsureCached(*store, "a", 512), failed);
        };
        load(PhotoImageModel::FailedLoad::keep);
        if (model.isLoading()) // a quick decode may be over already; a fetch never is
            load(PhotoImageModel::FailedLoad::retry); // by a view shown again while the load runs
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), 30000);
        QCOMPARE(model.hasImage(), shown);
        QCOMPARE(model.loadFailed(), !shown);
        if (shown)
            QCOMPARE(std::max(model.image().width(), model.image().height()), 300);
        QCOMPARE(fetched().size(), fetches);
        if (fetches)
            QCOMPARE(fetched().first().query, QByteArray("w=512"));
        QCOMPARE(warnings().size(), warned);
        if (warned)
            QCOMPARE(warnings().first().detail, std::optional(warningDetail));

        load(PhotoImageModel::FailedLoad::keep);
        QTest::qWait(50);
        QCOMPARE(model.loadsStarted(), 1); // so no fetch and no warning either

        // Asked again by a view shown again, only a failed load runs once
        // more, with its fetch.
        load(PhotoImageModel::FailedLoad::retry);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), 30000);
        QCOMPARE(model.loadsStarted(), shown ? 1 : 2);
        QCOMPARE(fetched().size(), shown ? fetches : 2 * fetches);
        QCOMPARE(warnings().size(), 2 * warned);
    }

    // A load that no longer matters, superseded or its model gone, changes
    // nothing and logs nothing, even when it fails.
    void abandonedLoadsAreDropped()
    {
        QVERIFY(signIn());
        writeAt(AppConfig::cacheURL(QStringLiteral("b")), jpegBytes(300, 400));
        Response slowFailure = Response::text(404, "");
        slowFailure.delayMs = 200;
        server.on("GET", "/api/gallery/photos/a/image", slowFailure);
        const auto load = [&](PhotoImageModel &model, const QString &id) {
            model.load(id, 300, std::nullopt, PhotoImageModel::storeEnsureCached(*store, id, {}));
        };
        PhotoImageModel model;
        load(model, QStringLiteral("a"));
        QTest::qWait(50);
        load(model, QStringLiteral("b"));
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        auto destroyed = std::make_unique<PhotoImageModel>();
        load(*destroyed, QStringLiteral("a"));
        destroyed.reset();
        settle();
        QTest::qWait(50);
        QVERIFY(model.hasImage());
        QVERIFY(!model.loadFailed());
        QCOMPARE(model.loadedPhotoID(), std::optional<QString>(QStringLiteral("b")));
        QVERIFY(warnings().isEmpty());
    }

    void cacheKeepsTheMostRecentWithinItsBytes()
    {
        QImage image(10, 10, QImage::Format_RGB32); // 400 bytes
        DecodedImageCache cache(1000);
        const auto has = [&](const char *key) { return bool(cache.find(QString::fromLatin1(key))); };
        cache.insert(QStringLiteral("a"), image);
        cache.insert(QStringLiteral("b"), image);
        QVERIFY(has("a")); // a is now the most recent
        cache.insert(QStringLiteral("c"), image);
        QVERIFY(has("a") && !has("b") && has("c"));
        QCOMPARE(cache.sizeBytes(), 800);
        cache.insert(QStringLiteral("huge"), QImage(100, 100, QImage::Format_RGB32));
        QVERIFY(!has("huge"));
        QCOMPARE(cache.count(), 2);
        cache.setCapacityBytes(400);
        QCOMPARE(cache.count(), 1);
        QVERIFY(has("c"));
    }

    // The view loads when it appears and again when its size or photo
    // changes: the smaller image stays up while the larger one decodes, and
    // one photo's image never stands in for another's.
    void cachedPhotoImageFollowsItsPhoto()
    {
        QVERIFY(signIn());
        writeAt(AppConfig::cacheURL(QStringLiteral("a")), jpegBytes(1200, 1600));
        writeAt(AppConfig::cacheURL(QStringLiteral("b")), jpegBytes(1200, 1600, Qt::red));
        CachedPhotoImage view(*store);
        const PhotoImageModel &model = view.model();
        view.setPhotoID(QStringLiteral("a"));
        view.setMaxPixelSize(400);
        QCOMPARE(model.loadsStarted(), 0);
        view.resize(300, 400);
        view.show();
        // Decoding runs on the thread pool, which a busy machine may share
        // with other test programs: generous limits.
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        QCOMPARE(model.image().height(), 400);

        // Unless the larger decode is already over.
        view.setMaxPixelSize(1600);
        QVERIFY(model.hasImage());
        QVERIFY(!model.isLoading());
        QVERIFY(model.image().height() == 400 || model.image().height() == 1600);
        QTRY_COMPARE_WITH_TIMEOUT(model.image().height(), 1600, 30000);

        // A decode quick enough to be over before the call returns is shown at once.
        view.setPhotoID(QStringLiteral("b"));
        QVERIFY(model.isLoading() != model.hasImage());
        if (model.hasImage())
            QVERIFY(isRed(model.image()));
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        QVERIFY(isRed(model.image()));

        // A photo decoded once is shown again at once, without a second decode.
        const qint64 decodes = ThumbnailDecoder::decodeCount();
        view.setPhotoID(QStringLiteral("a"));
        QVERIFY(model.hasImage() && !model.isLoading());
        QCOMPARE(model.image().height(), 1600);
        QCOMPARE(ThumbnailDecoder::decodeCount(), decodes);

        view.setPhotoID(QStringLiteral("missing"));
        QTRY_VERIFY_WITH_TIMEOUT(model.loadFailed(), 30000);
        QCOMPARE(model.loadsStarted(), 5);
        view.grab(); // draws the "not in cache" notice
    }
};

LUNVIK_WIDGET_TEST_MAIN(TestGalleryGrid)
#include "tst_gallerygrid.moc"
