// The development gallery server over HTTP: sign-in, the manifest and its
// changes with their conflicts and rules, images, frames and their
// simulation, the rotation, bad input, failed writes, and the program
// itself (command line, restart, SIGTERM). Most cases run the server
// in-process on a free port; those about the program run the binary.
#include "support/devserverprocess.h"
#include "support/testenvironment.h"

#include "galleryserver.h"
#include "photoimages.h"

#include "model/jsonfields.h"

#include <httplib.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
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

namespace {

const QString familyPassword = QStringLiteral("family-secret");
const QByteArray frameToken = "0a1b2c3d.00112233445566778899aabbccddeeff";
const QByteArray boundary = "lunvik-test-boundary";

QByteArray jpegOf(QSize size, QColor colour = Qt::darkCyan)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return PhotoImages::encodeJpeg(image, 90);
}

QString isoAt(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toUTC().toString(Qt::ISODateWithMs);
}

// A multipart form: {name, content, filename}; a part with a file name is an image.
QByteArray multipartBody(const QList<std::array<QByteArray, 3>> &parts)
{
    QByteArray body;
    for (const auto &[name, content, filename] : parts) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + '"';
        if (!filename.isEmpty())
            body += "; filename=\"" + filename + "\"\r\nContent-Type: image/jpeg";
        body += "\r\n\r\n" + content + "\r\n";
    }
    return body + "--" + boundary + "--\r\n";
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool ownerOnly(const QString &path)
{
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    const QFileDevice::Permissions permissions = QFileInfo(path).permissions();
    return permissions.testFlag(QFileDevice::ReadOwner) && !(permissions & others);
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
    explicit Api(const QUrl &url)
        : Api(quint16(url.port()))
    {
    }

    QString token;

    // "$base" in the body stands for the manifest's current version. Sends
    // `credential` instead of the token when given (empty: nothing).
    Reply send(const char *method, const QString &path, QByteArray body = {},
               const QByteArray &contentType = "application/json", std::optional<QString> credential = std::nullopt,
               httplib::Headers headers = {})
    {
        if (body.contains("$base"))
            body.replace("$base", gallery().updatedAt.toUtf8());
        const QString bearer = credential.value_or(token);
        if (!bearer.isEmpty())
            headers.emplace("Authorization", "Bearer " + bearer.toStdString());
        if (!body.isEmpty())
            headers.emplace("Content-Type", contentType.toStdString());
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
        token = send("POST", "/api/auth/session", {}, {}, password).text("sessionToken");
        return token;
    }
    GalleryState gallery() { return send("GET", "/api/gallery").state().value_or(GalleryState{}); }
    QString current() { return send("GET", "/api/gallery/current").text("currentPhotoId"); }
    Reply upload(const QByteArray &uploadedBy, const QByteArray &filename, const QByteArray &jpeg,
                 const QByteArray &base = "$base", const QByteArray &partFilename = "upload.jpg")
    {
        return send("POST", "/api/gallery/photos",
                    multipartBody({{"uploadedBy", uploadedBy, {}},
                                   {"baseUpdatedAt", base, {}},
                                   {"filename", filename, {}},
                                   {"image", jpeg, partFilename}}),
                    "multipart/form-data; boundary=" + boundary);
    }
    // Uploads a small photo and answers its id.
    QString addPhoto(const QByteArray &uploadedBy = "Mia")
    {
        const auto state = upload(uploadedBy, "photo.jpg", jpegOf(QSize(40, 30))).state();
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
        m_port = m_server.bind(QStringLiteral("127.0.0.1"), 0);
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

} // namespace

class TestDevServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<LiveServer> m_server;

    QString data(const QString &name = {}) const { return m_folder->path() + QLatin1Char('/') + name; }
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
    }

    void cleanup()
    {
        m_server.reset();
        m_folder.reset();
    }

    void authentication_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("credential"); // "token", "password", "none" or a literal
        QTest::addColumn<int>("status");

        QTest::newRow("sign in") << QByteArray("POST") << "/api/auth/session"
                                 << "password" << 200;
        QTest::newRow("wrong password") << QByteArray("POST") << "/api/auth/session"
                                        << "family-secreT" << 401;
        QTest::newRow("password prefix") << QByteArray("POST") << "/api/auth/session"
                                         << "family" << 401;
        QTest::newRow("no password") << QByteArray("POST") << "/api/auth/session"
                                     << "none" << 401;
        QTest::newRow("token is no password") << QByteArray("POST") << "/api/auth/session"
                                              << "token" << 401;
        QTest::newRow("verify") << QByteArray("GET") << "/api/auth/verify"
                                << "token" << 200;
        QTest::newRow("unknown token") << QByteArray("GET") << "/api/auth/verify"
                                       << "bm90LWEtdG9rZW4" << 401;
        QTest::newRow("password is no token") << QByteArray("GET") << "/api/auth/verify"
                                              << "password" << 401;
        QTest::newRow("health") << QByteArray("GET") << "/api/health"
                                << "none" << 200;
        QTest::newRow("gallery") << QByteArray("GET") << "/api/gallery"
                                 << "none" << 401;
        QTest::newRow("rotate") << QByteArray("POST") << "/api/dev/rotate"
                                << "password" << 401;
    }

    void authentication()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, credential);
        QFETCH(int, status);

        Api api = startServer();
        QVERIFY(!api.token.isEmpty());
        const QHash<QString, QString> named{{QStringLiteral("token"), api.token},
                                            {QStringLiteral("password"), familyPassword},
                                            {QStringLiteral("none"), QString()}};
        const Reply reply = api.send(method.constData(), path, {}, {}, named.value(credential, credential));
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.header("Content-Type"), QStringLiteral("application/json"));
        if (status == 401)
            QVERIFY(!reply.error().isEmpty());
        else
            QCOMPARE(reply.json().value("ok"), QJsonValue(true));
        if (path.endsWith(QLatin1StringView("session")) && status == 200) {
            QVERIFY(reply.text("sessionToken").size() >= 22); // 128 bits at least
            QVERIFY(reply.text("sessionToken") != api.token);
        }
    }

    // Qt sends a body-less POST without Content-Length; it has no body all the same.
    void postWithoutContentLength()
    {
        startServer();
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("POST /api/auth/session HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                     + familyPassword.toUtf8() + "\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(5000))
            answer += socket.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 200") && answer.contains("sessionToken"), answer.constData());
    }

    void conditionalGallery()
    {
        Api api = startServer();
        api.addPhoto();
        const Reply first = api.send("GET", "/api/gallery");
        const QString version = first.state()->updatedAt;
        QCOMPARE(first.header("ETag"), QStringLiteral("\"%1\"").arg(version));
        for (const QString &tag : {first.header("ETag"), QStringLiteral("W/\"%1\"").arg(version),
                                   QStringLiteral("\"other\", \"%1\"").arg(version)}) {
            const Reply same
                = api.send("GET", "/api/gallery", {}, {}, std::nullopt, {{"If-None-Match", tag.toStdString()}});
            QCOMPARE(same.status, 304);
            QVERIFY(same.body.isEmpty());
        }
        api.addPhoto();
        const Reply changed = api.send("GET", "/api/gallery", {}, {}, std::nullopt,
                                       {{"If-None-Match", first.header("ETag").toStdString()}});
        QCOMPARE(changed.status, 200);
        QCOMPARE(changed.state()->order.size(), 2);
    }

    void staleChangesConflict_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body"); // $a and $b stand for the photos; empty: an upload

        QTest::newRow("upload") << QByteArray("POST") << "/api/gallery/photos" << QByteArray();
        QTest::newRow("delete") << QByteArray("DELETE") << "/api/gallery/photos/$b" << QByteArray("{}");
        QTest::newRow("reorder") << QByteArray("PUT") << "/api/gallery/order" << QByteArray(R"({"order":["$b","$a"]})");
        QTest::newRow("rename") << QByteArray("PATCH") << "/api/gallery/uploaders"
                                << QByteArray(R"({"fromName":"Mia","toName":"Mia L."})");
        QTest::newRow("set current") << QByteArray("PUT") << "/api/gallery/current"
                                     << QByteArray(R"({"photoId":"$b"})");
    }

    void staleChangesConflict()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);

        Api api = startServer();
        const QString a = api.addPhoto();
        const QString b = api.addPhoto();
        const GalleryState before = api.gallery();
        const QByteArray stale = "2001-01-01T00:00:00.000Z";

        Reply reply;
        if (body.isEmpty()) {
            reply = api.upload("Mia", "late.jpg", jpegOf(QSize(8, 8)), stale);
        } else {
            QJsonObject object = *parseJsonObject(body);
            object.insert("baseUpdatedAt", QString::fromLatin1(stale));
            const QByteArray text = json(object).replace("$a", a.toUtf8()).replace("$b", b.toUtf8());
            reply = api.send(method.constData(), path.replace(QLatin1StringView("$b"), b), text);
        }
        QCOMPARE(reply.status, 409);
        QCOMPARE(reply.error(), QStringLiteral("Gallery changed on server"));
        QCOMPARE(GalleryState::fromJson(reply.json().value("state")), before);
        QCOMPARE(api.gallery(), before);
        QCOMPARE(filesIn(data("photos")).size(), 2);
    }

    void versionsIncreaseOnlyWithChanges()
    {
        // A clock that stands still and then goes back: versions still rise.
        const qint64 t0
            = QDateTime::fromString(QStringLiteral("2026-03-01T07:05:09.250Z"), Qt::ISODateWithMs).toMSecsSinceEpoch();
        auto now = std::make_shared<std::atomic<qint64>>(t0);
        GalleryServer::Options clocked = options();
        clocked.clock = [now] { return QDateTime::fromMSecsSinceEpoch(now->load(), QTimeZone::utc()); };
        Api api = startServer(clocked);

        const QString a = api.addPhoto();
        QCOMPARE(api.gallery().updatedAt, QStringLiteral("2026-03-01T07:05:09.250Z"));
        const QString b = api.addPhoto("Jonas");
        QCOMPARE(api.gallery().updatedAt, isoAt(t0 + 1));
        now->store(t0 - 3600 * 1000);
        const GalleryState changed = *api.setCurrent(b).state();
        QCOMPARE(changed.updatedAt, isoAt(t0 + 2));
        QCOMPARE(changed.photos[b].updatedAt, isoAt(t0 + 1));

        const Reply current = api.send("GET", "/api/gallery/current");
        QCOMPARE(current.text("galleryVersion"), changed.updatedAt);
        QCOMPARE(current.text("updatedAt"), changed.updatedAt);
        QCOMPARE(current.text("currentPhotoId"), b);
        QCOMPARE(current.text("currentPhotoUpdatedBy"), QStringLiteral("manual"));

        // Changes that change nothing answer the manifest as it is.
        for (const Reply &reply :
             {api.send("PUT", "/api/gallery/order", json({{"baseUpdatedAt", "$base"}, {"order", QJsonArray{a, b}}})),
              api.rename("Nobody", "Somebody"), api.rename("Mia", " Mia "), api.setCurrent(b)}) {
            QCOMPARE(reply.status, 200);
            QCOMPARE(*reply.state(), changed);
        }

        now->store(t0 + 3600 * 1000);
        QCOMPARE(api.rename("Mia", "Mia L.").state()->updatedAt, isoAt(t0 + 3600 * 1000));
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
                    uploaded += worker.upload("Mia", "x.jpg", jpegOf(QSize(8, 8))).status == 200;
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

    void uploadAttributionAndRename()
    {
        Api api = startServer();
        const QByteArray jpeg = jpegOf(QSize(30, 20));
        GalleryState state = *api.upload("  Mia  ", "../../holiday/beach.jpg", jpeg).state();
        const QString first = state.order.value(0);
        const PhotoEntry photo = state.photos[first];
        const QString mia = GalleryState::uploaderId(QStringLiteral("Mia"));
        QCOMPARE(photo.filename, QStringLiteral("beach.jpg"));
        QCOMPARE(photo.uploaderId, mia);
        QCOMPARE(photo.sizeBytes, qint64(jpeg.size()));
        QCOMPARE(photo.updatedAt, state.updatedAt);
        QVERIFY(QFile::exists(data(photo.blobPath)));
        QCOMPARE(state.uploaders.value(mia), QStringLiteral("Mia"));
        // The first photo of a gallery becomes current, chosen by nobody.
        QCOMPARE(state.currentPhotoId, first);
        QVERIFY(!state.currentPhotoUpdatedBy);

        // Without a name: the default uploader, and the file name of the part.
        const QString kelvo = GalleryState::uploaderId(QString());
        state = *api.upload("  ", "", jpeg, "$base", "C:\\Pictures\\cat.jpg").state();
        QCOMPARE(state.photos[state.order.last()].filename, QStringLiteral("cat.jpg"));
        QCOMPARE(state.photos[state.order.last()].uploaderId, kelvo);
        QCOMPARE(state.uploaders.value(kelvo), defaultUploaderDisplayName);
        state = *api.upload("Mia", "..", jpeg, "$base", "/").state();
        QCOMPARE(state.photos[state.order.last()].filename, QStringLiteral("photo.jpg"));
        QCOMPARE(state.currentPhotoId, first);
        QCOMPARE(state.uploaders.size(), 2);

        QCOMPARE(api.rename("Mia", "   ").status, 400);
        QCOMPARE(api.rename(" Mia ", " Mia Lunvik ").state()->uploaders.value(mia), QStringLiteral("Mia Lunvik"));
        // Found again by its new name, though its id came from the old one.
        state = *api.rename("Mia Lunvik", "Mia L.").state();
        QCOMPARE(state.uploaders.value(mia), QStringLiteral("Mia L."));
        QCOMPARE(state.uploaders.value(kelvo), defaultUploaderDisplayName);
    }

    void deleteRules()
    {
        Api api = startServer();
        const QString a = api.addPhoto();
        const QString b = api.addPhoto();
        QCOMPARE(api.send("GET", QStringLiteral("/api/gallery/photos/%1/image?w=10").arg(b)).status, 200);
        QCOMPARE(filesIn(data("scaled")).size(), 1);

        Reply reply = api.remove(a);
        QCOMPARE(reply.status, 400);
        QCOMPARE(reply.error(), userText(GalleryDeleteBlockReason::includesCurrentPhoto));

        reply = api.remove(b);
        QCOMPARE(reply.status, 200);
        const GalleryState state = *reply.state();
        QCOMPARE(state.order, QList<QString>{a});
        QCOMPARE(state.photos[b].deletedAt, state.updatedAt);
        QCOMPARE(filesIn(data("photos")), QStringList{a + QStringLiteral(".jpg")});
        QVERIFY(filesIn(data("scaled")).isEmpty());
        QCOMPARE(api.remove(b).status, 404);
        QCOMPARE(api.remove(QStringLiteral("nope")).status, 404);
        QCOMPARE(api.send("GET", QStringLiteral("/api/gallery/photos/%1/image").arg(b)).status, 404);

        // A gallery read from disk without a current photo: its last photo stays.
        m_server.reset();
        GalleryState solo = state;
        solo.currentPhotoId.reset();
        QFile manifest(data("gallery.json"));
        QVERIFY(manifest.open(QIODevice::WriteOnly | QIODevice::Truncate));
        manifest.write(solo.toJsonBytes());
        manifest.close();
        api = startServer();
        reply = api.remove(a);
        QCOMPARE(reply.status, 400);
        QCOMPARE(reply.error(), userText(GalleryDeleteBlockReason::wouldRemoveAllPhotos));
    }

    void reorderValidation_data()
    {
        QTest::addColumn<QByteArray>("order"); // JSON; $a, $b, $c stand for the photos, $d is deleted
        QTest::addColumn<int>("status");

        QTest::newRow("permutation") << QByteArray(R"(["$c","$a","$b"])") << 200;
        QTest::newRow("duplicate") << QByteArray(R"(["$a","$b","$b"])") << 400;
        QTest::newRow("missing one") << QByteArray(R"(["$a","$b"])") << 400;
        QTest::newRow("unknown") << QByteArray(R"(["$a","$b","$c","zz"])") << 400;
        QTest::newRow("deleted") << QByteArray(R"(["$a","$b","$c","$d"])") << 400;
        QTest::newRow("not a list") << QByteArray("\"$a\"") << 400;
        QTest::newRow("numbers") << QByteArray("[1,2,3]") << 400;
    }

    void reorderValidation()
    {
        QFETCH(QByteArray, order);
        QFETCH(int, status);

        Api api = startServer();
        QStringList ids;
        for (int i = 0; i < 4; ++i)
            ids << api.addPhoto();
        QCOMPARE(api.remove(ids[3]).status, 200);
        const GalleryState before = api.gallery();
        for (int i = 0; i < 4; ++i)
            order.replace("$" + QByteArray(1, char('a' + i)), ids[i].toUtf8());
        const Reply reply = api.send("PUT", "/api/gallery/order", R"({"baseUpdatedAt":"$base","order":)" + order + "}");
        QCOMPARE(reply.status, status);
        if (status == 200) {
            QCOMPARE(api.gallery().order, (QList<QString>{ids[2], ids[0], ids[1]}));
        } else {
            QVERIFY(!reply.error().isEmpty());
            QCOMPARE(api.gallery(), before);
        }
    }

    void imageScaling()
    {
        Api api = startServer();
        const QByteArray original = jpegOf(QSize(400, 300));
        const QString id = api.upload("Mia", "a.jpg", original).state()->order[0];
        const auto image = [&](const QString &query) {
            return api.send("GET", QStringLiteral("/api/gallery/photos/%1/image%2").arg(id, query));
        };

        Reply reply = image({});
        QCOMPARE(reply.header("Content-Type"), QStringLiteral("image/jpeg"));
        QCOMPARE(reply.body, original);
        reply = image(QStringLiteral("?w=100"));
        QCOMPARE(reply.header("Content-Type"), QStringLiteral("image/jpeg"));
        QCOMPARE(QImage::fromData(reply.body, "jpeg").size(), QSize(100, 75));
        // Made once: later requests are answered from the kept copy.
        QFile kept(data(QStringLiteral("scaled/%1_w100.jpg").arg(id)));
        QVERIFY(kept.open(QIODevice::ReadWrite));
        QCOMPARE(kept.readAll(), reply.body);
        const QByteArray marker = jpegOf(QSize(100, 7), Qt::red);
        kept.resize(0);
        kept.write(marker);
        kept.close();
        QCOMPARE(image(QStringLiteral("?w=100")).body, marker);

        // Never enlarged; huge widths are capped.
        for (const QString &wide : {QStringLiteral("?w=400"), QStringLiteral("?w=1000"), QStringLiteral("?w=99999")})
            QCOMPARE(image(wide).body, original);
        QCOMPARE(filesIn(data("scaled")).size(), 1);

        for (const QString &bad : {QStringLiteral("?w=0"), QStringLiteral("?w=-5"), QStringLiteral("?w=abc"),
                                   QStringLiteral("?w="), QStringLiteral("?w=1.5"), QStringLiteral("?w=12345678901")}) {
            reply = image(bad);
            QCOMPARE(reply.status, 400);
            QVERIFY2(!reply.error().isEmpty(), qPrintable(bad));
        }
        for (const char *path : {"/api/gallery/photos/unknown/image", "/api/gallery/photos/..%2Fgallery.json/image",
                                 "/api/gallery/photos/%2E%2E/image?w=5"}) {
            reply = api.send("GET", QString::fromLatin1(path));
            QCOMPARE(reply.status, 404);
            QCOMPARE(reply.header("Content-Type"), QStringLiteral("application/json"));
        }
    }

    void frames()
    {
        Api api = startServer();
        const auto add = [&](const QString &setupText, std::optional<QString> displayName = std::nullopt) {
            QJsonObject body{{"registeredBy", " Jonas "}, {"setupText", setupText}};
            if (displayName)
                body.insert("displayName", *displayName);
            return api.send("POST", "/api/devices", json(body));
        };
        const QString token = QString::fromLatin1(frameToken);

        Reply reply = add("Device: Kitchen | BLOOMIN8\nToken: " + token + "\nInterval: 24h");
        QCOMPARE(reply.status, 200);
        const auto kitchen = DeviceRegisterResponse::fromJson(reply.json());
        QVERIFY(kitchen);
        QCOMPARE(kitchen->device.displayName, QStringLiteral("Kitchen"));
        QCOMPARE(kitchen->device.registeredBy, QStringLiteral("Jonas"));
        QVERIFY(QDateTime::fromString(kitchen->device.registeredAt, Qt::ISODateWithMs).isValid());
        // The same frame registered again stays one frame.
        reply = add(token, QStringLiteral(" Kitchen frame "));
        QCOMPARE(reply.text("device", "id"), kitchen->device.id);
        QCOMPARE(reply.text("device", "displayName"), QStringLiteral("Kitchen frame"));
        reply = add(QStringLiteral("0a1b2c3d.ffffffffffffffffffffffffffffffff"), QStringLiteral("  "));
        const QString hall = reply.text("device", "id");
        QCOMPARE(reply.text("device", "displayName"), QStringLiteral("Photo frame"));
        reply = add(QStringLiteral("Device: Attic\nhello"));
        QCOMPARE(reply.status, 400);
        QCOMPARE(reply.error(), QStringLiteral("No frame token found in the setup text"));

        const Reply list = api.send("GET", "/api/devices");
        QCOMPARE(DeviceListResponse::fromJson(list.json())->devices.size(), 2);
        QVERIFY(!list.body.contains(frameToken));
        QVERIFY(!api.send("GET", "/api/devices/status").body.contains(frameToken));
        QVERIFY(ownerOnly(data("devices.json")));

        const auto status = DeviceLiveStatus::fromJson(api.frameStatus(kitchen->device.id));
        QVERIFY(status && status->reachable);
        QCOMPARE(status->name, QStringLiteral("Kitchen"));
        QCOMPARE(status->width, qint64(1200));
        QCOMPARE(status->height, qint64(1600));
        QCOMPARE(status->orientation, QStringLiteral("P"));
        QCOMPARE(status->remoteImageOn, true);
        QVERIFY(status->remoteImageInterval && !status->lastPushAt);

        // The simulation, and its refusals.
        const auto simulate = [&](const QString &id, const QByteArray &json) {
            return api.send("PUT", "/api/dev/devices/" + id, json);
        };
        QCOMPARE(simulate(hall, R"({"reachable": false})").status, 200);
        QCOMPARE(simulate(kitchen->device.id, R"({"width": 1600, "height": 1200, "orientation": "L"})")
                     .text("device", "orientation"),
                 QStringLiteral("L"));
        for (const char *bad : {R"({"width": "wide"})", R"({"width": 0})", R"({"orientation": "X"})",
                                R"({"colour": 1})", R"({"reachable": "yes"})"})
            QCOMPARE(simulate(kitchen->device.id, bad).status, 400);
        QCOMPARE(simulate(QStringLiteral("nope"), "{}").status, 404);
        QCOMPARE(api.frameStatus(hall).value("reachable"), QJsonValue(false));
        QVERIFY(!api.frameStatus(hall).contains(QLatin1StringView("width")));

        // Setting the current photo pushes to every frame.
        api.addPhoto();
        QCOMPARE(api.setCurrent(api.addPhoto()).status, 200);
        const QString setAt = api.send("GET", "/api/gallery/current").text("updatedAt");
        QCOMPARE(api.frameStatus(kitchen->device.id).value("lastPushAt").toString(), setAt);
        QVERIFY(!api.frameStatus(kitchen->device.id).contains(QLatin1StringView("lastPushError")));
        QCOMPARE(api.frameStatus(hall).value("lastPushError").toString(), QStringLiteral("Frame not reachable"));
        QVERIFY(!api.frameStatus(hall).contains(QLatin1StringView("lastPushAt")));

        reply = api.send("DELETE", "/api/devices/" + hall);
        QCOMPARE(reply.status, 204);
        QVERIFY(reply.body.isEmpty());
        QCOMPARE(api.send("DELETE", "/api/devices/" + hall).status, 404);
        QCOMPARE(DeviceListResponse::fromJson(api.send("GET", "/api/devices").json())->devices.size(), 1);
    }

    void rotation()
    {
        Api api = startServer();
        const auto rotate = [&] { return *api.send("POST", "/api/dev/rotate").state(); };
        QCOMPARE(rotate(), GalleryState::empty()); // nothing to rotate

        const QString a = api.addPhoto();
        GalleryState state = rotate();
        QCOMPARE(state.currentPhotoId, a);
        QCOMPARE(state.currentPhotoUpdatedBy, CurrentPhotoUpdatedBy::cron);
        QCOMPARE(rotate(), state); // the one photo, already shown by the rotation

        const QString b = api.addPhoto();
        const QString c = api.addPhoto();
        const QString frame = api.send("POST", "/api/devices",
                                       json({{"registeredBy", "Mia"}, {"setupText", QString::fromLatin1(frameToken)}}))
                                  .text("device", "id");
        QCOMPARE(api.setCurrent(c).status, 200);
        const QString before = api.gallery().updatedAt;
        state = rotate();
        QCOMPARE(state.currentPhotoId, a); // wraps around
        QCOMPARE(state.currentPhotoUpdatedBy, CurrentPhotoUpdatedBy::cron);
        QVERIFY(state.updatedAt > before);
        QCOMPARE(api.frameStatus(frame).value("lastPushAt").toString(), state.updatedAt);
        QCOMPARE(rotate().currentPhotoId, b);
        const Reply current = api.send("GET", "/api/gallery/current");
        QCOMPARE(current.text("currentPhotoId"), b);
        QCOMPARE(current.text("currentPhotoUpdatedBy"), QStringLiteral("cron"));
        QCOMPARE(current.text("galleryVersion"), api.gallery().updatedAt);
    }

    void rotationRunsOnSchedule()
    {
        Api api = startServer();
        api.addPhoto();
        const QString b = api.addPhoto();

        // Daily at 11:00 UTC: a clock that gets there a moment after the start.
        const QDateTime eleven(QDate(2026, 3, 2), QTime(11, 0), QTimeZone::utc());
        const qint64 offset = QDateTime::currentMSecsSinceEpoch() - eleven.addMSecs(-500).toMSecsSinceEpoch();
        GalleryServer::Options clocked = options();
        clocked.clock = [offset] {
            return QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch() - offset, QTimeZone::utc());
        };
        api = startServer(clocked);
        QTRY_COMPARE_WITH_TIMEOUT(api.current(), b, 5000);
        QVERIFY(QDateTime::fromString(api.gallery().updatedAt, Qt::ISODateWithMs) >= eleven);

        // Every second with --advance-interval, in the real program.
        DevServerProcess process;
        QVERIFY2(process.start({QStringLiteral("--advance-interval"), QStringLiteral("1")}),
                 qPrintable(process.errorText()));
        Api remote(process.baseURL());
        remote.signIn(process.password());
        const QString first = remote.addPhoto();
        const QString second = remote.addPhoto();
        QTRY_COMPARE_WITH_TIMEOUT(remote.current(), second, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(remote.current(), first, 5000);
        QVERIFY2(process.stop(), qPrintable(process.errorText()));
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body"); // $base: the current version
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<int>("status");

        const QByteArray plain = "application/json";
        const QByteArray form = "multipart/form-data; boundary=" + boundary;
        const auto upload = [](const QByteArray &image, bool withVersion = true) {
            QList<std::array<QByteArray, 3>> parts{{"uploadedBy", "Mia", {}}, {"image", image, "a.jpg"}};
            if (withVersion)
                parts.append({"baseUpdatedAt", "$base", {}});
            return multipartBody(parts);
        };

        QTest::newRow("malformed JSON") << QByteArray("PUT") << "/api/gallery/order" << QByteArray("{\"order\": [")
                                        << plain << 400;
        QTest::newRow("empty body") << QByteArray("DELETE") << "/api/gallery/photos/x" << QByteArray() << plain << 400;
        QTest::newRow("version as number") << QByteArray("PUT") << "/api/gallery/current"
                                           << QByteArray(R"({"photoId":"x","baseUpdatedAt":5})") << plain << 400;
        QTest::newRow("missing id") << QByteArray("PUT") << "/api/gallery/current"
                                    << QByteArray(R"({"baseUpdatedAt":"$base"})") << plain << 400;
        QTest::newRow("unknown photo") << QByteArray("PUT") << "/api/gallery/current"
                                       << QByteArray(R"({"photoId":"x","baseUpdatedAt":"$base"})") << plain << 404;
        QTest::newRow("null name") << QByteArray("PATCH") << "/api/gallery/uploaders"
                                   << QByteArray(R"({"fromName":"Mia","toName":null,"baseUpdatedAt":"$base"})") << plain
                                   << 400;
        QTest::newRow("setup text as number") << QByteArray("POST") << "/api/devices"
                                              << QByteArray(R"({"setupText":5,"registeredBy":"Mia"})") << plain << 400;
        QTest::newRow("oversized JSON") << QByteArray("PUT") << "/api/gallery/order"
                                        << "{\"order\":[],\"pad\":\"" + QByteArray(100 * 1024, 'x') + "\"}" << plain
                                        << 413;
        QTest::newRow("upload as JSON") << QByteArray("POST") << "/api/gallery/photos"
                                        << QByteArray(R"({"uploadedBy":"Mia"})") << plain << 400;
        QTest::newRow("PNG upload") << QByteArray("POST") << "/api/gallery/photos"
                                    << upload(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(64, '\0')) << form << 400;
        QTest::newRow("upload without version")
            << QByteArray("POST") << "/api/gallery/photos" << upload(jpegOf(QSize(4, 4)), false) << form << 400;
        QTest::newRow("oversized upload") << QByteArray("POST") << "/api/gallery/photos"
                                          << upload("\xFF\xD8\xFF" + QByteArray(300 * 1024, 'x')) << form << 413;
        QTest::newRow("unknown path") << QByteArray("GET") << "/api/nowhere" << QByteArray() << plain << 404;
    }

    void badInput()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(int, status);

        GalleryServer::Options limited = options();
        limited.uploadLimitBytes = 256 * 1024;
        limited.jsonLimitBytes = 64 * 1024;
        Api api = startServer(limited);
        api.addPhoto();
        const GalleryState before = api.gallery();

        const Reply reply = api.send(method.constData(), path, body, contentType);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.header("Content-Type"), QStringLiteral("application/json"));
        QVERIFY2(!reply.error().isEmpty(), reply.body.left(200).constData());
        QCOMPARE(api.send("GET", "/api/health").status, 200);
        QCOMPARE(api.gallery(), before);
        QCOMPARE(filesIn(data("photos")).size(), 1);
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

        for (const Reply &reply : {api.upload("Jonas", "new.jpg", jpegOf(QSize(8, 8))), api.rename("Mia", "Mia L."),
                                   api.remove(b), api.setCurrent(b), api.send("POST", "/api/dev/rotate")}) {
            QCOMPARE(reply.status, 500);
            QVERIFY(!reply.error().isEmpty());
        }
        QCOMPARE(api.gallery(), before);
        QCOMPARE(filesIn(data("photos")).size(), 2);

        QVERIFY(QDir().rmdir(data("gallery.json")));
        QCOMPARE(api.setCurrent(b).status, 200);
        QCOMPARE(api.gallery().currentPhotoId, b);
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
        QSet<QString> shapes;
        for (const PhotoEntry &photo : state.activePhotos()) {
            QVERIFY(photo.sizeBytes < 400 * 1024);
            const QSize size = QImageReader(data(photo.blobPath)).size();
            const double ratio = double(size.width()) / size.height();
            shapes.insert(ratio >= 2.5   ? QStringLiteral("panorama")
                          : ratio > 1.05 ? QStringLiteral("landscape")
                          : ratio < 0.95 ? QStringLiteral("portrait")
                                         : QStringLiteral("square"));
        }
        QCOMPARE(shapes.size(), 4);
        const auto frames = DeviceStatusResponse::fromJson(api.send("GET", "/api/devices/status").json());
        QCOMPARE(frames->devices.size(), 1);
        QCOMPARE(frames->devices[0].displayName, QStringLiteral("Living room"));
        QVERIFY(frames->devices[0].lastPushAt);

        // Only a folder without a gallery is seeded.
        api = startServer(demo);
        QCOMPARE(api.gallery(), state);
    }

    void programSessionsSurviveRestart()
    {
        DevServerProcess process;
        QVERIFY2(process.start(), qPrintable(process.errorText()));
        const QString token = Api(process.baseURL()).signIn(process.password());
        QVERIFY(!token.isEmpty());
        QVERIFY2(process.stop(), qPrintable(process.errorText()));

        QFile sessions(process.dataFolder() + QStringLiteral("/sessions.json"));
        QVERIFY(ownerOnly(sessions.fileName()));
        QVERIFY(sessions.open(QIODevice::ReadOnly));
        QVERIFY(!sessions.readAll().contains(token.toUtf8()));

        QVERIFY2(process.start(), qPrintable(process.errorText()));
        Api again(process.baseURL());
        again.token = token;
        QCOMPARE(again.send("GET", "/api/auth/verify").status, 200);
        QVERIFY2(process.stop(), qPrintable(process.errorText()));
    }

    void programPassword()
    {
        // The flag wins over the environment; the environment serves alone.
        qputenv("LUNVIK_FAMILY_PASSWORD", "from-environment");
        DevServerProcess flagged(QStringLiteral("from-flag"));
        QVERIFY2(flagged.start(), qPrintable(flagged.errorText()));
        Api api(flagged.baseURL());
        QVERIFY(api.signIn(QStringLiteral("from-environment")).isEmpty());
        QVERIFY(!api.signIn(QStringLiteral("from-flag")).isEmpty());
        QVERIFY2(flagged.stop(), qPrintable(flagged.errorText()));

        DevServerProcess environment(QString{});
        QVERIFY2(environment.start(), qPrintable(environment.errorText()));
        QVERIFY(!Api(environment.baseURL()).signIn(QStringLiteral("from-environment")).isEmpty());
        QVERIFY2(environment.stop(), qPrintable(environment.errorText()));
        qunsetenv("LUNVIK_FAMILY_PASSWORD");
    }

    void programRefusesToStart_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("file"); // "name=content" written into the data folder first
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");

        const QStringList folder{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"),
                                 QStringLiteral("$data")};
        const QStringList ready = folder + QStringList{QStringLiteral("--password"), QStringLiteral("pw")};
        QTest::newRow("no password") << folder << QByteArray() << 2 << "LUNVIK_FAMILY_PASSWORD";
        QTest::newRow("bad interval") << ready + QStringList{QStringLiteral("--advance-interval"), QStringLiteral("0")}
                                      << QByteArray() << 2 << "--advance-interval";
        QTest::newRow("corrupt manifest")
            << ready << QByteArray("gallery.json={\"updatedAt\": 3") << 1 << "gallery.json";
        QTest::newRow("manifest of the wrong shape")
            << ready << QByteArray(R"(gallery.json={"updatedAt":"x","order":{},"photos":{}})") << 1 << "gallery.json";
        QTest::newRow("corrupt sessions") << ready << QByteArray("sessions.json=[]") << 1 << "sessions.json";
        QTest::newRow("corrupt devices") << ready << QByteArray(R"(devices.json={"devices":[{"id":1}]})") << 1
                                         << "devices.json";
    }

    void programRefusesToStart()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, file);
        QFETCH(int, exitCode);
        QFETCH(QString, message);

        const QString fileName = data(QString::fromUtf8(file.left(file.indexOf('='))));
        const QByteArray content = file.mid(file.indexOf('=') + 1);
        if (!file.isEmpty()) {
            QFile out(fileName);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(content);
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("LUNVIK_FAMILY_PASSWORD"));
        process.setProcessEnvironment(environment);
        process.start(DevServerProcess::binaryPath(), arguments.replaceInStrings(QStringLiteral("$data"), data()));
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitCode(), exitCode);
        QVERIFY(process.readAllStandardOutput().isEmpty());
        const QString error = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(error.contains(message), qPrintable(error));
        if (!file.isEmpty()) {
            // A family's files are never replaced by an empty start.
            QFile in(fileName);
            QVERIFY(in.open(QIODevice::ReadOnly));
            QCOMPARE(in.readAll(), content);
        }
    }
};

LUNVIK_TEST_MAIN(TestDevServer)
#include "tst_devserver.moc"
