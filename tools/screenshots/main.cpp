// lunvik-photos-screenshot: renders one state of the desktop app to a PNG,
// for the README. Run on the offscreen platform by scripts/screenshots,
// against a development server named by LUNVIK_LOCAL_SERVER_URL, with a data
// folder of its own (XDG_DATA_HOME).
//
//   lunvik-photos-screenshot STATE OUT.png [--password PW] [--name NAME] [--size WxH] [--dark] [--scale N]
//
// --size is in logical pixels; --scale N renders at N device pixels to each
// (as QT_SCALE_FACTOR=N does), so the PNG is N times as wide and as high.
//
// States: launch (the session check), unlock (the form; with --password it
// is submitted and the answer shown), loading (the first pull of an empty
// gallery from a server that does not answer), gallery (signed in, after the
// first pull), activity (the gallery with the activity pane), preview and
// preview-epaper (the pointer over the device preview, its switch on Photo or
// on E-paper), lightbox (the
// second photo large), delete-confirm (two photos selected and the Delete
// key pressed), delete-blocked (a delete of the photo showing today),
// uploading (a batch of twelve photos as its third file goes up) and
// downloading (the first pull half way through the photos it downloads).

#include "app/rootcontainer.h"
#include "ui/kit/icons.h"
#include "ui/kit/style.h"
#include "app/lunvikphotosapp.h"
#include "app/mainwindow.h"
#include "ui/signin/unlockpasswordfield.h"
#include "ui/signin/unlockview.h"

#include "model/appconfig.h"
#include "taskwait.h"
#include "ui/preview/devicepreview.h"
#include "ui/gallery/gallerydeletehandling.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/galleryscreen.h"
#include "ui/gallery/gallerytoolbar.h"
#include "ui/settings/settingspopover.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QLinearGradient>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <optional>

namespace {

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(25, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void settle(int ms)
{
    waitUntil([] { return false; }, ms);
}

int fail(const char *message)
{
    std::fprintf(stderr, "lunvik-photos-screenshot: %s\n", message);
    return 1;
}

// The window, with a popup window of it drawn where it stands, on a soft shadow.
QPixmap grabWithPopup(QWidget &window, QWidget *popup)
{
    QPixmap shot = window.grab();
    if (!popup || !popup->isVisible())
        return shot;
    const QPoint at = popup->mapToGlobal(QPoint()) - window.mapToGlobal(QPoint());
    QPainter painter(&shot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (int i = 12; i >= 1; --i) {
        painter.setBrush(QColor(0, 0, 0, int(10 * (1 - i / 13.0))));
        painter.drawRoundedRect(QRectF(QRect(at, popup->size())).adjusted(-i, -i + 4, i, i + 4), 4 + i, 4 + i);
    }
    painter.drawPixmap(at, popup->grab());
    return shot;
}

// The window with its open dialog drawn over it, where a window manager
// would centre a window-modal dialog, for the offscreen platform has no
// window manager to compose them.
QPixmap windowWithDialog(QWidget &window, QWidget *dialog)
{
    QPixmap shot = window.grab();
    if (!dialog)
        return shot;
    const QPixmap box = dialog->grab();
    const double ratio = shot.devicePixelRatio();
    const QSizeF windowSize = QSizeF(shot.size()) / ratio;
    const QSizeF boxSize = QSizeF(box.size()) / box.devicePixelRatio();
    const QPointF at((windowSize.width() - boxSize.width()) / 2, (windowSize.height() - boxSize.height()) / 3);
    QPainter painter(&shot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRectF(QPointF(), windowSize), QColor(0, 0, 0, 40));
    for (int i = 1; i <= 8; ++i) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 9));
        painter.drawRoundedRect(QRectF(at, boxSize).adjusted(-i, -i + 3, i, i + 3), i, i);
    }
    painter.drawPixmap(at, box);
    return shot;
}

// The value of --scale N (or --scale=N) on the command line, read before the
// application exists: the scale factor must be set before it starts.
QByteArray scaleArgument(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArrayView arg(argv[i]);
        if (arg == "--scale" && i + 1 < argc)
            return QByteArray(argv[i + 1]);
        if (arg.startsWith("--scale="))
            return arg.sliced(8).toByteArray();
    }
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    if (const QByteArray scale = scaleArgument(argc, argv); !scale.isEmpty())
        qputenv("QT_SCALE_FACTOR", scale);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lunvik-photos"));
    QApplication::setApplicationVersion(QStringLiteral(LUNVIK_VERSION));
    QApplication::setWindowIcon(AppIcons::applicationIcon());

    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("state"),
        QStringLiteral("launch, unlock, loading, gallery, activity, preview, preview-epaper, settings, lightbox, "
                       "delete-confirm, delete-blocked, uploading or downloading"));
    parser.addPositionalArgument(QStringLiteral("out"), QStringLiteral("the PNG to write"));
    parser.addOption({ QStringLiteral("password"), QStringLiteral("The family password to sign in with."),
        QStringLiteral("password") });
    parser.addOption(
        { QStringLiteral("name"), QStringLiteral("The display name."), QStringLiteral("name"), QStringLiteral("Åsa") });
    parser.addOption({ QStringLiteral("size"), QStringLiteral("The window size."), QStringLiteral("WxH"),
        QStringLiteral("1000x660") });
    parser.addOption({ QStringLiteral("dark"), QStringLiteral("Render in the dark colour scheme.") });
    parser.addOption({ QStringLiteral("scale"), QStringLiteral("Device pixels per logical pixel."),
        QStringLiteral("N"), QStringLiteral("1") });
    parser.addHelpOption();
    parser.process(app);
    // As a desktop that prefers dark would have it, through its portal.
    AppStyle::apply(app, false,
                    parser.isSet(QStringLiteral("dark")) ? AppStyle::Scheme::dark : AppStyle::Scheme::followDesktop);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2)
        parser.showHelp(2);
    const QString state = positional.at(0);
    const QString out = positional.at(1);
    const QString password = parser.value(QStringLiteral("password"));
    const QStringList size = parser.value(QStringLiteral("size")).split(QLatin1Char('x'));
    const QSize windowSize(size.value(0).toInt(), size.value(1).toInt());

    // Loading: a server that takes connections and never answers keeps the
    // first pull running. A stored token makes the start-up check open the
    // session offline once it gives up on the server.
    QTcpServer silent;
    QList<QTcpSocket *> held;
    AppSettings settings;
    settings.debugMode = true;
    settings.displayName = parser.value(QStringLiteral("name"));
    if (state == QLatin1StringView("loading")) {
        if (!silent.listen(QHostAddress::LocalHost))
            return fail("cannot listen on 127.0.0.1");
        QObject::connect(&silent, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *socket = silent.nextPendingConnection())
                held.append(socket);
        });
        qputenv("LUNVIK_LOCAL_SERVER_URL", QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()).toUtf8());
        settings.syncSessionToken = QStringLiteral("offline");
    }
    settings.serverBaseURL = AppSettings::syncServerBaseURL(true);
    AppConfig::saveSettings(settings);

    int status = 0;
    QWidget *popup = nullptr;
    std::optional<QPixmap> caught;
    const QTemporaryDir scratch;
    {
        LunvikPhotosApp lunvik;
        MainWindow &window = lunvik.window();
        window.resize(windowSize.expandedTo(window.minimumSize()));
        const bool verify = state != QLatin1StringView("launch");
        lunvik.launch(verify);
        AppSession &session = lunvik.session();
        GalleryStore &store = lunvik.store();

        if (state == QLatin1StringView("launch")) {
            settle(400);
        } else if (state == QLatin1StringView("unlock")) {
            if (!waitUntil([&] { return session.sessionPhase() == SessionPhase::locked; }, 15000))
                return fail("the unlock form did not appear");
            settle(200);
            auto *view = qobject_cast<UnlockView *>(window.rootContainer()->currentScreen());
            if (!view)
                return fail("no unlock form");
            if (!password.isEmpty()) {
                view->passwordField()->setText(password);
                view->unlockButton()->click();
                if (!waitUntil([&] { return !lunvik.unlockForm().isUnlocking(); }, 20000))
                    return fail("the sign-in did not end");
            }
            settle(300);
        } else if (state == QLatin1StringView("loading")) {
            if (!waitUntil([&] { return session.isUnlocked(); }, 30000))
                return fail("the session did not open");
            settle(1200);
        } else if (state == QLatin1StringView("gallery") || state == QLatin1StringView("activity")
            || state.startsWith(QLatin1StringView("preview")) || state == QLatin1StringView("settings")
            || state == QLatin1StringView("lightbox") || state.startsWith(QLatin1StringView("delete-"))
            || state == QLatin1StringView("uploading") || state == QLatin1StringView("downloading")) {
            if (!waitUntil([&] { return session.sessionPhase() == SessionPhase::locked; }, 15000))
                return fail("the unlock form did not appear");
            // The moment is caught as the store announces it: the toolbar
            // has followed the same announcement by then.
            const auto catchWhen = [&](auto signal, std::function<bool()> now) {
                QObject::connect(&store, signal, &window, [&, now] {
                    if (!caught && now())
                        caught = grabWithPopup(window, nullptr);
                });
            };
            if (state == QLatin1StringView("downloading"))
                catchWhen(&GalleryStore::photoDownloadProgressChanged, [&] {
                    const TransferProgress progress = store.photoDownloadProgress();
                    return progress.total > 2 && progress.done == progress.total / 2;
                });
            lunvik.unlockForm().setPassword(password);
            TaskWait::run(lunvik.unlockForm().attemptUnlock());
            if (!session.isUnlocked())
                return fail("cannot sign in");
            if (!waitUntil(
                    [&] {
                        return !store.isAwaitingInitialGalleryPull() && !store.isBusy()
                            && store.backgroundTaskCount() == 0;
                    },
                    30000))
                return fail("the first pull did not end");
            if (state == QLatin1StringView("activity"))
                lunvik.chrome().setShowActivityInspector(true);
            if (state == QLatin1StringView("downloading")) {
                if (!caught)
                    return fail("the first pull downloaded too few photos");
            }
            // Thumbnails are decoded off the main thread.
            settle(3000);
            auto *screen = qobject_cast<GalleryScreen *>(window.rootContainer()->currentScreen());
            const QList<QString> order = screen ? screen->grid()->photoOrder() : QList<QString>();
            if ((state == QLatin1StringView("lightbox") || state.startsWith(QLatin1StringView("delete-")))
                && order.size() < 3)
                return fail("the gallery has too few photos");
            if (state.startsWith(QLatin1StringView("preview"))) {
                auto *preview = window.findChild<DeviceCurrentPreview *>();
                if (!preview || !waitUntil([&] { return preview->imageModel().hasImage(); }, 15000))
                    return fail("the device preview shows no photo");
                if (state == QLatin1StringView("preview-epaper")) {
                    store.setPreviewAppearance(PreviewAppearance::epaper);
                    if (!waitUntil([&] { return preview->showsEpaperRendering(); }, 15000))
                        return fail("the device preview shows no e-paper rendering");
                }
                // The pointer rests on the upper right of the device.
                const QRectF frame = preview->frameRect();
                const QPointF pointer(frame.right() - frame.width() * 0.15, frame.top() + frame.height() * 0.2);
                QEnterEvent enter(pointer, pointer, preview->mapToGlobal(pointer));
                QApplication::sendEvent(preview, &enter);
                QMouseEvent move(QEvent::MouseMove, pointer, preview->mapToGlobal(pointer), Qt::NoButton, Qt::NoButton,
                    Qt::NoModifier);
                QApplication::sendEvent(preview, &move);
                settle(900);
            } else if (state == QLatin1StringView("settings")) {
                auto *popover = window.findChild<SettingsPopover *>();
                if (!popover)
                    return fail("no settings popover");
                auto *toolbar = window.findChild<GalleryToolbar *>();
                if (!toolbar)
                    return fail("no toolbar");
                toolbar->settingsAction()->trigger();
                // The offscreen screen is smaller than the window: place the
                // popover under its button as a desktop would, inside the window.
                if (const QWidget *button = toolbar->widgetForAction(toolbar->settingsAction())) {
                    const QPoint under = button->mapTo(&window, QPoint(button->width() / 2, button->height() + 4));
                    const int x = std::min(under.x() - popover->width() / 2, window.width() - popover->width() - 8);
                    popover->move(window.mapToGlobal(QPoint(x, under.y())));
                }
                if (!waitUntil(
                        [&] { return store.backgroundTaskCount() == 0 && !store.isCheckingConnection(); }, 15000))
                    return fail("the connection check did not end");
                settle(600);
                popup = popover;
            } else if (state == QLatin1StringView("lightbox")) {
                store.selection().openLightbox(order.at(1));
                settle(1500);
            } else if (state == QLatin1StringView("delete-confirm")) {
                store.selection().setSelectedIDs({ order.at(1), order.at(2) });
                screen->grid()->setFocus();
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
                QApplication::sendEvent(screen->grid(), &press);
                settle(600);
            } else if (state == QLatin1StringView("uploading")) {
                QStringList files;
                for (int i = 0; i < 12; ++i) {
                    QImage picture(1600, 1200, QImage::Format_RGB32);
                    QPainter painter(&picture);
                    QLinearGradient gradient(0, 0, 1600, 1200);
                    gradient.setColorAt(0, QColor::fromHsv((i * 30) % 360, 120, 220));
                    gradient.setColorAt(1, QColor::fromHsv((i * 30 + 60) % 360, 160, 120));
                    painter.fillRect(picture.rect(), gradient);
                    painter.end();
                    files << scratch.filePath(QStringLiteral("IMG_%1.jpg").arg(2041 + i));
                    if (!picture.save(files.last(), "JPEG", 85))
                        return fail("cannot write the photos to upload");
                }
                catchWhen(&GalleryStore::uploadProgressChanged, [&] { return store.uploadProgress().done == 2; });
                store.startBackground([files](GalleryStore &s) { return s.uploadFiles(files); });
                if (!waitUntil([&] { return caught.has_value(); }, 30000))
                    return fail("the upload did not reach its third file");
            } else if (state == QLatin1StringView("delete-blocked")) {
                const QString current = store.state().currentPhotoId.value_or(order.at(0));
                store.selection().setSelectedIDs({ current });
                screen->deleteHandling()->requestDelete({ current });
                settle(600);
            }
        } else {
            return fail("unknown state");
        }
        QWidget *dialog = nullptr;
        if (auto *screen = qobject_cast<GalleryScreen *>(window.rootContainer()->currentScreen()))
            dialog = screen->deleteHandling()->dialog();
        if (state.startsWith(QLatin1StringView("delete-")) && !dialog)
            return fail("no delete dialog");
        const QPixmap shot = caught ? *caught : dialog ? windowWithDialog(window, dialog) : grabWithPopup(window, popup);
        if (!shot.save(out, "PNG"))
            status = fail("cannot write the PNG");
        // Requests still waiting on the silent server end before the program does.
        qDeleteAll(held);
        held.clear();
        silent.close();
        waitUntil([&] { return store.backgroundTaskCount() == 0 && !store.isBusy(); }, 5000);
        lunvik.shutdown();
    }
    return status;
}
