// The gallery screen's lightbox page and delete flow, the device preview
// pane, the activity pane and the settings popover, against a scripted
// server.

#include "support/screentests.h"

#include "ui/activity/activitylogpane.h"
#include "ui/gallery/gallerydeletehandling.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/galleryselectionbar.h"
#include "ui/gallery/gallerytoolbar.h"
#include "ui/kit/accessibility.h"
#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/capsulebutton.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "ui/kit/helppopovers.h"
#include "ui/kit/statepanels.h"
#include "ui/lightbox/photolightboxview.h"
#include "ui/preview/appearanceswitch.h"
#include "ui/preview/devicepreview.h"
#include "ui/preview/previewgallerysplit.h"
#include "ui/settings/connectionpill.h"
#include "ui/settings/framessection.h"
#include "ui/settings/settingspopover.h"
#include "ui/signin/unlockview.h"

#include "clock.h"
#include "store/appsession.h"
#include "store/photoformatters.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QToolButton>
#include <QWindow>

namespace {

using ScreenTests::delayed;
using ScreenTests::galleryOf;
using ScreenTests::logged;
using ScreenTests::testScreen;

const QByteArray landscapeFrameStatus
    = R"({"devices":[{"id":"f1","displayName":"Hall","reachable":true,"width":1600,"height":1200}]})";

QSet<QString> setOf(const QStringList &ids) { return QSet<QString>(ids.begin(), ids.end()); }

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

const QString token = QStringLiteral("0123abcd.0123456789abcdef0123456789abcdef");

QByteArray frameJson(const QString &id, const QString &name, bool pushed = true)
{
    QJsonObject frame{{"id", id},
                      {"displayName", name},
                      {"registeredBy", "Ana"},
                      {"registeredAt", "2026-03-01T09:30:00.000Z"}};
    if (pushed)
        frame.insert("lastPushAt", "2026-03-02T11:00:00.000Z");
    return QJsonDocument(frame).toJson(QJsonDocument::Compact);
}

QByteArray frameList(const QByteArrayList &frames)
{
    return "{\"devices\":[" + frames.join(',') + "]}";
}

// The visible accessibility tree under `iface`: the names found, the
// interactive elements (focusable, or of a role one acts on) that have
// none, and the enabled controls that the keyboard cannot reach.
void walkAccessible(QAccessibleInterface *iface, QStringList &names, QStringList &unnamed, QStringList &unreachable,
                    int depth = 0)
{
    if (!iface || !iface->isValid() || iface->state().invisible || depth > 30)
        return;
    static const QSet<QAccessible::Role> actedOn{QAccessible::Button,   QAccessible::CheckBox, QAccessible::RadioButton,
                                                 QAccessible::Slider,   QAccessible::EditableText, QAccessible::ListItem,
                                                 QAccessible::Cell,     QAccessible::MenuItem, QAccessible::ComboBox,
                                                 QAccessible::ButtonMenu};
    const QString name = iface->text(QAccessible::Name).trimmed();
    names.append(name);
    if (name.isEmpty() && (iface->state().focusable || actedOn.contains(iface->role()))) {
        const QObject *object = iface->object();
        unnamed.append(QStringLiteral("%1 (role %2, parent %3)")
                           .arg(object ? QString::fromLatin1(object->metaObject()->className()) : QStringLiteral("item"))
                           .arg(int(iface->role()))
                           .arg(object && object->parent() ? QString::fromLatin1(object->parent()->metaObject()->className())
                                                           : QString()));
    }
    if (iface->object() && actedOn.contains(iface->role()) && !iface->state().focusable && !iface->state().disabled)
        unreachable.append(name);
    for (int i = 0; i < iface->childCount(); ++i)
        walkAccessible(iface->child(i), names, unnamed, unreachable, depth + 1);
}

// The widgets Tab visits in `window`, starting from the focus, until it
// comes back; Shift+Tab when `backwards`.
QList<QWidget *> tabCycle(QWidget *window, bool backwards)
{
    QList<QWidget *> visited;
    for (int i = 0; i < 80; ++i) {
        QWidget *focus = window->focusWidget() ? window->focusWidget() : window;
        QTest::keyClick(focus, backwards ? Qt::Key_Backtab : Qt::Key_Tab, backwards ? Qt::ShiftModifier : Qt::NoModifier);
        QWidget *now = window->focusWidget();
        if (!now || (!visited.isEmpty() && now == visited.first()))
            break;
        visited.append(now);
    }
    return visited;
}

// Controls the keyboard should reach in `root`: visible, enabled, taking Tab.
QSet<QWidget *> tabStops(QWidget *root)
{
    QSet<QWidget *> stops;
    for (QWidget *widget : root->findChildren<QWidget *>())
        if (widget->isVisible() && widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus) && !widget->focusProxy())
            stops.insert(widget);
    return stops;
}

// An accessibility event as "class type: text".
QString describeEvent(QAccessibleEvent &event)
{
    QString text;
    if (event.type() == QAccessible::ValueChanged)
        text = static_cast<QAccessibleValueChangeEvent &>(event).value().toString();
    else if (QAccessibleInterface *iface = event.accessibleInterface())
        text = iface->text(event.type() == QAccessible::DescriptionChanged ? QAccessible::Description : QAccessible::Name);
    const QObject *object = event.object();
    return QStringLiteral("%1 %2: %3")
        .arg(object ? QString::fromLatin1(object->metaObject()->className()) : QString())
        .arg(int(event.type()), 0, 16)
        .arg(text);
}

} // namespace

class TestUiGalleryScreen : public QObject, private GalleryFixture
{
    Q_OBJECT

    PreviewGallerySplit *split = nullptr;
    std::unique_ptr<ActivityLogPane> pane; // the activity pane on its own
    SettingsPopover *popover = nullptr;

    GallerySelectionStore &selection() const { return store->selection(); }
    GalleryPhotoGrid *grid() const { return screen->grid(); }
    PhotoLightboxView *lightbox() const { return screen->lightbox(); }
    GalleryDeleteHandling *deletes() const { return screen->deleteHandling(); }
    DeviceCurrentPreview *preview() const { return split->preview(); }
    QRect rowRect(int row) const { return pane->listView()->visualRect(pane->model()->index(row)); }
    FramesSettingsSection *frames() const { return popover->framesSection(); }
    QAction *settingsAction() const { return screen->toolbar()->settingsAction(); }

    // An unlocked store holding `state` with its photos cached (3:4, blue),
    // and the gallery screen shown at `size` after its first refresh; with
    // `withPreview`, beside the device preview pane.
    void open(const GalleryState &state, QSize size = {1000, 700}, bool withPreview = false)
    {
        AppConfig::saveLocalState(state);
        for (const QString &id : state.order) {
            for (const QString &path : {AppConfig::thumbnailCacheURL(id, 512), AppConfig::cacheURL(id)}) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(jpeg({300, 400}));
            }
        }
        serveGallery(state);
        server.on("PUT", "/api/gallery/current", Response::json(200, galleryJson(state)));
        server.on("POST", "/api/gallery/photos", Response::json(200, galleryJson(state)));
        QVERIFY(unlock());
        createScreen();
        if (withPreview)
            split = new PreviewGallerySplit(*screen, *store, *chrome);
        QVERIFY(showScreen(size));
        settle();
        server.clearRequests();
    }
    void openWithPreview(const GalleryState &state, QSize size = {1400, 1000}) { open(state, size, true); }

    // Replaces the cached full-size file of photo `id`, or its thumbnail of
    // `thumbnailWidth`.
    void writeCached(const QString &id, const QByteArray &bytes, std::optional<int> thumbnailWidth = std::nullopt)
    {
        QFile cached(thumbnailWidth ? AppConfig::thumbnailCacheURL(id, *thumbnailWidth) : AppConfig::cacheURL(id));
        QVERIFY(cached.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cached.write(bytes);
    }

    QStringList deleted() const
    {
        QStringList ids;
        for (const auto &request : server.requests())
            if (request.method == "DELETE")
                ids.append(QString::fromUtf8(request.path.mid(request.path.lastIndexOf('/') + 1)));
        return ids;
    }

    // The server takes the deletes of `ids`, sent in this order.
    void acceptDeletes(const QStringList &ids)
    {
        GalleryState after = store->state();
        for (const QString &id : ids) {
            after.order.removeAll(id);
            after.photos.remove(id);
            after.updatedAt += QStringLiteral("-") + id;
            server.on("DELETE", "/api/gallery/photos/" + id.toUtf8(), Response::json(200, galleryJson(after)));
        }
    }

    // A pull that holds the store busy until `settle()`.
    void makeBusy()
    {
        server.on("GET", "/api/gallery", delayed(Response::text(304, ""), 300));
        store->startBackground([](GalleryStore &s) { return s.pullFromServer(PullKind::sync); });
        QVERIFY(store->isBusy());
    }

    QMessageBox *dialog() const { return deletes()->dialog(); }

    QAbstractButton *dialogButton(const QString &text) const
    {
        for (QAbstractButton *button : dialog()->buttons())
            if (button->text() == text)
                return button;
        return nullptr;
    }

    // An empty gallery with its settings popover, the server listing
    // `listed` and reporting the frame "Hall" reachable.
    void openSettings(const QByteArray &listed = frameList({}))
    {
        server.on("GET", "/api/devices", Response::json(200, listed));
        server.on("GET", "/api/devices/status",
                  Response::json(200, R"({"devices":[{"id":"f1","displayName":"Hall","reachable":true}]})"));
        open(galleryOf({}));
        popover = SettingsPopover::attach(*screen, *store, *session);
        logStore().clear();
    }

    void openPopover()
    {
        settingsAction()->trigger();
        QVERIFY(popover->isVisible());
        settle();
    }

    void paste(const QString &text)
    {
        frames()->pasteField()->setFocus(Qt::MouseFocusReason);
        QTRY_VERIFY(frames()->isPasteFieldFocused());
        frames()->setSetupPasteText(text);
    }

private Q_SLOTS:
    void initTestCase() { startServer(); }

    void init()
    {
        reset();
        QDir(TestEnvironment::home() + "/Downloads").removeRecursively();
        QDir().mkpath(TestEnvironment::home() + "/Downloads");
    }

    void cleanup()
    {
        Clock::setForTesting({});
        pane.reset();
        if (popover && popover->isVisible())
            popover->hide();
        popover = nullptr;
        tearDown();
    }

    // ---- The lightbox, the photo actions and the delete flow ----

    // Which dialog a request opens, what it says, and what its buttons do:
    // only "Delete" of a confirmation sends anything. Nothing opens while the
    // store is busy.
    void deleteDialogs_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QStringList>("requested");
        QTest::addColumn<QString>("title"); // none: no dialog
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("answer"); // a button's text, or "escape"
        QTest::addColumn<QStringList>("sent");
        const QString confirmOne = "This photo will be removed from the gallery.";
        const QString confirmMany = "These photos will be removed from the gallery.";
        using L = QStringList;
        QTest::newRow("one photo, cancelled")
            << "a" << L { "b" } << "Delete photo?" << confirmOne << "Cancel" << L {};
        QTest::newRow("two photos, deleted")
            << "a" << L { "c", "b" } << "Delete 2 photos?" << confirmMany << "Delete" << L { "b", "c" };
        QTest::newRow("all but the current one, dismissed")
            << "a" << L { "b", "c", "d" } << "Delete 3 photos?" << confirmMany << "escape" << L {};
        QTest::newRow("the current photo")
            << "c" << L { "b", "c" } << "Cannot delete"
            << "Can't delete the current photo. Show another photo for today first." << "OK" << L {};
        QTest::newRow("busy") << "a" << L { "b" } << "" << "" << "" << L {};
    }
    void deleteDialogs()
    {
        QFETCH(QString, current);
        QFETCH(QStringList, requested);
        QFETCH(QString, title);
        QFETCH(QString, message);
        QFETCH(QString, answer);
        QFETCH(QStringList, sent);
        open(galleryOf({ "a", "b", "c", "d" }, current));
        acceptDeletes(sent);
        selection().setSelectedIDs(setOf(requested));
        if (title.isEmpty())
            makeBusy();
        deletes()->requestDelete(setOf(requested));
        if (title.isEmpty()) {
            QVERIFY(!dialog());
            QCOMPARE(deletes()->pendingDeleteIDs(), std::nullopt);
            settle();
            return;
        }
        QTRY_VERIFY(dialog() && dialog()->isVisible());
        QCOMPARE(dialog()->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog()->text(), title);
        QCOMPARE(dialog()->informativeText(), message);
        if (answer == QLatin1StringView("escape"))
            QTest::keyClick(dialog(), Qt::Key_Escape);
        else
            dialogButton(answer)->click();
        QCOMPARE(deletes()->pendingDeleteIDs(), std::nullopt);
        QVERIFY(!deletes()->dialog());
        settle();
        QCOMPARE(deleted(), sent);
        if (!sent.isEmpty()) {
            QCOMPARE(selection().selectedIDs(), QSet<QString>());
            QCOMPARE(grid()->photoOrder(), (QList<QString> { "a", "d" }));
        }
    }

    // The store always has a current photo; a state without one still keeps
    // a photo.
    void deletingEveryPhotoIsRefused()
    {
        std::optional<GalleryDeleteAlert> shown;
        GalleryDeleteRequest::request(setOf({ "a", "b" }), galleryOf({ "a", "b" }), false, shown);
        QCOMPARE(shown ? shown->id() : QString(), QStringLiteral("blocked-wouldRemoveAllPhotos"));
        QCOMPARE(GalleryDeleteText::blockedMessage(shown->reason),
            QStringLiteral("At least one photo must remain in the gallery."));
    }

    // Holding Delete opens one dialog; presses within 0.35 s of a handled one
    // are not handled; a press while the confirmation shows changes nothing,
    // one while the refusal shows asks again.
    void keyboardDeleteGuard()
    {
        open(galleryOf({ "a", "b", "c" }, "a"));
        QDateTime now = QDateTime::currentDateTimeUtc();
        Clock::setForTesting([&now] { return now; });
        selection().setSelectedIDs({ "b", "c" });
        grid()->setFocus();
        QTest::keyClick(grid(), Qt::Key_Delete);
        QMessageBox *first = dialog();
        QVERIFY(first);
        now = now.addMSecs(200);
        QVERIFY(!deletes()->triggerDeleteFromKeyboard());
        now = now.addMSecs(200);
        QVERIFY(deletes()->triggerDeleteFromKeyboard());
        QCOMPARE(dialog(), first);
        dialogButton(QStringLiteral("Cancel"))->click();

        // Backspace, as Delete; the selection now includes the current photo.
        selection().setSelectedIDs({ "a", "b" });
        now = now.addMSecs(400);
        QTest::keyClick(grid(), Qt::Key_Backspace);
        QCOMPARE(dialog()->text(), QStringLiteral("Cannot delete"));
        selection().setSelectedIDs({ "b" });
        now = now.addMSecs(400);
        QVERIFY(deletes()->triggerDeleteFromKeyboard());
        QCOMPARE(dialog()->text(), QStringLiteral("Delete photo?"));
        dialogButton(QStringLiteral("Cancel"))->click();

        // Nothing for the keyboard in the lightbox.
        now = now.addMSecs(400);
        selection().openLightbox(QStringLiteral("b"));
        QVERIFY(!deletes()->triggerDeleteFromKeyboard());
        QVERIFY(!dialog());
    }

    // A right-click on a photo outside the selection acts on that photo
    // only; inside it, on the whole selection. "Show for today" always takes
    // the clicked photo.
    void contextMenu_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<int>("clicked");
        QTest::addColumn<QStringList>("targets");
        QTest::addColumn<QList<bool>>("enabled"); // show for today, download, delete
        using B = QList<bool>;
        using L = QStringList;
        QTest::newRow("outside three selected") << L { "b", "c", "d" } << 4 << L { "e" } << B { 1, 1, 1 };
        QTest::newRow("inside the selection") << L { "b", "c", "d" } << 2 << L { "b", "c", "d" } << B { 1, 1, 1 };
        QTest::newRow("the current photo") << L {} << 0 << L { "a" } << B { 0, 1, 0 };
    }
    void contextMenu()
    {
        QFETCH(QStringList, selected);
        QFETCH(int, clicked);
        QFETCH(QStringList, targets);
        QFETCH(QList<bool>, enabled);
        open(galleryOf({ "a", "b", "c", "d", "e" }, "a"));
        selection().setSelectedIDs(setOf(selected));
        QContextMenuEvent event(QContextMenuEvent::Mouse, grid()->visualRect(clicked).center(),
            grid()->viewport()->mapToGlobal(grid()->visualRect(clicked).center()));
        QApplication::sendEvent(grid()->viewport(), &event);
        QMenu *menu = grid()->findChild<QMenu *>();
        QVERIFY(menu);
        QStringList texts;
        for (QAction *action : menu->actions())
            texts.append(action->text());
        QCOMPARE(texts, (QStringList { "Show for today", "Download", "", "Delete" }));
        QCOMPARE(selection().selectedIDs(), setOf(selected));
        const QList<QAction *> actions { menu->findChild<QAction *>("showForTodayAction"),
            menu->findChild<QAction *>("downloadAction"), menu->findChild<QAction *>("deleteAction") };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(actions.at(i)->isEnabled(), enabled.at(i));
        actions.at(1)->trigger();
        settle();
        QStringList downloads = QDir(TestEnvironment::home() + "/Downloads").entryList(QDir::Files, QDir::Name);
        QCOMPARE(downloads.replaceInStrings(".jpg", ""), targets);
        actions.at(2)->trigger();
        if (enabled.at(2)) {
            QCOMPARE(dialog()->text(), GalleryDeleteText::alertConfirmTitle(std::nullopt, int(targets.size())));
            QCOMPARE(deletes()->pendingDeleteIDs(), std::optional<QSet<QString>>(setOf(targets)));
            dialogButton(QStringLiteral("Cancel"))->click();
        } else {
            QVERIFY(!dialog());
        }
        actions.at(0)->trigger();
        menu->close();
        settle();
        const auto setCurrent = server.requests("PUT", "/api/gallery/current");
        QCOMPARE(setCurrent.size(), enabled.at(0) ? 1 : 0);
        if (enabled.at(0))
            QVERIFY(setCurrent.first().body.contains(grid()->photoOrder().at(clicked).toUtf8()));
    }

    // The bar shows while photos are selected (lightboxPage: not while the
    // lightbox is open), over the grid; "Show for today" only for one photo,
    // Delete dimmed for a selection with the current photo.
    void selectionBar()
    {
        open(galleryOf({ "a", "b", "c" }, "a"));
        GallerySelectionBar *bar = screen->selectionBar();
        QVERIFY(!bar->isPresented());
        selection().setSelectedIDs({ "b" });
        QCOMPARE(bar->labelText(), QStringLiteral("1 photo selected"));
        QVERIFY(bar->showForTodayButton()->isVisibleTo(bar));
        QCOMPARE(bar->deleteButton()->drawnOpacity(), 1.0);
        QTRY_VERIFY(bar->isVisible());
        QTRY_VERIFY(grid()->viewport()->geometry().contains(bar->geometry()));
        QTest::mouseClick(bar->deleteButton(), Qt::LeftButton);
        QCOMPARE(dialog()->text(), QStringLiteral("Delete photo?"));
        dialogButton(QStringLiteral("Cancel"))->click();

        QTest::mouseClick(bar->showForTodayButton(), Qt::LeftButton);
        QVERIFY(store->isBusy());
        settle();
        QCOMPARE(server.requests("PUT", "/api/gallery/current").size(), 1);

        selection().setSelectedIDs({ "a", "c" });
        QCOMPARE(bar->labelText(), QStringLiteral("2 photos selected"));
        QVERIFY(!bar->showForTodayButton()->isVisibleTo(bar));
        QCOMPARE(bar->deleteButton()->drawnOpacity(), 0.45);
    }

    // Every way back closes the lightbox, clearing both ids; opening the
    // same photo again pushes the page again. The details sit beside the
    // photo from 640 wide, under it below that, switching as the window is
    // resized across.
    void lightboxPage()
    {
        open(galleryOf({ "a", "b", "c" }, "a"));
        for (const QString way : { "escape", "alt+left", "back", "mouse" }) {
            QTest::mouseDClick(grid()->viewport(), Qt::LeftButton, {}, grid()->visualRect(1).center());
            QCOMPARE(screen->navigationPath(), std::optional<QString>("b"));
            QCOMPARE(lightbox()->photoID(), QStringLiteral("b"));
            QCOMPARE(lightbox()->lastTransition(), PhotoLightboxView::Transition::appear);
            QTRY_VERIFY(lightbox()->hasFocus());
            QVERIFY(!screen->selectionBar()->isPresented());
            if (way == QLatin1StringView("escape"))
                QTest::keyClick(lightbox(), Qt::Key_Escape);
            else if (way == QLatin1StringView("alt+left"))
                QTest::keyClick(lightbox(), Qt::Key_Left, Qt::AltModifier);
            else if (way == QLatin1StringView("back"))
                lightbox()->backButton()->click();
            else
                QTest::mouseClick(lightbox(), Qt::BackButton);
            QCOMPARE(selection().lightboxNavigationPhotoID(), std::nullopt);
            QCOMPARE(selection().lightboxPhotoID(), std::nullopt);
            QVERIFY2(!screen->isLightboxPageShown(), qPrintable(way));
            QCOMPARE(selection().selectedIDs(), QSet<QString> { "b" });
            QTRY_VERIFY(grid()->hasFocus());
        }

        screen->setMinimumSize(0, 0);
        selection().openLightbox(QStringLiteral("b"));
        for (const auto &[width, beside] : { std::pair(639, false), std::pair(640, true) }) {
            screen->resize(width, 600);
            QCoreApplication::processEvents();
            QCOMPARE(lightbox()->width(), width);
            QCOMPARE(lightbox()->isWideLayout(), beside);
            const QRect hero = lightbox()->heroImage()->parentWidget()->geometry();
            const QRect details = lightbox()->detailsColumn()->geometry();
            if (beside)
                QVERIFY(details.left() >= hero.right());
            else
                QVERIFY(details.top() >= hero.bottom());
        }
        // Back in the grid, resized meanwhile, the bar sits over its photos.
        selection().closeLightbox();
        QTRY_VERIFY(grid()->viewport()->geometry().contains(screen->selectionBar()->geometry()));
    }

    // The details and the three buttons, for the current photo and another.
    // Left and Right step through the photos, wrapping; each step fades the
    // new photo in. Confirming the delete of the open photo closes the
    // lightbox first; a photo removed meanwhile shows as unavailable.
    void detailsAndStepping()
    {
        open(galleryOf({ "a", "b", "c" }, "a"));
        selection().openLightbox(QStringLiteral("a"));
        QCOMPARE(lightbox()->addedByText(), QStringLiteral("Added by Ana"));
        QCOMPARE(lightbox()->updatedText(),
            QStringLiteral("Updated ") + PhotoFormatters::updatedAt(QStringLiteral("2026-03-01T09:30:00.000Z")));
        CapsuleButton *showToday = lightbox()->showForTodayButton();
        QCOMPARE(showToday->text(), store->lightboxShowingUntilCaption(*lightbox()->photo()));
        QVERIFY(showToday->text().startsWith(QStringLiteral("Showing until ")));
        QVERIFY(!showToday->isEnabled());
        QCOMPARE(showToday->drawnOpacity(), 1.0);
        QVERIFY(!lightbox()->deleteButton()->isEnabled());
        QVERIFY(lightbox()->downloadButton()->isEnabled());

        QTRY_COMPARE(lightbox()->heroOpacity(), 1.0);
        const QList<std::pair<Qt::Key, QString>> steps { { Qt::Key_Left, "c" }, { Qt::Key_Right, "a" } };
        for (const auto &[key, id] : steps) {
            QTest::keyClick(lightbox(), key);
            QCOMPARE(selection().lightboxNavigationPhotoID(), std::optional<QString>(id));
            QCOMPARE(selection().lightboxPhotoID(), std::optional<QString>(id));
            QCOMPARE(selection().selectedIDs(), QSet<QString> { id });
            QCOMPARE(lightbox()->heroImage()->photoID(), id);
            QCOMPARE(lightbox()->lastTransition(), PhotoLightboxView::Transition::step);
        }
        QVERIFY(lightbox()->heroOpacity() < 1.0);
        QTRY_COMPARE(lightbox()->heroOpacity(), 1.0);
        QTRY_VERIFY(lightbox()->heroImage()->model().hasImage());
        // Up and Down do nothing here.
        QTest::keyClick(lightbox(), Qt::Key_Down);
        QCOMPARE(selection().lightboxNavigationPhotoID(), std::optional<QString>("a"));

        QTest::keyClick(lightbox(), Qt::Key_Right);
        QCOMPARE(showToday->text(), QStringLiteral("Show for today"));
        QVERIFY(showToday->isEnabled());
        QVERIFY(lightbox()->deleteButton()->isEnabled());
        makeBusy();
        QCOMPARE(showToday->drawnOpacity(), 0.45);
        QVERIFY(!showToday->isEnabled());
        QVERIFY(!lightbox()->downloadButton()->isEnabled());
        QVERIFY(!lightbox()->deleteButton()->isEnabled());
        settle();

        acceptDeletes({ "b" });
        QTest::mouseClick(lightbox()->deleteButton(), Qt::LeftButton);
        QCOMPARE(dialog()->text(), QStringLiteral("Delete photo?"));
        dialogButton(QStringLiteral("Delete"))->click();
        QVERIFY(!screen->isLightboxPageShown());
        settle();
        QCOMPARE(deleted(), QStringList { "b" });

        selection().openLightbox(QStringLiteral("c"));
        QVERIFY(!lightbox()->isShowingUnavailable());
        serveGallery(galleryOf({ "a", "b" }, "a", "v2"));
        TaskWait::run(store->syncAll());
        QVERIFY(lightbox()->isShowingUnavailable());
        QCOMPARE(lightbox()->unavailablePanel()->title(), QStringLiteral("Photo unavailable"));
    }

    // ---- The device preview ----

    void paneWidthRule_data()
    {
        QTest::addColumn<double>("contentHeight");
        QTest::addColumn<double>("aspect");
        QTest::addColumn<double>("totalWidth");
        QTest::addColumn<double>("width");
        QTest::newRow("portrait frame") << 1000.0 << 0.75 << 1400.0 << 720.5;
        QTest::newRow("short window keeps 80 points of screen") << 150.0 << 0.75 << 1400.0 << 184.0;
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
        QTest::newRow("down") << int(LinkStatus::down) << "Disconnected" << "xmark.circle.fill"
                              << QColor::fromRgbF(1.0f, 0.9f, 0.9f);
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
        pill.setStatus(LinkStatus(status));
        pill.show();
        QCOMPARE(pill.statusText(), text);
        QCOMPARE(pill.shownSymbolName(), symbol);
        // A spinner turns in place of the symbol only while checking.
        QCOMPARE(pill.isSpinnerShown(), LinkStatus(status) == LinkStatus::checking);
        QVERIFY(ConnectionPill::solidFill(LinkStatus(status), true).lightness() < fill.lightness() / 2);
        const QImage shot = pill.grab().toImage();
        QCOMPARE(shot.pixelColor(shot.width() / 2, 2).rgb(), fill.rgb());
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
        openWithPreview(galleryOf({"a", "b", "c"}, QStringLiteral("a")));
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

    // Without a current photo the screen shows how to choose one, and no
    // badge under the pointer. The pointer sets the chrome's tilt; the
    // preview springs to it and projects the device so that the side under
    // the pointer moves away: at the top left corner the left and top edges
    // shrink.
    void placeholderAndTilt()
    {
        openWithPreview(galleryOf({}));
        QVERIFY(preview()->showsPlaceholder());
        QCOMPARE(DeviceCurrentPreview::placeholderTitle(), QStringLiteral("No current photo"));
        QCOMPARE(DeviceCurrentPreview::placeholderDescription(),
                 QStringLiteral("Select a photo and choose Show for today, or drag a thumbnail or image file here."));
        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
        QApplication::sendEvent(preview(), &enter);
        QVERIFY(preview()->isPreviewHovered());
        QVERIFY(!preview()->hoverBadgeText());

        const DevicePreviewHoverTiltAngles corner{-3.0, 2.5};
        QMouseEvent move(QEvent::MouseMove, QPointF(0, 0), preview()->mapToGlobal(QPointF(0, 0)), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(preview(), &move);
        QCOMPARE(chrome->devicePreviewHoverTilt(), corner);
        QTRY_COMPARE(preview()->shownTilt(), corner);
        const QPolygonF frame = preview()->deviceTransform().map(QPolygonF(preview()->frameRect()));
        const double top = QLineF(frame[0], frame[1]).length(), right = QLineF(frame[1], frame[2]).length();
        const double bottom = QLineF(frame[2], frame[3]).length(), left = QLineF(frame[3], frame[0]).length();
        QVERIFY(right > left + 0.5);
        QVERIFY(bottom > top + 0.5);

        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(preview(), &leave);
        QCOMPARE(chrome->devicePreviewHoverTilt(), DevicePreviewHoverTiltAngles{});
        QTRY_COMPARE(preview()->shownTilt(), DevicePreviewHoverTiltAngles{});
    }

    // The photo for today, letterboxed, with the store's caption under the
    // pointer. The preview's switch, the lightbox's and its E key show the
    // photo or its e-paper rendering, one saved setting for both; the photo
    // stays on screen while the rendering is computed. A frame that reports
    // another shape is rendered for that shape, and the pane widens for it.
    void photoForToday()
    {
        openWithPreview(galleryOf({"a", "b"}, QStringLiteral("b")));
        QCOMPARE(preview()->shownPhotoID(), std::optional<QString>(QStringLiteral("b")));
        QTRY_VERIFY(preview()->imageModel().hasImage());
        QCOMPARE(preview()->imageModel().loadedMaxPixelSize(), std::optional<int>(1200));
        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
        QApplication::sendEvent(preview(), &enter);
        QVERIFY(preview()->hoverBadgeText().value_or(QString()).startsWith(QStringLiteral("Added by Ana / until ")));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(preview(), &leave);
        QVERIFY(!preview()->hoverBadgeText());
        // The photo is letterboxed in black: the 3:4 photo on the frame's
        // 3:4 screen fills it, the screen's centre is the photo's colour.
        const QColor centre = preview()->grab().toImage().pixelColor(preview()->screenRect().center().toPoint());
        QVERIFY2(centre.blue() > centre.red() + 60, qPrintable(centre.name()));

        PreviewAppearanceSwitch *toggle = preview()->appearanceSwitch();
        QVERIFY(toggle->isVisible());
        QCOMPARE(toggle->photoButton()->accessibleName(), QStringLiteral("Photo"));
        QCOMPARE(toggle->epaperButton()->accessibleName(), QStringLiteral("E-paper"));
        QVERIFY(toggle->photoButton()->isChecked());

        QTest::mouseClick(toggle->epaperButton(), Qt::LeftButton);
        QCOMPARE(AppConfig::loadSettings().previewAppearance, PreviewAppearance::epaper);
        QVERIFY(preview()->epaperModel().isRendering());
        QVERIFY(!preview()->showsEpaperRendering());
        QVERIFY(!preview()->showsPlaceholder() && preview()->imageModel().hasImage());
        QTRY_VERIFY(preview()->showsEpaperRendering());
        QCOMPARE(preview()->epaperModel().rendering().size(), QSize(1200, 1600));

        // The lightbox follows the setting, and renders each photo it steps to.
        selection().openLightbox(QStringLiteral("a"));
        CachedPhotoImage *hero = lightbox()->heroImage();
        QCOMPARE(lightbox()->appearanceSwitch()->shown(), PreviewAppearance::epaper);
        QTRY_VERIFY(hero->showsEpaperRendering());
        QTest::keyClick(lightbox(), Qt::Key_Right);
        QTRY_VERIFY(hero->showsEpaperRendering());
        QCOMPARE(hero->epaperModel().photoID(), std::optional<QString>("b"));

        QTest::mouseClick(lightbox()->appearanceSwitch()->photoButton(), Qt::LeftButton);
        QCOMPARE(store->settings().previewAppearance, PreviewAppearance::photo);
        QVERIFY(!hero->showsEpaperRendering());
        QVERIFY(!preview()->showsEpaperRendering());
        QTest::keyClick(lightbox(), Qt::Key_E);
        QCOMPARE(AppConfig::loadSettings().previewAppearance, PreviewAppearance::epaper);
        QVERIFY(hero->model().hasImage());
        QTRY_VERIFY(hero->showsEpaperRendering());
        selection().closeLightbox();

        server.on("GET", "/api/devices/status", Response::json(200, landscapeFrameStatus));
        TaskWait::run(store->updateDeviceStatus());
        QTRY_COMPARE(preview()->epaperModel().rendering().size(), QSize(1600, 1200));
        // Up to 72 % of the window.
        QTRY_COMPARE(preview()->width(), 1008);
        screen->resize(1400, 500);
        QTRY_COMPARE(preview()->width(), int(std::lround((500 - 178) / 0.75 + 104)));

        QTest::mouseClick(toggle->photoButton(), Qt::LeftButton);
        QVERIFY(!preview()->showsEpaperRendering());
        QCOMPARE(AppConfig::loadSettings().previewAppearance, PreviewAppearance::photo);
    }

    // A photo that could not be read is read again when its lightbox is
    // opened again, or for the photo for today when the toolbar's toggle
    // shows the pane again (the grid takes its room meanwhile); not while
    // either stays open.
    void aFailedPhotoIsReadAgain()
    {
        openWithPreview(galleryOf({"a", "b", "c"}, QStringLiteral("b")));
        QVERIFY(QFile::remove(AppConfig::cacheURL(QStringLiteral("c"))));
        server.on("GET", "/api/gallery/photos/c/image", Response::text(404, ""));
        selection().openLightbox(QStringLiteral("c"));
        PhotoImageModel &hero = lightbox()->heroImage()->model();
        QTRY_VERIFY_WITH_TIMEOUT(hero.loadFailed() && !hero.isLoading(), 30000);
        const int loads = hero.loadsStarted();
        writeCached(QStringLiteral("c"), jpeg({300, 400}));
        TaskWait::run(store->syncAll());
        QVERIFY(!hero.hasImage());
        QCOMPARE(hero.loadsStarted(), loads);
        QTest::keyClick(lightbox(), Qt::Key_Escape);
        selection().openLightbox(QStringLiteral("c"));
        QTRY_VERIFY_WITH_TIMEOUT(hero.hasImage(), 30000);
        QVERIFY(!hero.loadFailed());
        QCOMPARE(hero.loadsStarted(), loads + 1);
        selection().closeLightbox();

        writeCached(QStringLiteral("a"), "not a jpeg");
        serveGallery(galleryOf({"a", "b", "c"}, QStringLiteral("a"), QStringLiteral("v2")));
        TaskWait::run(store->syncAll());
        QCOMPARE(preview()->shownPhotoID(), std::optional<QString>(QStringLiteral("a")));
        PhotoImageModel &model = preview()->imageModel();
        QTRY_VERIFY_WITH_TIMEOUT(model.loadFailed() && !model.isLoading(), 30000);
        writeCached(QStringLiteral("a"), jpeg({300, 400}));
        TaskWait::run(store->syncAll());
        QVERIFY(model.loadFailed());
        QAction *toggle = screen->toolbar()->devicePreviewAction();
        toggle->trigger();
        QTRY_VERIFY(preview()->isHidden());
        QVERIFY(screen->grid()->width() > 1300);
        QVERIFY(model.loadFailed());
        toggle->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        QVERIFY(!model.loadFailed());
    }

    // On a screen of twice the density the thumbnails and the preview are
    // decoded for its device pixels: sharp, not stretched.
    void decodedForDevicePixels()
    {
        QScreen *retina = testScreen(QStringLiteral("retina"));
        if (!retina)
            QSKIP("needs the test screens of the offscreen platform");
        openWithPreview(galleryOf({"a"}, QStringLiteral("a")), {1500, 950});
        // At 2x the grid may ask for the next thumbnail width.
        for (const int width : {512, 768})
            writeCached(QStringLiteral("a"), jpeg({768, 1024}), width);
        writeCached(QStringLiteral("a"), jpeg({1800, 2400}));
        const GalleryGridGeometry geometry = grid()->layoutGeometry();
        const double cellSide = std::max(geometry.cellWidth, geometry.cellHeight);
        screen->windowHandle()->setScreen(retina);
        screen->move(retina->geometry().topLeft());
        QTRY_COMPARE(preview()->devicePixelRatioF(), 2.0);
        QCOMPARE(grid()->layoutGeometry().cellHeight, geometry.cellHeight);
        const auto thumbnailSide = [this] { return grid()->imageModel(QStringLiteral("a"))->image().height(); };
        QTRY_VERIFY2(thumbnailSide() >= 2 * cellSide, qPrintable(QString::number(thumbnailSide())));

        const QSizeF shown = preview()->screenRect().size();
        const double deviceSide = 2 * std::max(shown.width(), shown.height());
        QVERIFY2(deviceSide > DeviceCurrentPreview::photoMaxPixelSize, qPrintable(QString::number(deviceSide)));
        QTRY_VERIFY2(preview()->imageModel().image().height() >= deviceSide,
                     qPrintable(QString::number(preview()->imageModel().image().height())));
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
        QScreen *target = testScreen(screenName);
        if (!target)
            QSKIP("needs the test screens of the offscreen platform");
        const QRect available = target->availableGeometry();

        openWithPreview(galleryOf({"a"}, QStringLiteral("a")), {startWidth, 600});
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
        QVERIFY(available.contains(screen->frameGeometry()));
        QTRY_COMPARE(screen->toolbar()->width() >= screen->toolbar()->sizeHint().width(), toolbarFits);
        if (!toolbarFits)
            QCOMPARE(screen->frameGeometry().right(), available.right());

        chrome->setShowActivityInspector(false);
        QTRY_COMPARE(screen->width(), startWidth);
    }

    // ---- The activity pane ----

    // Details up to 160 user-perceived characters on one line are inline;
    // longer or multi-line ones fold to their first line, cut at 160.
    void folding_data()
    {
        QTest::addColumn<QString>("detail");
        QTest::addColumn<bool>("inlineShown");
        QTest::addColumn<QString>("preview");
        const QString thumb = QString::fromUtf8("\U0001F44D\U0001F3FD"); // one character, four UTF-16 units
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

    // The empty state until a record arrives; rows newest first, only an
    // error's in red; selected rows are copied with their details; details
    // unfold; Clear empties the log and the list.
    void rows()
    {
        logStore().clear();
        chrome->setShowActivityInspector(true);
        pane = std::make_unique<ActivityLogPane>(logStore(), *chrome);
        pane->resize(340, 600);
        pane->show();
        QVERIFY(QTest::qWaitForWindowExposed(pane.get()));
        QVERIFY(pane->isShowingEmptyState());
        QCOMPARE(pane->emptyState()->title(), QStringLiteral("No activity yet"));
        QCOMPARE(pane->emptyState()->description(), QStringLiteral("Sync, uploads, and server events appear here."));
        logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("First MMMMMMMM WWWWWWWW"));
        QVERIFY(!pane->isShowingEmptyState());
        for (LogLevel level : { LogLevel::success, LogLevel::warning })
            logStore().log(LogCategory::sync, level, QStringLiteral("MMMMMMMM WWWWWWWW"));
        logStore().log(LogCategory::sync, LogLevel::error, QStringLiteral("Last MMMMMMMM"),
            QStringLiteral("why it failed"));
        QTRY_VERIFY(rowRect(3).height() > 0);
        const QImage shot = pane->listView()->viewport()->grab().toImage();
        for (int row = 0; row < 4; ++row)
            QVERIFY2(hasReddishPixel(shot, rowRect(row)) == (row == 0), qPrintable(QString::number(row)));

        pane->listView()->selectAll();
        pane->listView()->setFocus();
        QTest::keyClick(pane->listView(), Qt::Key_C, Qt::ControlModifier);
        const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines.at(0).endsWith(QStringLiteral("  Last MMMMMMMM")));
        QCOMPARE(lines.at(1), QStringLiteral("why it failed"));
        QVERIFY(lines.at(4).endsWith(QStringLiteral("  First MMMMMMMM WWWWWWWW")));

        // An unfolded record stays open while new records arrive; hiding the
        // pane folds everything again.
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

        QTest::mouseClick(pane->clearButton(), Qt::LeftButton);
        QVERIFY(logStore().entries().isEmpty());
        QVERIFY(pane->isShowingEmptyState());
        chrome->setShowActivityInspector(false);
        QVERIFY(!pane->clearButton()->isVisible());
    }

    // ---- The settings popover ----

    // Each opening shows the pills checking once, then the fresh result;
    // each closing saves the settings, also when nothing was edited. Return
    // in the name field drops the focus and saves the name, once. The
    // local-server caption shows only in debug mode.
    void openingRefreshesClosingSaves()
    {
        openSettings();
        int checkingShown = 0;
        connect(store.get(), &GalleryStore::deviceLinkStatusChanged, this, [&] {
            checkingShown += store->deviceLinkStatus() == LinkStatus::checking ? 1 : 0;
        });
        settingsAction()->trigger();
        QVERIFY(popover->isVisible());
        QVERIFY(settingsAction()->isChecked());
        QVERIFY(!screen->grid()->isKeyboardHandlingEnabled());
        QCOMPARE(popover->width(), 340);
        QCOMPARE(checkingShown, 1);
        QCOMPARE(popover->serverPill()->statusText(), QStringLiteral("Connecting"));
        QVERIFY(frames()->framesPill()->isSpinnerShown());
        settle();
        QCOMPARE(popover->serverPill()->title(), QStringLiteral("Server"));
        QCOMPARE(popover->serverPill()->statusText(), QStringLiteral("Connected"));
        QCOMPARE(popover->serverPill()->subtitle(), std::optional<QString>(store->settings().serverBaseURL));
        QCOMPARE(frames()->framesPill()->title(), QStringLiteral("All frames"));
        QCOMPARE(frames()->framesPill()->statusText(), QStringLiteral("Connected"));
        QVERIFY(popover->localServerCaptionLabel()->isVisible());
        QCOMPARE(popover->localServerCaptionLabel()->text(),
                 QStringLiteral("Run ./scripts/dev.sh in the repo to start the local API."));
        QCOMPARE(logged(QStringLiteral("Settings saved")), 0);

        QCOMPARE(popover->nameField()->text(), store->settings().displayName);
        popover->nameField()->setFocus(Qt::MouseFocusReason);
        QTRY_VERIFY(popover->nameField()->hasFocus());
        popover->nameField()->selectAll();
        QTest::keyClicks(popover->nameField(), QStringLiteral("Bodil"));
        QTest::keyClick(popover->nameField(), Qt::Key_Return);
        QVERIFY(!popover->nameField()->hasFocus());
        QCOMPARE(logged(QStringLiteral("Settings saved")), 1);
        QCOMPARE(AppConfig::loadSettings().displayName, QStringLiteral("Bodil"));

        popover->hide();
        QVERIFY(!settingsAction()->isChecked());
        QVERIFY(screen->grid()->isKeyboardHandlingEnabled());
        QCOMPARE(logged(QStringLiteral("Settings saved")), 2);
        settle();
        QCOMPARE(checkingShown, 1); // the save's own check shows no "Connecting"

        openPopover();
        QCOMPARE(checkingShown, 2);
        // Notifications are on until turned off, which is saved at once.
        QCOMPARE(popover->notifyCheckBox()->text(), QStringLiteral("Notify me when long work ends"));
        QVERIFY(popover->notifyCheckBox()->isChecked());
        popover->notifyCheckBox()->click();
        QVERIFY(!AppConfig::loadSettings().notifyWhenLongWorkEnds);
        AppSettings settings = store->settings();
        settings.debugMode = false;
        store->setSettings(settings);
        QVERIFY(!popover->localServerCaptionLabel()->isVisible());

        // Log out locks the session, and the popover closes and saves.
        QCOMPARE(popover->logOutButton()->text(), QStringLiteral("Log out"));
        popover->logOutButton()->click();
        QCOMPARE(session->sessionPhase(), SessionPhase::locked);
        QVERIFY(!popover->isVisible());
        QCOMPARE(logged(QStringLiteral("Settings saved")), 3);
        QVERIFY(AppConfig::loadSettings().syncSessionToken.isEmpty());
    }

    // Return in the paste field registers a frame when it finds a token, and
    // so does leaving the field by a click outside, which closes the
    // popover. A failure shows the server's error and keeps the text.
    void registration_data()
    {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("submit"); // "return" or "outside"
        QTest::addColumn<int>("status"); // the server's answer
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("sent");
        QTest::newRow("a sentence") << "Please add the frame in the hall" << "return" << 200
                                    << "Could not find a Bloomin8 API token. Paste the setup block or token only." << false;
        QTest::newRow("a setup block") << "\n  Device: Hall | 13.3 inch\nToken: " + token + "\nInterval: 1h\n" << "return"
                                       << 200 << "" << true;
        QTest::newRow("the server refuses") << "Token: " + token << "return" << 400 << "HTTP 400: Frame token rejected"
                                            << true;
        QTest::newRow("a click outside") << "Token: " + token << "outside" << 200 << "" << true;
    }
    void registration()
    {
        QFETCH(QString, pasted);
        QFETCH(QString, submit);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(bool, sent);
        server.on("POST", "/api/devices",
                  status == 200 ? Response::json(200, "{\"device\":" + frameJson("f9", "Hall", false) + "}")
                                : Response::json(status, R"({"error":"Frame token rejected"})"));
        openSettings();
        openPopover();
        // No frame yet: the form is open.
        QVERIFY(frames()->isAddingDeviceExpanded());
        QCOMPARE(frames()->pasteField()->placeholderText(), QStringLiteral("Paste Bloomin8 setup block or API key"));
        paste(pasted);
        if (submit == QLatin1StringView("return")) {
            QTest::keyClick(frames()->pasteField(), Qt::Key_Return);
        } else {
            // A press outside an open popup goes to the popup, which closes.
            QTest::mouseClick(popover, Qt::LeftButton, {}, QPoint(-20, -20));
            QVERIFY(!popover->isVisible());
        }
        QTRY_VERIFY(!frames()->isRegistering());
        settle();

        const auto requests = server.requests("POST", "/api/devices");
        QCOMPARE(requests.size(), sent ? 1 : 0);
        if (sent) {
            const QJsonObject body = QJsonDocument::fromJson(requests.first().body).object();
            QCOMPARE(body.value("setupText").toString(), pasted.trimmed());
            QCOMPARE(body.value("registeredBy").toString(), store->settings().displayName);
        }
        QCOMPARE(frames()->errorLabel()->isVisible(), !error.isEmpty());
        QCOMPARE(frames()->errorLabel()->text(), error);
        const bool registered = sent && status == 200;
        QCOMPARE(frames()->isAddingDeviceExpanded(), !registered);
        QCOMPARE(frames()->setupPasteText(), registered ? QString() : pasted);
        if (popover->isVisible())
            QCOMPARE(frames()->rowFrameIDs(), registered ? QStringList{"f9"} : QStringList{});
        // A failure on screen is in the activity log too.
        QCOMPARE(logged(QStringLiteral("Frame registration failed")), sent && !registered ? 1 : 0);
    }

    // With frames the form opens only when asked, and closing it clears its
    // error; the help button shows how to get a setup block. A removal drops
    // the row at once; a second one waits for nothing and is ignored while
    // the first runs; a failed one brings the row back and shows the error,
    // also with the form closed.
    void framesList()
    {
        server.on("DELETE", "/api/devices/f1", delayed(Response::text(204, ""), 300));
        server.on("DELETE", "/api/devices/f2", Response::json(500, R"({"error":"Frame busy"})"));
        openSettings(frameList({frameJson("f1", "Hall"), frameJson("f2", "Kitchen", false)}));
        openPopover();
        QVERIFY(!frames()->isAddingDeviceExpanded());
        frames()->addDeviceButton()->click();
        QVERIFY(frames()->isAddingDeviceExpanded());
        paste(QStringLiteral("no token here"));
        QTest::keyClick(frames()->pasteField(), Qt::Key_Return);
        QVERIFY(frames()->errorLabel()->isVisible());
        frames()->addDeviceButton()->click();
        QVERIFY(!frames()->isAddingDeviceExpanded());
        QVERIFY(!frames()->errorLabel()->isVisible());

        QCOMPARE(frames()->helpButton()->toolTip(), QStringLiteral("How to register a Bloomin8 frame"));
        frames()->helpButton()->click();
        QVERIFY(frames()->helpPopover()->isVisible());

        QCOMPARE(frames()->rowFrameIDs(), (QStringList{"f1", "f2"}));
        QCOMPARE(frames()->rowTexts("f1"),
                 (QStringList{"Hall", PhotoFormatters::deviceRegisteredAt("2026-03-01T09:30:00.000Z"),
                              PhotoFormatters::deviceLastPushAt("2026-03-02T11:00:00.000Z")}));
        QCOMPARE(frames()->rowTexts("f2").last(), QStringLiteral("Last push unknown"));
        QCOMPARE(frames()->removeButton("f1")->toolTip(), QStringLiteral("Remove frame from server"));

        frames()->removeButton("f1")->click();
        QCOMPARE(frames()->rowFrameIDs(), QStringList{"f2"});
        frames()->removeButton("f2")->click();
        QTRY_VERIFY(!frames()->deletingFrameID());
        settle();
        QCOMPARE(server.requests("DELETE", "/api/devices/f1").size(), 1);
        QCOMPARE(server.requests("DELETE", "/api/devices/f2").size(), 0);
        QCOMPARE(logged(QStringLiteral("Frame removed")), 1);

        frames()->removeButton("f2")->click();
        QCOMPARE(frames()->rowFrameIDs(), QStringList{});
        QTRY_VERIFY(!frames()->deletingFrameID());
        QCOMPARE(frames()->rowFrameIDs(), QStringList{"f2"});
        QVERIFY(!frames()->isRowDimmed("f2"));
        QVERIFY(frames()->errorLabel()->isVisible());
        QCOMPARE(frames()->errorLabel()->text(), QStringLiteral("HTTP 500: Frame busy"));
        const LogEntry failed = logStore().entries().first();
        QCOMPARE(failed.message, QStringLiteral("Frame removal failed"));
        QCOMPARE(failed.level, LogLevel::error);
        QCOMPARE(failed.category, LogCategory::device);
        QVERIFY(failed.detail.value_or(QString()).contains(QStringLiteral("Frame busy")));

        // A lock from elsewhere (a refused session, say) closes the popover,
        // which saves.
        session->lock(*store);
        QVERIFY(!popover->isVisible());
        QCOMPARE(logged(QStringLiteral("Settings saved")), 1);
    }
    // ---- Assistive technology and the keyboard ----

    // Each screen's accessibility tree names every element one can act on,
    // with the texts the screen shows; Tab goes round every control and
    // Shift+Tab the same way back.
    void accessibilityTree_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("unlock form") << "unlock"
                                     << QStringList{"Your name", "Frame setup (optional)", "Family password",
                                                    "Show password", "Where to find the family password", "Unlock"};
        QTest::newRow("gallery") << "gallery"
                                 << QStringList{"Device preview", "Photo", "E-paper", "Photos per row", "Add", "Sync",
                                                "Activity", "Photos", "p1.jpg", "p3.jpg", "Show for today", "Delete",
                                                "Clear", "Sync started"};
        QTest::newRow("lightbox") << "lightbox"
                                  << QStringList{"p2.jpg", "Back", "Photo", "E-paper", "Show for today", "Download",
                                                 "Delete"};
        QTest::newRow("settings") << "settings"
                                  << QStringList{"Your name", "Server: Connected", "All frames: Connected", "Hall",
                                                 "Remove frame from server", "How to register a Bloomin8 frame",
                                                 "Add a device", "Paste Bloomin8 setup block or API key", "Log out"};
    }
    void accessibilityTree()
    {
        QFETCH(QString, shown);
        QFETCH(QStringList, expected);
        std::unique_ptr<UnlockForm> form;
        std::unique_ptr<UnlockView> unlockView;
        QWidget *root = nullptr;
        if (shown == QLatin1String("unlock")) {
            store = std::make_unique<GalleryStore>();
            session = std::make_unique<AppSession>();
            store->setSession(session.get());
            form = std::make_unique<UnlockForm>(*session, *store);
            unlockView = std::make_unique<UnlockView>(*session, *form);
            root = unlockView.get();
            root->resize(1000, 700);
            root->show();
        } else if (shown == QLatin1String("settings")) {
            openSettings(frameList({frameJson("f1", "Hall")}));
            openPopover();
            frames()->setAddingDeviceExpanded(true);
            QTRY_VERIFY(frames()->pasteField()->isVisible());
            root = popover;
        } else {
            openWithPreview(galleryOf({"p1", "p2", "p3"}, "p1"));
            chrome->setShowActivityInspector(true);
            logStore().log(LogCategory::sync, LogLevel::info, QStringLiteral("Sync started"));
            if (shown == QLatin1String("lightbox"))
                selection().openLightbox(QStringLiteral("p2"));
            else
                grid()->handleGridPhotoTap(QStringLiteral("p2"), {});
            QTRY_VERIFY(shown == QLatin1String("lightbox") ? screen->isLightboxPageShown()
                                                           : screen->selectionBar()->isVisible());
            root = screen.get();
        }
        root->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(root));

        QStringList names;
        QStringList unnamed;
        QStringList unreachable;
        walkAccessible(QAccessible::queryAccessibleInterface(root), names, unnamed, unreachable);
        QVERIFY2(unnamed.isEmpty(), qPrintable(QStringLiteral("Without a name: ") + unnamed.join(QStringLiteral("; "))));
        QVERIFY2(unreachable.isEmpty(), qPrintable(QStringLiteral("No keyboard focus: ") + unreachable.join(u'|')));
        // Activity rows read as their message and time.
        for (const QString &name : expected)
            QVERIFY2(names.contains(name) || !names.filter(QRegularExpression(u'^' + name + QStringLiteral(", \\d"))).isEmpty(),
                     qPrintable(name + QStringLiteral(" is not among: ") + names.join(u'|')));

        const QList<QWidget *> forward = tabCycle(root, false);
        const QSet<QWidget *> reached(forward.begin(), forward.end());
        for (QWidget *stop : tabStops(root))
            QVERIFY2(reached.contains(stop), qPrintable(QStringLiteral("Tab never reaches ") + stop->metaObject()->className()
                                                        + u' ' + stop->accessibleName()));
        QList<QWidget *> backward = tabCycle(root, true);
        std::reverse(backward.begin(), backward.end());
        QCOMPARE(backward, forward);

        if (shown != QLatin1String("gallery"))
            return;
        // A thumbnail reads as its photo, who added it and its tag, and says
        // whether it is selected; the preview switch says whether it shows.
        QAccessibleInterface *photos = QAccessible::queryAccessibleInterface(grid());
        QCOMPARE(photos->role(), QAccessible::List);
        QCOMPARE(photos->child(2)->role(), QAccessible::ListItem);
        QVERIFY(photos->child(3)->role() != QAccessible::ListItem); // the selection bar, the scroll bar
        QAccessibleInterface *current = photos->child(0);
        QAccessibleInterface *chosen = photos->child(1);
        QCOMPARE(current->role(), QAccessible::ListItem);
        QCOMPARE(current->text(QAccessible::Name), QStringLiteral("p1.jpg"));
        QCOMPARE(current->text(QAccessible::Description), QStringLiteral("Added by Ana, Showing for today"));
        QVERIFY(!current->state().selected);
        QVERIFY(chosen->state().selected);
        QVERIFY(chosen->text(QAccessible::Description).endsWith(QStringLiteral(", Selected")));
        QCOMPARE(chosen->rect(), QRect(grid()->viewport()->mapToGlobal(grid()->visualRect(1).topLeft()),
                                       grid()->visualRect(1).size()));
        QCOMPARE(photos->indexOfChild(chosen), 1);
        QAccessibleInterface *previewSwitch = QAccessible::queryAccessibleInterface(
            screen->toolbar()->widgetForAction(screen->toolbar()->devicePreviewAction()));
        QCOMPARE(previewSwitch->text(QAccessible::Name), QStringLiteral("Device preview"));
        QCOMPARE(previewSwitch->text(QAccessible::Value), QStringLiteral("Shown"));
        chrome->setShowDevicePreview(false);
        QCOMPARE(previewSwitch->text(QAccessible::Value), QStringLiteral("Hidden"));
        QVERIFY(!previewSwitch->state().checked);
    }

    // What a sighted user sees change reaches assistive technology too: the
    // number of selected photos, how far an upload batch has come, and a
    // frame going offline.
    void announcements()
    {
        open(galleryOf({"p1", "p2", "p3"}, "p1"));
        // The server names each photo after the file it was sent as.
        server.onSequence("POST", "/api/gallery/photos",
                          {Response::json(200, galleryJson(galleryOf({"p1", "p2", "p3", "a"}, "p1", "v2"))),
                           Response::json(200, galleryJson(galleryOf({"p1", "p2", "p3", "a", "b"}, "p1", "v3")))});
        QStringList files;
        for (const char *name : {"a.jpg", "b.jpg"}) {
            files.append(TestEnvironment::home() + u'/' + QLatin1String(name));
            QFile file(files.last());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(imageBytes(name[0] == 'a' ? Qt::red : Qt::green));
        }
        QStringList heardEvents;
        UiAccessibility::setEventObserver([&](QAccessibleEvent &event) { heardEvents.append(describeEvent(event)); });
        const auto restore = qScopeGuard([] { UiAccessibility::setEventObserver({}); });
        const auto heard = [&](const char *on, QAccessible::Event type, const QString &text) {
            return heardEvents.contains(
                QStringLiteral("%1 %2: %3").arg(QLatin1String(on)).arg(int(type), 0, 16).arg(text));
        };

        grid()->handleGridPhotoTap(QStringLiteral("p1"), {});
        grid()->handleGridPhotoTap(QStringLiteral("p3"), GridTapModifiers{false, true});
        QVERIFY2(heard("GallerySelectionBar", QAccessible::NameChanged, QStringLiteral("1 photo selected")),
                 qPrintable(heardEvents.join(u'\n')));
        QVERIFY(heard("GallerySelectionBar", QAccessible::NameChanged, QStringLiteral("3 photos selected")));

        grid()->handleFileURLDrop(files);
        settle();
        for (const QString &text : {QStringLiteral("Uploading 1 of 2"), QStringLiteral("Uploading 2 of 2")})
            QVERIFY2(heard("QProgressBar", QAccessible::ValueChanged, text), qPrintable(heardEvents.join(u'\n')));
        QCOMPARE(server.requests("POST", "/api/gallery/photos").size(), 2);

        // A frame going offline changes what the frames' pill says.
        popover = SettingsPopover::attach(*screen, *store, *session);
        server.on("GET", "/api/devices", Response::json(200, frameList({frameJson("f1", "Hall")})));
        for (const bool reachable : {true, false}) {
            server.on("GET", "/api/devices/status",
                      Response::json(200, QByteArray(R"({"devices":[{"id":"f1","displayName":"Hall","reachable":)")
                                              + (reachable ? "true" : "false") + "}]}"));
            TaskWait::run(store->updateConnectionStatus(false));
        }
        QVERIFY(heard("ConnectionPill", QAccessible::NameChanged, QStringLiteral("All frames: Connected")));
        QVERIFY2(heard("ConnectionPill", QAccessible::NameChanged, QStringLiteral("All frames: Disconnected")),
                 qPrintable(heardEvents.join(u'\n')));
    }
};

LUNVIK_WIDGET_TEST_MAIN(TestUiGalleryScreen)
#include "tst_uigalleryscreen.moc"
