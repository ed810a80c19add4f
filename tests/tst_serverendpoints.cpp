// The gallery, image, frame, sign-in and health endpoints against a scripted
// loopback server: the exact requests, and every way an answer can fail.

#include "support/scriptableserver.h"
#include "support/testenvironment.h"

#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "server/authverifier.h"
#include "server/reachability.h"
#include "server/syncclient.h"
#include "taskwait.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using Response = ScriptableServer::Response;

namespace {

const QByteArray manifest = R"({"state":{"updatedAt":"v2","order":["a","b","c"],"photos":{
    "a":{"id":"a","filename":"a.jpg","blobPath":"x","sizeBytes":1,"updatedAt":"v1","uploaderId":"u"},
    "b":{"id":"b","filename":"b.jpg","blobPath":"x","sizeBytes":1,"updatedAt":"v1","uploaderId":"u"},
    "c":{"id":"c","filename":"c.jpg","blobPath":"x","sizeBytes":1,"updatedAt":"v1","uploaderId":"u"},
    "d":{"id":"d","filename":"d.jpg","blobPath":"x","sizeBytes":1,"updatedAt":"v1","uploaderId":"u",
         "deletedAt":"v2"}},"uploaders":{"u":"Ana"},"currentPhotoId":"a"}})";

const QByteArray staleBody = R"({"error":"Gallery changed on server","state":{"updatedAt":"v9","order":[],"photos":{}}})";

// The stored token has blanks around it: every request must send it trimmed.
AppSettings settingsFor(const QString &address, const QString &token = QStringLiteral(" tok-123\n"))
{
    AppSettings s;
    s.serverBaseURL = address;
    s.syncSessionToken = token;
    return s;
}

QJsonObject jsonOf(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

// Runs a task and keeps what it threw; a task without a value gives Done.
struct Done {};
template<typename T>
struct Result {
    std::optional<std::conditional_t<std::is_void_v<T>, Done, T>> value;
    std::optional<SyncError> syncError;
    std::optional<TransportError> transportError;
};

template<typename T>
Result<T> attempt(QCoro::Task<T> task)
{
    Result<T> result;
    try {
        if constexpr (std::is_void_v<T>) {
            TaskWait::run(std::move(task));
            result.value = Done{};
        } else {
            result.value = TaskWait::run(std::move(task));
        }
    } catch (const SyncError &e) {
        result.syncError = e;
    } catch (const TransportError &e) {
        result.transportError = e;
    }
    return result;
}

PhotoEntry photo(const QString &id)
{
    return PhotoEntry{id, id + QStringLiteral(".jpg"), QStringLiteral("x"), 1, QStringLiteral("v1"),
                      std::nullopt, QStringLiteral("u"), std::nullopt};
}

// A manifest of photos p0, p1, … in that order.
GalleryState galleryOf(int count)
{
    GalleryState state;
    for (int i = 0; i < count; ++i) {
        const QString id = QStringLiteral("p%1").arg(i);
        state.order << id;
        state.photos.insert(id, photo(id));
    }
    return state;
}

QByteArray imagePath(int index)
{
    return QByteArray("/api/gallery/photos/p") + QByteArray::number(index) + "/image";
}

// The log entries with this message, in any order.
QList<LogEntry> logged(const QString &message)
{
    QList<LogEntry> found;
    for (const LogEntry &entry : ActivityLogStore::shared().entries())
        if (entry.message == message)
            found.append(entry);
    return found;
}

using Change = std::function<QCoro::Task<GalleryResponse>(const SyncClient &)>;

Change changeNamed(const QString &name)
{
    if (name == QLatin1StringView("delete"))
        return [](const SyncClient &c) { return c.deletePhoto(QStringLiteral("a b"), QStringLiteral("v1")); };
    if (name == QLatin1StringView("reorder"))
        return [](const SyncClient &c) {
            return c.reorder({QStringLiteral("b"), QStringLiteral("a"), QStringLiteral("c")}, QStringLiteral("v1"));
        };
    if (name == QLatin1StringView("reorder none"))
        return [](const SyncClient &c) { return c.reorder({}, QStringLiteral("v1")); };
    if (name == QLatin1StringView("rename"))
        return [](const SyncClient &c) {
            return c.renameUploader(QStringLiteral("Kelvo"), QStringLiteral("Åsa"), QStringLiteral("v1"));
        };
    if (name == QLatin1StringView("current"))
        return [](const SyncClient &c) { return c.setCurrentPhoto(QStringLiteral("b"), QStringLiteral("v1")); };
    return [](const SyncClient &c) {
        return c.uploadPhoto(QByteArray(1000, 'j'), QStringLiteral("photo.jpg"), QStringLiteral("Ana"),
                             QStringLiteral("v1"));
    };
}

} // namespace

class TestServerEndpoints : public QObject
{
    Q_OBJECT

    ScriptableServer server;
    SyncClient client() const { return SyncClient(settingsFor(server.baseUrl().toString())); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(server.listen());
        ActivityLogStore::shared().setErrorStreamForTesting([](const QByteArray &) {});
    }
    void init()
    {
        server.reset();
        TestEnvironment::clearSupportFolder();
        ActivityLogStore::shared().clear();
    }

    void galleryChangesSendTheirRequest_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("expectedBody");
        QTest::addColumn<QString>("context"); // of an error answer; empty: none
        using B = QByteArray;
        QTest::newRow("delete, id with a space") << "delete" << B("DELETE") << B("/api/gallery/photos/a%20b")
                                                 << B(R"({"baseUpdatedAt":"v1"})") << "";
        QTest::newRow("reorder") << "reorder" << B("PUT") << B("/api/gallery/order")
                                 << B(R"({"order":["b","a","c"],"baseUpdatedAt":"v1"})") << "reorder 3 photos";
        QTest::newRow("reorder nothing") << "reorder none" << B("PUT") << B("/api/gallery/order")
                                         << B(R"({"order":[],"baseUpdatedAt":"v1"})") << "reorder 0 photos";
        QTest::newRow("rename") << "rename" << B("PATCH") << B("/api/gallery/uploaders")
                                << B(R"({"fromName":"Kelvo","toName":"Åsa","baseUpdatedAt":"v1"})")
                                << QString::fromUtf8("rename uploader Kelvo \u2192 Åsa");
        QTest::newRow("current") << "current" << B("PUT") << B("/api/gallery/current")
                                 << B(R"({"photoId":"b","baseUpdatedAt":"v1"})") << "";
    }
    void galleryChangesSendTheirRequest()
    {
        QFETCH(QString, change);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, expectedBody);
        QFETCH(QString, context);

        server.on(method, path, Response::json(200, manifest));
        const auto ok = attempt(changeNamed(change)(client()));
        QVERIFY(ok.value);
        QCOMPARE(ok.value->state.updatedAt, QStringLiteral("v2"));
        const auto sent = server.requests(method, path);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].header("Authorization"), QByteArray("Bearer tok-123"));
        QCOMPARE(sent[0].header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(jsonOf(sent[0].body), jsonOf(expectedBody));

        server.on(method, path, Response::json(500, R"({"error":"disk full"})"));
        const auto failed = attempt(changeNamed(change)(client()));
        QVERIFY(failed.syncError);
        QCOMPARE(failed.syncError->kind(), SyncError::Kind::http);
        QCOMPARE(failed.syncError->failure().context, context.isEmpty() ? std::nullopt : std::optional(context));
        QCOMPARE(failed.syncError->failure().requestBodyBytes, std::optional<qint64>(sent[0].body.size()));
    }

    // Every change reads the answer the same way, so one table covers them all.
    void galleryChangeAnswers_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<Response>("answer");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("description");
        const QStringList changes{"delete", "reorder", "rename", "current", "upload"};
        for (const QString &change : changes) {
            const QByteArray c = change.toUtf8();
            QTest::newRow(c + ": 409 with manifest")
                << change << Response::json(409, staleBody) << int(SyncError::Kind::stale)
                << "Gallery changed on server; refreshing and retrying";
            QTest::newRow(c + ": 2xx not a manifest")
                << change << Response::text(200, "") << int(SyncError::Kind::decode) << "Could not decode server response";
        }
    }
    void galleryChangeAnswers()
    {
        QFETCH(QString, change);
        QFETCH(Response, answer);
        QFETCH(int, kind);
        QFETCH(QString, description);

        server.setFallback(answer);
        const auto result = attempt(changeNamed(change)(client()));
        QVERIFY(result.syncError);
        QCOMPARE(int(result.syncError->kind()), kind);
        QCOMPARE(result.syncError->errorDescription().value_or(QString()), description);
        if (kind == int(SyncError::Kind::stale))
            QCOMPARE(result.syncError->staleResponse().state.updatedAt, QStringLiteral("v9"));
    }

    void fetchGallery_data()
    {
        using Tag = std::optional<QString>;
        QTest::addColumn<Tag>("ifNoneMatch");
        QTest::addColumn<Response>("answer");
        QTest::addColumn<QByteArray>("sentHeader"); // empty: none sent
        QTest::addColumn<int>("outcome");           // 0 modified, 1 not modified, else the SyncError kind + 2
        const int decode = int(SyncError::Kind::decode) + 2, http = int(SyncError::Kind::http) + 2;
        QTest::newRow("plain") << Tag() << Response::json(200, manifest) << QByteArray() << 0;
        QTest::newRow("empty tag") << Tag(QString()) << Response::json(200, manifest) << QByteArray() << 0;
        QTest::newRow("304, empty body") << Tag("v2") << Response::text(304, "") << QByteArray("\"v2\"") << 1;
        QTest::newRow("200 not a manifest") << Tag() << Response::json(200, R"({"state":1})") << QByteArray() << decode;
        QTest::newRow("409 is plain http") << Tag() << Response::json(409, staleBody) << QByteArray() << http;
    }
    void fetchGallery()
    {
        QFETCH(std::optional<QString>, ifNoneMatch);
        QFETCH(Response, answer);
        QFETCH(QByteArray, sentHeader);
        QFETCH(int, outcome);

        server.on("GET", "/api/gallery", answer);
        const auto result = attempt(client().fetchGallery(ifNoneMatch));
        const auto sent = server.requests("GET", "/api/gallery");
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].hasHeader("If-None-Match"), !sentHeader.isEmpty());
        QCOMPARE(sent[0].header("If-None-Match"), sentHeader);
        QCOMPARE(sent[0].header("Authorization"), QByteArray("Bearer tok-123"));
        if (outcome < 2) {
            QVERIFY(result.value);
            QCOMPARE(result.value->isNotModified(), outcome == 1);
            if (outcome == 0)
                QCOMPARE(result.value->modified->state.activePhotos().size(), 3);
            return;
        }
        QVERIFY(result.syncError);
        QCOMPARE(int(result.syncError->kind()), outcome - 2);
        if (result.syncError->kind() == SyncError::Kind::http) {
            QCOMPARE(result.syncError->failure().statusCode, 409);
            QCOMPARE(result.syncError->failure().context, std::optional(QStringLiteral("fetch gallery")));
            QCOMPARE(result.syncError->failure().method, QStringLiteral("GET"));
        }
    }

    void fetchCurrentPhoto()
    {
        server.on("GET", "/api/gallery/current",
                  Response::json(200, R"({"galleryVersion":"v2","currentPhotoId":"b","currentPhotoUpdatedBy":"cron",
                                          "updatedAt":"t"})"));
        const auto result = attempt(client().fetchCurrentPhoto());
        QVERIFY(result.value);
        QCOMPARE(result.value->currentPhotoId, std::optional(QStringLiteral("b")));
        QCOMPARE(result.value->currentPhotoUpdatedBy, std::optional(CurrentPhotoUpdatedBy::cron));
        QVERIFY(!server.requests()[0].hasHeader("Content-Type")); // nor a body
    }

    void uploadBodyIsFramedExactly()
    {
        const QByteArray body = SyncClient::uploadBody("\xFF\xD8\xFFjpeg", QStringLiteral("Öland.jpg"),
                                                       QStringLiteral("Ana"), QStringLiteral("v1"), QStringLiteral("B"));
        const QByteArray expected = "--B\r\nContent-Disposition: form-data; name=\"uploadedBy\"\r\n\r\nAna\r\n"
                                    "--B\r\nContent-Disposition: form-data; name=\"baseUpdatedAt\"\r\n\r\nv1\r\n"
                                    "--B\r\nContent-Disposition: form-data; name=\"filename\"\r\n\r\n\xC3\x96land.jpg\r\n"
                                    "--B\r\nContent-Disposition: form-data; name=\"image\"; filename=\"\xC3\x96land.jpg\"\r\n"
                                    "Content-Type: image/jpeg\r\n\r\n\xFF\xD8\xFFjpeg\r\n--B--\r\n";
        QCOMPARE(body, expected);

        // A file name cannot break its part header.
        const QString name = QStringLiteral("a\"b\r\nContent-Type: text/html\r\n\r\n--B\nc.jpg");
        const QByteArray odd = SyncClient::uploadBody("J", name, QStringLiteral("Ana"), QStringLiteral("v1"),
                                                      QStringLiteral("B"));
        QVERIFY(odd.contains(
            "name=\"image\"; filename=\"a%22b%0D%0AContent-Type: text/html%0D%0A%0D%0A--B%0Ac.jpg\"\r\nContent-Type: image/jpeg\r\n"));
        // The plain field keeps the name as it is.
        QVERIFY(odd.contains("name=\"filename\"\r\n\r\n" + name.toUtf8() + "\r\n--B\r\n"));
    }

    void uploadRequest()
    {
        server.on("POST", "/api/gallery/photos", Response::json(500, ""));
        const auto result = attempt(changeNamed(QStringLiteral("upload"))(client()));
        QVERIFY(result.syncError);
        const auto sent = server.requests("POST", "/api/gallery/photos");
        QCOMPARE(sent.size(), 1);
        const QRegularExpression contentType(QStringLiteral(
            "^multipart/form-data; boundary=(lunvik-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"));
        const auto match = contentType.match(QString::fromUtf8(sent[0].header("Content-Type")));
        QVERIFY2(match.hasMatch(), sent[0].header("Content-Type").constData());
        const QByteArray boundary = match.captured(1).toUtf8();
        QVERIFY(sent[0].body.startsWith("--" + boundary + "\r\n"));
        QVERIFY(sent[0].body.endsWith("\r\n--" + boundary + "--\r\n"));
        QVERIFY(sent[0].body.size() > 1000);
        QCOMPARE(result.syncError->failure().context,
                 std::optional(QStringLiteral("upload: photo.jpg (JPEG %1 bytes)").arg(sent[0].body.size())));
    }

    void cachingImages()
    {
        server.on("GET", "/api/gallery/photos/p1/image", Response::text(200, jpegLike("JPEGBYTES"), "image/jpeg"));
        QVERIFY(attempt(client().cachePhotoIfMissing(photo(QStringLiteral("p1")))).value);
        QFile cached(AppConfig::cacheURL(QStringLiteral("p1")));
        QVERIFY(cached.open(QIODevice::ReadOnly));
        QCOMPARE(cached.readAll(), jpegLike("JPEGBYTES"));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests()[0].header("Authorization"), QByteArray("Bearer tok-123"));
        QVERIFY(server.requests()[0].query.isEmpty());

        // A present file, even an empty one, counts as cached.
        QFile empty(AppConfig::thumbnailCacheURL(QStringLiteral("p1"), 240));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QVERIFY(attempt(client().cacheThumbnailIfMissing(photo(QStringLiteral("p1")), 240)).value);
        QVERIFY(attempt(client().cachePhotoIfMissing(photo(QStringLiteral("p1")))).value);
        QCOMPARE(server.requests().size(), 1);

        // A failed thumbnail leaves no file behind.
        const auto failed = attempt(client().cacheThumbnailIfMissing(photo(QStringLiteral("p2")), 240));
        QVERIFY(failed.syncError);
        QCOMPARE(failed.syncError->failure().context, std::optional(QStringLiteral("cache photo p2 w=240")));
        QCOMPARE(failed.syncError->failure().shortSummary(), QStringLiteral("HTTP 404: image download failed"));
        QCOMPARE(server.requests().last().query, QByteArray("w=240"));
        QVERIFY(!QFile::exists(AppConfig::thumbnailCacheURL(QStringLiteral("p2"), 240)));
    }

    // Several photos download at once and their answers arrive in any
    // order; failures in the middle are logged in the manifest's order, the
    // rest are cached, the progress counts every photo once, a deleted photo
    // is never asked for, and the next pass asks only for the failed ones.
    void parallelDownloadsReportInManifestOrder()
    {
        Response slowFailure = Response::text(500, "boom");
        slowFailure.delayMs = 300;
        Response slowImage = Response::text(200, jpegLike("0"));
        slowImage.delayMs = 150;
        server.on("GET", imagePath(0), slowImage);
        server.on("GET", imagePath(1), slowFailure);
        server.on("GET", imagePath(2), Response::text(404, ""));
        server.on("GET", imagePath(3), Response::text(200, jpegLike("3")));
        server.on("GET", imagePath(4), Response::text(200, "<html>not an image</html>"));
        server.on("GET", imagePath(5), Response::text(200, jpegLike("5")));
        GalleryState state = galleryOf(6);
        PhotoEntry gone = photo(QStringLiteral("gone"));
        gone.deletedAt = QStringLiteral("v2");
        state.photos.insert(gone.id, gone);
        QList<QPair<int, int>> progress;
        SyncClient::DownloadProgress record = [&progress](int done, int total) { progress.append({done, total}); };
        QVERIFY(attempt(client().downloadMissing(state, record)).value);
        QCOMPARE(server.requests().size(), 6);

        QStringList details;
        for (const LogEntry &entry : logged(QStringLiteral("Could not cache photo from server"))) {
            QCOMPARE(entry.level, LogLevel::warning);
            QCOMPARE(entry.category, LogCategory::gallery);
            details.prepend(entry.detail.value_or(QString())); // the log lists the newest first
        }
        QCOMPARE(details, (QStringList{"p1: HTTP 500: image download failed", "p2: HTTP 404: image download failed",
                                       "p4: The answer for the image is not a JPEG"}));
        for (int i = 0; i < 6; ++i)
            QCOMPARE(QFile::exists(AppConfig::cacheURL(QStringLiteral("p%1").arg(i))), i == 0 || i == 3 || i == 5);
        QFile three(AppConfig::cacheURL(QStringLiteral("p3")));
        QVERIFY(three.open(QIODevice::ReadOnly));
        QCOMPARE(three.readAll(), jpegLike("3"));
        QCOMPARE(progress.size(), 7);
        for (int i = 0; i < progress.size(); ++i)
            QCOMPARE(progress[i], qMakePair(i, 6));

        server.clearRequests();
        QVERIFY(attempt(client().downloadMissing(state)).value);
        QCOMPARE(server.requests().size(), 3);
    }

    // A lock ends every download in flight: no more than the bound were
    // sent, nothing more goes out, nothing is written and nothing is logged.
    void abortEndsTheDownloadsInFlight()
    {
        Response hang;
        hang.kind = Response::Kind::Hang;
        for (int i = 0; i < 6; ++i)
            server.on("GET", imagePath(i), hang);
        auto group = std::make_shared<RequestGroup>();
        const SyncClient grouped(settingsFor(server.baseUrl().toString()), HttpSession::shared(), group);
        QCoro::Task<> running = grouped.downloadMissing(galleryOf(6));
        QTRY_COMPARE(server.requests().size(), SyncClient::maxDownloadsInFlight);
        QTest::qWait(50); // a fifth request would have arrived by now
        QCOMPARE(server.requests().size(), SyncClient::maxDownloadsInFlight);
        QList<QByteArray> asked, first;
        for (int i = 0; i < SyncClient::maxDownloadsInFlight; ++i) {
            first << imagePath(i);
            asked << server.requests()[i].path;
        }
        std::sort(asked.begin(), asked.end());
        QCOMPARE(asked, first);

        group->abort();
        TaskWait::run(std::move(running));
        QTest::qWait(20);
        QCOMPARE(server.requests().size(), SyncClient::maxDownloadsInFlight);
        QVERIFY(ActivityLogStore::shared().entries().isEmpty());
        QVERIFY(QDir(AppConfig::cacheFolder()).isEmpty());
    }

    // Files are written on worker threads while the next photo downloads;
    // a failed write is still logged against its photo when the pass ends.
    void downloadMissingWritesInTheBackground()
    {
        server.on("GET", "/api/gallery/photos/a/image", Response::text(200, jpegLike("A")));
        server.on("GET", "/api/gallery/photos/c/image", Response::text(200, jpegLike("C")));
        auto state = GalleryResponse::fromJsonBytes(manifest);
        QVERIFY(state);
        // An id listed twice (or three times) is fetched once.
        state->state.order = {QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("a"), QStringLiteral("a")};
        const QString cache = AppConfig::supportFolder() + QStringLiteral("/cache");
        QDir(cache).removeRecursively();
        QFile blocker(cache);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        auto removeBlocker = qScopeGuard([&cache] { QFile::remove(cache); });
        QVERIFY(attempt(client().downloadMissing(state->state)).value);

        QCOMPARE(server.requests().size(), 2);
        QStringList ids;
        for (const LogEntry &failure : logged(QStringLiteral("Could not cache photo from server")))
            ids << failure.detail.value_or(QString()).section(QStringLiteral(": "), 0, 0);
        ids.sort();
        QCOMPARE(ids, QStringList({"a", "c"}));
        // One photo alone: the write error reaches the caller.
        bool threw = false;
        try {
            TaskWait::run(client().cachePhotoIfMissing(photo(QStringLiteral("a"))));
        } catch (const PlatformError &) {
            threw = true;
        }
        QVERIFY(threw);
    }

    void deviceAnswers_data()
    {
        QTest::addColumn<QByteArray>("statusBody");
        QTest::addColumn<bool>("decodes");
        const QByteArray hall = R"({"id":"f","displayName":"Hall","reachable":true})";
        QTest::newRow("only the required fields") << "{\"devices\":[" + hall + "]}" << true;
        QTest::newRow("null optional") << QByteArray(R"({"devices":[{"id":"f","displayName":"Hall","reachable":false,
                                                         "lastPushError":null,"width":1600}]})")
                                       << true;
        QTest::newRow("no reachable") << QByteArray(R"({"devices":[{"id":"f","displayName":"Hall"}]})") << false;
        QTest::newRow("width as text")
            << "{\"devices\":[" + hall + R"(,{"id":"g","displayName":"Den","reachable":true,"width":"1600"}]})" << false;
        QTest::newRow("empty list") << QByteArray(R"({"devices":[]})") << true;
    }
    void deviceAnswers()
    {
        QFETCH(QByteArray, statusBody);
        QFETCH(bool, decodes);
        server.on("GET", "/api/devices/status", Response::json(200, statusBody));
        const auto result = attempt(client().fetchDeviceStatus());
        QCOMPARE(bool(result.value), decodes);
        if (!decodes) {
            QCOMPARE(result.syncError->kind(), SyncError::Kind::decode);
            return;
        }
        if (!result.value->isEmpty()) {
            QCOMPARE(result.value->at(0).lastPushError, std::nullopt);
            QCOMPARE(result.value->at(0).id, QStringLiteral("f"));
        }
    }

    void deviceIdIsOneSegment()
    {
        server.on("DELETE", "/api/devices/f%201", Response::text(204, ""));
        QVERIFY(attempt(client().deleteDevice(QStringLiteral("f 1"))).value);
        QCOMPARE(server.requests("DELETE", "/api/devices/f%201").size(), 1);
    }

    void endpointAddresses_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("alternate"); // empty: none
        QTest::addColumn<QString>("session");
        QTest::newRow("name") << "http://localhost:3000/a?x=1" << "http://127.0.0.1:3000/a?x=1"
                              << "http://localhost:3000/api/auth/session";
        QTest::newRow("path, query and fragment dropped")
            << "http://127.0.0.1:3000/prefix?x=1#f" << "http://localhost:3000/prefix?x=1#f"
            << "http://127.0.0.1:3000/api/auth/session";
        QTest::newRow("other host") << "https://u@photos.example:8443/x" << ""
                                    << "https://u@photos.example:8443/api/auth/session";
        QTest::newRow("no host") << "mailto:someone" << "" << "mailto:/api/auth/session";
    }
    void endpointAddresses()
    {
        QFETCH(QString, url);
        QFETCH(QString, alternate);
        QFETCH(QString, session);
        const auto other = AuthVerifier::alternateLoopbackURL(QUrl(url));
        QCOMPARE(other ? other->toString() : QString(), alternate);
        QCOMPARE(AuthVerifier::endpointURL(QUrl(url), QStringLiteral("/api/auth/session"))->toString(), session);
    }

    void verify_data()
    {
        QTest::addColumn<QString>("address"); // "@" stands for the test server
        QTest::addColumn<QString>("token");
        QTest::addColumn<Response>("answer");
        QTest::addColumn<AuthVerifyOutcome>("outcome");
        QTest::addColumn<int>("requests");
        const Response ok = Response::json(200, R"({"ok":true})");
        const auto refused = AuthVerifyOutcome::unauthorized, down = AuthVerifyOutcome::unreachable;
        QTest::newRow("accepted") << "@" << " tok \n" << ok << AuthVerifyOutcome::ok << 1;
        QTest::newRow("no token") << "@" << "" << ok << refused << 0;
        QTest::newRow("no address") << "  " << "tok" << ok << refused << 0;
        QTest::newRow("not a URL") << "::not a url" << "tok" << ok << down << 0;
        QTest::newRow("401") << "@" << "tok" << Response::json(401, "{}") << refused << 1;
        QTest::newRow("204") << "@" << "tok" << Response::text(204, "") << refused << 1;
        QTest::newRow("200 without ok") << "@" << "tok" << Response::json(200, R"({"ok":"true"})") << refused << 1;
        QTest::newRow("500") << "@" << "tok" << Response::json(500, R"({"ok":true})") << down << 1;
        QTest::newRow("403") << "@" << "tok" << Response::json(403, "{}") << down << 1;
    }
    void verify()
    {
        QFETCH(QString, address);
        QFETCH(QString, token);
        QFETCH(Response, answer);
        QFETCH(AuthVerifyOutcome, outcome);
        QFETCH(int, requests);
        server.on("GET", "/api/auth/verify", answer);
        AppSettings settings = settingsFor(address == QLatin1StringView("@") ? server.baseUrl().toString() + "/base?q=1"
                                                                              : address,
                                           QString());
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settings, token)), outcome);
        QCOMPARE(server.requests().size(), requests);
        if (requests)
            QCOMPARE(server.requests()[0].header("Authorization"), "Bearer " + token.trimmed().toUtf8());
    }

    void createSession_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<Response>("answer");
        QTest::addColumn<AuthVerifier::CreateSessionOutcome>("outcome");
        using Outcome = AuthVerifier::CreateSessionOutcome;
        const auto down = Outcome::unreachable();
        const auto ok = [](const char *json) { return Response::json(200, json); };
        QTest::newRow("token") << "family pw\n" << ok(R"({"ok":true,"sessionToken":" s1 "})")
                               << Outcome::success(QStringLiteral(" s1 "));
        QTest::newRow("blank password") << "   " << ok(R"({"ok":true,"sessionToken":"s1"})") << down;
        QTest::newRow("wrong password") << "pw" << Response::json(401, "{}") << Outcome::wrongPassword();
        QTest::newRow("no token") << "pw" << ok(R"({"ok":true})") << down;
        QTest::newRow("empty token") << "pw" << ok(R"({"ok":true,"sessionToken":""})") << down;
        QTest::newRow("ok as text") << "pw" << ok(R"({"ok":"true","sessionToken":"s1"})") << down;
        QTest::newRow("not JSON") << "pw" << Response::text(200, "welcome") << down;
        QTest::newRow("server error") << "pw" << Response::json(503, "{}") << down;
    }
    void createSession()
    {
        QFETCH(QString, password);
        QFETCH(Response, answer);
        QFETCH(AuthVerifier::CreateSessionOutcome, outcome);
        server.on("POST", "/api/auth/session", answer);
        const auto result = TaskWait::run(AuthVerifier::createSession(
            password, settingsFor(server.baseUrl().toString() + "/prefix?x=1#f", QString())));
        QCOMPARE(result, outcome);
        const auto sent = server.requests("POST", "/api/auth/session");
        // No usable answer from 127.0.0.1 is asked again as localhost.
        const bool retried = outcome == AuthVerifier::CreateSessionOutcome::unreachable();
        QCOMPARE(sent.size(), password.trimmed().isEmpty() ? 0 : retried ? 2 : 1);
        if (!sent.isEmpty()) {
            QCOMPARE(sent[0].header("Authorization"), "Bearer " + password.trimmed().toUtf8());
            QVERIFY(sent[0].body.isEmpty());
        }
    }

    // 127.0.0.1 gives no usable answer; the same server named localhost does.
    void loopbackFallback()
    {
        server.refuseHost("127.0.0.1");
        server.on("POST", "/api/auth/session", Response::json(200, R"({"ok":true,"sessionToken":"s6"})"));
        server.on("GET", "/api/health", Response::json(200, R"({"ok":true})"));
        server.on("GET", "/api/auth/verify", Response::json(200, R"({"ok":true})"));
        const QString numeric = QStringLiteral("http://127.0.0.1:%1").arg(server.port());

        QCOMPARE(TaskWait::run(AuthVerifier::createSession(QStringLiteral("pw"), settingsFor(numeric, QString()))),
                 AuthVerifier::CreateSessionOutcome::success(QStringLiteral("s6")));
        QVERIFY(TaskWait::run(Reachability::pingServer(numeric)));
        // A verification that fails in transport is final.
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settingsFor(numeric))), AuthVerifyOutcome::unreachable);
        const auto verifies = server.requests("GET", "/api/auth/verify");
        QVERIFY(!verifies.isEmpty());
        for (const auto &request : verifies)
            QVERIFY(request.header("Host").startsWith("127.0.0.1:"));
    }

    void health_data()
    {
        QTest::addColumn<Response>("answer");
        QTest::addColumn<bool>("healthy");
        QTest::newRow("ok") << Response::json(200, R"({"ok":true,"version":"1"})") << true;
        QTest::newRow("ok false") << Response::json(200, R"({"ok":false})") << false;
        QTest::newRow("ok as text") << Response::json(200, R"({"ok":"true"})") << false;
        QTest::newRow("not JSON") << Response::text(200, "<html>up</html>", "text/html") << false;
        QTest::newRow("503") << Response::json(503, R"({"ok":true})") << false;
    }
    void health()
    {
        QFETCH(Response, answer);
        QFETCH(bool, healthy);
        server.on("GET", "/api/health", answer);
        QCOMPARE(TaskWait::run(Reachability::pingServer(" " + server.baseUrl().toString() + "/x?y=1 ")), healthy);
        QVERIFY(!server.requests().isEmpty());
        QCOMPARE(server.requests()[0].path, QByteArray("/api/health"));
        QVERIFY(!server.requests()[0].hasHeader("Authorization"));
        QVERIFY(!TaskWait::run(Reachability::pingServer(QStringLiteral("not a url"))));
    }

    // The short sessions end a silent or endless exchange as "no answer".
    void timeLimits()
    {
        HttpSession quick(HttpSession::Limits{std::chrono::milliseconds(300), std::chrono::milliseconds(600)}, true);
        AuthVerifier::setSessionForTesting(&quick);
        Reachability::setSessionForTesting(&quick);
        auto restore = qScopeGuard([] {
            AuthVerifier::setSessionForTesting(nullptr);
            Reachability::setSessionForTesting(nullptr);
        });

        Response hang;
        hang.kind = Response::Kind::Hang;
        server.setFallback(hang);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!TaskWait::run(Reachability::pingServer(server.baseUrl().toString())));
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settingsFor(server.baseUrl().toString()))),
                 AuthVerifyOutcome::unreachable);

        // Data keeps coming, but the whole exchange takes too long.
        Response trickle = Response::json(200, R"({"ok":true,"sessionToken":"slow-token"})");
        trickle.trickleMs = 150;
        trickle.trickleChunks = 8;
        server.on("POST", "/api/auth/session", trickle);
        QCOMPARE(TaskWait::run(AuthVerifier::createSession(QStringLiteral("pw"),
                                                           settingsFor(server.baseUrl().toString(), QString()))),
                 AuthVerifier::CreateSessionOutcome::unreachable());
        QVERIFY2(timer.elapsed() < 5000, QByteArray::number(timer.elapsed()).constData());
    }
};

LUNVIK_TEST_MAIN(TestServerEndpoints)
#include "tst_serverendpoints.moc"
