// The request layer and the gallery, image, frame, sign-in and health
// endpoints against a scripted loopback server: the exact requests, every way
// an answer can fail, and the texts a failed exchange is reported with.

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
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <zlib.h>

using Response = ScriptableServer::Response;

Q_DECLARE_METATYPE(SyncHTTPFailure)

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

// Runs a task and keeps what it threw; a task without a value gives Done.
struct Done {};
template<typename T>
struct Result {
    std::optional<std::conditional_t<std::is_void_v<T>, Done, T>> value;
    std::optional<SyncError> syncError;
    std::optional<TransportError> transportError;
    std::optional<PlatformError> platformError;
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
    } catch (const PlatformError &e) {
        result.platformError = e;
    }
    return result;
}

Result<QByteArray> perform(const SyncClient &client, const QString &path, const QString &method = QStringLiteral("GET"),
                           std::optional<QByteArray> body = std::nullopt,
                           std::optional<QString> contentType = std::nullopt)
{
    return attempt(client.request(path, method, body, contentType));
}

// A gzip stream of `bytes`, as a server sends it with Content-Encoding gzip.
QByteArray gzipped(const QByteArray &bytes)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(bytes.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QString serverDown(const QString &shown)
{
    return QStringLiteral("Looks like the server is down (%1). Please try again.").arg(shown);
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

} // namespace

Q_DECLARE_METATYPE(Change)

class TestSyncClient : public QObject
{
    Q_OBJECT

    ScriptableServer server;
    SyncClient client(HttpSession &session = HttpSession::shared()) const
    {
        return SyncClient(settingsFor(server.baseUrl().toString()), session);
    }

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

    void makingClient_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("description"); // empty: a client is made
        const QString noAuth = QStringLiteral("Unlock the gallery to sync (session not set)");
        QTest::newRow("blanks around") << "  https://photos.example/x \n" << " t \n" << "";
        QTest::newRow("blank token") << "http://h" << " \t\n" << noAuth;
        QTest::newRow("empty address") << "   " << "t" << serverDown("your server");
        QTest::newRow("not a URL") << " not a url " << "t" << serverDown("not a url");
        QTest::newRow("no host") << "http://" << "t" << serverDown("http://");
        QTest::newRow("address checked first") << "::" << "" << serverDown("::");
        // A token goes into a header as it is; a line break in it (a file
        // edited by another program) would add headers or a request.
        QTest::newRow("token with a line break") << "http://h" << "t\r\nHost: evil" << noAuth;
    }
    void makingClient()
    {
        QFETCH(QString, address);
        QFETCH(QString, token);
        QFETCH(QString, description);
        try {
            SyncClient client(settingsFor(address, token));
            QVERIFY(description.isEmpty());
            QCOMPARE(client.bearer(), token.trimmed());
            QCOMPARE(client.url(QStringLiteral("/api/gallery")).toString(), address.trimmed() + "/api/gallery");
        } catch (const SyncError &e) {
            QCOMPARE(e.errorDescription().value(), description);
            QCOMPARE(e.activityLogDetail(), description);
            const bool badURL = description.startsWith(QLatin1String("Looks like"));
            QCOMPARE(e.kind(), badURL ? SyncError::Kind::badURL : SyncError::Kind::missingSyncAuth);
            if (badURL)
                QCOMPARE(e.address(), address.trimmed());
        }
    }

    void idsStayOneSegment_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("url"); // empty: never sent
        QTest::newRow("separators") << "a/b?c#d%" << "http://h/p/api/gallery/photos/a%2Fb%3Fc%23d%25/image";
        QTest::newRow("dots inside") << "a..b" << "http://h/p/api/gallery/photos/a..b/image";
        QTest::newRow("dot") << "." << "";
        QTest::newRow("dot dot") << ".." << "";
        QTest::newRow("empty") << "" << "";
    }
    void idsStayOneSegment()
    {
        QFETCH(QString, id);
        QFETCH(QString, url);
        const SyncClient client(settingsFor(QStringLiteral("http://h/p/")));
        try {
            QCOMPARE(client.imageURL(photo(id)).toString(QUrl::FullyEncoded), url);
        } catch (const PlatformError &) {
            QVERIFY(url.isEmpty());
        }
    }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("summary"); // empty: success
        const QString stale = QStringLiteral("Gallery changed on server; refreshing and retrying");
        QTest::newRow("299") << 299 << QByteArray("x") << "";
        QTest::newRow("300") << 300 << QByteArray() << "HTTP 300";
        QTest::newRow("409 with manifest") << 409 << staleBody << stale;
        QTest::newRow("409 with broken manifest") << 409 << QByteArray("{\"state\":{\"updatedAt\":1}}")
                                                  << "HTTP 409: {\"state\":{\"updatedAt\":1}}";
        QTest::newRow("not UTF-8") << 500 << QByteArray("\xff\xfe\xfa bad") << "HTTP 500";
        QTest::newRow("secret echoed") << 500 << QByteArray("Authorization: Bearer abc.def")
                                       << "HTTP 500: Authorization [redacted] [redacted]";
    }
    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, summary);
        server.on("PATCH", "/api/x", Response::json(status, body));
        const auto out = perform(client(), QStringLiteral("/api/x"), QStringLiteral("PATCH"), QByteArray("{}"),
                                 QStringLiteral("application/json"));
        QVERIFY(!out.transportError);
        if (summary.isEmpty()) {
            QCOMPARE(out.value.value(), body);
            return;
        }
        QVERIFY(out.syncError);
        QCOMPARE(out.syncError->errorDescription().value(), summary);
        if (out.syncError->kind() == SyncError::Kind::stale) {
            QCOMPARE(out.syncError->staleResponse().state.updatedAt, QStringLiteral("v9"));
            QCOMPARE(out.syncError->activityLogDetail(), QStringLiteral("HTTP 409 gallery stale"));
            return;
        }
        QCOMPARE(out.syncError->kind(), SyncError::Kind::http);
        const QString text = QString::fromUtf8(body);
        QCOMPARE(out.syncError->failure(),
                 (SyncHTTPFailure{status, "PATCH", server.baseUrl().toString() + QStringLiteral("/api/x"),
                                  text.contains(QChar::ReplacementCharacter) ? QString() : text, 2, std::nullopt}));
    }

    void notAnHttpAnswer()
    {
        // A file: server address yields content with no HTTP status at all.
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("api"))));
        QVERIFY(QFile(dir.filePath(QStringLiteral("api/gallery"))).open(QIODevice::WriteOnly));

        const SyncClient client(settingsFor(QUrl::fromLocalFile(dir.path()).toString()));
        const auto out = attempt(client.request(QStringLiteral("/api/gallery"), QStringLiteral("GET"), std::nullopt,
                                                std::nullopt, QStringLiteral("Fetch gallery")));
        QVERIFY2(out.syncError, out.transportError ? out.transportError->what() : "no error");
        const SyncHTTPFailure &f = out.syncError->failure();
        QCOMPARE(f.shortSummary(), serverDown(f.url));
        QCOMPARE(f.activityLogDetail(),
                 serverDown(f.url) + "\nGET " + f.url + QStringLiteral("\nFetch gallery\nResponse: no response"));
    }

    void transportFailures_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("timeout");
        QTest::addColumn<QByteArray>("method");
        const int dropped = int(Response::Kind::CloseWithoutAnswer);
        QTest::newRow("connection dropped") << dropped << false << QByteArray("GET");
        QTest::newRow("no answer at all") << int(Response::Kind::Hang) << true << QByteArray("GET");
        // A 200 whose body stops short of its Content-Length is no answer.
        QTest::newRow("body cut short") << int(Response::Kind::Truncated) << false << QByteArray("GET");
        // The server may have made a change before the connection broke:
        // sending it again could upload a photo twice.
        QTest::newRow("upload dropped, not sent again") << dropped << false << QByteArray("POST");
        QTest::newRow("PUT dropped, not sent again") << dropped << false << QByteArray("PUT");
        QTest::newRow("DELETE dropped, not sent again") << dropped << false << QByteArray("DELETE");
    }
    void transportFailures()
    {
        QFETCH(int, kind);
        QFETCH(bool, timeout);
        QFETCH(QByteArray, method);
        Response response;
        response.kind = Response::Kind(kind);
        response.body = QByteArray(4000, 'x');
        server.on(method, "/api/gallery", response);
        HttpSession session({std::chrono::milliseconds(300), std::chrono::milliseconds(0)});
        const bool change = method != "GET";
        const auto out = perform(client(session), QStringLiteral("/api/gallery"), QString::fromLatin1(method),
                                 change ? std::optional(QByteArray("photo bytes")) : std::nullopt);
        QVERIFY2(out.transportError, "a transport failure is not a SyncError");
        if (change)
            QCOMPARE(server.requests().size(), 1);
        QVERIFY(!out.transportError->isCancellation());
        QCOMPARE(out.transportError->isTimeout(), timeout);
        QCOMPARE(out.transportError->record().domain, QStringLiteral("QNetworkReply"));
    }

    void untrustedCertificate()
    {
        // A TLS server on loopback with a self-signed certificate made now:
        // the handshake must fail on that certificate, and no request (nor
        // its token) go out.
        if (!QSslSocket::supportsSsl())
            QSKIP("no TLS backend");
        QTemporaryDir dir;
        const QString key = dir.filePath(QStringLiteral("key.pem"));
        const QString cert = dir.filePath(QStringLiteral("cert.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      QStringLiteral("req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
                                     "subjectAltName=IP:127.0.0.1 -keyout %1 -out %2")
                          .arg(key, cert)
                          .split(u' '));
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
            QSKIP("openssl cannot make a test certificate here");
        QFile keyFile(key);
        QFile certFile(cert);
        QVERIFY(keyFile.open(QIODevice::ReadOnly) && certFile.open(QIODevice::ReadOnly));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa));
        tls.setLocalCertificate(QSslCertificate(certFile.readAll()));

        QByteArray received;
        QSslServer tlsServer;
        tlsServer.setSslConfiguration(tls);
        connect(&tlsServer, &QSslServer::pendingConnectionAvailable, this, [&] {
            while (QTcpSocket *socket = tlsServer.nextPendingConnection()) {
                auto answer = [socket, &received] {
                    received += socket->readAll();
                    if (received.contains("\r\n\r\n"))
                        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
                };
                connect(socket, &QIODevice::readyRead, this, answer);
                answer();
            }
        });
        QVERIFY(tlsServer.listen(QHostAddress::LocalHost));
        const QString address = QStringLiteral("https://127.0.0.1:%1").arg(tlsServer.serverPort());
        const auto out = perform(SyncClient(settingsFor(address, QStringLiteral("tls-secret-token-4b1d"))),
                                 QStringLiteral("/api/gallery"));
        QVERIFY2(out.transportError, "the untrusted certificate was accepted");
        QCOMPARE(out.transportError->code(), QNetworkReply::SslHandshakeFailedError);
        // Refused for the certificate itself, not for a server that failed its handshake.
        const QString reason = out.transportError->record().localizedDescription;
        QVERIFY2(reason.contains(QLatin1String("self-signed")), qPrintable(reason));
        QVERIFY(!received.contains("tls-secret-token-4b1d"));
    }

    void changeAfterIdleGoesOutOnNewConnection()
    {
        // The pooled connection sat idle past the server's keep-alive, which
        // closes it as the next upload arrives: that upload must not fail.
        Response expiring = Response::json(200, R"({"ok":true})");
        expiring.kind = Response::Kind::ClosedWhenReused;
        server.on("POST", "/api/gallery/photos", expiring);
        server.on("GET", "/api/health", Response::json(200, "{}"));
        HttpSession session(HttpSession::Limits{});
        const SyncClient client = this->client(session);
        for (int i = 0; i < 2; ++i) {
            if (i > 0) {
                QTest::qWait(int(HttpSession::maxIdleReuseForChanges.count()) + 100);
                QVERIFY(perform(client, QStringLiteral("/api/health")).value); // a GET between does not count
            }
            const auto out = perform(client, QStringLiteral("/api/gallery/photos"), QStringLiteral("POST"),
                                     QByteArray("photo bytes"));
            QVERIFY2(!out.transportError, out.transportError ? qPrintable(out.transportError->record().localizedDescription) : "");
        }
        QCOMPARE(server.requests("POST", "/api/gallery/photos").size(), 2);
    }

    // A body that trickles in without pausing longer than the idle limit
    // gets it; a server that sends a byte now and then cannot hold a request
    // open for ever; a body that needs the time at a reasonable rate gets it.
    void slowBodies_data()
    {
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<int>("exchangeMs"); // 0: no limit
        QTest::addColumn<qint64>("rate");
        QTest::addColumn<int>("bodyBytes");
        QTest::addColumn<bool>("arrives");
        // Every body takes about a second, in ten pieces.
        QTest::newRow("idle limit restarts with data") << 600 << 0 << qint64(0) << 600 << true;
        QTest::newRow("idle limit") << 50 << 2000 << qint64(0) << 600 << false;
        QTest::newRow("large body, more time") << 2000 << 400 << qint64(1000) << 1500 << true;
        QTest::newRow("small body, no more") << 2000 << 400 << qint64(1000) << 150 << false;
    }
    void slowBodies()
    {
        QFETCH(int, idleMs);
        QFETCH(int, exchangeMs);
        QFETCH(qint64, rate);
        QFETCH(int, bodyBytes);
        QFETCH(bool, arrives);
        QVERIFY(HttpSession::defaultLimits().exchange > std::chrono::milliseconds(0));
        Response drip = Response::json(200, QByteArray(bodyBytes, 'x'));
        drip.trickleMs = 100;
        drip.trickleChunks = 10;
        server.on("GET", "/drip", drip);
        HttpSession session({std::chrono::milliseconds(idleMs), std::chrono::milliseconds(exchangeMs), rate});
        const auto out = perform(client(session), QStringLiteral("/drip"));
        QCOMPARE(out.value, arrives ? std::optional(QByteArray(bodyBytes, 'x')) : std::nullopt);
        if (!arrives)
            QVERIFY(out.transportError && out.transportError->isTimeout() && !out.transportError->isCancellation());
    }

    // Answers past their kind's size limit fail and leave nothing behind.
    void oversizedAnswers_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("gzip");
        QTest::newRow("manifest") << QByteArray("/api/gallery") << 200 << SyncClient::maxManifestBytes + 1 << false;
        QTest::newRow("manifest bomb") << QByteArray("/api/gallery") << 200 << SyncClient::maxManifestBytes + 1 << true;
        QTest::newRow("error body") << QByteArray("/api/gallery") << 500 << HttpSession::maxErrorBodyBytes + 1 << false;
        QTest::newRow("frames") << QByteArray("/api/devices") << 200 << SyncClient::maxFramesBytes + 1 << false;
    }
    void oversizedAnswers()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(qint64, bytes);
        QFETCH(bool, gzip);
        Response answer = Response::json(status, '"' + QByteArray(bytes - 2, ' ') + '"');
        if (gzip) {
            answer.body = gzipped(answer.body);
            answer.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
        }
        server.on("GET", path, answer);
        const auto failure = path == "/api/gallery" ? attempt(client().fetchGallery()).transportError
                                                    : attempt(client().listDevices()).transportError;
        QVERIFY(failure);
        QVERIFY(!failure->isCancellation());
        if (!gzip) // Qt's own decompression check stops a bomb first
            QVERIFY(failure->isTooLarge());
    }

    // Only a whole JPEG reaches the cache: a compressed body must inflate
    // completely, and whatever arrives must start like a JPEG.
    void imageAnswers_data()
    {
        const QByteArray jpeg = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray(5000, 'j');
        const QByteArray packed = gzipped(jpeg);
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QByteArray>("cached"); // empty: fails, nothing cached
        QTest::newRow("plain") << jpeg << QByteArray() << jpeg;
        QTest::newRow("gzip") << packed << QByteArray("gzip") << jpeg;
        QTest::newRow("gzip cut short") << packed.left(packed.size() / 2) << QByteArray("gzip") << QByteArray();
        QByteArray corrupt = packed;
        corrupt[corrupt.size() / 2] = char(corrupt[corrupt.size() / 2] ^ 0x55);
        QTest::newRow("gzip corrupt") << corrupt << QByteArray("gzip") << QByteArray();
        QTest::newRow("gzip bomb") << gzipped(QByteArray("\xFF\xD8\xFF", 3) + QByteArray(SyncClient::maxImageBytes, '\0'))
                                   << QByteArray("gzip") << QByteArray();
        QTest::newRow("not a JPEG") << QByteArray("<html>hello</html>") << QByteArray() << QByteArray();
        QTest::newRow("unknown encoding") << jpeg << QByteArray("br") << QByteArray();
    }
    void imageAnswers()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, encoding);
        QFETCH(QByteArray, cached);
        Response answer = Response::text(200, body, "image/jpeg");
        if (!encoding.isEmpty())
            answer.headers.append(qMakePair(QByteArray("Content-Encoding"), encoding));
        server.on("GET", "/api/gallery/photos/p/image", answer);
        QCOMPARE(bool(attempt(client().cachePhotoIfMissing(photo(QStringLiteral("p")))).value), !cached.isEmpty());
        QFile written(AppConfig::cacheURL(QStringLiteral("p")));
        QCOMPARE(written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray(), cached);
        const auto sent = server.requests("GET", "/api/gallery/photos/p/image").value(0);
        QCOMPARE(sent.header("Accept-Encoding"), QByteArray("gzip"));
        QCOMPARE(sent.header("Authorization"), QByteArray("Bearer tok-123"));
        QVERIFY(sent.query.isEmpty());
    }

    void redirectsStayOnTheServer()
    {
        // Same origin: followed with the credential. Elsewhere: not followed,
        // so the token never reaches another host.
        ScriptableServer other;
        QVERIFY(other.listen());
        other.on("GET", "/steal", Response::json(200, "{}"));
        Response local = Response::json(302, "");
        local.headers.append(qMakePair(QByteArray("Location"), QByteArray("/api/moved")));
        Response away = Response::json(302, "");
        away.headers.append(qMakePair(QByteArray("Location"), other.baseUrl().toString().toUtf8() + "/steal"));
        server.on("GET", "/api/old", local);
        server.on("GET", "/api/moved", Response::json(200, "moved"));
        server.on("GET", "/api/away", away);
        QCOMPARE(perform(client(), QStringLiteral("/api/old")).value, QByteArray("moved"));
        QCOMPARE(server.requests("GET", "/api/moved").value(0).header("Authorization"), QByteArray("Bearer tok-123"));
        QVERIFY(server.requests("GET", "/api/old").value(0).header("Content-Type").isEmpty()); // a GET has no body
        const auto out = perform(client(), QStringLiteral("/api/away"));
        QVERIFY(!out.value);
        QVERIFY(other.requests().isEmpty());
    }

    void sessionGoneMidRequest()
    {
        Response silent;
        silent.kind = Response::Kind::Hang;
        server.on("GET", "/api/gallery", silent);
        auto *session = new HttpSession({std::chrono::milliseconds(5000), std::chrono::milliseconds(0)});
        QTimer::singleShot(100, [session] { delete session; });
        const auto out = perform(client(*session), QStringLiteral("/api/gallery"));
        QVERIFY(out.transportError && out.transportError->isCancellation());
    }

    void failureTexts_data()
    {
        QTest::addColumn<SyncHTTPFailure>("failure");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("detail"); // after its "HTTP <status>", "<method> <url>" lines
        const QString url = QStringLiteral("http://h/api/gallery/order");
        QTest::newRow("reorder with context")
            << SyncHTTPFailure{500, "POST", url, "{\"error\":\"boom\"}", 532, "Reorder photos"} << "HTTP 500: boom"
            << "Reorder photos\nRequest size: 532 bytes\nResponse: boom";
        QTest::newRow("empty context skipped") << SyncHTTPFailure{404, "GET", url, "", std::nullopt, QString()}
                                               << "HTTP 404" << "Response: (empty body)";
        QTest::newRow("white space only") << SyncHTTPFailure{503, "GET", url, " \n\t ", std::nullopt, std::nullopt}
                                          << "HTTP 503" << "Response: (4 characters of white space)";
    }
    void failureTexts()
    {
        QFETCH(SyncHTTPFailure, failure);
        QFETCH(QString, summary);
        QFETCH(QString, detail);
        const QString full = QStringLiteral("HTTP %1\n%2 %3\n").arg(failure.statusCode).arg(failure.method, failure.url);
        QCOMPARE(failure.shortSummary(), summary);
        QCOMPARE(failure.activityLogDetail(), full + detail);
        QCOMPARE(SyncError::http(failure).activityLogDetail(), full + detail);
    }

    void bodyDigest_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("digest");
        const QString accented = QStringLiteral("e\u0301"); // one user-perceived character
        QTest::newRow("json error string") << "{\"error\":\"nope\",\"message\":\"other\"}" << "nope";
        QTest::newRow("json empty error then message") << "{\"error\":\"\",\"message\":\"msg\"}" << "msg";
        QTest::newRow("json error object detail") << "{\"error\":{\"message\":\"\",\"detail\":\"d\"}}" << "d";
        QTest::newRow("json number error skipped") << "{\"error\":5,\"description\":\"desc\"}" << "desc";
        QTest::newRow("json without keys") << "{\"ok\":false}" << "{\"ok\":false}";
        QTest::newRow("html text") << "<!DOCTYPE html><html><h1>Bad  Gateway</h1>\n<p>nginx</p></html>"
                                   << "Bad Gateway nginx";
        QTest::newRow("html without text") << "<html><body><div>" + QString(1234 - 37, u' ') + "</div></body></html>"
                                           << "(HTML error page, 1234 bytes)";
        QTest::newRow("html cut at 400") << "<p>" + QString(401, u'h') + "</p>" << QString(400, u'h') + u'\u2026';
        QTest::newRow("text of 600 kept") << QString(600, u'x') << QString(600, u'x');
        QTest::newRow("graphemes counted whole") << accented.repeated(601) << accented.repeated(600) + u'\u2026';
        // Secrets are masked wherever the digest comes from.
        QTest::newRow("json message masked") << "{\"error\":\"bad token=abc123\"}" << "bad token [redacted]";
        QTest::newRow("html page with secret") << "<p>password: hunter2</p>" << "password [redacted]";
        QTest::newRow("bearer, any case") << "sent bEaReR   abc.def-123 then" << "sent Bearer [redacted] then";
        QTest::newRow("key words") << "PASSWORD=hunter2 ok token : abc" << "PASSWORD [redacted] ok token [redacted]";
        QTest::newRow("json member") << "{\"sessionToken\":\"abc123\"}" << "{\"sessionToken [redacted]";
        QTest::newRow("basic credential") << "Authorization: Basic dXNlcjpwYXNz" << "Authorization [redacted]";
        QTest::newRow("word without value") << "the token expired" << "the token expired";
    }
    void bodyDigest()
    {
        QFETCH(QString, body);
        QFETCH(QString, digest);
        QCOMPARE(SyncHTTPFailure::summarizeResponseBody(body), digest);
    }

    void byteCounts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("1") << qint64(1) << "1 byte";
        QTest::newRow("999") << qint64(999) << "999 bytes";
        QTest::newRow("1000") << qint64(1000) << "1 KB";
        QTest::newRow("999999") << qint64(999999) << "1 MB";
        QTest::newRow("1234567") << qint64(1234567) << "1.2 MB";
        QTest::newRow("3456789012") << qint64(3456789012) << "3.46 GB";
    }
    void byteCounts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatByteCount(bytes), text);
    }

    void galleryChangesSendTheirRequest_data()
    {
        QTest::addColumn<Change>("change");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("expectedBody");
        QTest::addColumn<QString>("context"); // of an error answer; empty: none
        using B = QByteArray;
        const QString v1 = QStringLiteral("v1");
        QTest::newRow("delete, id with a space")
            << Change([v1](const SyncClient &c) { return c.deletePhoto(QStringLiteral("a b"), v1); }) << B("DELETE")
            << B("/api/gallery/photos/a%20b") << B(R"({"baseUpdatedAt":"v1"})") << "";
        QTest::newRow("reorder")
            << Change([v1](const SyncClient &c) { return c.reorder({"b", "a", "c"}, v1); }) << B("PUT")
            << B("/api/gallery/order") << B(R"({"order":["b","a","c"],"baseUpdatedAt":"v1"})") << "reorder 3 photos";
        QTest::newRow("rename")
            << Change([v1](const SyncClient &c) { return c.renameUploader("Kelvo", QStringLiteral("Åsa"), v1); })
            << B("PATCH") << B("/api/gallery/uploaders")
            << B(R"({"fromName":"Kelvo","toName":"Åsa","baseUpdatedAt":"v1"})")
            << QString::fromUtf8("rename uploader Kelvo \u2192 Åsa");
        QTest::newRow("current")
            << Change([v1](const SyncClient &c) { return c.setCurrentPhoto("b", v1); }) << B("PUT")
            << B("/api/gallery/current") << B(R"({"photoId":"b","baseUpdatedAt":"v1"})") << "";
    }
    void galleryChangesSendTheirRequest()
    {
        QFETCH(Change, change);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, expectedBody);
        QFETCH(QString, context);

        server.on(method, path, Response::json(200, manifest));
        const auto ok = attempt(change(client()));
        QVERIFY(ok.value);
        QCOMPARE(ok.value->state.updatedAt, QStringLiteral("v2"));
        const auto sent = server.requests(method, path);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].header("Authorization"), QByteArray("Bearer tok-123"));
        QCOMPARE(sent[0].header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(sent[0].body), QJsonDocument::fromJson(expectedBody));

        server.on(method, path, Response::json(500, R"({"error":"disk full"})"));
        const auto failed = attempt(change(client()));
        QVERIFY(failed.syncError);
        QCOMPARE(failed.syncError->kind(), SyncError::Kind::http);
        QCOMPARE(failed.syncError->failure().context, context.isEmpty() ? std::nullopt : std::optional(context));
        QCOMPARE(failed.syncError->failure().requestBodyBytes, std::optional<qint64>(sent[0].body.size()));
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
        if (result.syncError->kind() == SyncError::Kind::decode)
            QCOMPARE(result.syncError->errorDescription().value(), QStringLiteral("Could not decode server response"));
        if (result.syncError->kind() == SyncError::Kind::http)
            QCOMPARE(result.syncError->failure().context, std::optional(QStringLiteral("fetch gallery")));
    }

    void uploads()
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

        // A real upload's header names its body's boundary, a fresh one.
        server.on("POST", "/api/gallery/photos", Response::json(500, ""));
        const auto result = attempt(client().uploadPhoto(QByteArray(1000, 'j'), QStringLiteral("photo.jpg"),
                                                         QStringLiteral("Ana"), QStringLiteral("v1")));
        QVERIFY(result.syncError);
        const auto sent = server.requests("POST", "/api/gallery/photos");
        QCOMPARE(sent.size(), 1);
        const QRegularExpression contentType(QStringLiteral(
            "^multipart/form-data; boundary=(lunvik-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"));
        const auto match = contentType.match(QString::fromUtf8(sent[0].header("Content-Type")));
        QVERIFY2(match.hasMatch(), sent[0].header("Content-Type").constData());
        QVERIFY(sent[0].body.startsWith("--" + match.captured(1).toUtf8() + "\r\n"));
        QCOMPARE(result.syncError->failure().context,
                 std::optional(QStringLiteral("upload: photo.jpg (JPEG %1 bytes)").arg(sent[0].body.size())));
    }

    void cachingImages()
    {
        // A present file, even an empty one, counts as cached.
        QVERIFY(QDir().mkpath(AppConfig::cacheFolder()));
        QVERIFY(QFile(AppConfig::cacheURL(QStringLiteral("p1"))).open(QIODevice::WriteOnly));
        QVERIFY(QFile(AppConfig::thumbnailCacheURL(QStringLiteral("p1"), 240)).open(QIODevice::WriteOnly));
        QVERIFY(attempt(client().cacheThumbnailIfMissing(photo(QStringLiteral("p1")), 240)).value);
        QVERIFY(attempt(client().cachePhotoIfMissing(photo(QStringLiteral("p1")))).value);
        QVERIFY(server.requests().isEmpty());

        // A failed thumbnail leaves no file behind.
        const auto failed = attempt(client().cacheThumbnailIfMissing(photo(QStringLiteral("p2")), 240));
        QVERIFY(failed.syncError);
        QCOMPARE(failed.syncError->failure().context, std::optional(QStringLiteral("cache photo p2 w=240")));
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
        QList<QByteArray> asked;
        for (const auto &request : server.requests())
            asked << request.path;
        for (int i = 0; i < SyncClient::maxDownloadsInFlight; ++i)
            QVERIFY(asked.contains(imagePath(i))); // the first photos go out first

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
        QVERIFY(attempt(client().cachePhotoIfMissing(photo(QStringLiteral("a")))).platformError);
    }

    // Lists of frames are read in the store's tests; here an empty list, a
    // null optional (absent) and a wrong type anywhere (the whole answer fails).
    void deviceAnswers_data()
    {
        QTest::addColumn<QByteArray>("statusBody");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("null optional") << QByteArray(R"({"devices":[{"id":"f","displayName":"Hall","reachable":false,
                                                         "lastPushError":null,"width":1600}]})")
                                       << true;
        QTest::newRow("no reachable") << QByteArray(R"({"devices":[{"id":"f","displayName":"Hall"}]})") << false;
        QTest::newRow("width as text") << QByteArray(R"({"devices":[{"id":"f","displayName":"Hall","reachable":true},
                                                         {"id":"g","displayName":"Den","reachable":true,"width":"1600"}]})")
                                       << false;
        QTest::newRow("empty list") << QByteArray(R"({"devices":[]})") << true;
    }
    void deviceAnswers()
    {
        QFETCH(QByteArray, statusBody);
        QFETCH(bool, decodes);
        server.on("GET", "/api/devices/status", Response::json(200, statusBody));
        const auto result = attempt(client().fetchDeviceStatus());
        QCOMPARE(bool(result.value), decodes);
        if (!decodes)
            QCOMPARE(result.syncError->kind(), SyncError::Kind::decode);
        else if (!result.value->isEmpty())
            QCOMPARE(result.value->at(0).lastPushError, std::nullopt);
    }

    // Only a loopback address has another name to try; verify and
    // createSession check the endpoint addresses themselves.
    void loopbackAlternates()
    {
        const auto named = AuthVerifier::alternateLoopbackURL(QUrl(QStringLiteral("http://localhost:3000/a?x=1")));
        QCOMPARE(named.value_or(QUrl()).toString(), QStringLiteral("http://127.0.0.1:3000/a?x=1"));
        QVERIFY(!AuthVerifier::alternateLoopbackURL(QUrl(QStringLiteral("https://u@photos.example:8443/x"))));
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
        QTest::newRow("200 without ok") << "@" << "tok" << Response::json(200, R"({"ok":"true"})") << refused << 1;
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
        const QString base = address == QLatin1StringView("@") ? server.baseUrl().toString() + "/base?q=1" : address;
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settingsFor(base, QString()), token)), outcome);
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
        QTest::newRow("empty token") << "pw" << ok(R"({"ok":true,"sessionToken":""})") << down;
        QTest::newRow("ok as text") << "pw" << ok(R"({"ok":"true","sessionToken":"s1"})") << down;
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
            QVERIFY(sent[0].body.isEmpty() && sent[0].query.isEmpty());
        }
    }

    // 127.0.0.1 gives no usable answer; the same server named localhost does.
    void loopbackFallback()
    {
        server.refuseHost("127.0.0.1");
        server.on("POST", "/api/auth/session", Response::json(200, R"({"ok":true,"sessionToken":"s6"})"));
        server.on("GET", "/api/health", Response::json(200, R"({"ok":true})"));
        server.on("GET", "/api/auth/verify", Response::json(200, R"({"ok":true})"));
        const QString numeric = server.baseUrl().toString();

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
        QTest::newRow("not JSON") << Response::text(200, "<html>up</html>", "text/html") << false;
        QTest::newRow("503") << Response::json(503, R"({"ok":true})") << false;
    }
    void health()
    {
        QFETCH(Response, answer);
        QFETCH(bool, healthy);
        server.on("GET", "/api/health", answer);
        QCOMPARE(TaskWait::run(Reachability::pingServer(" " + server.baseUrl().toString() + "/x?y=1 ")), healthy);
        QCOMPARE(server.requests().value(0).path, QByteArray("/api/health"));
        QVERIFY(server.requests()[0].header("Authorization").isEmpty());
        QVERIFY(!TaskWait::run(Reachability::pingServer(QStringLiteral("not a url"))));
    }
};

LUNVIK_TEST_MAIN(TestSyncClient)
#include "tst_syncclient.moc"
