// Session phases: start-up verification, sign-in, the unlock form's submit,
// re-verification after a settings change, and locking.

#include "support/scriptableserver.h"
#include "support/testenvironment.h"

#include "model/appconfig.h"
#include "store/gallerystore.h"
#include "taskwait.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>

using Response = ScriptableServer::Response;

namespace {
const QByteArray sessionAnswer = R"({"ok":true,"sessionToken":"new"})";
}

class TestAppSession : public QObject
{
    Q_OBJECT

    ScriptableServer server;
    std::unique_ptr<GalleryStore> store;
    std::unique_ptr<AppSession> session;

    // Settings on disk in debug mode, so the address is the test server's.
    void start(const QString &token, const QString &displayName = AppSettings::defaultDisplayName)
    {
        AppSettings settings;
        settings.debugMode = true;
        settings.serverBaseURL = AppSettings::syncServerBaseURL(true);
        settings.syncSessionToken = token;
        settings.displayName = displayName;
        AppConfig::saveSettings(settings);
        restart();
    }

    // A new store and session over the settings on disk, as at start-up.
    void restart()
    {
        if (store)
            TaskWait::run(store->waitForBackgroundTasks());
        session.reset();
        GalleryStore::Environment environment;
        environment.pause = [](std::chrono::milliseconds, std::shared_ptr<CancellationFlag>) -> QCoro::Task<bool> {
            co_return false;
        };
        store = std::make_unique<GalleryStore>(environment);
        session = std::make_unique<AppSession>();
        store->setSession(session.get());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(server.listen());
        qputenv("LUNVIK_LOCAL_SERVER_URL", server.baseUrl().toString().toUtf8());
        ActivityLogStore::shared().setErrorStreamForTesting([](const QByteArray &) {});
    }
    void init()
    {
        server.reset();
        server.on("GET", "/api/health", Response::json(200, R"({"ok":true})"));
        server.on("GET", "/api/devices", Response::json(200, R"({"devices":[]})"));
        server.on("GET", "/api/devices/status", Response::json(200, R"({"devices":[]})"));
        TestEnvironment::clearSupportFolder();
    }
    void cleanup()
    {
        if (store)
            TaskWait::run(store->waitForBackgroundTasks());
        store.reset();
        session.reset();
    }

    void canonicalServerBaseURL_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("canonical");
        QTest::newRow("localhost, any case") << "  http://LOCALHOST:3000/ \n" << "http://127.0.0.1:3000/";
        QTest::newRow("IPv6 loopback") << "http://[::1]:3000/api" << "http://127.0.0.1:3000/api";
        QTest::newRow("no port") << " http://localhost/ " << "http://localhost/";
        QTest::newRow("other port") << "http://localhost:3001" << "http://localhost:3001";
        QTest::newRow("other host") << "https://photos.example:3000" << "https://photos.example:3000";
        QTest::newRow("not a URL") << "::not a url::" << "::not a url::";
    }
    void canonicalServerBaseURL()
    {
        QFETCH(QString, raw);
        QFETCH(QString, canonical);
        QCOMPARE(AppSession::canonicalServerBaseURL(raw), canonical);
    }

    void startUp_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<Response>("verify");
        QTest::addColumn<SessionPhase>("phase");
        QTest::addColumn<bool>("tokenKept");
        QTest::addColumn<int>("requests");
        QTest::newRow("fresh installation") << "" << Response::json(200, R"({"ok":true})") << SessionPhase::locked << false
                                            << 0;
        QTest::newRow("accepted") << "tok" << Response::json(200, R"({"ok":true})") << SessionPhase::unlocked << true << 1;
        QTest::newRow("rejected") << "tok" << Response::json(401, "{}") << SessionPhase::locked << false << 1;
        QTest::newRow("server unreachable") << "tok" << Response::json(503, "{}") << SessionPhase::unlocked << true << 1;
    }
    void startUp()
    {
        QFETCH(QString, token);
        QFETCH(Response, verify);
        QFETCH(SessionPhase, phase);
        QFETCH(bool, tokenKept);
        QFETCH(int, requests);
        server.on("GET", "/api/auth/verify", verify);
        start(token);
        QCOMPARE(session->sessionPhase(), SessionPhase::checking);
        TaskWait::run(session->tryAutoUnlock(*store));
        QCOMPARE(session->sessionPhase(), phase);
        QCOMPARE(session->isUnlocked(), phase == SessionPhase::unlocked);
        QCOMPARE(bool(AppConfig::loadSettings().syncBearer()), tokenKept);
        QCOMPARE(server.requests().size(), requests);
        QCOMPARE(store->serverLinkStatus(), LinkStatus::down);
        QCOMPARE(store->isPeriodicPullRunning(), phase == SessionPhase::unlocked);
        // A second start-up call changes nothing.
        TaskWait::run(session->tryAutoUnlock(*store));
        QCOMPARE(server.requests().size(), requests);
    }

    // The unlock form's submit, from the name and password through to the frame.
    void unlock_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<Response>("answer");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("error"); // "@": the server-down text; empty: signed in
        QTest::addColumn<int>("frameRequests");
        const Response ok = Response::json(200, sessionAnswer);
        QTest::newRow("blank name") << "  " << "pw" << ok << "" << "Enter your name so uploads can be attributed to you." << 0;
        QTest::newRow("blank password") << "Åsa" << " \t" << ok << "" << "Enter the password." << 0;
        QTest::newRow("wrong password") << "Åsa" << "pw" << Response::json(401, "{}") << "Device: Hall\nToken: x"
                                        << "Wrong password. Grab the latest from 1Password." << 0;
        QTest::newRow("server down") << "Åsa" << "pw" << Response::json(503, "{}") << "" << "@" << 0;
        QTest::newRow("too many attempts") << "Åsa" << "pw" << Response::json(429, R"({"error":"slow down"})") << ""
                                           << "Too many attempts. Try again in a minute." << 0;
        // A token is sent back in a header; a line break would smuggle a
        // request of the server's making onto the connection.
        QTest::newRow("token with a line break")
            << "Åsa" << "pw" << Response::json(200, R"({"ok":true,"sessionToken":"new\r\nX-Evil: 1"})") << ""
            << "The server answered with a session token that cannot be used. "
               "Ask whoever runs the gallery server to check it." << 0;
        QTest::newRow("blank setup") << " Åsa " << "pw\n" << ok << " \n " << "" << 0;
        QTest::newRow("with a frame") << "Åsa" << "pw" << ok << "Device: Hall\nToken: x" << "" << 1;
        QTest::newRow("frame refused") << "Åsa" << "pw" << ok << "Token: x"
                                       << "Signed in, but frame registration failed: HTTP 400: No frame token" << 1;
    }
    void unlock()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(Response, answer);
        QFETCH(QString, setup);
        QFETCH(QString, error);
        QFETCH(int, frameRequests);
        const bool refused = error.startsWith(QLatin1StringView("Signed in, but frame"));
        server.on("POST", "/api/auth/session", answer);
        server.on("POST", "/api/devices",
                  refused ? Response::json(400, R"({"error":"No frame token"})")
                          : Response::json(200, R"({"device":{"id":"f","displayName":"Hall","registeredBy":"Åsa","registeredAt":"t"}})"));
        start(QString());
        TaskWait::run(session->tryAutoUnlock(*store));
        UnlockForm form(*session, *store);
        form.setDisplayName(name);
        form.setPassword(password);
        form.setBloomin8SetupText(setup);
        QCOMPARE(form.canSubmitUnlock(), !name.trimmed().isEmpty());
        TaskWait::run(form.attemptUnlock());
        if (error == QLatin1StringView("@"))
            error = ServerConnectivityCopy::serverDown(store->settings().serverBaseURL);
        QCOMPARE(session->unlockError().value_or(QString()), error);
        QCOMPARE(server.requests("POST", "/api/devices").size(), frameRequests);
        QVERIFY(!form.isUnlocking());
        if (name.trimmed().isEmpty())
            QVERIFY(server.requests().isEmpty());
        // Signed in, the frame aside; the name was saved before the frame was sent.
        const bool signedIn = error.isEmpty() || refused;
        QCOMPARE(session->isUnlocked(), signedIn);
        QCOMPARE(form.password(), signedIn ? QString() : password);
        if (!signedIn)
            return;
        QCOMPARE(AppConfig::loadSettings().syncSessionToken, QStringLiteral("new"));
        QCOMPARE(AppConfig::loadSettings().displayName, name.trimmed());
        QVERIFY(form.bloomin8SetupText().isEmpty());
    }

    void settingsThatCannotBeSaved()
    {
        // Unlock and lock go on as usual with the settings changed in memory;
        // each failed save is an error record, not silence.
        server.on("POST", "/api/auth/session", Response::json(200, sessionAnswer));
        start(QString());
        TaskWait::run(session->tryAutoUnlock(*store));
        QVERIFY(QFile::remove(AppConfig::settingsURL()));
        QVERIFY(QDir().mkpath(AppConfig::settingsURL())); // a folder where the file goes
        const auto count = [](QLatin1StringView message, std::optional<LogLevel> level = std::nullopt) {
            const auto entries = ActivityLogStore::shared().entries();
            return std::count_if(entries.begin(), entries.end(), [&](const LogEntry &entry) {
                return entry.message == message && (!level || entry.level == *level);
            });
        };
        const auto saveErrors = [&] { return count(QLatin1StringView("Save settings"), LogLevel::error); };
        const auto before = saveErrors();

        QVERIFY(TaskWait::run(session->unlock(QStringLiteral("pw"), *store)));
        QVERIFY(session->isUnlocked());
        QCOMPARE(store->settings().syncSessionToken, QStringLiteral("new"));
        QCOMPARE(saveErrors(), before + 1);
        QVERIFY(session->unlockError().value_or(QString()).startsWith(QLatin1StringView("Signed in, but the session could not be saved")));
        // A save that failed is not reported as saved.
        ActivityLogStore::shared().clear();
        QVERIFY(!store->saveSettings());
        QCOMPARE(saveErrors(), 1);
        QCOMPARE(count(QLatin1StringView("Settings saved")), 0);

        // Locked all the same, and told that the token is still on disk.
        QVERIFY(!session->lock(*store));
        QVERIFY(!session->isUnlocked());
        QVERIFY(store->settings().syncSessionToken.isEmpty());
        QCOMPARE(saveErrors(), before + 2);
        QVERIFY(session->unlockError().value_or(QString()).startsWith(QLatin1StringView("Signed out, but the session could not be removed")));
    }

    // A rename of the uploader that did not reach the server stays owed in
    // the settings file and is sent again (at a later save or start-up),
    // always from the name the server last accepted; a refusal for good
    // drops it.
    void owedUploaderRename()
    {
        server.on("GET", "/api/auth/verify", Response::json(200, R"({"ok":true})"));
        server.on("PATCH", "/api/gallery/uploaders", Response::json(503, "{}"));
        start(QStringLiteral("tok"), QStringLiteral("Ana"));
        TaskWait::run(session->tryAutoUnlock(*store));
        const auto rename = [this](const QString &name) {
            AppSettings settings = store->settings();
            settings.displayName = name;
            store->setSettings(settings);
            store->saveSettings();
            TaskWait::run(store->waitForBackgroundTasks());
        };
        rename(QStringLiteral("Bea"));
        rename(QStringLiteral("Cid"));
        QCOMPARE(AppConfig::loadSettings().uploaderNameOnServer, std::optional(QStringLiteral("Ana")));

        GalleryState renamed = GalleryState::empty();
        renamed.updatedAt = QStringLiteral("v2");
        server.on("PATCH", "/api/gallery/uploaders",
                  Response::json(200, QJsonDocument(GalleryResponse{renamed}.toJson()).toJson()));
        restart();
        TaskWait::run(session->tryAutoUnlock(*store));
        TaskWait::run(store->waitForBackgroundTasks());
        QCOMPARE(AppConfig::loadSettings().uploaderNameOnServer, std::nullopt);

        server.on("PATCH", "/api/gallery/uploaders", Response::json(400, R"({"error":"name taken"})"));
        rename(QStringLiteral("Dee"));
        QCOMPARE(AppConfig::loadSettings().uploaderNameOnServer, std::nullopt);
        QCOMPARE(AppConfig::loadSettings().displayName, QStringLiteral("Dee"));

        QStringList sent;
        for (const auto &request : server.requests("PATCH", "/api/gallery/uploaders")) {
            const QJsonObject body = QJsonDocument::fromJson(request.body).object();
            sent << body[QLatin1StringView("fromName")].toString() + QLatin1Char('>')
                    + body[QLatin1StringView("toName")].toString();
        }
        QCOMPARE(sent, (QStringList{"Ana>Bea", "Ana>Cid", "Ana>Cid", "Cid>Dee"}));
    }

    void settingsChangeRevalidates()
    {
        server.on("GET", "/api/auth/verify", Response::json(200, R"({"ok":true})"));
        start(QStringLiteral("tok"));
        TaskWait::run(session->tryAutoUnlock(*store));
        server.clearRequests();

        // The same address, blanks aside: nothing to re-check.
        session->noteSettingsChanged(*store, QStringLiteral("  ") + store->settings().serverBaseURL + QStringLiteral(" "));
        QVERIFY(server.requests().isEmpty());

        // Another address: checked and re-verified; a rejected token locks.
        server.on("GET", "/api/auth/verify", Response::json(401, "{}"));
        session->noteSettingsChanged(*store, QStringLiteral("https://old.example"));
        QTRY_COMPARE(session->sessionPhase(), SessionPhase::locked);
        QVERIFY(!AppConfig::loadSettings().syncBearer());

        // While locked, a change re-checks nothing.
        server.clearRequests();
        session->noteSettingsChanged(*store, QStringLiteral("https://older.example"));
        QTest::qWait(20);
        QVERIFY(server.requests("GET", "/api/auth/verify").isEmpty());
    }
};

LUNVIK_TEST_MAIN(TestAppSession)
#include "tst_appsession.moc"
