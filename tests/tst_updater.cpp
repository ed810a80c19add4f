// The software updater: reading appcast feeds and ordering versions, a build
// without an update configuration, the launch probe, the update-session
// count that keeps the program alive, feed failures, and the whole path
// against the development server's signed feed (a verified update saved to
// Downloads; a bad signature or length never offered, deleted and logged).

#include "support/devserverprocess.h"
#include "support/screentests.h"

#include "app/lunvikphotosapp.h"
#include "app/mainwindow.h"
#include "ui/updates/updatedialog.h"
#include "store/updatermodel.h"
#include "updates/updatererror.h"
#include "log/activitylogstore.h"
#include "server/httpsession.h"
#include "taskwait.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkRequest>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

using Response = ScriptableServer::Response;
using Kind = UpdaterError::Kind;

namespace {

const QByteArray signature = QByteArray(64, 's').toBase64();
// Any 32 bytes make a key the updater accepts; only downloads are checked against it.
const QString someKey = QString::fromLatin1(QByteArray(32, 'k').toBase64());

QByteArray feed(const QByteArray &items)
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>Lunvik</title>"
        + items + "</channel></rss>";
}

QByteArray enclosure(const QByteArray &url, const QByteArray &length = "10", const QByteArray &edSignature = signature,
    const QByteArray &more = {})
{
    QByteArray attributes = "url=\"" + url + "\" length=\"" + length + "\"";
    if (!edSignature.isNull())
        attributes += " sparkle:edSignature=\"" + edSignature + "\"";
    return "<enclosure " + attributes + " " + more + "/>";
}

QByteArray item(const QByteArray &version, const QByteArray &enclosureElement = {}, const QByteArray &more = {})
{
    const QByteArray element = enclosureElement.isNull()
        ? enclosure("https://updates.example/lunvik-" + version + ".deb")
        : enclosureElement;
    return "<item><title>Lunvik Photos " + version + "</title><sparkle:version>" + version + "</sparkle:version>" + more
        + element + "</item>";
}

// The detail of the first activity log record with `message` (and `level`, if given).
std::optional<QString> logged(const QString &message, std::optional<LogLevel> level = std::nullopt)
{
    for (const LogEntry &entry : ActivityLogStore::shared().entries()) {
        if (entry.message == message && (!level || entry.level == *level))
            return entry.detail.value_or(QString());
    }
    return std::nullopt;
}

int nesting()
{
    return UpdateSession::shared().nesting();
}

// A user driver that records what it was asked to show and keeps the
// answers for the test to give.
class RecordingDriver : public UpdateUserDriver
{
public:
    QStringList shown;
    int dismissed = 0;
    std::optional<Kind> error;
    std::function<void()> answer;
    std::function<void(UpdateChoice)> reply;

    void showUserInitiatedUpdateCheck(std::function<void()> cancel) override { note("checking", std::move(cancel)); }
    void showUpdateFound(const AppcastItem &update, const QString &, std::function<void(UpdateChoice)> r) override
    {
        shown << QStringLiteral("found ") + update.displayVersionString;
        reply = std::move(r);
    }
    void showUpdateNotFound(const QString &, std::function<void()> a) override { note("none", std::move(a)); }
    void showUpdaterError(const UpdaterError &e, std::function<void()> a) override
    {
        error = e.kind();
        note("error", std::move(a));
    }
    void showDownloadInProgress(const AppcastItem &, std::function<void()> c) override { note("downloading", c); }
    void showUpdateSaved(const AppcastItem &, const QString &, std::function<void()> a) override { note("saved", a); }
    void showUpdateInFocus() override { shown << QStringLiteral("focus"); }
    void dismissUpdateInstallation() override { ++dismissed; }

private:
    void note(const char *stage, std::function<void()> a)
    {
        shown << QString::fromLatin1(stage);
        answer = std::move(a);
    }
};

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

    ScriptableServer server;
    std::unique_ptr<LunvikPhotosApp> app;

    UpdaterConfiguration configuration() const
    {
        return UpdaterConfiguration { server.baseUrl().toString() + "/appcast.xml", someKey, QStringLiteral("0.1.0") };
    }

    std::pair<std::unique_ptr<AppUpdaterModel>, RecordingDriver *> recordedModel()
    {
        auto driver = std::make_unique<RecordingDriver>();
        RecordingDriver *raw = driver.get();
        return { std::make_unique<AppUpdaterModel>(configuration(), std::move(driver)), raw };
    }

    void startApp(const UpdaterConfiguration &updates)
    {
        app = std::make_unique<LunvikPhotosApp>(GalleryStore::Environment {}, updates);
    }

    UpdateDialog *dialog() const { return app ? app->window().findChild<UpdateDialog *>() : nullptr; }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(server.listen());
        ActivityLogStore::shared().setErrorStreamForTesting([](const QByteArray &) {});
    }
    void init()
    {
        server.reset();
        server.on("GET", "/appcast.xml", Response::text(200, feed(item("0.2.0")), "application/rss+xml"));
        ActivityLogStore::shared().clear();
        UpdateSession::shared().reset();
    }
    void cleanup()
    {
        app.reset();
        QTest::qWait(0); // deferred deletions of update windows
    }

    // ---- The feed ------------------------------------------------------------

    void versionOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("trailing zeros") << "1.0" << "1.0.0" << 0;
        QTest::newRow("numbers, not text") << "1.10" << "1.9" << 1;
        QTest::newRow("leading zeros") << "0.07" << "0.7" << 0;
        QTest::newRow("more numbers") << "2" << "1.99.99" << 1;
        QTest::newRow("beta before release") << "1.0b2" << "1.0" << -1;
        QTest::newRow("beta before rc") << "1.0b2" << "1.0rc1" << -1;
        QTest::newRow("patch after beta") << "1.0.1" << "1.0b1" << 1;
        QTest::newRow("build number") << "1.0-2" << "1.0" << 1;
    }
    void versionOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(Appcast::compareVersions(a, b), order);
        QCOMPARE(Appcast::compareVersions(b, a), -order);
    }

    void parseFeed_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("usable");
        QTest::addColumn<QString>("best"); // "version shown-version url", empty: none
        const QByteArray valid = item("0.2.0");
        const QString validFound = QStringLiteral("0.2.0 0.2.0 https://updates.example/lunvik-0.2.0.deb");
        const QByteArray a = "https://u.example/a.deb";
        // An item of version 9.0 with this enclosure, unusable: none found.
        const auto unusable = [&](const char *name, const QByteArray &element) {
            QTest::newRow(name) << feed(item("9.0", element)) << true << 0 << "";
        };
        QTest::newRow("newest by version, not by order") << feed(item("0.9.0") + item("0.10.0") + valid) << true << 3
                                                         << "0.10.0 0.10.0 https://updates.example/lunvik-0.10.0.deb";
        QTest::newRow("nothing newer") << feed(item("0.1.0") + item("0.0.9")) << true << 2 << "";
        QTest::newRow("shown version, relative address")
            << feed(item("120", enclosure("files/x.deb"),
                         "<sparkle:shortVersionString>1.2</sparkle:shortVersionString>"))
            << true << 1 << "120 1.2 https://updates.example/feed/files/x.deb";
        QTest::newRow("version on the enclosure")
            << feed("<item>" + enclosure(a, "10", signature, "sparkle:version=\"3.0\"") + "</item>") << true << 1
            << "3.0 3.0 https://u.example/a.deb";
        QTest::newRow("no signature") << feed(item("9.0", enclosure(a, "10", QByteArray())) + valid) << true << 1
                                      << validFound;
        unusable("short signature", enclosure(a, "10", QByteArray(63, 's').toBase64()));
        unusable("file address", enclosure("file:///etc/passwd"));
        unusable("no length", enclosure(a, "0"));
        QTest::newRow("no version") << feed("<item>" + enclosure(a) + "</item>") << true << 0 << "";
        QTest::newRow("malformed XML") << QByteArray("<rss><channel><item>") << false << 0 << "";
        QTest::newRow("garbage after the feed") << feed(valid) + "<rss/>" << false << 0 << "";
        QTest::newRow("not RSS") << QByteArray("<feed><entry/></feed>") << false << 0 << "";
    }
    void parseFeed()
    {
        QFETCH(QByteArray, xml);
        QFETCH(bool, valid);
        QFETCH(int, usable);
        QFETCH(QString, best);
        QString error;
        const auto items
            = Appcast::parse(xml, QUrl(QStringLiteral("https://updates.example/feed/appcast.xml")), &error);
        QCOMPARE(items.has_value(), valid);
        QCOMPARE(error.isEmpty(), valid);
        if (!items)
            return;
        QCOMPARE(items->size(), usable);
        const auto update = Appcast::bestUpdate(*items, QStringLiteral("0.1.0"));
        const QString found = update
            ? QStringList { update->version, update->displayVersionString, update->fileURL.toString() }.join(
                QLatin1Char(' '))
            : QString();
        QCOMPARE(found, best);
        if (update)
            QCOMPARE(update->edSignature, QByteArray(64, 's'));
    }

    // ---- Configuration -----------------------------------------------------

    void notReleaseConfigured_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("configured");
        QTest::newRow("feed only") << "" << false;
        QTest::newRow("key that is no key") << "bm90IGEga2V5" << true;
    }
    // Without a usable configuration nothing starts: no launch probe, no
    // request, and "Check for Updates…" stays disabled.
    void notReleaseConfigured()
    {
        QFETCH(QString, key);
        QFETCH(bool, configured);
        startApp(UpdaterConfiguration { configuration().feedURL, key, QStringLiteral("0.1.0") });
        app->launch(false);
        QCOMPARE(app->updater().isReleaseConfigured(), configured);
        // A broken configuration waits for the updater for ever.
        QCOMPARE(app->updater().didScheduleLaunchCheck(), configured);
        QVERIFY(!app->updater().didCheckOnLaunch());
        QVERIFY(!app->updater().canCheckForUpdates());
        QAction *check = app->window().checkForUpdatesAction();
        QVERIFY(!check->isEnabled());
        check->trigger();
        app->updater().checkForUpdates();
        QTest::qWait(50);
        QVERIFY(server.requests().isEmpty());
        QVERIFY(!dialog());
        // A key that cannot be used is reported once, at start.
        const auto failure = logged(QStringLiteral("Sparkle update failed"));
        QCOMPARE(failure.has_value(), configured);
        if (failure)
            QVERIFY(failure->contains(QStringLiteral("public key")));
    }

    // ---- The launch probe -----------------------------------------------------

    void launchProbeOpensInterfaceOnce_data()
    {
        QTest::addColumn<QByteArray>("newest");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("update") << QByteArray("0.2.0") << QStringList { "checking", "found 0.2.0" };
        QTest::newRow("up to date") << QByteArray("0.1.0") << QStringList {};
    }
    void launchProbeOpensInterfaceOnce()
    {
        QFETCH(QByteArray, newest);
        QFETCH(QStringList, shown);
        server.on("GET", "/appcast.xml", Response::text(200, feed(item(newest))));
        auto [model, driver] = recordedModel();
        model->mainWindowDidAppear();
        QVERIFY(model->didCheckOnLaunch());
        QVERIFY(!model->canCheckForUpdates());
        QTRY_VERIFY(model->canCheckForUpdates() || !driver->shown.isEmpty());
        if (!shown.isEmpty())
            QTRY_COMPARE(driver->shown.size(), 2);
        QCOMPARE(driver->shown, shown);
        QCOMPARE(nesting(), shown.isEmpty() ? 0 : 1);
        QVERIFY(!model->updaterDelegate().launchProbeActive);

        // Once per process: a second appearance of the window checks nothing.
        const qsizetype requests = server.requests().size();
        if (driver->reply)
            driver->reply(UpdateUserDriver::UpdateChoice::dismiss);
        model->mainWindowDidAppear();
        QTRY_VERIFY(model->canCheckForUpdates());
        QTest::qWait(50);
        QCOMPARE(server.requests().size(), requests);
        QCOMPARE(nesting(), 0);
        QCOMPARE(driver->dismissed, shown.isEmpty() ? 0 : 1);
        QVERIFY(!logged(QStringLiteral("Sparkle update failed")));
    }

    // A window that appears while a check runs gets its probe once that
    // check is over.
    void launchProbeWaitsForRunningCheck()
    {
        auto [model, driver] = recordedModel();
        model->checkForUpdates();
        model->mainWindowDidAppear();
        QVERIFY(model->didScheduleLaunchCheck());
        QVERIFY(!model->didCheckOnLaunch());
        QTRY_COMPARE(driver->shown.size(), 2);
        QCOMPARE(nesting(), 1);
        driver->reply(UpdateUserDriver::UpdateChoice::dismiss);
        QCOMPARE(nesting(), 0);
        QTRY_VERIFY(model->didCheckOnLaunch());
        QTRY_COMPARE(driver->shown.size(), 4);
        QCOMPARE(server.requests("GET", "/appcast.xml").size(), 3);
    }

    // ---- Failures and the session count ------------------------------------

    void feedFailures_data()
    {
        QTest::addColumn<Response>("answer");
        QTest::addColumn<Kind>("kind");
        QTest::newRow("server error") << Response::text(500, "down") << Kind::feedUnavailable;
        QTest::newRow("no answer") << Response { 200, {}, {}, Response::Kind::CloseWithoutAnswer }
                                   << Kind::feedUnavailable;
        QTest::newRow("malformed") << Response::text(200, "<rss><channel>") << Kind::feedInvalid;
        // A usable feed, but padded beyond the limit.
        QTest::newRow("too large") << Response::text(200, feed(item("0.2.0")) + QByteArray(Appcast::maxFeedBytes, ' '))
                                   << Kind::feedInvalid;
    }
    void feedFailures()
    {
        QFETCH(Response, answer);
        QFETCH(Kind, kind);
        server.on("GET", "/appcast.xml", answer);
        auto [model, driver] = recordedModel();
        model->checkForUpdates();
        QTRY_COMPARE(driver->shown, (QStringList { "checking", "error" }));
        QVERIFY(driver->error == kind);
        QVERIFY(logged(QStringLiteral("Sparkle update failed"), LogLevel::error));
        QVERIFY(!model->canCheckForUpdates());
        driver->answer();
        QVERIFY(model->canCheckForUpdates());
        QCOMPARE(driver->dismissed, 1);
    }

    // Closing the last window ends the program, except while an update
    // window is open; then the program ends with that session.
    void lastWindowClosed_data()
    {
        QTest::addColumn<bool>("updating");
        QTest::newRow("no update session") << false;
        QTest::newRow("update window open") << true;
    }
    void lastWindowClosed()
    {
        QFETCH(bool, updating);
        startApp(configuration());
        app->window().show();
        if (updating) {
            app->updater().checkForUpdates();
            QTRY_VERIFY(dialog() && dialog()->stage() == UpdateDialog::Stage::updateFound);
        }
        QCOMPARE(LunvikPhotosApp::applicationShouldTerminateAfterLastWindowClosed(), !updating);
        bool ranAfterClosing = false;
        QTimer::singleShot(0, &app->window(), [this] { app->window().close(); });
        if (updating) {
            QTimer::singleShot(300, dialog(), [this, &ranAfterClosing] {
                ranAfterClosing = true;
                dialog()->secondaryButton()->click(); // Remind Me Later
            });
        }
        const QObject watchdog; // a hang ends the loop with 2, and goes with this function
        QTimer::singleShot(10000, &watchdog, [] { QCoreApplication::exit(2); });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(ranAfterClosing, updating);
        QCOMPARE(nesting(), 0);
    }

    // ---- The whole path against the development server -------------------

    void signedFeed_data()
    {
        QTest::addColumn<QString>("corrupt");
        QTest::addColumn<QString>("failure"); // in the log's detail; empty: verified
        QTest::newRow("verified") << "" << "";
        QTest::newRow("bad signature") << "signature" << "signature";
        QTest::newRow("longer than announced") << "length" << "announced";
    }
    void signedFeed()
    {
        QFETCH(QString, corrupt);
        QFETCH(QString, failure);
        DevServerProcess devServer;
        QVERIFY2(devServer.start(), qPrintable(devServer.errorText()));
        QString feedURL = devServer.baseURL().toString() + QStringLiteral("/api/dev/appcast.xml");
        if (!corrupt.isEmpty())
            feedURL += QStringLiteral("?corrupt=") + corrupt;
        const QNetworkRequest keyRequest(devServer.baseURL().resolved(QUrl(QStringLiteral("/api/dev/update-key"))));
        const QByteArray key = TaskWait::run(HttpSession::shared().send(keyRequest, "GET")).body;
        const QString publicKey = QJsonDocument::fromJson(key).object().value(QLatin1StringView("publicKey")).toString();
        startApp(UpdaterConfiguration { feedURL, publicKey, QStringLiteral("0.1.0") });
        const UpdaterController::Folders folders = app->updater().controller().folders();
        QVERIFY(folders.downloads.startsWith(TestEnvironment::home()));
        QVERIFY(folders.staging.startsWith(TestEnvironment::home()));

        QAction *check = app->window().checkForUpdatesAction();
        check->trigger();
        QVERIFY(!check->isEnabled());
        QVERIFY(dialog());
        QCOMPARE(dialog()->windowTitle(), QStringLiteral("Software Update"));
        QTRY_COMPARE(dialog()->stage(), UpdateDialog::Stage::updateFound);
        QCOMPARE(dialog()->titleLabel()->text(), QStringLiteral("A new version of Lunvik Photos is available"));
        QVERIFY(dialog()->messageLabel()->text().startsWith(
            QStringLiteral("Lunvik Photos 0.1.1 is available; you have 0.1.0.")));
        QVERIFY(dialog()->notesView()->toPlainText().contains(QStringLiteral("test update")));
        QCOMPARE(dialog()->primaryButton()->text(), QStringLiteral("Download Update"));
        QCOMPARE(nesting(), 1);

        dialog()->primaryButton()->click();
        QCOMPARE(dialog()->stage(), UpdateDialog::Stage::downloading);
        QTRY_VERIFY(dialog()->stage() != UpdateDialog::Stage::downloading);
        const QString saved = QDir(folders.downloads).filePath(QStringLiteral("lunvik-photos-0.1.1-test-update.bin"));
        // Nothing is left where the download was checked.
        QVERIFY(QDir(folders.staging).isEmpty());
        if (failure.isEmpty()) {
            QCOMPARE(dialog()->stage(), UpdateDialog::Stage::saved);
            QVERIFY(dialog()->messageLabel()->text().contains(QStringLiteral("“lunvik-photos-0.1.1-test-update.bin”")));
            QVERIFY(QFileInfo(saved).size() > 0);
            QCOMPARE(logged(QStringLiteral("Installing update"), LogLevel::info).value_or(QString()),
                QStringLiteral("0.1.1"));
            QCOMPARE(nesting(), 2);
        } else {
            QCOMPARE(dialog()->stage(), UpdateDialog::Stage::failed);
            QCOMPARE(dialog()->messageLabel()->text(),
                QStringLiteral("The downloaded update could not be verified, so it was deleted. Try again later."));
            QVERIFY(QDir(folders.downloads).isEmpty());
            QVERIFY(!logged(QStringLiteral("Installing update")));
            const auto detail = logged(QStringLiteral("Sparkle update failed"), LogLevel::error);
            QVERIFY2(detail && detail->contains(failure), qPrintable(detail.value_or(QString())));
            QCOMPARE(nesting(), 0);
        }
        dialog()->primaryButton()->click(); // Done, or OK
        QCOMPARE(nesting(), 0);
        QVERIFY(check->isEnabled());
        QTRY_VERIFY(!dialog());
        QFile::remove(saved);
    }

    // Cancelling a download in flight ends the session quietly.
    void cancelDownload()
    {
        const QByteArray url = server.baseUrl().toString().toUtf8() + "/update.deb";
        server.on("GET", "/appcast.xml", Response::text(200, feed(item("0.2.0", enclosure(url)))));
        Response slow = Response::text(200, "0123456789", "application/octet-stream");
        slow.delayMs = 3000;
        server.on("GET", "/update.deb", slow);
        startApp(configuration());
        app->updater().checkForUpdates();
        QTRY_VERIFY(dialog() && dialog()->stage() == UpdateDialog::Stage::updateFound);
        dialog()->primaryButton()->click();
        QTRY_COMPARE(server.requests("GET", "/update.deb").size(), 1);
        QCOMPARE(dialog()->primaryButton()->text(), QStringLiteral("Cancel"));
        dialog()->primaryButton()->click();
        QVERIFY(app->updater().canCheckForUpdates());
        QCOMPARE(nesting(), 0);
        QTRY_VERIFY(!dialog());
        QTest::qWait(100); // the aborted request comes back to a finished session
        QVERIFY(!logged(QStringLiteral("Sparkle update failed")));
        QVERIFY(QDir(app->updater().controller().folders().downloads).isEmpty());
    }
};

LUNVIK_WIDGET_TEST_MAIN(TestUpdater)

#include "tst_updater.moc"
