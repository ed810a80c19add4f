// The request layer against a scripted loopback server, and the texts a
// failed exchange is reported with.

#include "support/scriptableserver.h"
#include "support/testenvironment.h"

#include "server/syncclient.h"
#include "taskwait.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

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
        QTest::addColumn<int>("expected"); // -1: a client; else the SyncError kind
        QTest::addColumn<QString>("description");

        const int ok = -1;
        const int badURL = int(SyncError::Kind::badURL);
        const int noAuth = int(SyncError::Kind::missingSyncAuth);
        QTest::newRow("plain") << "http://127.0.0.1:3000" << "t" << ok << "";
        QTest::newRow("blanks around") << "  https://photos.example/x \n" << " t \n" << ok << "";
        QTest::newRow("empty token") << "http://h" << "" << noAuth
                                     << "Unlock the gallery to sync (session not set)";
        QTest::newRow("blank token") << "http://h" << " \t\n" << noAuth
                                     << "Unlock the gallery to sync (session not set)";
        QTest::newRow("empty address") << "   " << "t" << badURL
                                       << "Looks like the server is down (your server). Please try again.";
        QTest::newRow("not a URL") << " not a url " << "t" << badURL
                                   << "Looks like the server is down (not a url). Please try again.";
        QTest::newRow("no host") << "http://" << "t" << badURL
                                 << "Looks like the server is down (http://). Please try again.";
        QTest::newRow("address checked first") << "::" << "" << badURL
                                               << "Looks like the server is down (::). Please try again.";
    }

    void makingClient()
    {
        QFETCH(QString, address);
        QFETCH(QString, token);
        QFETCH(int, expected);
        QFETCH(QString, description);
        try {
            SyncClient client(settingsFor(address, token));
            QCOMPARE(expected, -1);
            QCOMPARE(client.bearer(), token.trimmed());
            QCOMPARE(client.baseURL().toString(), address.trimmed());
        } catch (const SyncError &e) {
            QCOMPARE(int(e.kind()), expected);
            QCOMPARE(e.errorDescription().value(), description);
            QCOMPARE(e.activityLogDetail(), description);
            if (e.kind() == SyncError::Kind::badURL)
                QCOMPARE(e.address(), address.trimmed());
        }
    }

    void urls_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("url");

        QTest::newRow("leading slash") << "http://h:3000" << "/api/gallery" << "http://h:3000/api/gallery";
        QTest::newRow("no leading slash") << "http://h:3000" << "api/gallery" << "http://h:3000/api/gallery";
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
        const SyncClient client(settingsFor(base));
        QCOMPARE(client.url(path).toString(QUrl::FullyEncoded), url);
    }

    void requestCarriesCredentialAndBody()
    {
        server.on("POST", "/api/gallery/order", Response::json(200, "{\"ok\":true}"));
        const SyncClient client(settingsFor(server.baseUrl().toString(), QStringLiteral("  s3cret \n")));
        const auto out = perform(client, QStringLiteral("api/gallery/order"), QStringLiteral("POST"),
                                 QByteArray("{\"order\":[\"a\"]}"), QStringLiteral("application/json"));
        QCOMPARE(out.body.value(), QByteArray("{\"ok\":true}"));

        const auto seen = server.requests("POST", "/api/gallery/order");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].header("Authorization"), QByteArray("Bearer s3cret"));
        QCOMPARE(seen[0].header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(seen[0].body, QByteArray("{\"order\":[\"a\"]}"));
    }

    void requestWithoutContentType()
    {
        server.on("GET", "/api/gallery", Response::json(200, "{}"));
        const SyncClient client(settingsFor(server.baseUrl().toString()));
        QVERIFY(perform(client, QStringLiteral("/api/gallery")).body);
        const auto seen = server.requests("GET", "/api/gallery");
        QCOMPARE(seen.size(), 1);
        QVERIFY(!seen[0].hasHeader("Content-Type"));
        QVERIFY(seen[0].body.isEmpty());
    }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("kind"); // -1: success
        QTest::addColumn<QString>("summary");

        const int ok = -1;
        const int http = int(SyncError::Kind::http);
        const int stale = int(SyncError::Kind::stale);
        QTest::newRow("200") << 200 << QByteArray("{\"a\":1}") << ok << "";
        QTest::newRow("204 empty") << 204 << QByteArray() << ok << "";
        QTest::newRow("299") << 299 << QByteArray("x") << ok << "";
        QTest::newRow("409 with manifest") << 409
                                           << QByteArray("{\"error\":\"stale base\",\"state\":") + manifestJson + "}"
                                           << stale << "Gallery changed on server; refreshing and retrying";
        QTest::newRow("409 without manifest") << 409 << QByteArray("{\"error\":\"conflict\"}") << http
                                              << "HTTP 409: conflict";
        QTest::newRow("409 with broken manifest") << 409 << QByteArray("{\"state\":{\"updatedAt\":1}}") << http
                                                  << "HTTP 409: {\"state\":{\"updatedAt\":1}}";
        QTest::newRow("401") << 401 << QByteArray("{\"error\":\"unauthorized\"}") << http << "HTTP 401: unauthorized";
        QTest::newRow("500 json message") << 500 << QByteArray("{\"message\":\"disk full\"}") << http
                                          << "HTTP 500: disk full";
        QTest::newRow("404 empty") << 404 << QByteArray() << http << "HTTP 404";
        QTest::newRow("300") << 300 << QByteArray() << http << "HTTP 300";
        QTest::newRow("not UTF-8") << 500 << QByteArray("\xff\xfe\xfa bad") << http << "HTTP 500";
        QTest::newRow("secret echoed") << 500 << QByteArray("Authorization: Bearer abc.def") << http
                                       << "HTTP 500: Authorization [redacted] [redacted]";
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, kind);
        QFETCH(QString, summary);

        server.on("PATCH", "/api/x", Response::json(status, body));
        const SyncClient client(settingsFor(server.baseUrl().toString()));
        const auto out = perform(client, QStringLiteral("/api/x"), QStringLiteral("PATCH"), QByteArray("{}"),
                                 QStringLiteral("application/json"));
        QVERIFY(!out.transportError);
        if (kind == -1) {
            QCOMPARE(out.body.value(), body);
            return;
        }
        QVERIFY(out.syncError);
        QCOMPARE(int(out.syncError->kind()), kind);
        QCOMPARE(out.syncError->errorDescription().value(), summary);
        if (out.syncError->kind() == SyncError::Kind::stale) {
            const GalleryState state = out.syncError->staleResponse().state;
            QCOMPARE(state.updatedAt, QStringLiteral("2026-03-01T07:05:09.250Z"));
            QCOMPARE(state.order, QList<QString>{QStringLiteral("a")});
            QCOMPARE(out.syncError->activityLogDetail(), QStringLiteral("HTTP 409 gallery stale"));
        } else {
            const SyncHTTPFailure &f = out.syncError->failure();
            QCOMPARE(f.statusCode, status);
            QCOMPARE(f.method, QStringLiteral("PATCH"));
            QCOMPARE(f.url, server.baseUrl().toString() + QStringLiteral("/api/x"));
            QCOMPARE(f.requestBodyBytes, std::optional<qint64>(2));
            QCOMPARE(f.responseBody, QString::fromUtf8(body).contains(QChar::ReplacementCharacter)
                                         ? QString()
                                         : QString::fromUtf8(body));
        }
    }

    void notAnHttpAnswer()
    {
        // A file: server address yields content with no HTTP status at all.
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("api")));
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
        const QString down = QStringLiteral("Looks like the server is down (%1). Please try again.").arg(f.url);
        QCOMPARE(f.shortSummary(), down);
        QCOMPARE(f.activityLogDetail(),
                 down + QStringLiteral("\nGET ") + f.url + QStringLiteral("\nFetch gallery\nResponse: no response"));
    }

    void transportFailures_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("timeout");

        QTest::newRow("connection dropped") << int(Response::Kind::CloseWithoutAnswer) << false;
        QTest::newRow("garbage answer") << int(Response::Kind::NotHttp) << false;
        QTest::newRow("no answer at all") << int(Response::Kind::Hang) << true;
    }

    void transportFailures()
    {
        QFETCH(int, kind);
        QFETCH(bool, timeout);
        Response response;
        response.kind = Response::Kind(kind);
        server.on("GET", "/api/gallery", response);

        HttpSession session({std::chrono::milliseconds(300), std::chrono::milliseconds(0)});
        const SyncClient client(settingsFor(server.baseUrl().toString()), session);
        const auto out = perform(client, QStringLiteral("/api/gallery"));
        QVERIFY2(out.transportError, "a transport failure is not a SyncError");
        QVERIFY(!out.transportError->isCancellation());
        QCOMPARE(out.transportError->isTimeout(), timeout);
    }

    void idleLimitRestartsWithData()
    {
        // Answers within the idle limit each time; only the whole-exchange
        // limit may cut a slow exchange.
        Response slow = Response::json(200, "{}");
        slow.delayMs = 150;
        server.on("GET", "/slow", slow);

        HttpSession relaxed({std::chrono::milliseconds(2000), std::chrono::milliseconds(0)});
        QVERIFY(perform(SyncClient(settingsFor(server.baseUrl().toString()), relaxed), QStringLiteral("/slow")).body);

        HttpSession strict({std::chrono::milliseconds(2000), std::chrono::milliseconds(50)});
        const auto out = perform(SyncClient(settingsFor(server.baseUrl().toString()), strict), QStringLiteral("/slow"));
        QVERIFY(out.transportError);
        QVERIFY(out.transportError->isTimeout());
        QVERIFY(!out.transportError->isCancellation());
    }

    void refusedConnection()
    {
        quint16 closedPort;
        {
            ScriptableServer gone;
            QVERIFY(gone.listen());
            closedPort = gone.port();
        }
        const SyncClient client(settingsFor(QStringLiteral("http://127.0.0.1:%1").arg(closedPort)));
        const auto out = perform(client, QStringLiteral("/api/health"));
        QVERIFY(out.transportError);
        QCOMPARE(out.transportError->code(), QNetworkReply::ConnectionRefusedError);
        QCOMPARE(out.transportError->record().domain, QStringLiteral("QNetworkReply"));
    }

    void failureTexts_data()
    {
        QTest::addColumn<SyncHTTPFailure>("failure");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("detail");

        const QString url = QStringLiteral("http://h/api/gallery/order");
        const QString html1234 = QStringLiteral("<html><body><div>") + QString(1234 - 37, QLatin1Char(' '))
            + QStringLiteral("</div></body></html>");
        const QString text601 = QString(601, QLatin1Char('x'));
        const QString text600 = QString(600, QLatin1Char('y'));

        QTest::newRow("reorder with context")
            << SyncHTTPFailure{500, "POST", url, "{\"error\":\"boom\"}", 532, "Reorder photos"}
            << "HTTP 500: boom"
            << "HTTP 500\nPOST " + url + "\nReorder photos\nRequest size: 532 bytes\nResponse: boom";
        QTest::newRow("GET without context")
            << SyncHTTPFailure{404, "GET", url, "", std::nullopt, std::nullopt} << "HTTP 404"
            << "HTTP 404\nGET " + url + "\nResponse: (empty body)";
        QTest::newRow("empty context skipped")
            << SyncHTTPFailure{404, "GET", url, "", std::nullopt, QString()} << "HTTP 404"
            << "HTTP 404\nGET " + url + "\nResponse: (empty body)";
        QTest::newRow("html without text")
            << SyncHTTPFailure{502, "GET", url, html1234, std::nullopt, std::nullopt}
            << "HTTP 502: (HTML error page, 1234 bytes)"
            << "HTTP 502\nGET " + url + "\nResponse: (HTML error page, 1234 bytes)";
        QTest::newRow("plain text 601") << SyncHTTPFailure{500, "GET", url, text601, std::nullopt, std::nullopt}
                                        << "HTTP 500: " + QString(600, QLatin1Char('x')) + u'\u2026'
                                        << "HTTP 500\nGET " + url + "\nResponse: " + QString(600, QLatin1Char('x'))
                + u'\u2026';
        QTest::newRow("plain text 600") << SyncHTTPFailure{500, "GET", url, text600, std::nullopt, std::nullopt}
                                        << "HTTP 500: " + text600 << "HTTP 500\nGET " + url + "\nResponse: " + text600;
        QTest::newRow("white space only")
            << SyncHTTPFailure{503, "GET", url, " \n\t ", std::nullopt, std::nullopt} << "HTTP 503"
            << "HTTP 503\nGET " + url + "\nResponse: (4 characters of white space)";
        QTest::newRow("big upload") << SyncHTTPFailure{413, "POST", url, "too big", 1234567, std::nullopt}
                                    << "HTTP 413: too big"
                                    << "HTTP 413\nPOST " + url + "\nRequest size: 1.2 MB\nResponse: too big";
    }

    void failureTexts()
    {
        QFETCH(SyncHTTPFailure, failure);
        QFETCH(QString, summary);
        QFETCH(QString, detail);
        QCOMPARE(failure.shortSummary(), summary);
        QCOMPARE(failure.activityLogDetail(), detail);
        QCOMPARE(SyncError::http(failure).activityLogDetail(), detail);
    }

    void bodyDigest_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("digest");

        const QString accented = QStringLiteral("e\u0301"); // one user-perceived character
        QTest::newRow("empty") << "" << "";
        QTest::newRow("blank") << " \n " << "";
        QTest::newRow("json error string") << "{\"error\":\"nope\",\"message\":\"other\"}" << "nope";
        QTest::newRow("json empty error then message") << "{\"error\":\"\",\"message\":\"msg\"}" << "msg";
        QTest::newRow("json error object message") << "{\"error\":{\"message\":\"inner\",\"detail\":\"d\"}}" << "inner";
        QTest::newRow("json error object detail") << "{\"error\":{\"message\":\"\",\"detail\":\"d\"}}" << "d";
        QTest::newRow("json title") << "{\"code\":3,\"title\":\"Bad\"}" << "Bad";
        QTest::newRow("json number error skipped") << "{\"error\":5,\"description\":\"desc\"}" << "desc";
        QTest::newRow("json without keys") << "{\"ok\":false}" << "{\"ok\":false}";
        QTest::newRow("json array") << "[\"error\"]" << "[\"error\"]";
        QTest::newRow("json message masked") << "{\"error\":\"bad token=abc123\"}" << "bad token [redacted]";
        QTest::newRow("html text") << "<!DOCTYPE html><html><h1>Bad  Gateway</h1>\n<p>nginx</p></html>"
                                   << "Bad Gateway nginx";
        QTest::newRow("html upper case") << "<HTML><B>Oops</B></HTML>" << "Oops";
        QTest::newRow("html cut at 400") << "<p>" + QString(401, QLatin1Char('h')) + "</p>"
                                         << QString(400, QLatin1Char('h')) + u'\u2026';
        QTest::newRow("graphemes counted whole") << accented.repeated(601) << accented.repeated(600) + u'\u2026';
        QTest::newRow("html page with secret") << "<p>password: hunter2</p>" << "password [redacted]";
    }

    void bodyDigest()
    {
        QFETCH(QString, body);
        QFETCH(QString, digest);
        QCOMPARE(SyncHTTPFailure::summarizeResponseBody(body), digest);
    }

    void masking_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("masked");

        QTest::newRow("bearer") << "sent Bearer abc.def-123 then" << "sent Bearer [redacted] then";
        QTest::newRow("bearer any case") << "bEaReR   xyz" << "Bearer [redacted]";
        QTest::newRow("authorization header") << "Authorization: Bearer abc" << "Authorization [redacted] [redacted]";
        QTest::newRow("password equals") << "PASSWORD=hunter2 ok" << "PASSWORD [redacted] ok";
        QTest::newRow("token colon") << "token : abc" << "token [redacted]";
        QTest::newRow("secret") << "client_secret=zzz" << "client_secret [redacted]";
        QTest::newRow("json member") << "{\"sessionToken\":\"abc123\"}" << "{\"sessionToken [redacted]";
        QTest::newRow("json password with space") << "{\"password\": \"pw\"}" << "{\"password [redacted]";
        QTest::newRow("basic credential") << "Authorization: Basic dXNlcjpwYXNz" << "Authorization [redacted]";
        QTest::newRow("word without value") << "the token expired" << "the token expired";
    }

    void masking()
    {
        QFETCH(QString, text);
        QFETCH(QString, masked);
        QCOMPARE(SyncHTTPFailure::redactSecrets(text), masked);
    }

    void byteCounts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << "0 bytes";
        QTest::newRow("1") << qint64(1) << "1 byte";
        QTest::newRow("532") << qint64(532) << "532 bytes";
        QTest::newRow("999") << qint64(999) << "999 bytes";
        QTest::newRow("1000") << qint64(1000) << "1 KB";
        QTest::newRow("1499") << qint64(1499) << "1 KB";
        QTest::newRow("999999") << qint64(999999) << "1 MB";
        QTest::newRow("1234567") << qint64(1234567) << "1.2 MB";
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
