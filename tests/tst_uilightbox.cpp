// The lightbox page, the photo actions and the delete flow of the gallery
// screen, against a scripted server: the dialogs and their texts, refusals,
// the Delete key's repeat guard, the context menu's targets, the selection
// bar, opening, stepping and closing the lightbox, and its layouts.

#include "support/screentests.h"

#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/capsulebutton.h"
#include "ui/gallery/gallerydeletehandling.h"
#include "ui/kit/galleryphotoactions.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/galleryselectionbar.h"
#include "ui/lightbox/photolightboxview.h"
#include "ui/preview/appearanceswitch.h"
#include "ui/kit/statepanels.h"

#include "clock.h"
#include "store/photoformatters.h"

#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace {

using ScreenTests::galleryOf;

QSet<QString> setOf(const QStringList &ids) { return QSet<QString>(ids.begin(), ids.end()); }

} // namespace

class TestLightbox : public QObject, private GalleryFixture
{
    Q_OBJECT

    GallerySelectionStore &selection() const { return store->selection(); }
    GalleryPhotoGrid *grid() const { return screen->grid(); }
    PhotoLightboxView *lightbox() const { return screen->lightbox(); }
    GalleryDeleteHandling *deletes() const { return screen->deleteHandling(); }

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

    // An unlocked store holding `state` with its photos cached, and the
    // screen shown after its first refresh.
    void open(const GalleryState &state)
    {
        AppConfig::saveLocalState(state);
        for (const QString &id : state.order) {
            for (const QString &path : { AppConfig::thumbnailCacheURL(id, 512), AppConfig::cacheURL(id) }) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(imageBytes(QColor::fromHsv(int(qHash(id) % 360), 120, 200)));
            }
        }
        QVERIFY(unlock());
        serveGallery(store->state());
        settle();
        createScreen();
        QVERIFY(showScreen({1000, 700}));
        settle();
        server.clearRequests();
    }

    // A pull that holds the store busy until `settle()`.
    void makeBusy()
    {
        Response slow = Response::text(304, "");
        slow.delayMs = 300;
        server.on("GET", "/api/gallery", slow);
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
        tearDown();
    }

    // Which dialog a request opens, and what it says.
    void deleteRequest_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QStringList>("requested");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        const QString confirmOne = "This photo will be removed from the gallery.";
        const QString confirmMany = "These photos will be removed from the gallery.";
        using L = QStringList;
        QTest::newRow("one photo") << "a" << L { "b" } << false << "confirm-1" << "Delete photo?" << confirmOne;
        QTest::newRow("two photos") << "a" << L { "b", "c" } << false << "confirm-2" << "Delete 2 photos?"
                                    << confirmMany;
        QTest::newRow("all but the current one")
            << "a" << L { "b", "c", "d" } << false << "confirm-3" << "Delete 3 photos?" << confirmMany;
        QTest::newRow("the current photo") << "c" << L { "b", "c" } << false << "blocked-includesCurrentPhoto"
                                           << "Cannot delete"
                                           << "Can't delete the current photo. Show another photo for today first.";
        QTest::newRow("every photo, none current") << "" << L { "a", "b", "c", "d" } << false
                                                   << "blocked-wouldRemoveAllPhotos" << "Cannot delete"
                                                   << "At least one photo must remain in the gallery.";
        QTest::newRow("busy") << "a" << L { "b" } << true << "" << "" << "";
    }
    void deleteRequest()
    {
        QFETCH(QString, current);
        QFETCH(QStringList, requested);
        QFETCH(bool, busy);
        QFETCH(QString, alert);
        QFETCH(QString, title);
        QFETCH(QString, message);
        std::optional<GalleryDeleteAlert> shown;
        GalleryDeleteRequest::request(setOf(requested), galleryOf({ "a", "b", "c", "d" }, current), busy, shown);
        QCOMPARE(shown ? shown->id() : QString(), alert);
        if (!shown)
            return;
        if (shown->kind == GalleryDeleteAlert::Kind::confirm) {
            QCOMPARE(GalleryDeleteText::alertConfirmTitle(shown, 99), title);
            QCOMPARE(GalleryDeleteText::confirmMessage(shown->count), message);
        } else {
            QCOMPARE(GalleryDeleteText::blockedTitle(), title);
            QCOMPARE(GalleryDeleteText::blockedMessage(shown->reason), message);
            // Any other dialog titles by the keyboard's photos.
            QCOMPARE(GalleryDeleteText::alertConfirmTitle(shown, 1), QStringLiteral("Delete photo?"));
            QCOMPARE(GalleryDeleteText::alertConfirmTitle(shown, 4), QStringLiteral("Delete 4 photos?"));
        }
    }

    // The dialogs' buttons: only "Delete" of a confirmation sends anything.
    void dialogButtons_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("answer"); // a button's text, or "escape"
        QTest::addColumn<QStringList>("sent");
        using L = QStringList;
        QTest::newRow("delete") << L { "c", "b" } << "Delete 2 photos?" << "Delete" << L { "b", "c" };
        QTest::newRow("cancel") << L { "b" } << "Delete photo?" << "Cancel" << L {};
        QTest::newRow("dismissed") << L { "b" } << "Delete photo?" << "escape" << L {};
        QTest::newRow("refused") << L { "a", "b" } << "Cannot delete" << "OK" << L {};
    }
    void dialogButtons()
    {
        QFETCH(QStringList, selected);
        QFETCH(QString, title);
        QFETCH(QString, answer);
        QFETCH(QStringList, sent);
        open(galleryOf({ "a", "b", "c", "d" }, "a"));
        acceptDeletes(sent);
        selection().setSelectedIDs(setOf(selected));
        deletes()->requestDelete(setOf(selected));
        QVERIFY(dialog());
        QTRY_VERIFY(dialog()->isVisible());
        QCOMPARE(dialog()->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog()->text(), title);
        QCOMPARE(deletes()->pendingDeleteIDs(), std::optional<QSet<QString>>(setOf(selected)));
        if (answer == QLatin1StringView("escape"))
            QTest::keyClick(dialog(), Qt::Key_Escape);
        else
            dialogButton(answer)->click();
        QCOMPARE(deletes()->alert(), std::nullopt);
        QCOMPARE(deletes()->pendingDeleteIDs(), std::nullopt);
        QVERIFY(!deletes()->dialog());
        settle();
        QCOMPARE(deleted(), sent);
        if (!sent.isEmpty()) {
            QCOMPARE(selection().selectedIDs(), QSet<QString>());
            QCOMPARE(grid()->photoOrder(), (QList<QString> { "a", "d" }));
        }
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
        QVERIFY(dialog());
        QCOMPARE(dialog()->text(), QStringLiteral("Delete 2 photos?"));
        QMessageBox *first = dialog();
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

        // Nothing for the keyboard while busy or in the lightbox.
        now = now.addMSecs(400);
        makeBusy();
        QVERIFY(!deletes()->triggerDeleteFromKeyboard());
        settle();
        selection().openLightbox(QStringLiteral("b"));
        QVERIFY(!deletes()->triggerDeleteFromKeyboard());
        QVERIFY(!dialog());
        QCOMPARE(deleted(), QStringList {});
    }

    // A right-click on a photo outside the selection acts on that photo
    // only; inside it, on the whole selection. "Show for today" always takes
    // the clicked photo.
    void contextMenu_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<int>("clicked");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QStringList>("targets");
        QTest::addColumn<QList<bool>>("enabled"); // show for today, download, delete
        using B = QList<bool>;
        using L = QStringList;
        QTest::newRow("outside three selected") << L { "b", "c", "d" } << 4 << false << L { "e" } << B { 1, 1, 1 };
        QTest::newRow("inside the selection") << L { "b", "c", "d" } << 2 << false << L { "b", "c", "d" }
                                              << B { 1, 1, 1 };
        QTest::newRow("the current photo") << L {} << 0 << false << L { "a" } << B { 0, 1, 0 };
        QTest::newRow("selection with the current") << L { "a", "b" } << 1 << false << L { "a", "b" } << B { 1, 1, 0 };
        QTest::newRow("busy") << L {} << 1 << true << L { "b" } << B { 0, 0, 0 };
    }
    void contextMenu()
    {
        QFETCH(QStringList, selected);
        QFETCH(int, clicked);
        QFETCH(bool, busy);
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
        if (busy)
            makeBusy();
        const QList<QAction *> actions { menu->findChild<QAction *>("showForTodayAction"),
            menu->findChild<QAction *>("downloadAction"), menu->findChild<QAction *>("deleteAction") };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(actions.at(i)->isEnabled(), enabled.at(i));
        const GalleryPhotoContextMenuItems items { *store, {}, grid()->photoOrder().at(clicked) };
        QCOMPARE(items.actionTargetIDs(), setOf(targets));
        if (busy) {
            menu->close();
            settle();
            return;
        }

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

    // The bar shows while photos are selected (openAndClose: not while the
    // lightbox is open).
    void selectionBar_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("showsShowToday");
        QTest::addColumn<double>("deleteOpacity");
        using L = QStringList;
        QTest::newRow("none") << L {} << "" << false << 1.0;
        QTest::newRow("one") << L { "b" } << "1 photo selected" << true << 1.0;
        QTest::newRow("two") << L { "b", "c" } << "2 photos selected" << false << 1.0;
        QTest::newRow("with the current") << L { "a", "c" } << "2 photos selected" << false << 0.45;
    }
    void selectionBar()
    {
        QFETCH(QStringList, selected);
        QFETCH(QString, label);
        QFETCH(bool, showsShowToday);
        QFETCH(double, deleteOpacity);
        open(galleryOf({ "a", "b", "c" }, "a"));
        GallerySelectionBar *bar = screen->selectionBar();
        selection().setSelectedIDs(setOf(selected));
        QCOMPARE(bar->isPresented(), !label.isEmpty());
        if (label.isEmpty())
            return;
        QCOMPARE(bar->labelText(), label);
        QCOMPARE(bar->showForTodayButton()->isVisibleTo(bar), showsShowToday);
        QCOMPARE(bar->deleteButton()->drawnOpacity(), deleteOpacity);
        QTRY_VERIFY(bar->isVisible());
        QTRY_VERIFY(grid()->viewport()->geometry().contains(bar->geometry()));

        if (showsShowToday) {
            QTest::mouseClick(bar->showForTodayButton(), Qt::LeftButton);
            QVERIFY(store->isBusy());
            QCOMPARE(bar->deleteButton()->drawnOpacity(), 0.45);
            QCOMPARE(bar->showForTodayButton()->drawnOpacity(), 0.45);
            settle();
            QCOMPARE(server.requests("PUT", "/api/gallery/current").size(), 1);
        }
        if (deleteOpacity == 1.0) {
            QTest::mouseClick(bar->deleteButton(), Qt::LeftButton);
            QCOMPARE(dialog()->text(), GalleryDeleteText::alertConfirmTitle(std::nullopt, int(selected.size())));
        }
    }

    // Every way back closes the lightbox, clearing both ids; opening the
    // same photo again pushes the page again.
    void openAndClose_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("escape") << "escape";
        QTest::newRow("alt+left") << "alt+left";
        QTest::newRow("back control") << "back";
        QTest::newRow("mouse back button") << "mouse";
    }
    void openAndClose()
    {
        QFETCH(QString, way);
        open(galleryOf({ "a", "b", "c" }, "a"));
        for (int round = 0; round < 2; ++round) {
            QTest::mouseDClick(grid()->viewport(), Qt::LeftButton, {}, grid()->visualRect(1).center());
            QVERIFY(screen->isLightboxPageShown());
            QCOMPARE(screen->navigationPath(), std::optional<QString>("b"));
            QCOMPARE(lightbox()->photoID(), QStringLiteral("b"));
            QCOMPARE(selection().lightboxPhotoID(), std::optional<QString>("b"));
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
            QVERIFY(!screen->isLightboxPageShown());
            QCOMPARE(screen->navigationPath(), std::nullopt);
            QCOMPARE(selection().selectedIDs(), QSet<QString> { "b" });
            QTRY_VERIFY(grid()->hasFocus());
        }
    }

    // A photo that could not be loaded is tried again when its lightbox is
    // opened again, as the notice advises; not while it stays open.
    void reopeningLoadsAFailedPhotoAgain()
    {
        open(galleryOf({ "a", "b" }, "a"));
        const QString file = AppConfig::cacheURL(QStringLiteral("b"));
        const QByteArray bytes = [&] {
            QFile cached(file);
            return cached.open(QIODevice::ReadOnly) ? cached.readAll() : QByteArray();
        }();
        QVERIFY(QFile::remove(file));
        server.on("GET", "/api/gallery/photos/b/image", Response::text(404, ""));
        selection().openLightbox(QStringLiteral("b"));
        PhotoImageModel &hero = lightbox()->heroImage()->model();
        QTRY_VERIFY_WITH_TIMEOUT(hero.loadFailed() && !hero.isLoading(), 30000);
        const int loads = hero.loadsStarted();

        QFile cached(file);
        QVERIFY(cached.open(QIODevice::WriteOnly));
        cached.write(bytes);
        cached.close();
        TaskWait::run(store->syncAll());
        QVERIFY(!hero.hasImage());
        QCOMPARE(hero.loadsStarted(), loads);

        QTest::keyClick(lightbox(), Qt::Key_Escape);
        selection().openLightbox(QStringLiteral("b"));
        QTRY_VERIFY_WITH_TIMEOUT(hero.hasImage(), 30000);
        QVERIFY(!hero.loadFailed());
        QCOMPARE(hero.loadsStarted(), loads + 1);
    }

    // Left and Right step through the photos, wrapping; each step fades
    // the new photo in. A photo removed meanwhile shows as unavailable.
    void stepping()
    {
        open(galleryOf({ "a", "b", "c" }, "a"));
        selection().openLightbox(QStringLiteral("a"));
        QTRY_COMPARE(lightbox()->heroOpacity(), 1.0);
        const QList<std::pair<int, QString>> steps { { Qt::Key_Left, "c" }, { Qt::Key_Left, "b" },
            { Qt::Key_Right, "c" }, { Qt::Key_Right, "a" } };
        for (const auto &[key, id] : steps) {
            QTest::keyClick(lightbox(), Qt::Key(key));
            QCOMPARE(selection().lightboxNavigationPhotoID(), std::optional<QString>(id));
            QCOMPARE(selection().lightboxPhotoID(), std::optional<QString>(id));
            QCOMPARE(selection().selectedIDs(), QSet<QString> { id });
            QCOMPARE(lightbox()->photoID(), id);
            QCOMPARE(lightbox()->heroImage()->photoID(), id);
            QCOMPARE(lightbox()->lastTransition(), PhotoLightboxView::Transition::step);
        }
        QVERIFY(lightbox()->heroOpacity() < 1.0);
        QTRY_COMPARE(lightbox()->heroOpacity(), 1.0);
        QTRY_VERIFY(lightbox()->heroImage()->model().hasImage());
        // Up and Down do nothing here.
        QTest::keyClick(lightbox(), Qt::Key_Down);
        QCOMPARE(selection().lightboxNavigationPhotoID(), std::optional<QString>("a"));

        // The open photo gone from the server: the page says so.
        QTest::keyClick(lightbox(), Qt::Key_Right);
        QVERIFY(!lightbox()->isShowingUnavailable());
        serveGallery(galleryOf({ "a", "c" }, "a", "v2"));
        TaskWait::run(store->syncAll());
        QVERIFY(lightbox()->isShowingUnavailable());
        QCOMPARE(lightbox()->unavailablePanel()->title(), QStringLiteral("Photo unavailable"));
    }

    // The details and the three buttons, for the current photo and another.
    void details()
    {
        open(galleryOf({ "a", "b", "c" }, "a"));
        selection().openLightbox(QStringLiteral("a"));
        QCOMPARE(lightbox()->addedByText(), QStringLiteral("Added by Ana"));
        QCOMPARE(lightbox()->updatedText(),
            QStringLiteral("Updated ") + PhotoFormatters::updatedAt(QStringLiteral("2026-03-01T09:30:00.000Z")));
        const PhotoEntry current = *lightbox()->photo();
        const std::optional<QString> until = store->lightboxShowingUntilCaption(current);
        QVERIFY(until && until->startsWith(QStringLiteral("Showing until ")));
        CapsuleButton *showToday = lightbox()->showForTodayButton();
        QCOMPARE(showToday->text(), *until);
        QVERIFY(!showToday->isEnabled());
        QCOMPARE(showToday->drawnOpacity(), 1.0);
        QVERIFY(!lightbox()->deleteButton()->isEnabled());
        QVERIFY(lightbox()->downloadButton()->isEnabled());

        QTest::keyClick(lightbox(), Qt::Key_Right);
        QCOMPARE(showToday->text(), QStringLiteral("Show for today"));
        QVERIFY(showToday->isEnabled());
        QVERIFY(lightbox()->deleteButton()->isEnabled());
        QTest::mouseClick(lightbox()->downloadButton(), Qt::LeftButton);
        settle();
        QCOMPARE(QDir(TestEnvironment::home() + "/Downloads").entryList(QDir::Files), QStringList { "b.jpg" });
        makeBusy();
        QCOMPARE(showToday->drawnOpacity(), 0.45);
        QVERIFY(!showToday->isEnabled());
        QVERIFY(!lightbox()->downloadButton()->isEnabled());
        QVERIFY(!lightbox()->deleteButton()->isEnabled());
        settle();

        // Confirming the delete of the open photo closes the lightbox first.
        acceptDeletes({ "b" });
        QTest::mouseClick(lightbox()->deleteButton(), Qt::LeftButton);
        QCOMPARE(dialog()->text(), QStringLiteral("Delete photo?"));
        dialogButton(QStringLiteral("Delete"))->click();
        QCOMPARE(selection().lightboxNavigationPhotoID(), std::nullopt);
        QVERIFY(!screen->isLightboxPageShown());
        settle();
        QCOMPARE(deleted(), QStringList { "b" });

        // "Show for today" from the lightbox.
        selection().openLightbox(QStringLiteral("c"));
        QTest::mouseClick(showToday, Qt::LeftButton);
        settle();
        QCOMPARE(server.requests("PUT", "/api/gallery/current").size(), 1);
    }

    // The lightbox's switch, and the E key, show the photo as the frame will;
    // the preview's setting is the same one.
    void epaperSwitch()
    {
        open(galleryOf({ "a", "b" }, "a"));
        selection().openLightbox(QStringLiteral("b"));
        QTRY_VERIFY(lightbox()->isVisible() && lightbox()->heroImage()->model().hasImage());
        QVERIFY(!lightbox()->heroImage()->showsEpaperRendering());
        QVERIFY(lightbox()->appearanceSwitch()->isVisible());
        QCOMPARE(lightbox()->appearanceSwitch()->shown(), PreviewAppearance::photo);

        QTest::keyClick(lightbox(), Qt::Key_E);
        QCOMPARE(store->settings().previewAppearance, PreviewAppearance::epaper);
        QCOMPARE(lightbox()->appearanceSwitch()->shown(), PreviewAppearance::epaper);
        QVERIFY(lightbox()->heroImage()->model().hasImage());
        QTRY_VERIFY(lightbox()->heroImage()->showsEpaperRendering());
        QCOMPARE(lightbox()->heroImage()->epaperModel().rendering().size(), QSize(1200, 1600));

        // Stepping on renders the next photo; the photo shows meanwhile.
        QTest::keyClick(lightbox(), Qt::Key_Right);
        QTRY_COMPARE(lightbox()->photoID(), QStringLiteral("a"));
        QTRY_VERIFY(lightbox()->heroImage()->showsEpaperRendering());
        QCOMPARE(lightbox()->heroImage()->epaperModel().photoID(), std::optional<QString>("a"));

        QTest::mouseClick(lightbox()->appearanceSwitch()->photoButton(), Qt::LeftButton);
        QCOMPARE(store->settings().previewAppearance, PreviewAppearance::photo);
        QVERIFY(!lightbox()->heroImage()->showsEpaperRendering());
        QTest::keyClick(lightbox(), Qt::Key_E);
        QCOMPARE(store->settings().previewAppearance, PreviewAppearance::epaper);
    }

    void layoutSwitchesAt640_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("beside");
        QTest::newRow("639") << 639 << false;
        QTest::newRow("640") << 640 << true;
    }
    void layoutSwitchesAt640()
    {
        QFETCH(int, width);
        QFETCH(bool, beside);
        open(galleryOf({ "a", "b" }, "a"));
        screen->setMinimumSize(0, 0);
        selection().openLightbox(QStringLiteral("b"));
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
        // Back in the grid, resized meanwhile, the bar sits over its photos.
        selection().closeLightbox();
        QTRY_VERIFY(grid()->viewport()->geometry().contains(screen->selectionBar()->geometry()));
    }
};

LUNVIK_WIDGET_TEST_MAIN(TestLightbox)
#include "tst_uilightbox.moc"
