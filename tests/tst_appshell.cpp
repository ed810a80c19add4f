// The desktop shell on the offscreen platform: the screen of each session
// phase, the unlock form (texts, refusals, enablement, the password field
// and the help popovers), the menu commands, start-up and shutdown, the
// single running instance, the light and dark palettes with the desktop's
// preference, and the notifications when long work ends.

#include "support/devserverprocess.h"
#include "support/privatebus.h"
#include "support/screentests.h"

#include "app/rootcontainer.h"
#include "ui/signin/launchcheckview.h"
#include "app/longworknotifier.h"
#include "app/lunvikphotosapp.h"
#include "app/mainwindow.h"
#include "app/singleinstance.h"
#include "ui/signin/unlockpasswordfield.h"
#include "ui/signin/unlockview.h"
#include "ui/signin/unlockwelcomephotopanel.h"
#include "ui/kit/icons.h"
#include "ui/kit/colorschemewatcher.h"
#include "ui/kit/style.h"
#include "ui/kit/helppopovers.h"
#include "clock.h"
#include "model/appconfig.h"
#include "rules/rotationschedule.h"
#include "server/synchttpfailure.h"
#include "taskwait.h"
#include "ui/gallery/gallerydeletehandling.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/galleryscreen.h"
#include "ui/gallery/gallerytoolbar.h"
#include "ui/lightbox/photolightboxview.h"
#include "ui/kit/capsulebutton.h"
#include "ui/settings/framessection.h"
#include "ui/settings/settingspopover.h"

#include <QAction>
#include <QBuffer>
#include <QClipboard>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDialog>
#include <QJsonDocument>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QProcess>
#include <QSignalSpy>
#include <QTextDocumentFragment>
#include <QToolButton>

using Response = ScriptableServer::Response;

namespace {

// The server's gallery of photos `ids`, the first of them current.
QByteArray galleryJson(const QStringList &ids = {})
{
    return GalleryFixture::galleryJson(ScreenTests::galleryOf(ids, ids.value(0)));
}

// JSON answers of the test server.
const QByteArray sessionCreated = R"({"ok":true,"sessionToken":"tok"})";
const QByteArray ok = R"({"ok":true})";
const QByteArray noFrames = R"({"devices":[]})";

// WCAG contrast of `foreground` (composited over `background` when
// translucent) on `background`.
double contrast(const QColor &foreground, const QColor &background)
{
    const auto luminance = [](double r, double g, double b) {
        const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b);
    };
    const double a = foreground.alphaF();
    const auto over = [a](double f, double b) { return a * f + (1 - a) * b; };
    const double front = luminance(over(foreground.redF(), background.redF()),
                                   over(foreground.greenF(), background.greenF()),
                                   over(foreground.blueF(), background.blueF()));
    const double back = luminance(background.redF(), background.greenF(), background.blueF());
    return (std::max(front, back) + 0.05) / (std::min(front, back) + 0.05);
}

} // namespace

// The desktop's settings portal, telling a colour-scheme preference; an
// older one has no ReadOne.
class FakePortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    uint preference = 1;
    bool hasReadOne = true;

public Q_SLOTS:
    QDBusVariant ReadOne(const QString &, const QString &key)
    {
        if (!hasReadOne)
            sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("No ReadOne here"));
        return QDBusVariant(key == ColorSchemeWatcher::colorSchemeKey ? preference : 0u);
    }
    // The value comes wrapped in one more variant.
    QDBusVariant Read(const QString &, const QString &key)
    {
        const uint value = key == ColorSchemeWatcher::colorSchemeKey ? preference : 0u;
        return QDBusVariant(QVariant::fromValue(QDBusVariant(value)));
    }
};

// The desktop's notification service, keeping the summaries it was given.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList summaries;

public Q_SLOTS:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &, const QStringList &,
                const QVariantMap &, int)
    {
        summaries.append(summary);
        return uint(summaries.size());
    }
    // Answered after every call sent before it.
    QString GetServerInformation() { return QStringLiteral("fake"); }
};

class TestAppShell : public QObject
{
    Q_OBJECT

    ScriptableServer server;
    std::unique_ptr<LunvikPhotosApp> app;
    // What the store is told of the application being the active one.
    bool appActive = true;

    // Settings on disk in debug mode, so the store talks to the test server.
    void start(const QString &token = QString(), const QString &displayName = QString())
    {
        AppSettings settings;
        settings.debugMode = true;
        settings.serverBaseURL = AppSettings::syncServerBaseURL(true);
        settings.syncSessionToken = token;
        if (!displayName.isEmpty())
            settings.displayName = displayName;
        AppConfig::saveSettings(settings);
        GalleryStore::Environment environment;
        environment.pause = [](std::chrono::milliseconds, std::shared_ptr<CancellationFlag>) -> QCoro::Task<bool> {
            co_return false;
        };
        environment.isApplicationActive = [this] { return appActive; };
        app = std::make_unique<LunvikPhotosApp>(environment);
    }

    void startLocked(const QString &displayName = QString())
    {
        start(QString(), displayName);
        app->launch();
        QTRY_VERIFY(unlockView());
        QTest::qWait(0); // the first show of the form
    }

    MainWindow &window() { return app->window(); }
    QWidget *screen() { return window().rootContainer()->currentScreen(); }
    UnlockView *unlockView() { return qobject_cast<UnlockView *>(screen()); }

    // Enablement of the Edit menu's commands, Undo to Select All ("1" on),
    // as the menu shows them when it opens.
    QString editStates()
    {
        Q_EMIT window().menuBar()->actions().at(1)->menu()->aboutToShow();
        QString states;
        for (QAction *action : window().editActions())
            states += action->isEnabled() ? u'1' : u'0';
        return states;
    }

    // An unlocked app telling the end of long work on `bus` (started
    // here), where `notifications` (if any) takes the calls.
    QDBusConnection startNotifying(PrivateBus &bus, FakeNotifications *notifications)
    {
        if (!bus.start())
            qWarning("%s", qPrintable(bus.errorText()));
        else if (notifications
                 && !bus.serve(QStringLiteral("notifications"), LongWorkNotifier::service, LongWorkNotifier::path,
                               notifications)
                         .isConnected())
            return QDBusConnection(QString());
        start(QStringLiteral("tok"));
        app->launch();
        if (!QTest::qWaitFor([this] { return qobject_cast<GalleryScreen *>(screen()) != nullptr; }))
            return QDBusConnection(QString());
        TaskWait::run(app->store().waitForBackgroundTasks());
        QDBusConnection client = bus.connect(QStringLiteral("app"));
        app->notifyOn(client);
        return client;
    }
    // Whether the notification service has taken every call `client` sent
    // it so far (it answers in order).
    static bool deliveredAll(const QDBusConnection &client)
    {
        QDBusPendingCallWatcher answered(client.asyncCall(QDBusMessage::createMethodCall(
            LongWorkNotifier::service, LongWorkNotifier::path, LongWorkNotifier::service,
            QStringLiteral("GetServerInformation"))));
        return QTest::qWaitFor([&] { return answered.isFinished(); }) && !answered.isError();
    }

    static QStringList labelTexts(QWidget *root)
    {
        QStringList texts;
        for (const QLabel *label : root->findChildren<QLabel *>())
            texts.append(QTextDocumentFragment::fromHtml(label->text()).toPlainText());
        return texts;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(server.listen());
        qputenv("LUNVIK_LOCAL_SERVER_URL", server.baseUrl().toString().toUtf8());
        ActivityLogStore::shared().setErrorStreamForTesting([](const QByteArray &) {});
        AppStyle::apply(*qApp);
    }
    void init()
    {
        server.reset();
        server.on("GET", "/api/health", Response::json(200, ok));
        server.on("GET", "/api/auth/verify", Response::json(200, ok));
        server.on("GET", "/api/devices", Response::json(200, noFrames));
        server.on("GET", "/api/devices/status", Response::json(200, noFrames));
        server.on("GET", "/api/gallery", Response::json(200, galleryJson()));
        server.on("GET", "/api/gallery/current", Response::json(200, R"({"galleryVersion":"v","updatedAt":"v"})"));
        TestEnvironment::clearSupportFolder();
        ActivityLogStore::shared().clear();
        appActive = true;
    }
    void cleanup()
    {
        if (app) {
            TaskWait::run(app->store().waitForBackgroundTasks());
            app->shutdown();
        }
        app.reset();
    }

    // The command-line client works on the same folder while the app runs:
    // a name it sets shows in the app, its sign-out locks the app, and its
    // sign-in opens it again.
    void followsTheCommandLineClient()
    {
        server.on("PATCH", "/api/gallery/uploaders", Response::json(200, galleryJson()));
        server.on("POST", "/api/auth/session", Response::json(200, sessionCreated));
        start(QStringLiteral("tok"), QStringLiteral("Kelvo"));
        app->launch();
        QTRY_VERIFY(app->session().isUnlocked());
        TaskWait::run(app->store().waitForBackgroundTasks());

        auto cli = [](const QStringList &arguments, const QByteArray &input = {}) {
            QProcess process;
            process.start(QStringLiteral(LUNVIK_CLI_BINARY), arguments);
            process.write(input);
            process.closeWriteChannel();
            // The test server answers on this thread: keep the loop turning.
            QSignalSpy finished(&process, &QProcess::finished);
            if (!finished.wait(60000))
                return -1;
            return process.exitCode();
        };
        QCOMPARE(cli({QStringLiteral("set-name"), QStringLiteral("Study")}), 0);
        QTRY_COMPARE(app->store().settings().displayName, QStringLiteral("Study"));
        QVERIFY(app->session().isUnlocked());
        // The app's own next save keeps the name.
        QVERIFY(app->store().setDebugAdvanceIntervalSeconds(300));
        QCOMPARE(AppConfig::readSettingsFile()->displayName, QStringLiteral("Study"));

        QCOMPARE(cli({QStringLiteral("lock")}), 0);
        QTRY_VERIFY(unlockView());
        QVERIFY(app->store().settings().syncSessionToken.isEmpty());

        QCOMPARE(cli({QStringLiteral("unlock"), QStringLiteral("--name"), QStringLiteral("Study")}, "pw\n"), 0);
        QTRY_VERIFY(app->session().isUnlocked());
        QCOMPARE(app->store().settings().syncSessionToken, QStringLiteral("tok"));
    }

    // The window, the spinner while the saved session is checked, then the
    // screen of the answer; shutdown stops the log's reload and the pulls.
    void startUpAndShutdown_data()
    {
        QTest::addColumn<int>("verifyStatus");
        QTest::newRow("rejected") << 401;
        QTest::newRow("server unreachable: the session stays") << 503;
    }
    void startUpAndShutdown()
    {
        QFETCH(int, verifyStatus);
        const bool unlocked = verifyStatus != 401;
        server.on("GET", "/api/auth/verify", ScreenTests::delayed(Response::json(verifyStatus, "{}"), 300));
        start(QStringLiteral("tok"));
        QCOMPARE(window().windowTitle(), QStringLiteral("Lunvik Photos"));
        app->launch();
        QVERIFY(window().isVisible());
        // The screens open at 900 × 600 and get at least that much, below
        // the menu bar.
        QTRY_COMPARE(window().rootContainer()->size(), QSize(900, 600));
        window().resize(400, 300);
        QTRY_COMPARE(window().rootContainer()->size(), QSize(900, 600));
        QVERIFY(qobject_cast<LaunchCheckView *>(screen()));
        QTRY_VERIFY(ActivityLogStore::shared().isLiveReloadRunning());
        QCOMPARE(ActivityLogStore::shared().entries().value(0).message, QStringLiteral("Lunvik Photos started"));
        QTRY_VERIFY(window().rootContainer()->shownPhase() != SessionPhase::checking);
        QCOMPARE(app->session().isUnlocked(), unlocked);
        if (unlocked) {
            QVERIFY(qobject_cast<GalleryScreen *>(screen()));
            // A lock (a 401, "Log out") brings the form back at once.
            QPointer<QWidget> gallery = screen();
            app->session().lock(app->store());
            QVERIFY(unlockView());
            QTRY_VERIFY(!gallery); // the old screen is gone once control is back in the loop
        }
        // Without a message either way.
        QVERIFY(unlockView());
        QVERIFY(unlockView()->errorLabel()->isHidden());
        TaskWait::run(app->store().waitForBackgroundTasks());
        app->shutdown();
        QVERIFY(!ActivityLogStore::shared().isLiveReloadRunning());
        QVERIFY(!app->store().isPeriodicPullRunning());
    }

    // The form's texts, the welcome photo beside it, the help popovers and
    // the password field's eye.
    void formTexts()
    {
        startLocked();
        UnlockView *view = unlockView();
        const QStringList labels = labelTexts(view);
        for (const QString &text :
             {QStringLiteral("Welcome to Lunvik Photos"),
              QStringLiteral("Enter your name and the family password to open the gallery. Register frames in "
                             "Settings after you sign in."),
              QStringLiteral("Your name"), QStringLiteral("Frame setup (optional)"), QStringLiteral("Family password")})
            QVERIFY2(labels.contains(text), qPrintable(text));
        QCOMPARE(view->nameField()->placeholderText(), QStringLiteral("Name shown on uploads"));
        QCOMPARE(view->setupField()->placeholderText(), QStringLiteral("Paste Bloomin8 setup block"));
        QCOMPARE(view->setupHelpButton()->toolTip(), QStringLiteral("How to get the Bloomin8 setup block"));
        QCOMPARE(view->passwordHelpButton()->toolTip(), QStringLiteral("Where to find the family password"));
        QCOMPARE(view->unlockButton()->text(), QStringLiteral("Unlock"));
        // The default name until one is saved.
        QCOMPARE(view->nameField()->text(), QStringLiteral("Kelvo"));

        QVERIFY(labelTexts(view->passwordHelp()).contains(QStringLiteral("Family password")));
        QCOMPARE(QTextDocumentFragment::fromHtml(view->passwordHelp()->paragraphLabel()->text()).toPlainText(),
                 QStringLiteral("Look up Lunvik Photos Key in 1Password (website URL should be ")
                     + AppSettings::productionServerBaseURL()
                     + QStringLiteral(" for AutoFill suggestions) or use the password key in the field. It is the "
                                      "shared password that unlocks the gallery for everyone in the family."));
        QVERIFY(labelTexts(view->setupHelp()).contains(QStringLiteral("Device setup")));
        QCOMPARE(view->setupHelp()->shownSteps().value(3),
                 QStringLiteral("Scroll to API token. If you already created a key for this frame, open Bloomin8 on "
                                "another signed-in device and copy that token’s value—you cannot generate a second "
                                "key here. Otherwise tap the token row and Generate, then copy the block."));
        const QStringList numbers = labelTexts(view->setupHelp());
        for (int n = 1; n <= 5; ++n)
            QVERIFY(numbers.contains(QString::number(n) + QLatin1Char('.')));

        // The welcome photo beside the form: a frame-shaped portrait as tall as the form.
        QVERIFY(!UnlockWelcomePhotoPanel::welcomeImage().isNull());
        const QRect panel = view->welcomePanel()->geometry();
        QVERIFY(view->welcomePanel()->isVisible());
        QCOMPARE(panel.height(), view->formColumn()->height());
        QVERIFY(qAbs(panel.width() - panel.height() * 0.75) <= 1);
        QVERIFY(!panel.intersects(view->formColumn()->geometry()));
        QVERIFY(view->formColumn()->width() <= UnlockForm::formWidth);

        // Each help button shows its popover, alone, beside the button: not
        // over it, and level with it where the screen allows.
        const QList<std::pair<QToolButton *, HelpPopover *>> helps{
            {view->passwordHelpButton(), view->passwordHelp()}, {view->setupHelpButton(), view->setupHelp()}};
        for (const auto &[button, popover] : helps) {
            button->click();
            QVERIFY(popover->isVisible());
            QCOMPARE(view->passwordHelp()->isVisible() + view->setupHelp()->isVisible(), 1);
            const QRect anchor(button->mapToGlobal(QPoint(0, 0)), button->size());
            const QRect shown = popover->geometry();
            QVERIFY(shown.left() > anchor.right() || shown.right() < anchor.left());
            const QRect room = button->screen()->availableGeometry();
            if (shown.top() > room.top() && shown.bottom() < room.bottom())
                QVERIFY(qAbs(shown.center().y() - anchor.center().y()) <= 1);
            button->click();
            QVERIFY(!popover->isVisible());
        }

        UnlockPasswordField *field = view->passwordField();
        field->setFocus();
        QTest::keyClicks(field, QStringLiteral("s3cret"));
        field->setCursorPosition(2);
        QAction *eye = field->visibilityAction();
        // The eye shows the password and hides it again, keeping the text,
        // the caret and the focus.
        QCOMPARE(eye->toolTip(), QStringLiteral("Show password"));
        for (const bool shown : {true, false}) {
            eye->trigger();
            QCOMPARE(field->echoMode(), shown ? QLineEdit::Normal : QLineEdit::Password);
            QCOMPARE(eye->toolTip(), shown ? QStringLiteral("Hide password") : QStringLiteral("Show password"));
            QVERIFY(field->hasFocus());
            QTest::keyClicks(field, QStringLiteral("x"));
            QCOMPARE(app->unlockForm().password(), QStringLiteral("s3cret").insert(2, QLatin1Char('x')));
            QTest::keyClick(field, Qt::Key_Backspace);
        }
    }

    // The button is on with a name and any password, and Return does what
    // it does. A refusal, before sending or by the server, shows in red
    // under the form and keeps the typed password for another try.
    void unlockForm_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<Response>("answer");
        QTest::addColumn<bool>("pressReturn");
        QTest::addColumn<QString>("error"); // "@": the server-down text; none: the button is off
        const Response signedIn = Response::json(200, sessionCreated);
        QTest::newRow("no password") << "Åsa" << "" << signedIn << false << "";
        QTest::newRow("blank name") << "   " << "pw" << signedIn << false << "";
        QTest::newRow("blank password") << "Åsa" << "   " << signedIn << false << "Enter the password.";
        QTest::newRow("wrong password") << "Åsa" << "pw" << Response::json(401, "{}") << false
                                        << "Wrong password. Grab the latest from 1Password.";
        QTest::newRow("server down") << "Åsa" << "pw" << Response::json(503, "{}") << true << "@";
    }
    void unlockForm()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(Response, answer);
        QFETCH(bool, pressReturn);
        QFETCH(QString, error);
        server.on("POST", "/api/auth/session", answer);
        startLocked(QStringLiteral("Åsa"));
        UnlockView *view = unlockView();
        QCOMPARE(view->nameField()->text(), QStringLiteral("Åsa"));
        // With the name known, typing goes straight to the password.
        QTRY_VERIFY(view->passwordField()->hasFocus());
        view->nameField()->selectAll();
        QTest::keyClick(view->nameField(), Qt::Key_Backspace);
        QTest::keyClicks(view->nameField(), name);
        QTest::keyClicks(view->passwordField(), password);
        QCOMPARE(app->unlockForm().displayName(), name);
        QCOMPARE(view->unlockButton()->isEnabled(), !error.isEmpty());
        if (error.isEmpty()) {
            // Return does what the disabled button does: nothing (a submit
            // would start signing in, or set a message, before the key press
            // returns).
            for (QLineEdit *field : {view->nameField(), static_cast<QLineEdit *>(view->passwordField())}) {
                QTest::keyClick(field, Qt::Key_Return);
                QVERIFY(!app->unlockForm().isUnlocking());
                QVERIFY(view->errorLabel()->isHidden());
            }
            return;
        }
        if (pressReturn)
            QTest::keyClick(view->nameField(), Qt::Key_Return);
        else
            QTest::mouseClick(view->unlockButton(), Qt::LeftButton);
        QTRY_VERIFY(!app->unlockForm().isUnlocking());
        const int requests = server.requests("POST", "/api/auth/session").size();
        if (error == QLatin1StringView("@"))
            error = ServerConnectivityCopy::serverDown(app->store().settings().serverBaseURL);
        // Refused before sending, or answered by the server.
        QCOMPARE(requests > 0, !error.startsWith(QLatin1StringView("Enter")));
        QCOMPARE(view->errorLabel()->text(), error);
        QVERIFY(view->errorLabel()->isVisible());
        QCOMPARE(view->errorLabel()->palette().color(QPalette::WindowText), AppStyle::errorText(view->palette()));
        QCOMPARE(view->passwordField()->text(), password);
    }

    // While signing in the button is off and shows a spinner, and a second
    // Return sends nothing more. The frame given with it cannot be
    // registered: the gallery has replaced the form by then, so the failure
    // goes to the activity log. Sync is off until signed in; Ctrl+R syncs
    // once, with the command off meanwhile.
    void signingIn()
    {
        server.on("POST", "/api/auth/session", ScreenTests::delayed(Response::json(200, sessionCreated), 400));
        server.on("POST", "/api/devices", Response::json(400, R"({"error":"No frame token"})"));
        server.on("GET", "/api/gallery", ScreenTests::delayed(Response::json(200, galleryJson()), 300));
        startLocked();
        window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window()));
        QAction *sync = window().syncAction();
        QCOMPARE(sync->text(), QStringLiteral("Sync"));
        QVERIFY(!sync->isEnabled());

        UnlockView *view = unlockView();
        view->setupField()->setPlainText(QStringLiteral("Device: Hall\nToken: nonsense"));
        QTest::keyClicks(view->passwordField(), QStringLiteral("pw"));
        QTest::mouseClick(view->unlockButton(), Qt::LeftButton);
        QVERIFY(!view->unlockButton()->isEnabled());
        QVERIFY(!view->unlockButton()->icon().isNull()); // the small spinner
        QTest::keyClick(view->passwordField(), Qt::Key_Return);
        QTRY_VERIFY(qobject_cast<GalleryScreen *>(screen()));
        QCOMPARE(server.requests("POST", "/api/auth/session").size(), 1);
        QTRY_VERIFY(!app->unlockForm().isUnlocking());
        QVERIFY(app->unlockForm().password().isEmpty());
        const QString failed = QStringLiteral("Signed in, but frame registration failed: HTTP 400: No frame token");
        QCOMPARE(app->session().unlockError().value_or(QString()), failed);
        QCOMPARE(ScreenTests::logged(failed, LogLevel::error), 1);

        QTRY_VERIFY(sync->isEnabled());
        TaskWait::run(app->store().waitForBackgroundTasks());
        server.clearRequests();
        QTest::keyClick(&window(), Qt::Key_R, Qt::ControlModifier);
        QVERIFY(!sync->isEnabled());
        QTRY_VERIFY(sync->isEnabled());
        QCOMPARE(server.requests("GET", "/api/gallery").size(), 1);
    }

    // The whole way through with the keyboard alone: sign in, choose photos
    // in the grid, open one, show it for today and download it, delete
    // another after confirming, and register a frame from the settings.
    void keyboardOnly()
    {
        using ScreenTests::galleryOf;
        const auto answer = [](const GalleryState &state) { return Response::json(200, GalleryFixture::galleryJson(state)); };
        server.on("POST", "/api/auth/session", Response::json(200, sessionCreated));
        server.on("GET", "/api/gallery", answer(galleryOf({"p1", "p2", "p3", "p4"}, "p1")));
        for (const char *id : {"p1", "p2", "p3", "p4"})
            server.on("GET", "/api/gallery/photos/" + QByteArray(id) + "/image",
                      Response::text(200, GalleryFixture::imageBytes(Qt::blue), "image/jpeg"));
        server.on("PUT", "/api/gallery/current", answer(galleryOf({"p1", "p2", "p3", "p4"}, "p2", "v2")));
        server.on("DELETE", "/api/gallery/photos/p3", answer(galleryOf({"p1", "p2", "p4"}, "p2", "v3")));
        server.on("POST", "/api/devices",
                  Response::json(200, R"({"device":{"id":"f9","displayName":"Hall","registeredBy":"Kelvo",)"
                                      R"("registeredAt":"2026-03-01T09:30:00.000Z"}})"));
        const auto key = [](int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QWidget *focus = QApplication::focusWidget();
            QVERIFY(focus);
            QTest::keyClick(focus, Qt::Key(code), modifiers);
        };
        // Tab until `target` holds the focus.
        const auto tabTo = [&key](QWidget *target) {
            for (int i = 0; i < 60 && QApplication::focusWidget() != target; ++i)
                key(Qt::Key_Tab);
            QVERIFY2(QApplication::focusWidget() == target, target->metaObject()->className());
        };

        startLocked();
        window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window()));
        QCOMPARE(QApplication::focusWidget(), unlockView()->passwordField());
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("pw"));
        key(Qt::Key_Return);
        QTRY_VERIFY(qobject_cast<GalleryScreen *>(screen()));
        auto *gallery = qobject_cast<GalleryScreen *>(screen());
        GalleryStore &store = app->store();
        const auto selected = [&store] {
            QStringList ids = store.selection().selectedIDs().values();
            ids.sort();
            return ids;
        };
        QTRY_COMPARE(gallery->grid()->photoOrder().size(), 4);
        QTRY_COMPARE(QApplication::focusWidget(), gallery->grid());

        // Right enters at the first photo; Shift extends, Ctrl moves on and
        // Ctrl+Space picks one more; a plain arrow selects one again.
        key(Qt::Key_Right);
        key(Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(selected(), (QStringList{"p1", "p2"}));
        key(Qt::Key_Right, Qt::ControlModifier);
        key(Qt::Key_Right, Qt::ControlModifier);
        key(Qt::Key_Space, Qt::ControlModifier);
        QCOMPARE(selected(), (QStringList{"p1", "p2", "p4"}));
        QCOMPARE(gallery->grid()->focusedIndex(), 3);
        key(Qt::Key_Right);
        QCOMPARE(selected(), QStringList{"p2"});

        // Return opens it; from its page Tab reaches its buttons.
        key(Qt::Key_Return);
        QTRY_VERIFY(gallery->isLightboxPageShown());
        tabTo(gallery->lightbox()->showForTodayButton());
        key(Qt::Key_Space);
        QTRY_COMPARE(store.state().currentPhotoId, std::optional<QString>(QStringLiteral("p2")));
        TaskWait::run(store.waitForBackgroundTasks());
        tabTo(gallery->lightbox()->downloadButton());
        key(Qt::Key_Space);
        TaskWait::run(store.waitForBackgroundTasks());
        QCOMPARE(ScreenTests::logged(QStringLiteral("Saved to Downloads")), 1);
        key(Qt::Key_Escape);
        QVERIFY(!gallery->isLightboxPageShown());
        QTRY_COMPARE(QApplication::focusWidget(), gallery->grid());

        // Delete asks first; the dialog's Delete is reached with Tab.
        key(Qt::Key_Right);
        QCOMPARE(selected(), QStringList{"p3"});
        key(Qt::Key_Delete);
        QTRY_VERIFY(gallery->deleteHandling()->dialog() && gallery->deleteHandling()->dialog()->isVisible());
        // The window system gives the new dialog the keyboard.
        QMessageBox *dialog = gallery->deleteHandling()->dialog();
        dialog->activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), dialog);
        auto *confirm = dialog->findChild<QPushButton *>(QStringLiteral("deleteButton"));
        tabTo(confirm);
        key(Qt::Key_Space);
        QTRY_COMPARE(server.requests("DELETE", "/api/gallery/photos/p3").size(), 1);
        window().activateWindow();
        QTRY_COMPARE(QApplication::focusWidget(), gallery->grid());
        TaskWait::run(store.waitForBackgroundTasks());
        QCOMPARE(gallery->grid()->photoOrder(), (QList<QString>{"p1", "p2", "p4"}));

        // Settings opens from its button into the name field; with no frame
        // yet the paste field is open: paste, Return, and Escape closes.
        auto *settings = gallery->findChild<SettingsPopover *>();
        tabTo(gallery->toolbar()->widgetForAction(gallery->toolbar()->settingsAction()));
        key(Qt::Key_Space);
        QTRY_VERIFY(settings->isVisible());
        QCOMPARE(QApplication::focusWidget(), settings->nameField());
        QTRY_VERIFY(settings->framesSection()->pasteField()->isVisible());
        tabTo(settings->framesSection()->pasteField());
        const QString block = QStringLiteral("Device: Hall\nToken: 0123abcd.0123456789abcdef0123456789abcdef");
        QGuiApplication::clipboard()->setText(block);
        key(Qt::Key_V, Qt::ControlModifier);
        key(Qt::Key_Return);
        QTRY_COMPARE(server.requests("POST", "/api/devices").size(), 1);
        QCOMPARE(QJsonDocument::fromJson(server.requests("POST", "/api/devices").first().body)["setupText"].toString(), block);
        QTRY_COMPARE(settings->framesSection()->rowFrameIDs(), QStringList{"f9"});
        key(Qt::Key_Escape);
        QTRY_VERIFY(!settings->isVisible());
    }

    // Signing in against the development server with its demo gallery: the
    // screen's first refresh, the connection checks and their catch-up make
    // one pull between them, and the server sees one manifest request for
    // each pull the log reports.
    void signInPullsOnce()
    {
        DevServerProcess dev;
        QVERIFY2(dev.start({QStringLiteral("--demo")}), qPrintable(dev.errorText()));
        const QByteArray scripted = qgetenv("LUNVIK_LOCAL_SERVER_URL");
        qputenv("LUNVIK_LOCAL_SERVER_URL", dev.baseURL().toString().toUtf8());
        const auto restore = qScopeGuard([scripted] { qputenv("LUNVIK_LOCAL_SERVER_URL", scripted); });
        startLocked();
        QTest::keyClicks(unlockView()->passwordField(), dev.password());
        QTest::mouseClick(unlockView()->unlockButton(), Qt::LeftButton);
        QTRY_VERIFY(qobject_cast<GalleryScreen *>(screen()));
        QTRY_VERIFY(!app->unlockForm().isUnlocking());
        TaskWait::run(app->store().waitForBackgroundTasks());
        QVERIFY(!app->store().state().activePhotos().isEmpty());

        using ScreenTests::logged;
        QCOMPARE(logged(QStringLiteral("Gallery refreshed")), 1);
        QVERIFY(logged(QStringLiteral("Current photo updated from server")) <= 1);
        const int pulls = logged(QStringLiteral("Gallery refreshed")) + logged(QStringLiteral("Server sync OK"))
                          + logged(QStringLiteral("Scheduled sync OK"));
        QCOMPARE(int(dev.serverLog().count(QStringLiteral("GET /api/gallery -> "))), pulls);
    }

    // Show Activity, About, raising the window for a second launch, and the
    // debug menu.
    void windowCommands()
    {
        start();
        QAction *activity = window().activityAction();
        window().show();
        window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window()));
        QVERIFY(!activity->icon().isNull());
        for (const bool shown : {true, false}) {
            QTest::keyClick(&window(), Qt::Key_B, Qt::ControlModifier);
            QCOMPARE(app->chrome().showActivityInspector(), shown);
            QCOMPARE(activity->text(), shown ? QStringLiteral("Hide Activity") : QStringLiteral("Show Activity"));
        }
        // The pane's own button changes the same state.
        app->chrome().setShowActivityInspector(true);
        QCOMPARE(activity->text(), QStringLiteral("Hide Activity"));

        QCOMPARE(window().aboutAction()->text(), QStringLiteral("About Lunvik Photos"));
        window().aboutAction()->trigger();
        QDialog *about = window().findChild<QDialog *>();
        QVERIFY(about && about->isVisible());
        QCOMPARE(about->windowTitle(), QStringLiteral("About Lunvik Photos"));
        about->close();

        window().showMinimized();
        QVERIFY(window().isMinimized());
        window().bringToFront();
        QVERIFY(!window().isMinimized() && window().isVisible());

        QAction *debugMode = window().debugModeAction();
        QAction *intervals = window().advanceIntervalMenuAction();
        QCOMPARE(debugMode->text(), QStringLiteral("Toggle Debug Mode"));
        QCOMPARE(intervals->text(), QStringLiteral("Advance interval"));
        QStringList titles;
        for (QAction *choice : window().advanceIntervalActions())
            titles.append(choice->text());
        QCOMPARE(titles, (QStringList{"1 min", "5 min", "30 min", "1 hour", "6 hours"}));

        // Started in debug mode: the picker shows the stored interval.
        QVERIFY(debugMode->isChecked());
        QVERIFY(intervals->isVisible());
        QVERIFY(window().advanceIntervalActions().at(2)->isChecked()); // 1800 s by default
        window().advanceIntervalActions().at(1)->trigger();
        QCOMPARE(AppConfig::loadSettings().debugAdvanceIntervalSeconds, 300);
        QVERIFY(window().advanceIntervalActions().at(1)->isChecked());

        debugMode->trigger();
        QVERIFY(!app->store().settings().debugMode);
        QVERIFY(!intervals->isVisible());

        // An interval set elsewhere that is none of the choices checks none.
        app->store().setDebugAdvanceIntervalSeconds(120);
        for (QAction *choice : window().advanceIntervalActions())
            QVERIFY(!choice->isChecked());
    }

    // The Edit menu's commands act on the focused text field of the form,
    // and each is enabled only when it would do something there; nothing is
    // enabled while the session is checked. In the gallery its keys go to
    // the grid: Select All selects every photo, from the keys or the menu
    // wherever the focus is; Delete asks to delete the selection; Paste
    // takes copied image files. What does nothing there is off, and so is
    // everything over the lightbox.
    void editCommands()
    {
        server.on("GET", "/api/auth/verify", Response::json(401, "{}"));
        server.on("POST", "/api/auth/session", Response::json(200, sessionCreated));
        server.on("GET", "/api/gallery", Response::json(200, galleryJson({"a", "b"})));
        start(QStringLiteral("tok"));
        app->launch();
        QVERIFY(qobject_cast<LaunchCheckView *>(screen()));
        QCOMPARE(editStates(), QStringLiteral("0000000"));
        QTRY_VERIFY(unlockView());
        window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window()));
        QLineEdit *name = unlockView()->nameField();
        name->setFocus();
        QTRY_VERIFY(name->hasFocus());
        QGuiApplication::clipboard()->setText(QStringLiteral("Åsa"));
        name->end(false);
        window().selectAllAction()->trigger();
        // Undo, Redo, Cut, Copy, Paste, Delete, Select All.
        QCOMPARE(editStates(), QStringLiteral("0011111"));
        window().editActions().at(4)->trigger(); // Paste
        QCOMPARE(name->text(), QStringLiteral("Åsa"));
        QCOMPARE(editStates(), QStringLiteral("1000101"));
        // A masked password is neither cut nor copied.
        QLineEdit *password = unlockView()->passwordField();
        password->setFocus();
        QTRY_VERIFY(password->hasFocus());
        QTest::keyClicks(password, QStringLiteral("pw"));
        QCOMPARE(editStates(), QStringLiteral("1000101"));
        window().selectAllAction()->trigger();
        QCOMPARE(editStates(), QStringLiteral("1000111"));

        server.on("GET", "/api/auth/verify", Response::json(200, ok));
        QTest::keyClick(password, Qt::Key_Return);
        QTRY_VERIFY(qobject_cast<GalleryScreen *>(screen()));
        auto *gallery = qobject_cast<GalleryScreen *>(screen());
        TaskWait::run(app->store().waitForBackgroundTasks());
        QTRY_COMPARE(gallery->grid()->photoOrder().size(), 2);
        GallerySelectionStore &selection = app->store().selection();
        const QSet<QString> all{QStringLiteral("a"), QStringLiteral("b")};
        QGuiApplication::clipboard()->setText(QStringLiteral("no file"));
        gallery->grid()->setFocus();
        QTRY_VERIFY(gallery->grid()->hasFocus());
        QCOMPARE(editStates(), QStringLiteral("0000001"));
        QTest::keyClick(gallery->grid(), Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(selection.selectedIDs(), all);
        QCOMPARE(editStates(), QStringLiteral("0000011"));

        selection.clearSelection();
        gallery->grid()->clearFocus();
        window().selectAllAction()->trigger();
        QCOMPARE(selection.selectedIDs(), all);

        const QString copied = TestEnvironment::home() + QStringLiteral("/copied.png");
        QVERIFY(QImage(4, 4, QImage::Format_RGB32).save(copied));
        auto *files = new QMimeData;
        files->setUrls({QUrl::fromLocalFile(copied)});
        QGuiApplication::clipboard()->setMimeData(files);
        QCOMPARE(editStates(), QStringLiteral("0000111"));

        selection.openLightbox(QStringLiteral("b"));
        QCOMPARE(editStates(), QStringLiteral("0000000"));
        selection.closeLightbox();

        selection.setSelectedIDs({QStringLiteral("b")});
        gallery->grid()->setFocus();
        QTest::keyClick(gallery->grid(), Qt::Key_Delete);
        QVERIFY(gallery->deleteHandling()->dialog());
        QCOMPARE(gallery->deleteHandling()->dialog()->text(), QStringLiteral("Delete photo?"));
        QVERIFY(window().deleteAction()->isEnabled());
        gallery->deleteHandling()->dismissAlert();
    }

    void singleInstance()
    {
        const QString key = TestEnvironment::home() + QStringLiteral("/data/LunvikPhotos");
        auto first = std::make_unique<SingleInstance>(key);
        QVERIFY(first->isPrimary());
        QSignalSpy raised(first.get(), &SingleInstance::raiseRequested);
        {
            SingleInstance second(key);
            QVERIFY(!second.isPrimary());
            QVERIFY(second.askPrimaryToRaise(2000));
        }
        QTRY_COMPARE(raised.size(), 1);
        // Another data folder is another program.
        QVERIFY(SingleInstance(key + QStringLiteral("-demo")).isPrimary());
        // Once the first has ended, the next launch runs.
        first.reset();
        SingleInstance third(key);
        QVERIFY(third.isPrimary());
    }

    // Every pair of text and background colour of both schemes reads at
    // 4.5:1 or better.
    void paletteContrast_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }
    void paletteContrast()
    {
        QFETCH(bool, dark);
        const QPalette p = AppStyle::schemePalette(dark ? AppStyle::Scheme::dark : AppStyle::Scheme::light);
        QCOMPARE(AppStyle::isDark(p), dark);
        const QColor window = p.color(QPalette::Window);
        const QColor base = p.color(QPalette::Base);
        const QList<std::tuple<const char *, QColor, QColor>> pairs{
            {"WindowText/Window", p.color(QPalette::WindowText), window},
            {"Text/Base", p.color(QPalette::Text), base},
            {"ButtonText/Button", p.color(QPalette::ButtonText), p.color(QPalette::Button)},
            {"HighlightedText/Highlight", p.color(QPalette::HighlightedText), p.color(QPalette::Highlight)},
            {"Link/Base", p.color(QPalette::Link), base},
            {"PlaceholderText/Base", p.color(QPalette::PlaceholderText), base},
            {"secondaryText/Window", AppStyle::secondaryText(p), window},
            {"errorText/Window", AppStyle::errorText(p), window},
        };
        for (const auto &[name, foreground, background] : pairs) {
            const double ratio = contrast(foreground, background);
            QVERIFY2(ratio >= 4.5, qPrintable(QStringLiteral("%1: %2").arg(QLatin1StringView(name)).arg(ratio)));
        }
    }

    // The desktop's preference, read from the settings portal at start and
    // followed while the app runs; the labels that colour their text from
    // the palette follow too.
    void followsDesktopColorScheme_data()
    {
        QTest::addColumn<bool>("hasReadOne");
        QTest::newRow("ReadOne") << true;
        QTest::newRow("older portal: Read") << false;
    }
    void followsDesktopColorScheme()
    {
        if (!PrivateBus::available())
            QSKIP("dbus-daemon is not installed");
        QFETCH(bool, hasReadOne);
        PrivateBus bus;
        QVERIFY2(bus.start(), qPrintable(bus.errorText()));
        FakePortal portal;
        portal.hasReadOne = hasReadOne;
        QDBusConnection portalBus = bus.serve(QStringLiteral("portal"), ColorSchemeWatcher::portalService,
                                              ColorSchemeWatcher::portalPath, &portal);
        QVERIFY(portalBus.isConnected());
        const auto restore = qScopeGuard([] { AppStyle::apply(*qApp); });
        startLocked();
        const auto labelsReadable = [this] {
            for (const QLabel *label : window().findChildren<QLabel *>()) {
                if (!label->isVisible() || label->text().isEmpty())
                    continue;
                const QPalette &p = label->palette();
                if (contrast(p.color(QPalette::WindowText), p.color(QPalette::Window)) < 4.5)
                    return label->text();
            }
            return QString();
        };
        // Dark from the first frame: the answer is awaited.
        app->followColorScheme(bus.connect(QStringLiteral("app")), false, std::chrono::seconds(5));
        QVERIFY(AppStyle::isDark(qApp->palette()));
        QCOMPARE(labelsReadable(), QString());
        for (const uint preference : {2u, 1u}) {
            QDBusMessage changed = QDBusMessage::createSignal(ColorSchemeWatcher::portalPath,
                ColorSchemeWatcher::settingsInterface, QStringLiteral("SettingChanged"));
            changed << ColorSchemeWatcher::appearanceNamespace << ColorSchemeWatcher::colorSchemeKey
                    << QVariant::fromValue(QDBusVariant(preference));
            QVERIFY(portalBus.send(changed));
            QTRY_COMPARE(AppStyle::isDark(qApp->palette()), preference == 1);
            QCOMPARE(labelsReadable(), QString());
        }
    }

    // One notification when an upload batch ends while the app is not
    // active; none while it is, when turned off, or without a service.
    void notifiesWhenLongWorkEnds_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("service");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one photo") << 1 << false << true << true << QStringList{"1 photo added to the gallery"};
        QTest::newRow("two photos") << 2 << false << true << true << QStringList{"2 photos added to the gallery"};
        QTest::newRow("app active") << 2 << true << true << true << QStringList();
        QTest::newRow("turned off") << 2 << false << false << true << QStringList();
        QTest::newRow("no service") << 2 << false << true << false << QStringList();
    }
    void notifiesWhenLongWorkEnds()
    {
        if (!PrivateBus::available())
            QSKIP("dbus-daemon is not installed");
        QFETCH(int, files);
        QFETCH(bool, active);
        QFETCH(bool, enabled);
        QFETCH(bool, service);
        QFETCH(QStringList, expected);
        QTest::failOnWarning(QRegularExpression(QStringLiteral("D-?Bus|[Nn]otif")));
        server.onSequence("POST", "/api/gallery/photos",
                          {Response::json(200, galleryJson({"n1"})), Response::json(200, galleryJson({"n1", "n2"}))});
        QByteArray thumbnail;
        QBuffer buffer(&thumbnail);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && QImage(40, 30, QImage::Format_RGB32).save(&buffer, "JPEG"));
        for (const QByteArray id : {"n1", "n2"})
            server.on("GET", "/api/gallery/photos/" + id + "/image", Response::text(200, thumbnail, "image/jpeg"));
        PrivateBus bus;
        FakeNotifications notifications;
        const QDBusConnection client = startNotifying(bus, service ? &notifications : nullptr);
        QVERIFY(client.isConnected());
        QVERIFY(app->store().setNotifyWhenLongWorkEnds(enabled));
        QCOMPARE(TestEnvironment::readFile(AppConfig::settingsURL()).contains("\"notifyWhenLongWorkEnds\":false"),
                 !enabled);
        appActive = active;
        QStringList paths;
        for (int i = 1; i <= files; ++i) {
            paths.append(TestEnvironment::home() + QStringLiteral("/n%1.jpg").arg(i));
            QVERIFY(QImage(40, 30, QImage::Format_RGB32).save(paths.last()));
        }
        TaskWait::run(app->store().uploadFiles(paths));
        QCOMPARE(ScreenTests::logged(QStringLiteral("Upload complete"), LogLevel::success), 1);
        if (service)
            QVERIFY(deliveredAll(client));
        else
            QTest::qWait(100);
        QCOMPARE(notifications.summaries, expected);
        for (const LogEntry &entry : ActivityLogStore::shared().entries())
            QVERIFY2(entry.level != LogLevel::error, qPrintable(entry.message));
    }

    // A pull that downloaded photos is announced once with their count. A
    // frame push that failed since the last frame report is announced once,
    // naming the frame; the first report is news to no one. The frames are
    // asked shortly after each rotation, when the server has pushed, only
    // while the window is in the background.
    void notifiesPullsAndFailedFramePushes()
    {
        if (!PrivateBus::available())
            QSKIP("dbus-daemon is not installed");
        PrivateBus bus;
        FakeNotifications notifications;
        const QDBusConnection client = startNotifying(bus, &notifications);
        QVERIFY(client.isConnected());
        appActive = false;
        const QByteArray failedOnce = R"({"devices":[{"id":"f1","displayName":"Kitchen","reachable":true,)"
                                      R"("lastPushAt":"t1","lastPushError":"timed out"}]})";
        const QByteArray failedAgain = R"({"devices":[{"id":"f1","displayName":"Kitchen","reachable":true,)"
                                       R"("lastPushAt":"t2","lastPushError":"timed out"}]})";
        for (const QByteArray &report : {failedOnce, failedAgain}) {
            server.on("GET", "/api/devices/status", Response::json(200, report));
            TaskWait::run(app->store().updateDeviceStatus());
        }

        // The clock runs on from just before the next check after a rotation.
        LongWorkNotifier *notifier = app->notifier();
        const QDateTime check = notifier->nextFramesCheck();
        QVERIFY(check > QDateTime::currentDateTimeUtc());
        const auto restoreClock = qScopeGuard([] { Clock::setForTesting({}); });
        const auto runClockTo = [notifier](const QDateTime &at) {
            const qint64 offset = QDateTime::currentDateTimeUtc().msecsTo(at);
            Clock::setForTesting([offset] { return QDateTime::currentDateTimeUtc().addMSecs(offset); });
            notifier->scheduleFramesCheck();
        };
        const QByteArray failedThird = R"({"devices":[{"id":"f1","displayName":"Kitchen","reachable":true,)"
                                       R"("lastPushAt":"t3","lastPushError":"timed out"}]})";
        server.on("GET", "/api/devices/status", Response::json(200, failedThird));
        const qsizetype asked = server.requests("GET", "/api/devices/status").size();
        appActive = true;
        runClockTo(check.addMSecs(-200));
        QTest::qWait(500);
        QCOMPARE(server.requests("GET", "/api/devices/status").size(), asked);
        const AppSettings &settings = app->store().settings();
        const double period = GalleryRotationSchedule::periodDuration(
            GalleryRotationSchedule::kind(settings.debugMode, settings.debugAdvanceIntervalSeconds));
        QCOMPARE(notifier->nextFramesCheck(), check.addSecs(qint64(period)));
        appActive = false;
        runClockTo(notifier->nextFramesCheck().addMSecs(-200));
        QTRY_COMPARE(server.requests("GET", "/api/devices/status").size(), asked + 1);

        server.on("GET", "/api/gallery", Response::json(200, galleryJson({"d1", "d2", "d3"})));
        for (const QByteArray id : {"d1", "d2", "d3"})
            server.on("GET", "/api/gallery/photos/" + id + "/image",
                      Response::text(200, GalleryFixture::imageBytes(Qt::blue), "image/jpeg"));
        TaskWait::run(app->store().syncAll());
        TaskWait::run(app->store().waitForBackgroundTasks());
        QVERIFY(deliveredAll(client));
        QCOMPARE(notifications.summaries, (QStringList{"Today's photo did not reach Kitchen",
                                                       "Today's photo did not reach Kitchen",
                                                       "3 new photos from the gallery"}));
    }

    void icons_data()
    {
        QTest::addColumn<QString>("symbol");
        for (const QString &symbol : AppIcons::symbolNames())
            QTest::newRow(qPrintable(symbol)) << symbol;
    }
    // Every symbol the screens may ask for has a drawing that renders.
    void icons()
    {
        QFETCH(QString, symbol);
        const QImage image = AppIcons::bundledIcon(symbol).pixmap(QSize(24, 24)).toImage();
        QVERIFY(!image.isNull());
        int painted = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                painted += qAlpha(image.pixel(x, y)) > 0;
        QVERIFY2(painted > 20, qPrintable(QString::number(painted)));
        QVERIFY(!AppIcons::icon(symbol).isNull());
    }
};

LUNVIK_WIDGET_TEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
