// The gallery store and its session against a scripted loopback server:
// start-up verification, sign-in, re-verification, stale retries, locking on
// 401, link statuses, the pull back-off, current-photo records, upload
// batches, deletes, reorders, frames, downloads and the periodic loop.

#include "support/scriptableserver.h"
#include "support/testenvironment.h"

#include "backgroundwork.h"
#include "clock.h"
#include "model/appconfig.h"
#include "rules/photocachejpeg.h"
#include "store/gallerystore.h"
#include "store/photoformatters.h"
#include "taskwait.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTest>
#include <QTimer>

#include <qcoro/qcorosignal.h>

#include <sys/stat.h>

using Response = ScriptableServer::Response;

namespace {

// A pause of the periodic loop that ends when the test says so.
class ManualPause : public QObject
{
    Q_OBJECT
public:
    QList<std::chrono::milliseconds> requested;

    void release() { Q_EMIT released(); }
    QCoro::Task<bool> pause(std::chrono::milliseconds duration, std::shared_ptr<CancellationFlag> flag)
    {
        requested.append(duration);
        flag->setWaker([this] { release(); });
        co_await qCoro(this, &ManualPause::released);
        flag->setWaker(nullptr);
        co_return !flag->isCancelled();
    }

Q_SIGNALS:
    void released();
};

PhotoEntry photo(const QString &id)
{
    return PhotoEntry{id, id + QStringLiteral(".png"), QStringLiteral("x"), 1, QStringLiteral("v"), std::nullopt,
                      GalleryState::uploaderId(QStringLiteral("Ana")), std::nullopt};
}

GalleryState gallery(const QString &version, const QStringList &order, const QString &current = QString(),
                     std::optional<CurrentPhotoUpdatedBy> by = std::nullopt)
{
    GalleryState state;
    state.updatedAt = version;
    state.order = order;
    for (const QString &id : order)
        state.photos.insert(id, photo(id));
    state.uploaders.insert(GalleryState::uploaderId(QStringLiteral("Ana")), QStringLiteral("Ana"));
    if (!current.isEmpty())
        state.currentPhotoId = current;
    state.currentPhotoUpdatedBy = by;
    return state;
}

QByteArray answer(const GalleryState &state)
{
    return QJsonDocument(GalleryResponse{state}.toJson()).toJson(QJsonDocument::Compact);
}

QByteArray staleAnswer(const GalleryState &state)
{
    QJsonObject body{{QLatin1StringView("error"), QStringLiteral("stale")},
                     {QLatin1StringView("state"), state.toJson()}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray currentAnswer(const GalleryState &s)
{
    const CurrentPhotoResponse current{s.updatedAt, s.currentPhotoId, s.currentPhotoUpdatedBy, s.updatedAt};
    return QJsonDocument(current.toJson()).toJson(QJsonDocument::Compact);
}

// The messages logged, oldest first; given a message, the details it was logged with.
QStringList messages(const QString &only = QString())
{
    QStringList result;
    const auto entries = ActivityLogStore::shared().entries();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (only.isEmpty() || it->message == only)
            result.append(only.isEmpty() ? it->message : it->detail.value_or(QString()));
    return result;
}

std::optional<LogEntry> lastLogged(const QString &message)
{
    for (const LogEntry &entry : ActivityLogStore::shared().entries())
        if (entry.message == message)
            return entry;
    return std::nullopt;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

const QByteArray sessionAnswer = R"({"ok":true,"sessionToken":"new"})";

QString imageFile(const QString &name)
{
    const QString path = TestEnvironment::home() + QStringLiteral("/") + name;
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    image.save(path, "PNG");
    return path;
}

} // namespace

class TestGalleryStore : public QObject
{
    Q_OBJECT

    ScriptableServer server;
    ManualPause pause;
    std::unique_ptr<AppSession> session;
    std::unique_ptr<GalleryStore> store;

    // A new store and session over the settings on disk, as at start-up;
    // with `autoUnlock`, through the start-up check of the token on disk.
    void restart(bool autoUnlock = true)
    {
        if (store)
            settle();
        store.reset();
        session.reset();
        GalleryStore::Environment environment;
        environment.pause = [this](auto duration, auto flag) { return pause.pause(duration, std::move(flag)); };
        environment.downloadsFolder = [] { return std::optional(TestEnvironment::home() + QStringLiteral("/Downloads")); };
        store = std::make_unique<GalleryStore>(environment);
        session = std::make_unique<AppSession>();
        store->setSession(session.get());
        if (autoUnlock)
            TaskWait::run(session->tryAutoUnlock(*store));
    }

    // Settings on disk in debug mode, so the address is the test server's.
    void start(const QString &token = QString(), const QString &displayName = AppSettings::defaultDisplayName,
               bool autoUnlock = true)
    {
        AppSettings settings;
        settings.debugMode = true;
        settings.serverBaseURL = AppSettings::syncServerBaseURL(true);
        settings.syncSessionToken = token;
        settings.displayName = displayName;
        AppConfig::saveSettings(settings);
        restart(autoUnlock);
    }

    // A store whose session is open against the test server, holding
    // `state`; with `cached`, every photo's image is in the cache already.
    void openStore(const GalleryState &state = GalleryState::empty(), bool cached = false)
    {
        AppConfig::saveLocalState(state);
        start(QString(), AppSettings::defaultDisplayName, false);
        server.on("POST", "/api/auth/session", Response::json(200, sessionAnswer));
        QVERIFY(TaskWait::run(session->unlock(QStringLiteral("pw"), *store)));
        server.clearRequests();
        ActivityLogStore::shared().clear();
        for (const QString &id : state.order)
            if (cached)
                QVERIFY(QFile(AppConfig::cacheURL(id)).open(QIODevice::WriteOnly));
    }

    void settle() { TaskWait::run(store->waitForBackgroundTasks()); }

    // The manifest and current photo of `state`, and with `images` an image for each of its photos.
    void serve(const GalleryState &state, bool images = false)
    {
        server.on("GET", "/api/gallery", Response::json(200, answer(state)));
        server.on("GET", "/api/gallery/current", Response::json(200, currentAnswer(state)));
        for (const QString &id : state.order)
            if (images)
                server.on("GET", "/api/gallery/photos/" + id.toUtf8() + "/image", Response::text(200, jpegLike(id.toUtf8())));
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
        server.on("GET", "/api/auth/verify", Response::json(200, R"({"ok":true})"));
        server.on("GET", "/api/devices", Response::json(200, R"({"devices":[]})"));
        server.on("GET", "/api/devices/status", Response::json(200, R"({"devices":[]})"));
        TestEnvironment::clearSupportFolder();
        pause.requested.clear();
    }
    void cleanup()
    {
        if (store)
            settle();
        store.reset();
        session.reset();
        // The periodic loop's cancelled pause resumes through a queued
        // signal: let it end now, not leak when this was the last case.
        QCoreApplication::sendPostedEvents();
        Clock::setForTesting({});
        PhotoFormatters::setLocaleForTesting(std::nullopt);
        PhotoFormatters::setTimeZoneForTesting(std::nullopt);
    }

    // Each retry of a change is based on the state the last 409 carried; a
    // 401 locks, and starts no connection check.
    void changeAnswers_data()
    {
        QTest::addColumn<int>("staleCount");
        QTest::addColumn<bool>("expired");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("stale, then accepted") << 1 << false << 2 << "Reorder saved";
        QTest::newRow("stale three times") << 3 << false << 3 << "Reorder failed";
        QTest::newRow("session expired") << 0 << true << 1 << "Reorder failed";
    }
    void changeAnswers()
    {
        QFETCH(int, staleCount);
        QFETCH(bool, expired);
        QFETCH(int, requests);
        QFETCH(QString, outcome);
        openStore(gallery(QStringLiteral("v1"), {"a", "b"}, "a"));
        QList<Response> answers;
        for (int i = 0; i < staleCount; ++i)
            answers.append(Response::json(409, staleAnswer(gallery(QStringLiteral("s%1").arg(i), {"a", "b"}, "a"))));
        answers.append(expired ? Response::json(401, R"({"error":"expired"})")
                               : Response::json(200, answer(gallery(QStringLiteral("v9"), {"b", "a"}, "a"))));
        server.onSequence("PUT", "/api/gallery/order", answers);

        TaskWait::run(store->applyOrder({"b", "a"}));
        settle();
        const auto sent = server.requests("PUT", "/api/gallery/order");
        QCOMPARE(sent.size(), requests);
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(QJsonDocument::fromJson(sent[i].body)[QLatin1StringView("baseUpdatedAt")].toString(),
                     i ? QStringLiteral("s%1").arg(i - 1) : QStringLiteral("v1"));
        QVERIFY(lastLogged(outcome));
        // Whatever the outcome, what was adopted last is also on disk.
        QCOMPARE(AppConfig::loadLocalState().state, store->state());
        QVERIFY(!store->isBusy());
        QCOMPARE(session->isUnlocked(), !expired);
        if (expired) {
            QCOMPARE(store->serverLinkStatus(), LinkStatus::down);
            QVERIFY(server.requests("GET", "/api/health").isEmpty());
        }
    }

    void failedPullsMarkTheServer_data()
    {
        QTest::addColumn<Response>("failure");
        QTest::addColumn<LinkStatus>("status");
        QTest::addColumn<bool>("checks");
        Response dropped;
        dropped.kind = Response::Kind::CloseWithoutAnswer;
        QTest::newRow("503") << Response::json(503, "{}") << LinkStatus::down << false;
        QTest::newRow("no answer") << dropped << LinkStatus::down << false;
        QTest::newRow("500") << Response::json(500, "{}") << LinkStatus::up << true;
        QTest::newRow("not a manifest") << Response::json(200, "{}") << LinkStatus::up << true;
    }
    void failedPullsMarkTheServer()
    {
        QFETCH(Response, failure);
        QFETCH(LinkStatus, status);
        QFETCH(bool, checks);
        openStore();
        store->setServerLinkStatus(LinkStatus::up);
        server.on("GET", "/api/gallery", failure);
        TaskWait::run(store->syncAll());
        QCOMPARE(store->serverLinkStatus(), status);
        QVERIFY(lastLogged(QStringLiteral("Server sync failed")));
        settle();
        QCOMPARE(!server.requests("GET", "/api/health").isEmpty(), checks);
        QVERIFY(!store->isBusy() && !store->isSyncing());
    }

    void backOffOfScheduledPulls()
    {
        openStore();
        QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
        Clock::setForTesting([&now] { return now; });
        server.on("GET", "/api/gallery", Response::json(503, "{}"));
        for (qint64 delay : {2, 4, 8, 16, 32, 64, 128, 256, 300, 300}) {
            TaskWait::run(store->syncAll());
            QCOMPARE(store->pullRetryNotBefore(), std::optional(now.addSecs(delay)));
        }
        // While the back-off lasts a scheduled pull sends and logs nothing;
        // a sync still runs.
        settle();
        server.clearRequests();
        ActivityLogStore::shared().clear();
        now = now.addSecs(299);
        TaskWait::run(store->pullFromServer(PullKind::scheduled));
        QVERIFY(server.requests().isEmpty());
        QVERIFY(messages().isEmpty());

        // A success resets the streak.
        serve(gallery(QStringLiteral("v2"), {"a"}, "a"), true);
        TaskWait::run(store->syncAll());
        QCOMPARE(store->pullFailureStreak(), 0);
        QCOMPARE(store->pullRetryNotBefore(), std::nullopt);
        QCOMPARE(store->serverLinkStatus(), LinkStatus::up);
        QCOMPARE(lastLogged(QStringLiteral("Server sync OK"))->detail, std::optional(QStringLiteral("updatedAt=v2 photos=1")));
    }

    void syncRemovesCachedImagesOfHiddenPhotos()
    {
        // a stays, b is deleted on the server, c is gone from the manifest.
        openStore(gallery(QStringLiteral("v1"), {"a", "b", "c"}, "a"));
        GalleryState pulled = gallery(QStringLiteral("v2"), {"a", "b"}, "a");
        pulled.photos[QStringLiteral("b")].deletedAt = QStringLiteral("2026-03-01T07:05:09Z");
        serve(pulled);
        const QString folder = AppConfig::cacheFolder() + QLatin1Char('/');
        const QStringList kept{".lunvik-Ab12Cd", "a.jpg", "a_w320.jpg", "notes.txt"};
        for (const QString &name : kept + QStringList{"b.jpg", "b_w240.jpg", "c.jpg", "c_w640.jpg"})
            QVERIFY(QFile(folder + name).open(QIODevice::WriteOnly));
        TaskWait::run(store->syncAll());
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), kept);
    }

    // A pulled manifest that cannot be saved is still shown, and the failed
    // save is an error record that names the file's error, not silence.
    void galleryThatCannotBeSaved()
    {
        openStore(gallery(QStringLiteral("v1"), {"a"}, "a"), true);
        QVERIFY(QFile::remove(AppConfig::localStateURL()));
        QVERIFY(QDir().mkpath(AppConfig::localStateURL())); // a folder where the file goes
        serve(gallery(QStringLiteral("v2"), {"a", "b"}, "a"), true);
        TaskWait::run(store->syncAll());
        QCOMPARE(store->state().updatedAt, QStringLiteral("v2"));
        const auto failure = lastLogged(QStringLiteral("Server sync failed"));
        QVERIFY(failure && failure->level == LogLevel::error);
        QVERIFY2(failure->detail.value_or(QString()).contains(QLatin1StringView("QFileDevice")), qPrintable(*failure->detail));
    }

    // A lock while work waits on the server ends that work: nothing more
    // goes out, nothing is adopted, saved, cached or logged as done, and no
    // failure or connection check follows from its aborted request.
    void lockEndsTheWorkUnderWay_data()
    {
        QTest::addColumn<QString>("work");
        QTest::newRow("refresh: the manifest") << "refresh";
        QTest::newRow("sync: four image downloads in flight") << "sync";
        QTest::newRow("upload: between two files") << "upload";
        QTest::newRow("reorder: the retry after a 409") << "reorder";
        // The adopted answer is encoded on the worker thread and saved after:
        // the lock in between must win, the older manifest never comes back.
        QTest::newRow("reorder: its answer being encoded") << "encoding";
        QTest::newRow("thumbnail download") << "thumbnail";
    }
    void lockEndsTheWorkUnderWay()
    {
        QFETCH(QString, work);
        openStore(gallery(QStringLiteral("v1"), {"a", "b"}, "a"));
        Response hang;
        hang.kind = Response::Kind::Hang;
        const GalleryState newer = gallery(QStringLiteral("v2"), {"a", "b", "c", "p1"}, "b");
        serve(newer);
        for (const char *id : {"a", "b", "c", "p1"})
            server.on("GET", QByteArray("/api/gallery/photos/") + id + "/image", hang);

        qsizetype requestsAtLock = -1;
        QSemaphore hold;
        QFuture<void> holding;
        bool held = false;
        const auto lock = [&] {
            ActivityLogStore::shared().clear();
            requestsAtLock = server.requests().size();
            session->lock(*store);
        };
        // Locks once the server has seen `count` requests to `path`.
        const auto lockOnceSeen = [&](const QByteArray &method, const QByteArray &path, int count) {
            QTRY_COMPARE(server.requests(method, path).size(), count);
            lock();
        };
        std::optional<QCoro::Task<>> running;
        if (work == QLatin1StringView("refresh")) {
            server.on("GET", "/api/gallery", hang);
            running = store->pullFromServer(PullKind::refresh);
            lockOnceSeen("GET", "/api/gallery", 1);
        } else if (work == QLatin1StringView("sync")) {
            running = store->syncAll();
            // a, b, c and p1 are all on their way, then the lock.
            for (const char *id : {"a", "b", "c", "p1"})
                QTRY_COMPARE(server.requests("GET", QByteArray("/api/gallery/photos/") + id + "/image").size(), 1);
            QTRY_VERIFY(store->photoDownloadProgress() == (TransferProgress{0, 4}));
            lock();
        } else if (work == QLatin1StringView("upload")) {
            server.on("POST", "/api/gallery/photos", Response::json(200, answer(newer)));
            connect(store.get(), &GalleryStore::stateChanged, this, [&] {
                if (store->state().updatedAt == QLatin1StringView("v2") && requestsAtLock < 0)
                    QTimer::singleShot(0, this, lock);
            });
            running = store->uploadFiles({imageFile("p1.png"), imageFile("two.png")});
        } else if (work == QLatin1StringView("reorder")) {
            server.onSequence("PUT", "/api/gallery/order",
                              {Response::json(409, staleAnswer(gallery(QStringLiteral("v1b"), {"a", "b"}, "a"))), hang});
            running = store->applyOrder({"b", "a"});
            lockOnceSeen("PUT", "/api/gallery/order", 2);
        } else if (work == QLatin1StringView("encoding")) {
            // Once v2 is adopted the worker is held, so its encoding waits; the
            // lock runs on the next turn of the event loop, then lets it go.
            server.on("PUT", "/api/gallery/order", Response::json(200, answer(newer)));
            connect(store.get(), &GalleryStore::stateChanged, this, [&] {
                if (store->state().updatedAt != QLatin1StringView("v2") || held)
                    return;
                held = true;
                holding = BackgroundWork::run([&hold] { hold.acquire(); });
                QTimer::singleShot(0, this, [&] {
                    lock();
                    hold.release();
                });
            });
            running = store->applyOrder({"b", "a"});
        } else {
            running = store->ensureThumbnailCached(QStringLiteral("a"), 320);
            lockOnceSeen("GET", "/api/gallery/photos/a/image", 1);
        }
        TaskWait::run(std::move(*running));
        settle();
        QTest::qWait(20); // anything sent after the lock would have arrived by now

        QCOMPARE(session->sessionPhase(), SessionPhase::locked);
        QCOMPARE(held, work == QLatin1StringView("encoding"));
        QCOMPARE(server.requests().size(), requestsAtLock);
        // Nothing is logged after the lock but what an upload left undone.
        const bool upload = work == QLatin1StringView("upload");
        QCOMPARE(messages().size(), upload ? 1 : 0);
        QCOMPARE(messages(QStringLiteral("Upload stopped")),
                 upload ? QStringList{"1 of 2 file(s) not uploaded (session ended)"} : QStringList());
        QVERIFY(AppConfig::loadLocalState().state.order.isEmpty());
        QVERIFY(store->state().order.isEmpty());
        QVERIFY(QDir(AppConfig::cacheFolder()).isEmpty());
        QVERIFY(!store->isBusy() && !store->isSyncing());
    }

    // Work asked for while the same work runs joins it: one announcement,
    // one set of requests. A sync waits for a refresh and then runs, and a
    // connection check that found the server back does not catch up again
    // when a pull succeeded meanwhile.
    void overlappingPullsAndChecksJoin()
    {
        const GalleryState local = gallery(QStringLiteral("v1"), {"a"}, "a");
        openStore(local, true);
        Response gallery = Response::json(200, answer(local));
        gallery.delayMs = 100;
        server.on("GET", "/api/gallery", gallery);
        server.on("GET", "/api/gallery/current", Response::json(200, currentAnswer(local)));
        Response health = Response::json(200, R"({"ok":true})");
        health.delayMs = 400;
        server.on("GET", "/api/health", health);
        QCOMPARE(store->serverLinkStatus(), LinkStatus::down);

        QCoro::Task<> started[] = {store->updateConnectionStatus(false), store->pullFromServer(PullKind::refresh),
                                   store->pullFromServer(PullKind::refresh), store->pullFromServer(PullKind::scheduled),
                                   store->syncAll(), store->syncAll(), store->updateConnectionStatus(true)};
        for (QCoro::Task<> &task : started)
            TaskWait::run(std::move(task));
        settle();

        QStringList logged = messages();
        QCOMPARE(logged.removeAll(QStringLiteral("Server reachable")), 1); // whenever the check ends
        QCOMPARE(logged, (QStringList{"Checking server and frames", "Refreshing gallery from server",
                                      "Gallery refreshed", "Sync started", "Server sync OK"}));
        QCOMPARE(server.requests("GET", "/api/gallery").size(), 2);
        QCOMPARE(server.requests("GET", "/api/health").size(), 1);
        QCOMPARE(store->serverLinkStatus(), LinkStatus::up);
        QVERIFY(!store->isBusy());
        QVERIFY(!store->isCheckingConnection());
    }

    // A photo the server moved on is adopted, saved and recorded, but not
    // our own choice that a refresh brought back while it was being sent.
    // (An unchanged gallery costing one small request: periodicLoop.)
    void currentPhotoOfAPull_data()
    {
        QTest::addColumn<QString>("by");
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("moved by the server")
            << "cron" << QStringList{"Scheduled sync started", "Gallery advanced", "Scheduled sync OK"};
        QTest::newRow("moved here meanwhile")
            << "manual" << QStringList{"Refreshing gallery from server", "Gallery refreshed", "Show for today"};
    }
    void currentPhotoOfAPull()
    {
        QFETCH(QString, by);
        QFETCH(QStringList, logged);
        openStore(gallery(QStringLiteral("v1"), {"a", "b"}, "a"));
        const GalleryState served = gallery(QStringLiteral("v2"), {"a", "b"}, "b",
            by == QLatin1StringView("cron") ? CurrentPhotoUpdatedBy::cron : CurrentPhotoUpdatedBy::manual);
        serve(served, true);
        if (by == QLatin1StringView("manual")) {
            Response slow = Response::json(200, answer(served));
            slow.delayMs = 300;
            server.on("PUT", "/api/gallery/current", slow);
            auto choosing = store->setAsCurrent(QStringLiteral("b"));
            TaskWait::run(store->pullFromServer(PullKind::refresh));
            TaskWait::run(std::move(choosing));
        } else {
            TaskWait::run(store->pullFromServer(PullKind::scheduled));
        }
        QCOMPARE(AppConfig::loadLocalState().state.currentPhotoId, served.currentPhotoId);
        QCOMPARE(messages(), logged);
    }

    // A folder, a FIFO named like a photo (opening it would block) and a
    // file far too large are skipped before they are opened, the last two
    // with a warning naming them; the rest goes up.
    void uploadBatch()
    {
        // The server names each photo after the file it was sent as (pN.png).
        const auto served = [](const char *version, const QStringList &order) {
            return Response::json(200, answer(gallery(QString::fromLatin1(version), order, QStringLiteral("x"))));
        };
        openStore(gallery(QStringLiteral("v0"), {"x"}, "x"), true);
        server.onSequence("POST", "/api/gallery/photos",
                          {served("v1", {"x", "p1"}), served("v2", {"x", "p1", "p2"}),
                           // y arrived from another client at the same moment.
                           served("v3", {"x", "p1", "p2", "p3", "y"})});
        server.on("GET", "/api/gallery/photos/y/image", Response::text(200, jpegLike("y")));
        const QString folder = TestEnvironment::home() + QStringLiteral("/folder");
        QDir().mkpath(folder);
        const QString fifo = TestEnvironment::home() + QStringLiteral("/x.jpg");
        const QString large = TestEnvironment::home() + QStringLiteral("/big.jpg");
        const auto removeOddFiles = qScopeGuard([&] {
            QFile::remove(fifo);
            QFile::remove(large);
        });
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QFile sparse(large);
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(PhotoCacheJPEG::maxSourceFileBytes + 1));

        // The counts the app's bar and the command line show.
        QStringList uploads;
        QStringList downloads;
        const auto progressOf = [](const TransferProgress &p) { return QStringLiteral("%1/%2").arg(p.done).arg(p.total); };
        QObject watcher;
        connect(store.get(), &GalleryStore::uploadProgressChanged, &watcher,
                [&] { uploads << progressOf(store->uploadProgress()); });
        connect(store.get(), &GalleryStore::photoDownloadProgressChanged, &watcher,
                [&] { downloads << progressOf(store->photoDownloadProgress()); });
        TaskWait::run(store->uploadFiles(
            {imageFile("p1.png"), folder, fifo, large, imageFile("p2.png"), imageFile("p3.png")}));
        QCOMPARE(messages(QStringLiteral("Upload skipped")),
                 (QStringList{"x.jpg: not a regular file", "big.jpg: larger than 200 MB"}));
        QCOMPARE(lastLogged(QStringLiteral("Upload skipped"))->level, LogLevel::warning);
        QCOMPARE(lastLogged(QStringLiteral("Upload skipped"))->category, LogCategory::gallery);
        QVERIFY(lastLogged(QStringLiteral("Uploading 3 file(s)")));
        QCOMPARE(uploads, (QStringList{"0/3", "1/3", "2/3", "3/3", "0/0"}));
        QCOMPARE(downloads, (QStringList{"0/1", "1/1", "0/0"}));
        // Only the photo that nobody uploaded here is downloaded.
        QCOMPARE(server.requests("GET", "/api/gallery/photos/y/image").size(), 1);
        QCOMPARE(server.requests().size(), 5); // three uploads, y, and the frame status
        QCOMPARE(messages(QStringLiteral("Uploaded to server")),
                 (QStringList{QString::fromUtf8("p1.png \u2192 p1"), QString::fromUtf8("p2.png \u2192 p2"),
                              QString::fromUtf8("p3.png \u2192 p3, y")}));
        QCOMPARE(messages(QStringLiteral("Upload complete")), QStringList{"updatedAt=v3 photos=5"});
        QVERIFY(PhotoCacheJPEG::isJPEG(readFile(AppConfig::cacheURL(QStringLiteral("p3")))));
    }

    // Another member's photo of the same file name (phones all say
    // IMG_1234) arrives with a 409: it keeps its own picture, and ours goes
    // only to our photo. A pull that ends while the upload waits for its
    // manifest (here: the download of their photo) keeps our bytes in the
    // cache, though the pulled manifest does not list our photo yet.
    void uploadRacingAnotherOfTheSameName()
    {
        const GalleryState local = gallery(QStringLiteral("v1"), {"x"}, "x");
        openStore(local, true);
        GalleryState theirs = gallery(QStringLiteral("v2"), {"x", "theirs"}, "x");
        theirs.photos[QStringLiteral("theirs")].filename = QStringLiteral("IMG_1234.png");
        GalleryState both = gallery(QStringLiteral("v3"), {"x", "theirs", "mine"}, "x");
        both.photos[QStringLiteral("theirs")].filename = both.photos[QStringLiteral("mine")].filename = QStringLiteral("IMG_1234.png");
        server.onSequence("POST", "/api/gallery/photos",
                          {Response::json(409, staleAnswer(theirs)), Response::json(200, answer(both))});
        Response slow = Response::text(200, jpegLike("their picture"));
        slow.delayMs = 300;
        server.on("GET", "/api/gallery/photos/theirs/image", slow);
        serve(local);

        auto uploading = store->uploadFiles({imageFile("IMG_1234.png")});
        QTRY_COMPARE(server.requests("GET", "/api/gallery/photos/theirs/image").size(), 1);
        TaskWait::run(store->pullFromServer(PullKind::refresh));
        TaskWait::run(std::move(uploading));
        QCOMPARE(messages(QStringLiteral("Uploaded to server")),
                 QStringList{QString::fromUtf8("IMG_1234.png \u2192 mine")});
        QVERIFY(lastLogged(QStringLiteral("Upload complete")));
        QVERIFY(PhotoCacheJPEG::isJPEG(readFile(AppConfig::cacheURL(QStringLiteral("mine")))));
        QCOMPARE(readFile(AppConfig::cacheURL(QStringLiteral("theirs"))), jpegLike("their picture"));
    }

    void uploadAnswerWithoutTheNewPhoto()
    {
        openStore(gallery(QStringLiteral("v0"), {"x"}, "x"));
        server.on("POST", "/api/gallery/photos", Response::json(200, answer(gallery(QStringLiteral("v1"), {"x"}, "x"))));
        TaskWait::run(store->uploadFiles({imageFile("one.png"), imageFile("two.png")}));
        QCOMPARE(server.requests("POST", "/api/gallery/photos").size(), 1);
        QCOMPARE(messages(QStringLiteral("Upload response missing new photo")), QStringList{"one.png updatedAt=v1"});
        QVERIFY(lastLogged(QStringLiteral("Upload failed")));
        QVERIFY(!lastLogged(QStringLiteral("Upload complete")));
    }

    // Work the store refuses by itself: one record saying why, nothing sent.
    void refusedWithoutARequest_data()
    {
        QTest::addColumn<QString>("work");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("detail");
        QTest::newRow("reorder of a stale set") << "reorder" << "Reorder skipped" << "stale order (active=5 requested=4)";
        QTest::newRow("delete of the current photo") << "delete" << "Delete blocked" << "includesCurrentPhoto";
        QTest::newRow("upload while locked") << "lock" << "Upload skipped" << "Unlock the gallery first";
        QTest::newRow("upload of nothing usable") << "upload" << "Upload skipped" << "No supported image files in drop";
    }
    void refusedWithoutARequest()
    {
        QFETCH(QString, work);
        QFETCH(QString, message);
        QFETCH(QString, detail);
        openStore(gallery(QStringLiteral("v1"), {"a", "b", "c", "d", "e"}, "a"));
        const QString text = TestEnvironment::home() + QStringLiteral("/notes.txt");
        QVERIFY(QFile(text).open(QIODevice::WriteOnly));
        if (work == QLatin1StringView("lock")) {
            session->lock(*store);
            ActivityLogStore::shared().clear();
        }
        if (work == QLatin1StringView("reorder"))
            TaskWait::run(store->applyOrder({"e", "d", "c", "b"}));
        else if (work == QLatin1StringView("delete"))
            TaskWait::run(store->deletePhotos({"a"}));
        else
            TaskWait::run(store->uploadFiles({text, TestEnvironment::home()}));
        QCOMPARE(messages(), QStringList{message});
        QCOMPARE(lastLogged(message)->detail, std::optional(detail));
        QVERIFY(server.requests().isEmpty());
    }

    void deletes()
    {
        openStore(gallery(QStringLiteral("v1"), {"a", "b", "c"}, "a"));
        store->selection().selectPhoto(QStringLiteral("b"), false, false, {});
        server.on("DELETE", "/api/gallery/photos/b", Response::json(200, answer(gallery(QStringLiteral("v2"), {"a", "c"}, "a"))));
        server.on("DELETE", "/api/gallery/photos/zz", Response::json(200, answer(gallery(QStringLiteral("v3"), {"a", "c"}, "a"))));
        TaskWait::run(store->deletePhotos({"zz", "b"}));
        const auto sent = server.requests();
        QCOMPARE(sent[0].path, QByteArray("/api/gallery/photos/b"));
        QCOMPARE(sent[1].path, QByteArray("/api/gallery/photos/zz"));
        QCOMPARE(QJsonDocument::fromJson(sent[1].body)[QLatin1StringView("baseUpdatedAt")].toString(), "v2");
        QVERIFY(store->selection().selectedIDs().isEmpty());
        QVERIFY(lastLogged(QStringLiteral("Delete complete")));
    }

    void frames()
    {
        openStore();
        const QByteArray hall = R"({"id":"f1","displayName":"Hall","registeredBy":"Ana","registeredAt":"t"})";
        const QByteArray den = R"({"id":"f2","displayName":"Den","registeredBy":"Ana","registeredAt":"t"})";
        server.on("GET", "/api/devices", Response::json(200, "{\"devices\":[" + hall + "," + den + "]}"));
        TaskWait::run(store->reloadRegisteredFrames());

        server.on("POST", "/api/devices",
                  Response::json(200, R"({"device":{"id":"f1","displayName":"Hall 2","registeredBy":"Ana","registeredAt":"t"}})"));
        TaskWait::run(store->registerFrame(QStringLiteral("Device: Hall 2\nToken: x")));
        QCOMPARE(store->registeredFrames().at(0).displayName, QStringLiteral("Hall 2"));
        QCOMPARE(store->registeredFrames().size(), 2);
        QVERIFY(server.requests("POST", "/api/devices").value(0).body.contains(R"("displayName":"Hall 2")"));
    }

    void frameStatus_data()
    {
        QTest::addColumn<QByteArray>("statuses");
        QTest::addColumn<LinkStatus>("link");
        QTest::addColumn<QStringList>("offline");
        QTest::newRow("one reachable, sized") << QByteArray(R"({"devices":[{"id":"a","displayName":"A","reachable":false},
            {"id":"b","displayName":"B","reachable":true,"width":1600,"height":1200}]})")
                                              << LinkStatus::up << QStringList();
        QTest::newRow("none reachable") << QByteArray(R"({"devices":[{"id":"a","displayName":"A","reachable":false,
            "lastPushError":"timeout"},{"id":"b","displayName":"B","reachable":false}]})")
                                        << LinkStatus::down << QStringList{"A: timeout", "B: unreachable"};
        QTest::newRow("no frames") << QByteArray(R"({"devices":[]})") << LinkStatus::down << QStringList();
    }
    void frameStatus()
    {
        QFETCH(QByteArray, statuses);
        QFETCH(LinkStatus, link);
        QFETCH(QStringList, offline);
        openStore();
        server.on("GET", "/api/devices/status", Response::json(200, statuses));
        TaskWait::run(store->updateDeviceStatus());
        QCOMPARE(store->deviceLinkStatus(), link);
        QCOMPARE(messages(QStringLiteral("Frame offline")), offline);
        QCOMPARE(store->deviceScreenAspectRatio(), 0.75); // 1600 x 1200, and the default
    }

    void serverStatusGracePeriod()
    {
        openStore();
        QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
        Clock::setForTesting([&now] { return now; });
        TaskWait::run(store->updateConnectionStatus(false));
        QCOMPARE(store->serverLinkStatus(), LinkStatus::up);
        // The server came up from the store's first "down": the catch-up pull
        // it started must be over before the next checks are counted.
        settle();

        server.on("GET", "/api/health", Response::json(503, "{}"));
        now = now.addSecs(5 * 60);
        TaskWait::run(store->updateConnectionStatus(false));
        QCOMPARE(store->serverLinkStatus(), LinkStatus::up);
        QCOMPARE(lastLogged(QStringLiteral("Server unreachable"))->detail,
                 std::optional(server.baseUrl().toString() + QStringLiteral("/api/health")));
        now = now.addSecs(6 * 60);
        TaskWait::run(store->updateConnectionStatus(false));
        QCOMPARE(store->serverLinkStatus(), LinkStatus::down);
        QCOMPARE(store->deviceLinkStatus(), LinkStatus::down);

        // The server is back, but verification and the gallery fail without
        // being "unreachable": the catch-up after the check must not start a
        // round of checks and pulls that never ends.
        server.on("GET", "/api/health", Response::json(200, R"({"ok":true})"));
        server.on("GET", "/api/auth/verify", Response::json(500, "{}"));
        server.on("GET", "/api/gallery", Response::json(500, "{}"));
        server.clearRequests();
        TaskWait::run(store->updateConnectionStatus(false));
        settle();
        QCOMPARE(server.requests("GET", "/api/health").size(), 1);
        QCOMPARE(store->serverLinkStatus(), LinkStatus::down);
        QVERIFY(session->isUnlocked());

        // Whole again: the session is re-verified and the gallery caught up.
        server.on("GET", "/api/auth/verify", Response::json(200, R"({"ok":true})"));
        serve(gallery(QStringLiteral("v5"), {}));
        server.clearRequests();
        TaskWait::run(store->updateConnectionStatus(false));
        settle();
        QCOMPARE(server.requests("GET", "/api/auth/verify").size(), 1);
        QCOMPARE(store->state().updatedAt, QStringLiteral("v5"));
    }

    // A long list takes its tags from one plan; each tag is the one the
    // store gives for the photo alone: the day of its showing, or its time
    // in the user's locale when photos change more than once a day.
    void showingTagsFromOnePlan_data()
    {
        QTest::addColumn<bool>("debugMode");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("p3");
        QTest::addColumn<QString>("p0");
        QTest::newRow("daily") << false << 1800 << "3/1/26" << "3/2/26";
        QTest::newRow("debug, 30 minutes") << true << 1800 << "11:29 AM" << "11:59 AM";
        QTest::newRow("debug, a day") << true << 86400 << "3/2/26" << "3/3/26";
    }
    void showingTagsFromOnePlan()
    {
        QFETCH(bool, debugMode);
        QFETCH(int, interval);
        QFETCH(QString, p3);
        QFETCH(QString, p0);
        Clock::setForTesting([] { return QDateTime(QDate(2026, 3, 1), QTime(10, 59, 59, 900), QTimeZone::utc()); });
        PhotoFormatters::setLocaleForTesting(QLocale(QStringLiteral("en_US")));
        PhotoFormatters::setTimeZoneForTesting(QTimeZone::utc());
        GalleryState state = gallery(QStringLiteral("v1"), {"p0", "p1", "p2", "p3"}, QStringLiteral("p2"));
        state.photos[QStringLiteral("p1")].deletedAt = QStringLiteral("v1");
        openStore(state);
        AppSettings settings = store->settings();
        settings.debugMode = debugMode;
        settings.debugAdvanceIntervalSeconds = interval;
        store->setSettings(settings);
        const std::optional<GalleryRotationPlan> plan = store->rotationPlan();
        QCOMPARE(store->showingTag(QStringLiteral("p3")), std::optional(p3));
        QCOMPARE(store->showingTag(QStringLiteral("p2"), std::nullopt), std::optional(QStringLiteral("Showing for today")));
        QVERIFY(!store->showingTag(QStringLiteral("p1"), plan));
        QCOMPARE(store->showingTag(QStringLiteral("p3"), plan), std::optional(p3));
        QCOMPARE(store->showingTag(QStringLiteral("p0"), plan), std::optional(p0));
    }

    void downloadFilename_data()
    {
        QTest::addColumn<QString>("filename");
        QTest::addColumn<QString>("expected");
        QTest::newRow("jpeg kept") << "Holiday.JPG" << "Holiday.JPG";
        QTest::newRow("png") << "scan.png" << "scan.jpg";
        QTest::newRow("path") << "../../etc/passwd" << "passwd.jpg";
        QTest::newRow("backslashes") << "..\\..\\x.jpeg" << "x.jpeg";
        QTest::newRow("dots") << ".." << "p7.jpg";
        // A NUL would cut the name short on disk; escapes and direction
        // overrides would disguise it.
        QTest::newRow("controls") << QStringLiteral("holi") + QChar(0) + QStringLiteral("day\u001b[31m\u202egpj.exe\u0085.jpg")
                                  << "holi_day_[31m_gpj.exe_.jpg";
        QTest::newRow("too long") << QString(300, QLatin1Char('a')) + ".jpeg" << QString(200, QLatin1Char('a')) + ".jpeg";
    }
    void downloadFilename()
    {
        QFETCH(QString, filename);
        QFETCH(QString, expected);
        PhotoEntry entry = photo(QStringLiteral("p7"));
        entry.filename = filename;
        QCOMPARE(GalleryStore::downloadFilename(entry), expected);
    }

    void downloads()
    {
        GalleryState state = gallery(QStringLiteral("v1"), {"x", "y", "z"}, "x");
        state.photos[QStringLiteral("x")].filename = QStringLiteral("a.jpg");
        state.photos[QStringLiteral("z")].filename = QStringLiteral("a");
        state.photos[QStringLiteral("y")].deletedAt = QStringLiteral("v1"); // as good as unknown
        openStore(state);
        const QString downloads = TestEnvironment::home() + QStringLiteral("/Downloads");
        for (const char *name : {"a.jpg", "a (1).jpg", "a.jpg.tmp"})
            QFile(downloads + QLatin1Char('/') + QLatin1StringView(name)).open(QIODevice::WriteOnly);
        server.on("GET", "/api/gallery/photos/x/image", Response::text(200, jpegLike("X")));
        server.on("GET", "/api/gallery/photos/z/image", Response::text(200, jpegLike("Z")));

        TaskWait::run(store->downloadPhotos({"z", "b", "x", "y"}));
        QVERIFY(server.requests("GET", "/api/gallery/photos/y/image").isEmpty());
        QCOMPARE(lastLogged(QStringLiteral("Downloading 2 photos"))->detail, std::optional(QStringLiteral("count=2")));
        QCOMPARE(messages(QStringLiteral("Saved to Downloads")), (QStringList{"a (2).jpg", "a (3).jpg"}));
        QCOMPARE(readFile(downloads + QStringLiteral("/a (3).jpg")), jpegLike("Z"));
    }

    // Each round of the loop is a scheduled pull; of a gallery that has not
    // changed, it costs one small request.
    void periodicLoop()
    {
        const GalleryState local = gallery(QStringLiteral("v1"), {"a"}, "a");
        openStore(local);
        QCOMPARE(pause.requested, QList<std::chrono::milliseconds>{std::chrono::seconds(1800)});
        server.on("GET", "/api/gallery/current", Response::json(200, currentAnswer(local)));
        pause.release();
        QTRY_COMPARE(pause.requested.size(), 2);
        QCOMPARE(messages(), (QStringList{"Scheduled sync started", "Scheduled sync OK"}));

        session->lock(*store);
        QVERIFY(!store->isPeriodicPullRunning());
        QTest::qWait(20);
        QCOMPARE(pause.requested.size(), 2);
        QCOMPARE(server.requests().size(), 1);
    }

    void startUp_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<Response>("verify");
        QTest::addColumn<SessionPhase>("phase");
        QTest::addColumn<bool>("tokenKept");
        QTest::addColumn<int>("requests");
        const Response ok = Response::json(200, R"({"ok":true})");
        QTest::newRow("accepted") << "tok" << ok << SessionPhase::unlocked << true << 1;
        QTest::newRow("rejected") << "tok" << Response::json(401, "{}") << SessionPhase::locked << false << 1;
        QTest::newRow("server unreachable") << "tok" << Response::json(503, "{}") << SessionPhase::unlocked << true << 1;
        // A token that could smuggle a header onto the connection is not sent.
        QTest::newRow("unusable token on disk") << "tok\r\nX-Evil: 1" << ok << SessionPhase::locked << false << 0;
    }
    void startUp()
    {
        QFETCH(QString, token);
        QFETCH(Response, verify);
        QFETCH(SessionPhase, phase);
        QFETCH(bool, tokenKept);
        QFETCH(int, requests);
        server.on("GET", "/api/auth/verify", verify);
        start(token, AppSettings::defaultDisplayName, false);
        QCOMPARE(session->sessionPhase(), SessionPhase::checking);
        TaskWait::run(session->tryAutoUnlock(*store));
        QCOMPARE(session->sessionPhase(), phase);
        QCOMPARE(bool(AppConfig::loadSettings().syncBearer()), tokenKept);
        QCOMPARE(server.requests().size(), requests);
        QCOMPARE(store->serverLinkStatus(), LinkStatus::down);
        QCOMPARE(store->isPeriodicPullRunning(), phase == SessionPhase::unlocked);
        // A second start-up call changes nothing.
        TaskWait::run(session->tryAutoUnlock(*store));
        QCOMPARE(server.requests().size(), requests);
    }

    // The unlock form's submit, from the name and password through to the
    // frame. (The refusals the unlock screen shows: tst_appshell.)
    void unlock_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<Response>("answer");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("error"); // empty: signed in
        QTest::addColumn<int>("frameRequests");
        const Response ok = Response::json(200, sessionAnswer);
        QTest::newRow("blank name") << "  " << "pw" << ok << "" << "Enter your name so uploads can be attributed to you." << 0;
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
    }
    void unlock()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(Response, answer);
        QFETCH(QString, setup);
        QFETCH(QString, error);
        QFETCH(int, frameRequests);
        server.on("POST", "/api/auth/session", answer);
        server.on("POST", "/api/devices",
                  Response::json(200, R"({"device":{"id":"f","displayName":"Hall","registeredBy":"Åsa","registeredAt":"t"}})"));
        start();
        UnlockForm form(*session, *store);
        form.setDisplayName(name);
        form.setPassword(password);
        form.setBloomin8SetupText(setup);
        QCOMPARE(form.canSubmitUnlock(), !name.trimmed().isEmpty());
        TaskWait::run(form.attemptUnlock());
        QCOMPARE(session->unlockError().value_or(QString()), error);
        QCOMPARE(server.requests("POST", "/api/devices").size(), frameRequests);
        QVERIFY(!form.isUnlocking());
        // Signed in; the name was saved before the frame was sent.
        QCOMPARE(session->isUnlocked(), error.isEmpty());
        QCOMPARE(form.password(), error.isEmpty() ? QString() : password);
        if (!error.isEmpty())
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
        start();
        QVERIFY(QFile::remove(AppConfig::settingsURL()));
        QVERIFY(QDir().mkpath(AppConfig::settingsURL())); // a folder where the file goes
        ActivityLogStore::shared().clear();
        const auto saveErrors = [] { return messages(QStringLiteral("Save settings")).size(); };

        QVERIFY(TaskWait::run(session->unlock(QStringLiteral("pw"), *store)));
        QCOMPARE(store->settings().syncSessionToken, QStringLiteral("new"));
        QCOMPARE(saveErrors(), 1);
        QCOMPARE(lastLogged(QStringLiteral("Save settings"))->level, LogLevel::error);
        QVERIFY(session->unlockError().value_or(QString()).startsWith(QLatin1StringView("Signed in, but the session could not be saved")));
        // A save that failed is not reported as saved.
        QVERIFY(!store->saveSettings());
        QCOMPARE(saveErrors(), 2);
        QVERIFY(!lastLogged(QStringLiteral("Settings saved")));

        // Locked all the same, and told that the token is still on disk.
        QVERIFY(!session->lock(*store));
        QVERIFY(!session->isUnlocked());
        QVERIFY(store->settings().syncSessionToken.isEmpty());
        QCOMPARE(saveErrors(), 3);
        QVERIFY(session->unlockError().value_or(QString()).startsWith(QLatin1StringView("Signed out, but the session could not be removed")));
    }

    // A rename of the uploader that did not reach the server stays owed in
    // the settings file and is sent again (at a later save or start-up),
    // always from the name the server last accepted; a refusal for good
    // drops it.
    void owedUploaderRename()
    {
        server.on("PATCH", "/api/gallery/uploaders", Response::json(503, "{}"));
        start(QStringLiteral("tok"), QStringLiteral("Ana"));
        const auto rename = [this](const QString &name) {
            AppSettings settings = store->settings();
            settings.displayName = name;
            store->setSettings(settings);
            store->saveSettings();
            TaskWait::run(store->waitForBackgroundTasks());
        };
        rename(QStringLiteral("Bea"));
        rename(QStringLiteral("Cid"));

        GalleryState renamed = GalleryState::empty();
        renamed.updatedAt = QStringLiteral("v2");
        server.on("PATCH", "/api/gallery/uploaders",
                  Response::json(200, QJsonDocument(GalleryResponse{renamed}.toJson()).toJson()));
        restart();
        settle();
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
        start(QStringLiteral("tok"));
        server.clearRequests();

        // The same address, blanks aside: nothing to re-check.
        session->noteSettingsChanged(*store, QStringLiteral("  ") + store->settings().serverBaseURL + QStringLiteral(" "));
        settle();
        QVERIFY(server.requests().isEmpty());

        // Another address: checked and re-verified; a rejected token locks.
        server.on("GET", "/api/auth/verify", Response::json(401, "{}"));
        session->noteSettingsChanged(*store, QStringLiteral("https://old.example"));
        QTRY_COMPARE(session->sessionPhase(), SessionPhase::locked);
        QVERIFY(!AppConfig::loadSettings().syncBearer());

        // While locked, a change re-checks nothing.
        server.clearRequests();
        session->noteSettingsChanged(*store, QStringLiteral("https://older.example"));
        settle();
        QVERIFY(server.requests().isEmpty());
    }
};

LUNVIK_TEST_MAIN(TestGalleryStore)
#include "tst_gallerystore.moc"
