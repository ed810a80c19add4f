// The development gallery server over HTTP, and the app's server client
// against it. Most cases run the server in-process on a free port; those
// about the program run the binary.
#include "support/devserverprocess.h"
#include "support/testenvironment.h"

#include "galleryserver.h"

#include "model/appconfig.h"
#include "model/jsonfields.h"
#include "server/authverifier.h"
#include "server/reachability.h"
#include "server/syncclient.h"
#include "taskwait.h"

#include <httplib.h>

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <atomic>
#include <memory>
#include <thread>

#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

const QString familyPassword = u"family-secret"_s;
const QByteArray frameToken = "0a1b2c3d.00112233445566778899aabbccddeeff";
const QByteArray boundary = "lunvik-test-boundary";
const QByteArray formType = "multipart/form-data; boundary=" + boundary;

QByteArray jpegOf(QSize size, QColor colour = Qt::darkCyan, bool progressive = false)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.setProgressiveScanWrite(progressive);
    return writer.write(image) ? bytes : QByteArray();
}

// The JPEG with an orientation tag that turns it a quarter clockwise.
QByteArray turnedQuarter(const QByteArray &jpeg)
{
    const QByteArray exif("\xFF\xE1\x00\x22"
                          "Exif\0\0MM\0\x2A\0\0\0\x08"
                          "\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0"
                          "\0\0\0\0",
                          36);
    return jpeg.left(2) + exif + jpeg.mid(2);
}

// The JPEG with its frame header claiming another size: a bomb of a few
// hundred bytes.
QByteArray claimingSize(QByteArray jpeg, QSize size)
{
    for (const char *frame : {"\xFF\xC0", "\xFF\xC2"}) {
        const qsizetype at = jpeg.indexOf(frame);
        if (at < 0)
            continue;
        jpeg[at + 5] = char(size.height() >> 8);
        jpeg[at + 6] = char(size.height() & 0xFF);
        jpeg[at + 7] = char(size.width() >> 8);
        jpeg[at + 8] = char(size.width() & 0xFF);
        return jpeg;
    }
    return {};
}

QString isoAt(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toUTC().toString(Qt::ISODateWithMs);
}

// The form of an upload; without `base`, it lacks the version.
QByteArray uploadForm(const QByteArray &uploadedBy, const QByteArray &filename, const QByteArray &jpeg,
                      const QByteArray &base = "$base", const QByteArray &partFilename = "upload.jpg")
{
    QByteArray body;
    const auto part = [&](const QByteArray &name, const QByteArray &content, const QByteArray &file = {}) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + '"';
        if (!file.isEmpty())
            body += "; filename=\"" + file + "\"\r\nContent-Type: image/jpeg";
        body += "\r\n\r\n" + content + "\r\n";
    };
    part("uploadedBy", uploadedBy);
    part("filename", filename);
    if (!base.isEmpty())
        part("baseUpdatedAt", base);
    part("image", jpeg, partFilename);
    return body + "--" + boundary + "--\r\n";
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool ownerOnly(const QString &path)
{
    const QFileDevice::Permissions permissions = QFileInfo(path).permissions();
    return permissions.testFlag(QFileDevice::ReadOwner) && !(permissions & QFileDevice::Permissions(0x0077));
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

struct Reply {
    int status = 0; // 0: no answer at all
    QByteArray body;
    httplib::Headers headers;

    QString header(const char *name) const
    {
        const auto it = headers.find(name);
        return it == headers.end() ? QString() : QString::fromStdString(it->second);
    }
    QJsonObject json() const { return parseJsonObject(body).value_or(QJsonObject()); }
    // A string member, or one of a member object: text("device", "id").
    QString text(const char *key, const char *inner = nullptr) const
    {
        const QJsonValue value = json().value(QLatin1StringView(key));
        return (inner ? value[QLatin1StringView(inner)] : value).toString();
    }
    QString error() const { return text("error"); }
    std::optional<GalleryState> state() const
    {
        const auto response = GalleryResponse::fromJsonBytes(body);
        return response ? std::optional(response->state) : std::nullopt;
    }
};

// A client of the server's API that sends the session token it signed in with.
class Api
{
public:
    explicit Api(quint16 port)
        : m_client(std::make_unique<httplib::Client>("127.0.0.1", port))
    {
        m_client->set_url_encode(false);
        m_client->set_read_timeout(20);
    }

    QString token;

    // "$base" in the body stands for the manifest's current version. A body
    // starting with the boundary is a form. Sends `credential` instead of
    // the token when given (empty: nothing).
    Reply send(const char *method, const QString &path, QByteArray body = {},
               std::optional<QString> credential = std::nullopt, httplib::Headers headers = {})
    {
        if (body.contains("$base"))
            body.replace("$base", gallery().updatedAt.toUtf8());
        const QString bearer = credential.value_or(token);
        if (!bearer.isEmpty())
            headers.emplace("Authorization", "Bearer " + bearer.toStdString());
        if (!body.isEmpty())
            headers.emplace("Content-Type", body.startsWith("--" + boundary) ? formType.toStdString()
                                                                              : "application/json");
        httplib::Request request;
        request.method = method;
        request.path = path.toStdString();
        request.headers = std::move(headers);
        request.body = body.toStdString();
        Reply reply;
        if (auto result = m_client->send(request))
            reply = {result->status, QByteArray::fromStdString(result->body), result->headers};
        return reply;
    }

    QString signIn(const QString &password = familyPassword)
    {
        token = send("POST", "/api/auth/session", {}, password).text("sessionToken");
        return token;
    }
    GalleryState gallery() { return send("GET", "/api/gallery").state().value_or(GalleryState{}); }
    QString current() { return send("GET", "/api/gallery/current").text("currentPhotoId"); }
    Reply upload(const QByteArray &form) { return send("POST", "/api/gallery/photos", form); }
    // Uploads a small photo and answers its id.
    QString addPhoto(const QByteArray &uploadedBy = "Mia")
    {
        const auto state = upload(uploadForm(uploadedBy, "photo.jpg", jpegOf(QSize(40, 30)))).state();
        return state && !state->order.isEmpty() ? state->order.last() : QString();
    }
    Reply setCurrent(const QString &id)
    {
        return send("PUT", "/api/gallery/current", json({{"baseUpdatedAt", "$base"}, {"photoId", id}}));
    }
    Reply rename(const QString &from, const QString &to)
    {
        return send("PATCH", "/api/gallery/uploaders",
                    json({{"baseUpdatedAt", "$base"}, {"fromName", from}, {"toName", to}}));
    }
    Reply remove(const QString &id)
    {
        return send("DELETE", "/api/gallery/photos/" + id, R"({"baseUpdatedAt":"$base"})");
    }
    QJsonObject frameStatus(const QString &id)
    {
        for (const QJsonValue &device : send("GET", "/api/devices/status").json().value("devices").toArray()) {
            if (device["id"].toString() == id)
                return device.toObject();
        }
        return {};
    }

private:
    std::unique_ptr<httplib::Client> m_client;
};

// The server in-process on a free port, served from a thread of its own.
class LiveServer
{
public:
    explicit LiveServer(GalleryServer::Options options)
        : m_server(std::move(options))
    {
        m_port = m_server.bind(u"127.0.0.1"_s, 0);
        m_thread = std::thread([this] { m_server.run(); });
    }
    ~LiveServer()
    {
        m_server.stop();
        m_thread.join();
    }
    quint16 port() const { return m_port; }

private:
    GalleryServer m_server;
    quint16 m_port = 0;
    std::thread m_thread;
};

// A refused request: "METHOD path" and body, with $a and $b for photos ($a
// the current one), $c for a deleted one, $base for the current version and
// $old for an outdated one. It carries the session token unless `credential`
// is "password", another literal, or "" for none.
void addRefusal(const char *name, const QByteArray &request, const QByteArray &body, int status,
                const QString &credential = u"token"_s)
{
    QTest::newRow(name) << request << body << status << credential;
}

QByteArray order(const QByteArray &list)
{
    return R"({"baseUpdatedAt":"$base","order":)" + list + "}";
}

// The error of type E that `task` ends in, if it does.
template<typename E = SyncError, typename T>
std::optional<E> syncErrorOf(QCoro::Task<T> task)
{
    try {
        TaskWait::run(std::move(task));
    } catch (const E &e) {
        return e;
    }
    return std::nullopt;
}

} // namespace

class TestDevServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<LiveServer> m_server;

    // The data folder's path holds "%1", which must stay out of the paths
    // the server builds from it.
    QString data(const QString &name = {}) const { return m_folder->path() + u"/gallery %1/"_s + name; }
    GalleryServer::Options options() const
    {
        GalleryServer::Options result;
        result.dataFolder = data();
        result.password = familyPassword;
        return result;
    }
    Api startServer(GalleryServer::Options serverOptions)
    {
        m_server.reset();
        m_server = std::make_unique<LiveServer>(std::move(serverOptions));
        Api api(m_server->port());
        api.signIn();
        return api;
    }
    Api startServer() { return startServer(options()); }

private Q_SLOTS:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
        QVERIFY(QDir().mkpath(data()));
    }

    void cleanup()
    {
        m_server.reset();
        m_folder.reset();
    }

    // Ten wrong passwords from one address within a minute: its sign-ins,
    // the right password included, are refused for a minute.
    void signInThrottle()
    {
        const auto start = SignInThrottle::Clock::now();
        auto elapsed = std::make_shared<std::atomic<int>>(0); // seconds
        GalleryServer::Options throttled = options();
        throttled.signInClock = [start, elapsed] { return start + std::chrono::seconds(elapsed->load()); };
        Api api = startServer(throttled);
        const auto signIn = [&](const QString &password) {
            return api.send("POST", "/api/auth/session", {}, password);
        };
        for (int i = 0; i < 9; ++i)
            QCOMPARE(signIn(u"guess"_s).status, 401);
        elapsed->store(61); // those nine are forgotten
        for (int i = 0; i < 10; ++i)
            QCOMPARE(signIn(u"guess"_s).status, 401);

        const Reply refused = signIn(familyPassword);
        QCOMPARE(refused.status, 429);
        QCOMPARE(refused.header("Retry-After"), u"60"_s);
        QCOMPARE(api.send("GET", "/api/auth/verify").status, 200); // sessions go on
        elapsed->store(120);
        QCOMPARE(signIn(familyPassword).header("Retry-After"), u"1"_s);
        elapsed->store(121);
        const Reply signedIn = signIn(familyPassword);
        QVERIFY(signedIn.text("sessionToken").size() >= 22); // 128 bits at least
        QVERIFY(signedIn.text("sessionToken") != api.token);

        // Attempts side by side, their passwords not checked yet, get no
        // more tries than attempts one after another. An IPv6 address counts
        // by its /64, which one device picks addresses from at will.
        SignInThrottle throttle(SignInThrottle::Limits{});
        for (int i = 1; i <= 10; ++i) {
            QVERIFY(!throttle.admit(u"2001:db8::%1"_s.arg(i), start).refusedFor);
            QVERIFY(!throttle.admit(i % 2 ? u"192.0.2.1"_s : u"::ffff:192.0.2.1"_s, start).refusedFor);
        }
        QCOMPARE(throttle.admit(u"2001:db8::ffff:1"_s, start).refusedFor, std::optional(60));
        QCOMPARE(throttle.admit(u"192.0.2.1"_s, start).refusedFor, std::optional(60));
        QVERIFY(!throttle.admit(u"2001:db8:0:1::1"_s, start).refusedFor);
        QVERIFY(!throttle.admit(u"192.0.2.2"_s, start).refusedFor);
    }

    // Answers are compressed as the client accepts, but never with Brotli:
    // httplib's Brotli is far too slow for a large manifest.
    void answerCompression()
    {
        Api api = startServer();
        api.addPhoto();
        for (const auto &[accepted, coding] : {std::pair("gzip, deflate, br", "gzip"), // what Qt sends
                                               std::pair("br;q=1.0, gzip;q=0.5", "gzip"), std::pair("br", "")}) {
            const Reply reply = api.send("GET", "/api/gallery", {}, std::nullopt, {{"Accept-Encoding", accepted}});
            QCOMPARE(reply.header("Content-Encoding"), QString::fromLatin1(coding));
            QCOMPARE(reply.state().value_or(GalleryState{}).order.size(), 1);
        }
    }

    // Slow and idle clients hold a connection each, and a worker with it,
    // yet everybody else is still answered at once; the server drops them
    // after its read and keep-alive time-outs (before a client sending one
    // byte every three seconds sends its next).
    void slowAndIdleClients()
    {
        rlimit files{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &files), 0);
        files.rlim_cur = std::max(files.rlim_cur, std::min<rlim_t>(1024, files.rlim_max));
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &files), 0);
        if (files.rlim_cur < 600)
            QSKIP("too few file descriptors for 216 connections at both ends");
        startServer();
        std::vector<std::unique_ptr<QTcpSocket>> sockets; // 16 slow ones sending a byte, then 200 idle ones
        for (int i = 0; i < 216; ++i) {
            QTcpSocket &socket = *sockets.emplace_back(std::make_unique<QTcpSocket>());
            socket.connectToHost(u"127.0.0.1"_s, m_server->port());
            QVERIFY(socket.waitForConnected(5000));
            QVERIFY(i >= 16 || (socket.write("G") == 1 && socket.waitForBytesWritten(1000)));
        }
        QElapsedTimer timer;
        timer.start();
        httplib::Client client("127.0.0.1", m_server->port());
        client.set_read_timeout(5);
        const auto health = client.Get("/api/health");
        QVERIFY(health);
        QCOMPARE(health->status, 200);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(u"answered after %1 ms"_s.arg(timer.elapsed())));
        for (const auto &socket : sockets) {
            const int left = int(std::max<qint64>(0, 3000 - timer.elapsed()));
            QVERIFY2(socket->state() == QAbstractSocket::UnconnectedState || socket->waitForDisconnected(left),
                     "a connection was still open after 3 s");
        }
    }

    // Qt sends a body-less POST without Content-Length; it has no body all the same.
    void postWithoutContentLength()
    {
        startServer();
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, m_server->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("POST /api/auth/session HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                     + familyPassword.toUtf8() + "\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(5000))
            answer += socket.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 200") && answer.contains("sessionToken"), answer.constData());
    }

    void refusedRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("credential");

        const char *signIn = "POST /api/auth/session";
        addRefusal("password in another case", signIn, {}, 401, u"family-secreT"_s);
        addRefusal("password prefix", signIn, {}, 401, u"family"_s);
        addRefusal("no password", signIn, {}, 401, QString());
        addRefusal("token is no password", signIn, {}, 401);
        addRefusal("password is no token", "GET /api/auth/verify", {}, 401, u"password"_s);
        addRefusal("gallery without a token", "GET /api/gallery", {}, 401, QString());
        addRefusal("rotation with the password", "POST /api/dev/rotate", {}, 401, u"password"_s);

        const char *upload = "POST /api/gallery/photos";
        const auto form = [](const QByteArray &jpeg, const QByteArray &base = "$base") {
            return uploadForm("Mia", "a.jpg", jpeg, base);
        };
        // Any change made on an outdated version conflicts.
        addRefusal("stale upload", upload, form(jpegOf({8, 8}), "$old"), 409);

        addRefusal("malformed JSON", "PUT /api/gallery/order", "{\"order\": [", 400);
        addRefusal("version as number", "PUT /api/gallery/current", R"({"photoId":"$b","baseUpdatedAt":5})", 400);
        addRefusal("oversized JSON", "PUT /api/gallery/order", order("[],\"x\":\"" + QByteArray(99'999, 'x') + '"'),
                   413);
        addRefusal("unknown path", "GET /api/nowhere", {}, 404);
        addRefusal("PNG upload", upload, form(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(64, '\0')), 400);
        addRefusal("upload without version", upload, form(jpegOf({4, 4}), {}), 400);
        addRefusal("oversized upload", upload, form("\xFF\xD8\xFF" + QByteArray(300 * 1024, 'x')), 413);
        // Only what decodes, within bounds, is a photo.
        addRefusal("undecodable JPEG", upload, form("\xFF\xD8\xFF" + QByteArray(64, 'x')), 422);
        addRefusal("400 megapixels", upload, form(claimingSize(jpegOf({64, 64}), {20000, 20000})), 422);
        // Under the pixel limit, but progressive: its coefficients alone take
        // hundreds of megabytes.
        addRefusal("progressive 81 megapixels", upload,
                   form(claimingSize(jpegOf({64, 64}, Qt::red, true), {9000, 9000})), 422);

        addRefusal("current: unknown", "PUT /api/gallery/current", R"({"photoId":"x","baseUpdatedAt":"$base"})", 404);
        addRefusal("current: deleted", "PUT /api/gallery/current", R"({"photoId":"$c","baseUpdatedAt":"$base"})", 404);
        addRefusal("delete: deleted", "DELETE /api/gallery/photos/$c", R"({"baseUpdatedAt":"$base"})", 404);
        addRefusal("delete: unknown", "DELETE /api/gallery/photos/x", R"({"baseUpdatedAt":"$base"})", 404);
        addRefusal("delete: the current one", "DELETE /api/gallery/photos/$a", R"({"baseUpdatedAt":"$base"})", 400);
        addRefusal("rename: blank toName", "PATCH /api/gallery/uploaders",
                   R"({"fromName":"Mia","baseUpdatedAt":"$base","toName":"  "})", 400);
        addRefusal("frame: setup text as number", "POST /api/devices", R"({"setupText":5,"registeredBy":"Mia"})", 400);

        addRefusal("order: duplicate", "PUT /api/gallery/order", order(R"(["$a","$b","$b"])"), 400);
        addRefusal("order: missing one", "PUT /api/gallery/order", order(R"(["$a"])"), 400);
        addRefusal("order: deleted", "PUT /api/gallery/order", order(R"(["$b","$c"])"), 400);
        addRefusal("order: numbers", "PUT /api/gallery/order", order("[1,2]"), 400);

        for (const char *width : {"0", "", "1.5", "12345678901"})
            addRefusal(QByteArray("image: w=").append(width).constData(),
                       QByteArray("GET /api/gallery/photos/$a/image?w=").append(width), {}, 400);
        addRefusal("image: deleted", "GET /api/gallery/photos/$c/image", {}, 404);
        addRefusal("image: id leaving the folder", "GET /api/gallery/photos/..%2Fgallery.json/image", {}, 404);
        addRefusal("image: dot-dot id", "GET /api/gallery/photos/%2E%2E/image?w=5", {}, 404);
    }

    // Each refused request answers a JSON error and leaves the gallery and
    // its files as they were.
    void refusedRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, credential);

        GalleryServer::Options limited = options();
        limited.uploadLimitBytes = 256 * 1024;
        limited.jsonLimitBytes = 64 * 1024;
        Api api = startServer(limited);
        const QStringList ids{api.addPhoto(), api.addPhoto(), api.addPhoto()};
        QCOMPARE(api.remove(ids[2]).status, 200);
        const GalleryState before = api.gallery();
        QString path = QString::fromLatin1(request.mid(request.indexOf(' ') + 1));
        body.replace("$base", before.updatedAt.toUtf8()).replace("$old", "2001-01-01T00:00:00.000Z");
        for (int i = 0; i < 3; ++i) {
            const QByteArray name = "$" + QByteArray(1, char('a' + i));
            body.replace(name, ids[i].toUtf8());
            path.replace(QString::fromLatin1(name), ids[i]);
        }

        const QHash<QString, QString> named{{u"token"_s, api.token}, {u"password"_s, familyPassword}};
        const Reply reply
            = api.send(request.left(request.indexOf(' ')).constData(), path, body, named.value(credential, credential));
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.header("Content-Type"), u"application/json"_s);
        QVERIFY2(!reply.error().isEmpty(), reply.body.left(200).constData());
        if (status == 409) {
            QCOMPARE(reply.error(), u"Gallery changed on server"_s);
            QCOMPARE(GalleryState::fromJson(reply.json().value("state")), before);
        }
        QCOMPARE(api.gallery(), before);
        QCOMPARE(filesIn(data("photos")).size(), 2);
    }

    // Versions rise with every change and only then, whatever the clock
    // does, and the gallery's entity tag follows them.
    void versions()
    {
        // A clock that stands still and then goes back: versions still rise.
        const qint64 t0 = QDateTime::fromString(u"2026-03-01T07:05:09.250Z"_s, Qt::ISODateWithMs).toMSecsSinceEpoch();
        auto now = std::make_shared<std::atomic<qint64>>(t0);
        GalleryServer::Options clocked = options();
        clocked.clock = [now] { return QDateTime::fromMSecsSinceEpoch(now->load(), QTimeZone::utc()); };
        Api api = startServer(clocked);

        const QString a = api.addPhoto();
        const QString b = api.addPhoto("Jonas");
        QCOMPARE(api.gallery().updatedAt, isoAt(t0 + 1));
        now->store(t0 - 3600 * 1000);
        const GalleryState changed = *api.setCurrent(b).state();
        QCOMPARE(changed.updatedAt, isoAt(t0 + 2));
        QCOMPARE(changed.photos[b].updatedAt, isoAt(t0 + 1));

        // Changes that change nothing answer the manifest as it is.
        for (const Reply &reply :
             {api.send("PUT", "/api/gallery/order", json({{"baseUpdatedAt", "$base"}, {"order", QJsonArray{a, b}}})),
              api.rename("Nobody", "Somebody"), api.rename("Mia", " Mia "), api.setCurrent(b)}) {
            QCOMPARE(reply.status, 200);
            QCOMPARE(*reply.state(), changed);
        }
        const QString tag = api.send("GET", "/api/gallery").header("ETag");
        QCOMPARE(tag, QLatin1Char('"') + changed.updatedAt + QLatin1Char('"'));
        const auto ifNoneMatch = [&](const QString &tags) {
            return api.send("GET", "/api/gallery", {}, std::nullopt, {{"If-None-Match", tags.toStdString()}});
        };
        for (const QString &tags : {"W/" + tag, "\"x\", " + tag}) {
            const Reply same = ifNoneMatch(tags);
            QCOMPARE(same.status, 304);
            QVERIFY(same.body.isEmpty());
        }

        now->store(t0 + 3600 * 1000);
        QCOMPARE(api.rename("Mia", "Mia L.").state()->updatedAt, isoAt(t0 + 3600 * 1000));
        QCOMPARE(ifNoneMatch(tag).status, 200);
        // The current photo was set before that.
        QCOMPARE(api.send("GET", "/api/gallery/current").text("updatedAt"), changed.updatedAt);
    }

    void concurrentUploadsAllLand()
    {
        Api api = startServer();
        const int threads = 4;
        const int perThread = 3;
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([port = m_server->port(), token = api.token] {
                Api worker(port);
                worker.token = token;
                // Retried with the fresh version after a conflict, as a client would.
                for (int uploaded = 0, attempt = 0; uploaded < perThread && attempt < 100; ++attempt)
                    uploaded += worker.upload(uploadForm("Mia", "x.jpg", jpegOf(QSize(8, 8)))).status == 200;
            });
        }
        for (std::thread &worker : workers)
            worker.join();
        const GalleryState state = api.gallery();
        QCOMPARE(state.order.size(), threads * perThread);
        QSet<QString> versions;
        for (const PhotoEntry &photo : state.photos)
            versions.insert(photo.updatedAt);
        QCOMPARE(versions.size(), threads * perThread);
        QCOMPARE(filesIn(data("photos")).size(), threads * perThread);
    }

    void uploadNamesAndRename()
    {
        Api api = startServer();
        const QByteArray jpeg = jpegOf(QSize(30, 20));
        const QString mia = GalleryState::uploaderId(u"Mia"_s);
        const QString kelvo = GalleryState::uploaderId(QString());
        struct Upload {
            QByteArray uploadedBy, filename, partFilename;
            QString kept, uploaderId;
        };
        // Only a last path component is kept, from the form's file name or
        // else the part's; a blank uploader is the default one.
        for (const auto &[uploadedBy, filename, partFilename, kept, uploaderId] :
             {Upload{"  Mia  ", "../../holiday/beach.jpg", "upload.jpg", "beach.jpg", mia},
              Upload{"  ", "", "C:\\Pictures\\cat.jpg", "cat.jpg", kelvo},
              Upload{"Mia", "..", "/", "photo.jpg", mia}}) {
            const auto state = *api.upload(uploadForm(uploadedBy, filename, jpeg, "$base", partFilename)).state();
            const PhotoEntry photo = state.photos[state.order.last()];
            QCOMPARE(photo.filename, kept);
            QCOMPARE(photo.uploaderId, uploaderId);
            QCOMPARE(photo.sizeBytes, qint64(jpeg.size()));
        }
        GalleryState state = api.gallery();
        QCOMPARE(state.uploaders, (QHash<QString, QString>{{mia, "Mia"}, {kelvo, defaultUploaderDisplayName}}));
        // The first photo of a gallery, current (see refusedRequests), was
        // chosen by nobody.
        QVERIFY(!state.currentPhotoUpdatedBy);

        QCOMPARE(api.rename(" Mia ", " Mia Lunvik ").state()->uploaders.value(mia), u"Mia Lunvik"_s);
        // Found again by its new name, though its id came from the old one.
        state = *api.rename("Mia Lunvik", "Mia L.").state();
        QCOMPARE(state.uploaders.value(mia), u"Mia L."_s);
        QCOMPARE(state.uploaders.value(kelvo), defaultUploaderDisplayName);
    }

    void imageFiles()
    {
        Api api = startServer();
        const QByteArray original = jpegOf(QSize(1100, 800), Qt::darkCyan, true);
        const QString id = api.upload(uploadForm("Mia", "a.jpg", original)).state()->order[0];
        const auto image = [&](const QString &photo, int width) {
            const QString query = width ? u"?w=%1"_s.arg(width) : QString();
            return api.send("GET", u"/api/gallery/photos/%1/image%2"_s.arg(photo, query));
        };
        QCOMPARE(image(id, 0).header("Content-Type"), u"image/jpeg"_s);
        QCOMPARE(image(id, 0).body, original);
        // Copies come in a few widths, the narrowest that is not narrower
        // than asked; the client's widths (multiples of 256 up to 1024) are
        // served as asked. Each copy is made once.
        for (const auto &[asked, served] : {std::pair(1, 256), std::pair(256, 256), std::pair(257, 512),
                                            std::pair(768, 768), std::pair(1000, 1024)}) {
            const Reply reply = image(id, asked);
            QCOMPARE(QImage::fromData(reply.body, "jpeg").size(), QSize(served, qRound(800.0 * served / 1100)));
            QCOMPARE(image(id, served).body, reply.body);
        }
        // Never enlarged; huge widths are capped.
        QCOMPARE(image(id, 1025).body, original);
        QCOMPARE(image(id, 99999).body, original);
        // However many widths are asked for.
        for (int width = 2; width < 1100; width += 9)
            QCOMPARE(image(id, width).status, 200);
        QCOMPARE(filesIn(data("scaled")).size(), 4);

        // A deleted photo takes its file and its scaled copies along.
        const QString other = api.addPhoto();
        QCOMPARE(api.setCurrent(other).status, 200);
        QCOMPARE(api.remove(id).status, 200);
        QCOMPARE(filesIn(data("photos")), QStringList{other + u".jpg"_s});
        QVERIFY(filesIn(data("scaled")).isEmpty());

        // A photo that its orientation tag turns is scaled upright.
        const QByteArray turned = turnedQuarter(jpegOf(QSize(400, 300)));
        const QString upright = api.upload(uploadForm("Mia", "t.jpg", turned)).state()->order.last();
        QCOMPARE(QImage::fromData(image(upright, 256).body, "jpeg").size(), QSize(256, 341));
    }

    void frames()
    {
        Api api = startServer();
        const auto add = [&](const QString &setupText, const QString &displayName) {
            const QJsonObject body{{"registeredBy", " Jonas "}, {"setupText", setupText}, {"displayName", displayName}};
            return api.send("POST", "/api/devices", json(body));
        };
        const QString token = QString::fromLatin1(frameToken);
        const QString kitchen = add(token, u"Kitchen"_s).text("device", "id");
        // The same frame registered again stays one frame.
        Reply reply = add(token, u" Kitchen frame "_s);
        QCOMPARE(reply.text("device", "id"), kitchen);
        QCOMPARE(reply.text("device", "displayName"), u"Kitchen frame"_s);
        QCOMPARE(reply.text("device", "registeredBy"), u"Jonas"_s);
        reply = add(u"0a1b2c3d.ffffffffffffffffffffffffffffffff"_s, u"  "_s);
        const QString hall = reply.text("device", "id");
        QCOMPARE(reply.text("device", "displayName"), u"Photo frame"_s);

        // The frames' tokens never leave the server.
        const Reply list = api.send("GET", "/api/devices");
        QCOMPARE(DeviceListResponse::fromJson(list.json())->devices.size(), 2);
        QVERIFY(!list.body.contains(frameToken));
        QVERIFY(!api.send("GET", "/api/devices/status").body.contains(frameToken));
        QVERIFY(ownerOnly(data("devices.json")));

        // The simulation, and its refusals.
        const auto simulate = [&](const QString &id, const QByteArray &json) {
            return api.send("PUT", "/api/dev/devices/" + id, json);
        };
        QCOMPARE(simulate(hall, R"({"reachable": false})").status, 200);
        for (const char *bad : {R"({"width": "wide"})", R"({"width": 0})", R"({"orientation": "X"})",
                                R"({"colour": 1})", R"({"reachable": "yes"})"})
            QCOMPARE(simulate(kitchen, bad).status, 400);
        QCOMPARE(simulate(u"nope"_s, "{}").status, 404);
        QVERIFY(!api.frameStatus(hall).contains(QLatin1StringView("width")));

        // Setting the current photo, or the rotation, pushes to every frame.
        api.addPhoto();
        QCOMPARE(api.setCurrent(api.addPhoto()).status, 200);
        const QString setAt = api.send("GET", "/api/gallery/current").text("updatedAt");
        QCOMPARE(api.frameStatus(kitchen).value("lastPushAt").toString(), setAt);
        QVERIFY(!api.frameStatus(kitchen).contains(QLatin1StringView("lastPushError")));
        QCOMPARE(api.frameStatus(hall).value("lastPushError").toString(), u"Frame not reachable"_s);
        QVERIFY(!api.frameStatus(hall).contains(QLatin1StringView("lastPushAt")));
        const QString rotatedAt = api.send("POST", "/api/dev/rotate").state()->updatedAt;
        QCOMPARE(api.frameStatus(kitchen).value("lastPushAt").toString(), rotatedAt);
    }

    void rotation()
    {
        Api api = startServer();
        const auto rotate = [&] { return *api.send("POST", "/api/dev/rotate").state(); };
        QCOMPARE(rotate(), GalleryState::empty()); // nothing to rotate

        const QString a = api.addPhoto();
        GalleryState state = rotate();
        QCOMPARE(state.currentPhotoId, a);
        QCOMPARE(rotate(), state); // the one photo, already shown by the rotation

        const QString b = api.addPhoto();
        const QString c = api.addPhoto();
        QCOMPARE(api.setCurrent(c).status, 200);
        const QString before = api.gallery().updatedAt;
        state = rotate();
        QCOMPARE(state.currentPhotoId, a); // wraps around
        QCOMPARE(state.currentPhotoUpdatedBy, CurrentPhotoUpdatedBy::cron);
        QVERIFY(state.updatedAt > before);

        // Daily at 11:00 UTC (every N seconds with --advance-interval: see
        // programRestart), here by a clock that gets there a moment after
        // the start.
        const QDateTime eleven(QDate(2026, 3, 2), QTime(11, 0), QTimeZone::utc());
        const qint64 offset = QDateTime::currentMSecsSinceEpoch() - eleven.addMSecs(-500).toMSecsSinceEpoch();
        GalleryServer::Options clocked = options();
        clocked.clock = [offset] {
            return QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch() - offset, QTimeZone::utc());
        };
        api = startServer(clocked);
        QTRY_COMPARE_WITH_TIMEOUT(api.current(), b, 5000);
        QVERIFY(QDateTime::fromString(api.gallery().updatedAt, Qt::ISODateWithMs) >= eleven);
    }

    void failedWriteKeepsState()
    {
        Api api = startServer();
        api.addPhoto();
        const QString b = api.addPhoto();
        const GalleryState before = api.gallery();
        // A folder where the manifest should be fails every save, even for root.
        QVERIFY(QFile::remove(data("gallery.json")));
        QVERIFY(QDir().mkdir(data("gallery.json")));

        for (const Reply &reply : {api.upload(uploadForm("Jonas", "new.jpg", jpegOf(QSize(8, 8)))),
                                   api.rename("Mia", "Mia L."), api.remove(b), api.setCurrent(b),
                                   api.send("POST", "/api/dev/rotate")}) {
            QCOMPARE(reply.status, 500);
            QVERIFY(!reply.error().isEmpty());
        }
        QCOMPARE(api.gallery(), before);
        QCOMPARE(filesIn(data("photos")).size(), 2);

        QVERIFY(QDir().rmdir(data("gallery.json")));
        QCOMPARE(api.setCurrent(b).status, 200);
    }

    void demoGallery()
    {
        GalleryServer::Options demo = options();
        demo.demo = true;
        Api api = startServer(demo);
        const GalleryState state = api.gallery();
        QCOMPARE(state.activePhotos().size(), 12);
        QVERIFY(state.currentPhoto());
        QCOMPARE(state.uploaders.size(), 3);
        QSet<int> shapes; // panorama, landscape, portrait, square
        for (const PhotoEntry &photo : state.activePhotos()) {
            const QSize size = QImageReader(data(photo.blobPath)).size();
            const double ratio = double(size.width()) / size.height();
            shapes.insert(ratio >= 2.5 ? 0 : ratio > 1.05 ? 1 : ratio < 0.95 ? 2 : 3);
        }
        QCOMPARE(shapes.size(), 4);
        const auto frames = DeviceStatusResponse::fromJson(api.send("GET", "/api/devices/status").json());
        QCOMPARE(frames->devices.size(), 1);
        QCOMPARE(frames->devices[0].displayName, u"Living room"_s);

        // Only a folder without a gallery is seeded.
        api = startServer(demo);
        QCOMPARE(api.gallery(), state);
    }

    // The app's server client and this server agree on the wire. Wrong
    // passwords, a session accepted at start-up, frames, renaming, deleting,
    // reordering and downloading go through this same client in tst_cli.
    void serverClient()
    {
        startServer();
        AppSettings settings;
        settings.serverBaseURL = u"http://127.0.0.1:%1"_s.arg(m_server->port());
        using Outcome = AuthVerifier::CreateSessionOutcome;
        const Outcome created = TaskWait::run(AuthVerifier::createSession(familyPassword + "\n", settings));
        settings.syncSessionToken = created.token;
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settings, u"not-a-token"_s)), AuthVerifyOutcome::unauthorized);

        const SyncClient client(settings);
        const auto stateAfter = [](QCoro::Task<GalleryResponse> change) {
            return TaskWait::run(std::move(change)).state;
        };
        // A name that would break a naive multipart header arrives in one
        // piece (the server drops control characters from names it keeps).
        const QString awkward = u"sun \"rise\"\r\nover.jpg"_s;
        const QString empty = TaskWait::run(client.fetchGallery()).modified->state.updatedAt;
        const GalleryState first = stateAfter(client.uploadPhoto(jpegOf(QSize(640, 480)), awkward, u"Åsa"_s, empty));
        QCOMPARE(first.activePhotos().size(), 1);
        const PhotoEntry sunrise = first.activePhotos().first();
        QCOMPARE(sunrise.filename, u"sun \"rise\"over.jpg"_s);
        const GalleryState two
            = stateAfter(client.uploadPhoto(jpegOf(QSize(300, 500)), u"tall.jpg"_s, u"Kelvo"_s, first.updatedAt));
        const QString tall = two.order.last();

        // The version gates every change and answers.
        QVERIFY(TaskWait::run(client.fetchGallery(two.updatedAt)).isNotModified());
        const auto stale = syncErrorOf(client.reorder({tall, sunrise.id}, first.updatedAt));
        QCOMPARE(stale.value().kind(), SyncError::Kind::stale);
        QCOMPARE(stale->staleResponse().state, two);
        const GalleryState chosen = stateAfter(client.setCurrentPhoto(tall, two.updatedAt));
        QCOMPARE(TaskWait::run(client.fetchCurrentPhoto()),
                 (CurrentPhotoResponse{chosen.updatedAt, tall, CurrentPhotoUpdatedBy::manual, chosen.updatedAt}));

        // Into the cache, the photo as it is and the thumbnail at a multiple of
        // 256 like every width the client asks for (served as asked).
        TaskWait::run(client.downloadMissing(chosen));
        QCOMPARE(QImageReader(AppConfig::cacheURL(tall)).size(), QSize(300, 500));
        TaskWait::run(client.cacheThumbnailIfMissing(chosen.photos.value(tall), 256));
        QCOMPARE(QImageReader(AppConfig::thumbnailCacheURL(tall, 256)).size(), QSize(256, 427));
        const PhotoEntry gone{u"no-such-photo"_s, {}, {}, 0, {}, std::nullopt, {}, std::nullopt};
        QCOMPARE(syncErrorOf(client.cachePhotoIfMissing(gone)).value().failure().statusCode, 404);

        m_server.reset();
        QVERIFY(!TaskWait::run(Reachability::pingServer(settings.serverBaseURL)));
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settings)), AuthVerifyOutcome::unreachable);
        QCOMPARE(TaskWait::run(AuthVerifier::createSession(familyPassword, settings)).kind, Outcome::Kind::unreachable);
        QVERIFY(syncErrorOf<TransportError>(client.fetchGallery()));
    }

    // The flag's password wins over the environment's. Sessions and the
    // gallery outlive a restart, the sessions not stored as they are.
    void programRestart()
    {
        qputenv("LUNVIK_FAMILY_PASSWORD", "from-environment");
        DevServerProcess flagged(u"from-flag"_s);
        QVERIFY2(flagged.start(), qPrintable(flagged.errorText()));
        Api api(quint16(flagged.baseURL().port()));
        QVERIFY(api.signIn(u"from-environment"_s).isEmpty());
        const QString token = api.signIn(u"from-flag"_s);
        const QString first = api.addPhoto();
        const QString second = api.addPhoto();
        // The request log shows a path holding "%1" as it came, and its
        // controls, C1 codes and bidirectional overrides written out: they
        // neither start fake lines nor reach the terminal.
        api.send("GET", "/api/%251%0Aforged%0D%09%1B[2J%7F%C2%9B%E2%80%AE%E2%81%A6%5Cx1b");
        const QString logged = u"GET /api/%1\\nforged\\r\\t\\x1b[2J\\x7f\\u009b\\u202e\\u2066\\\\x1b -> 404"_s;
        QTRY_VERIFY2(flagged.serverLog().contains(logged), qPrintable(flagged.serverLog()));
        QVERIFY2(flagged.stop(), qPrintable(flagged.errorText()));

        QFile sessions(flagged.dataFolder() + u"/sessions.json"_s);
        QVERIFY(ownerOnly(sessions.fileName()));
        QVERIFY(sessions.open(QIODevice::ReadOnly));
        QVERIFY(!sessions.readAll().contains(token.toUtf8()));

        // Again, rotating every second.
        QVERIFY2(flagged.start({u"--advance-interval"_s, u"1"_s}), qPrintable(flagged.errorText()));
        Api again(quint16(flagged.baseURL().port()));
        again.token = token;
        QCOMPARE(again.send("GET", "/api/auth/verify").status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(again.current(), second, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(again.current(), first, 5000);
        QVERIFY2(flagged.stop(), qPrintable(flagged.errorText()));

        DevServerProcess environment(QString{});
        QVERIFY2(environment.start(), qPrintable(environment.errorText()));
        Api guesser(quint16(environment.baseURL().port()));
        QVERIFY(!guesser.signIn(u"from-environment"_s).isEmpty());
        // Password guessing is refused, and the log says so.
        for (int i = 0; i < 10; ++i)
            QCOMPARE(guesser.send("POST", "/api/auth/session", {}, u"guess"_s).status, 401);
        QCOMPARE(guesser.send("POST", "/api/auth/session", {}, u"from-environment"_s).status, 429);
        const QString blocked = u"10 wrong passwords from 127.0.0.1 within 60 s: its sign-ins are refused for 60 s"_s;
        QVERIFY2(environment.serverLog().contains(blocked), qPrintable(environment.serverLog()));
        QVERIFY2(environment.stop(), qPrintable(environment.errorText()));
        qunsetenv("LUNVIK_FAMILY_PASSWORD");
    }

    void programRefusesToStart_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("file"); // "name=content" written into the data folder first
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");

        const QStringList folder{u"--port"_s, u"0"_s, u"--data"_s, u"$data"_s};
        const QStringList ready = folder + QStringList{u"--password"_s, u"pw"_s};
        QTest::newRow("no password") << folder << QByteArray() << 2 << "LUNVIK_FAMILY_PASSWORD";
        QTest::newRow("bad interval") << ready + QStringList{u"--advance-interval"_s, u"0"_s} << QByteArray() << 2
                                      << "--advance-interval";
        QTest::newRow("manifest of the wrong shape")
            << ready << QByteArray(R"(gallery.json={"updatedAt":"x","order":{},"photos":{}})") << 1 << "gallery.json";
        QTest::newRow("corrupt sessions") << ready << QByteArray("sessions.json=[]") << 1 << "sessions.json";
        QTest::newRow("corrupt devices") << ready << QByteArray(R"(devices.json={"devices":[{"id":1}]})") << 1
                                         << "devices.json";
        QTest::newRow("corrupt update key") << ready << QByteArray("update-signing-key=not a key") << 1
                                            << "update-signing-key";
        QStringList inUse = ready;
        inUse[1] = u"$port"_s; // the port of another server that is running
        QTest::newRow("port in use") << inUse << QByteArray() << 1 << "address in use";
    }

    void programRefusesToStart()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, file);
        QFETCH(int, exitCode);
        QFETCH(QString, message);

        const QString fileName = data(QString::fromUtf8(file.left(file.indexOf('='))));
        const QByteArray content = file.mid(file.indexOf('=') + 1);
        QFile out(fileName);
        QVERIFY(file.isEmpty() || (out.open(QIODevice::WriteOnly) && out.write(content) == content.size()));
        out.close();
        DevServerProcess running;
        if (arguments.contains(u"$port"_s)) {
            QVERIFY2(running.start(), qPrintable(running.errorText()));
            arguments.replaceInStrings(u"$port"_s, QString::number(running.baseURL().port()));
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"LUNVIK_FAMILY_PASSWORD"_s);
        process.setProcessEnvironment(environment);
        process.start(DevServerProcess::binaryPath(), arguments.replaceInStrings(u"$data"_s, data()));
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitCode(), exitCode);
        QVERIFY(process.readAllStandardOutput().isEmpty());
        const QString error = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(error.contains(message), qPrintable(error));
        // A family's files are never replaced by an empty start.
        QVERIFY(file.isEmpty() || (out.open(QIODevice::ReadOnly) && out.readAll() == content));
    }
};

LUNVIK_TEST_MAIN(TestDevServer)
#include "tst_devserver.moc"
