// The request layer against a scripted loopback server, and the texts a
// failed exchange is reported with.

#include "support/scriptableserver.h"
#include "support/testenvironment.h"

#include "model/appconfig.h"
#include "server/syncclient.h"
#include "taskwait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
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

AppSettings settingsFor(const QString &address, const QString &token = QStringLiteral("tok-123"))
{
    AppSettings s;
    s.serverBaseURL = address;
    s.syncSessionToken = token;
    return s;
}

struct Outcome {
    std::optional<QByteArray> body;
    std::optional<SyncError> syncError;
    std::optional<TransportError> transportError;
};

Outcome perform(const SyncClient &client, const QString &path, const QString &method = QStringLiteral("GET"),
                std::optional<QByteArray> body = std::nullopt, std::optional<QString> contentType = std::nullopt,
                std::optional<QString> context = std::nullopt)
{
    Outcome outcome;
    try {
        outcome.body = TaskWait::run(client.request(path, method, body, contentType, context));
    } catch (const SyncError &e) {
        outcome.syncError = e;
    } catch (const TransportError &e) {
        outcome.transportError = e;
    }
    return outcome;
}

const QByteArray manifestJson = R"({"updatedAt":"2026-03-01T07:05:09.250Z","order":["a"],
    "photos":{"a":{"id":"a","filename":"a.jpg","blobPath":"b/a","sizeBytes":12,
    "updatedAt":"2026-03-01T07:05:09.250Z","uploaderId":"u-1"}},"uploaders":{"u-1":"Ana"}})";

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

} // namespace

class TestSyncClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(server.listen()); }
    void init() { server.clearRequests(); }

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
            QCOMPARE(client.baseURL().toString(), address.trimmed());
        } catch (const SyncError &e) {
            QCOMPARE(e.errorDescription().value(), description);
            QCOMPARE(e.activityLogDetail(), description);
            const bool badURL = description.startsWith(QLatin1String("Looks like"));
            QCOMPARE(e.kind(), badURL ? SyncError::Kind::badURL : SyncError::Kind::missingSyncAuth);
            if (badURL)
                QCOMPARE(e.address(), address.trimmed());
        }
    }

    void urls_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("url");
        QTest::newRow("leading slash") << "http://h:3000" << "/api/gallery" << "http://h:3000/api/gallery";
        QTest::newRow("base with path") << "https://h/prefix" << "/api/gallery" << "https://h/prefix/api/gallery";
        QTest::newRow("base with slash") << "https://h/prefix/" << "api/gallery" << "https://h/prefix/api/gallery";
        QTest::newRow("trailing slash kept") << "http://h" << "/api/devices/" << "http://h/api/devices/";
        QTest::newRow("encoded") << "http://h" << "/api/gallery/photos/a b?#%/image"
                                 << "http://h/api/gallery/photos/a%20b%3F%23%25/image";
    }
    void urls()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        QFETCH(QString, url);
        QCOMPARE(SyncClient(settingsFor(base)).url(path).toString(QUrl::FullyEncoded), url);
    }

    void idsStayOneSegment_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("url"); // empty: never sent
        QTest::newRow("separators") << "a/b?c#d" << "http://h/p/api/gallery/photos/a%2Fb%3Fc%23d/image";
        QTest::newRow("non-ASCII") << "ä b%" << "http://h/p/api/gallery/photos/%C3%A4%20b%25/image";
        QTest::newRow("dots inside") << "a..b" << "http://h/p/api/gallery/photos/a..b/image";
        QTest::newRow("dot") << "." << "";
        QTest::newRow("dot dot") << ".." << "";
        QTest::newRow("empty") << "" << "";
    }
    void idsStayOneSegment()
    {
        QFETCH(QString, id);
        QFETCH(QString, url);
        PhotoEntry photo;
        photo.id = id;
        const SyncClient client(settingsFor(QStringLiteral("http://h/p")));
        try {
            QCOMPARE(client.imageURL(photo).toString(QUrl::FullyEncoded), url);
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
        QTest::newRow("204 empty") << 204 << QByteArray() << "";
        QTest::newRow("299") << 299 << QByteArray("x") << "";
        QTest::newRow("300") << 300 << QByteArray() << "HTTP 300";
        QTest::newRow("409 with manifest") << 409 << "{\"error\":\"stale base\",\"state\":" + manifestJson + "}"
                                           << stale;
        QTest::newRow("409 without manifest") << 409 << QByteArray("{\"error\":\"conflict\"}") << "HTTP 409: conflict";
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
        const SyncClient client(settingsFor(server.baseUrl().toString()));
        const auto out = perform(client, QStringLiteral("/api/x"), QStringLiteral("PATCH"), QByteArray("{}"),
                                 QStringLiteral("application/json"));
        QVERIFY(!out.transportError);
        if (summary.isEmpty()) {
            QCOMPARE(out.body.value(), body);
            return;
        }
        QVERIFY(out.syncError);
        QCOMPARE(out.syncError->errorDescription().value(), summary);
        if (out.syncError->kind() == SyncError::Kind::stale) {
            const GalleryState state = out.syncError->staleResponse().state;
            QCOMPARE(state.updatedAt, QStringLiteral("2026-03-01T07:05:09.250Z"));
            QCOMPARE(state.order, QList<QString>{QStringLiteral("a")});
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
        QFile file(dir.filePath(QStringLiteral("api/gallery")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{}");
        file.close();

        const SyncClient client(settingsFor(QUrl::fromLocalFile(dir.path()).toString()));
        const auto out = perform(client, QStringLiteral("/api/gallery"), QStringLiteral("GET"), std::nullopt,
                                 std::nullopt, QStringLiteral("Fetch gallery"));
        QVERIFY2(out.syncError, out.transportError ? out.transportError->what() : "no error");
        const SyncHTTPFailure &f = out.syncError->failure();
        QCOMPARE(f.statusCode, -1);
        QCOMPARE(f.responseBody, QStringLiteral("no response"));
        QCOMPARE(f.requestBodyBytes, std::nullopt);
        QCOMPARE(f.shortSummary(), serverDown(f.url));
        QCOMPARE(f.activityLogDetail(),
                 serverDown(f.url) + "\nGET " + f.url + QStringLiteral("\nFetch gallery\nResponse: no response"));
    }

    void transportFailures_data()
    {
        QTest::addColumn<int>("kind"); // -1: nothing listens on the port
        QTest::addColumn<bool>("timeout");
        QTest::newRow("connection dropped") << int(Response::Kind::CloseWithoutAnswer) << false;
        QTest::newRow("garbage answer") << int(Response::Kind::NotHttp) << false;
        QTest::newRow("no answer at all") << int(Response::Kind::Hang) << true;
        // A 200 whose body stops short of its Content-Length is no answer.
        QTest::newRow("body cut short") << int(Response::Kind::Truncated) << false;
        QTest::newRow("connection refused") << -1 << false;
    }
    void transportFailures()
    {
        QFETCH(int, kind);
        QFETCH(bool, timeout);
        QString address = server.baseUrl().toString();
        if (kind < 0) {
            ScriptableServer gone;
            QVERIFY(gone.listen());
            address = QStringLiteral("http://127.0.0.1:%1").arg(gone.port());
        } else {
            Response response;
            response.kind = Response::Kind(kind);
            response.body = QByteArray(4000, 'x');
            server.on("GET", "/api/gallery", response);
        }
        HttpSession session({std::chrono::milliseconds(300), std::chrono::milliseconds(0)});
        const auto out = perform(SyncClient(settingsFor(address), session), QStringLiteral("/api/gallery"));
        QVERIFY2(out.transportError, "a transport failure is not a SyncError");
        QVERIFY(!out.transportError->isCancellation());
        QCOMPARE(out.transportError->isTimeout(), timeout);
        QCOMPARE(out.transportError->record().domain, QStringLiteral("QNetworkReply"));
        if (kind < 0)
            QCOMPARE(out.transportError->code(), QNetworkReply::ConnectionRefusedError);
    }

    void untrustedCertificate_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::newRow("self-signed, refused") << false;
        QTest::newRow("trusted by the test, accepted") << true; // the server itself works
    }
    void untrustedCertificate()
    {
        // A TLS server on loopback with a self-signed certificate made now:
        // the handshake must fail, and no request (nor its token) go out.
        QFETCH(bool, trusted);
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
        const QSslCertificate certificate(certFile.readAll());
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa));
        tls.setLocalCertificate(certificate);
        QVERIFY(!tls.privateKey().isNull() && !certificate.isNull());

        const QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();
        const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(systemDefault); });
        if (trusted) {
            QSslConfiguration withTestCA = systemDefault;
            withTestCA.addCaCertificate(certificate);
            QSslConfiguration::setDefaultConfiguration(withTestCA);
        }

        // Connections come out of the server only after a whole handshake.
        QByteArray received;
        int handshakes = 0;
        QSslServer tlsServer;
        tlsServer.setSslConfiguration(tls);
        connect(&tlsServer, &QSslServer::pendingConnectionAvailable, this, [&] {
            while (QTcpSocket *socket = tlsServer.nextPendingConnection()) {
                ++handshakes;
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
        HttpSession session(HttpSession::Limits{}); // its own connections, none kept from another row
        const auto out = perform(SyncClient(settingsFor(address, QStringLiteral("tls-secret-token-4b1d")), session),
                                 QStringLiteral("/api/gallery"));
        if (trusted) {
            QCOMPARE(out.body, std::optional(QByteArray("{}")));
            QCOMPARE(handshakes, 1);
            return;
        }
        QVERIFY2(out.transportError, "the untrusted certificate was accepted");
        QCOMPARE(out.transportError->code(), QNetworkReply::SslHandshakeFailedError);
        QVERIFY(!out.body);
        QCOMPARE(handshakes, 0);
        QVERIFY(!received.contains("tls-secret-token-4b1d"));
    }

    void droppedChangeIsNotSentAgain()
    {
        // The server may have made the change before the connection broke:
        // sending it again could upload a photo twice.
        Response dropped;
        dropped.kind = Response::Kind::CloseWithoutAnswer;
        for (const QString &method : QStringList{"POST", "PUT", "DELETE"}) {
            server.on(method.toUtf8(), "/api/gallery/photos", dropped);
            HttpSession session(HttpSession::Limits{});
            const auto out = perform(SyncClient(settingsFor(server.baseUrl().toString()), session),
                                     QStringLiteral("/api/gallery/photos"), method, QByteArray("photo bytes"));
            QVERIFY2(out.transportError, qPrintable(method));
            QCOMPARE(server.requests(method.toUtf8(), "/api/gallery/photos").size(), 1);
        }
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
        const SyncClient client(settingsFor(server.baseUrl().toString()), session);
        for (int i = 0; i < 2; ++i) {
            if (i > 0) {
                QTest::qWait(int(HttpSession::maxIdleReuseForChanges.count()) + 100);
                QVERIFY(perform(client, QStringLiteral("/api/health")).body); // a GET between does not count
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
        QTest::newRow("fixed exchange limit") << 2000 << 400 << qint64(0) << 1500 << false;
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
        const auto out = perform(SyncClient(settingsFor(server.baseUrl().toString()), session), QStringLiteral("/drip"));
        QCOMPARE(out.body, arrives ? std::optional(QByteArray(bodyBytes, 'x')) : std::nullopt);
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
        const SyncClient client(settingsFor(server.baseUrl().toString()));
        std::optional<TransportError> failure;
        try {
            if (path == "/api/gallery")
                TaskWait::run(client.fetchGallery());
            else
                TaskWait::run(client.listDevices());
        } catch (const TransportError &e) {
            failure = e;
        }
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
        PhotoEntry photo;
        photo.id = QStringLiteral("p");
        const QString file = AppConfig::cacheURL(photo.id);
        QFile::remove(file);
        bool failed = false;
        try {
            TaskWait::run(SyncClient(settingsFor(server.baseUrl().toString())).cachePhotoIfMissing(photo));
        } catch (const std::exception &) {
            failed = true;
        }
        QCOMPARE(failed, cached.isEmpty());
        QFile written(file);
        QCOMPARE(written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray(), cached);
        QCOMPARE(server.requests("GET", "/api/gallery/photos/p/image").value(0).header("Accept-Encoding"),
                 QByteArray("gzip"));
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
        const SyncClient client(settingsFor(server.baseUrl().toString()));

        QCOMPARE(perform(client, QStringLiteral("/api/old")).body, QByteArray("moved"));
        QCOMPARE(server.requests("GET", "/api/moved").value(0).header("Authorization"), QByteArray("Bearer tok-123"));
        const auto out = perform(client, QStringLiteral("/api/away"));
        QVERIFY(!out.body);
        QVERIFY(other.requests().isEmpty());
    }

    void sessionGoneMidRequest()
    {
        Response silent;
        silent.kind = Response::Kind::Hang;
        server.on("GET", "/api/gallery", silent);
        auto *session = new HttpSession({std::chrono::milliseconds(5000), std::chrono::milliseconds(0)});
        QTimer::singleShot(100, [session] { delete session; });
        const auto out = perform(SyncClient(settingsFor(server.baseUrl().toString()), *session),
                                 QStringLiteral("/api/gallery"));
        QVERIFY(out.transportError);
        QVERIFY(out.transportError->isCancellation());
    }

    void failureTexts_data()
    {
        QTest::addColumn<SyncHTTPFailure>("failure");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("detail"); // after its "HTTP <status>", "<method> <url>" lines
        const QString url = QStringLiteral("http://h/api/gallery/order");
        const QString html1234 = "<html><body><div>" + QString(1234 - 37, u' ') + "</div></body></html>";
        const QString x600 = QString(600, u'x');
        const auto get = [&url](int status, const QString &body) {
            return SyncHTTPFailure{status, "GET", url, body, std::nullopt, std::nullopt};
        };
        QTest::newRow("reorder with context")
            << SyncHTTPFailure{500, "POST", url, "{\"error\":\"boom\"}", 532, "Reorder photos"} << "HTTP 500: boom"
            << "Reorder photos\nRequest size: 532 bytes\nResponse: boom";
        QTest::newRow("empty context skipped") << SyncHTTPFailure{404, "GET", url, "", std::nullopt, QString()}
                                               << "HTTP 404" << "Response: (empty body)";
        QTest::newRow("html without text") << get(502, html1234) << "HTTP 502: (HTML error page, 1234 bytes)"
                                           << "Response: (HTML error page, 1234 bytes)";
        QTest::newRow("plain text 601") << get(500, x600 + "x") << "HTTP 500: " + x600 + u'\u2026'
                                        << "Response: " + x600 + u'\u2026';
        QTest::newRow("plain text 600") << get(500, x600) << "HTTP 500: " + x600 << "Response: " + x600;
        QTest::newRow("white space only") << get(503, " \n\t ") << "HTTP 503"
                                          << "Response: (4 characters of white space)";
        QTest::newRow("big upload") << SyncHTTPFailure{413, "POST", url, "too big", 1234567, std::nullopt}
                                    << "HTTP 413: too big" << "Request size: 1.2 MB\nResponse: too big";
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
        QTest::newRow("blank") << " \n " << "";
        QTest::newRow("json error string") << "{\"error\":\"nope\",\"message\":\"other\"}" << "nope";
        QTest::newRow("json empty error then message") << "{\"error\":\"\",\"message\":\"msg\"}" << "msg";
        QTest::newRow("json error object message") << "{\"error\":{\"message\":\"inner\",\"detail\":\"d\"}}" << "inner";
        QTest::newRow("json error object detail") << "{\"error\":{\"message\":\"\",\"detail\":\"d\"}}" << "d";
        QTest::newRow("json number error skipped") << "{\"error\":5,\"description\":\"desc\"}" << "desc";
        QTest::newRow("json without keys") << "{\"ok\":false}" << "{\"ok\":false}";
        QTest::newRow("html text") << "<!DOCTYPE html><html><h1>Bad  Gateway</h1>\n<p>nginx</p></html>"
                                   << "Bad Gateway nginx";
        QTest::newRow("html cut at 400") << "<p>" + QString(401, u'h') + "</p>" << QString(400, u'h') + u'\u2026';
        QTest::newRow("graphemes counted whole") << accented.repeated(601) << accented.repeated(600) + u'\u2026';
        // Secrets are masked wherever the digest comes from.
        QTest::newRow("json message masked") << "{\"error\":\"bad token=abc123\"}" << "bad token [redacted]";
        QTest::newRow("html page with secret") << "<p>password: hunter2</p>" << "password [redacted]";
        QTest::newRow("bearer") << "sent Bearer abc.def-123 then" << "sent Bearer [redacted] then";
        QTest::newRow("bearer any case") << "bEaReR   xyz" << "Bearer [redacted]";
        QTest::newRow("password equals") << "PASSWORD=hunter2 ok" << "PASSWORD [redacted] ok";
        QTest::newRow("token colon") << "token : abc" << "token [redacted]";
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
        QTest::newRow("2000000") << qint64(2000000) << "2 MB";
        QTest::newRow("3456789012") << qint64(3456789012) << "3.46 GB";
    }
    void byteCounts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatByteCount(bytes), text);
    }

private:
    ScriptableServer server;
};

LUNVIK_TEST_MAIN(TestSyncClient)
#include "tst_syncclient.moc"
