// lunvik-photos-cli end to end: the built binary, run as a child process with
// a home folder of its own, against the development server started by the
// test. The functions run in order and share one gallery: sign in, upload,
// list, change, download, frames, settings, and locking again.

#include "support/devserverprocess.h"
#include "support/scriptableserver.h"
#include "support/testenvironment.h"

#include "model/appsettings.h"
#include "rules/epaperrendering.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// A sanitizer report in the child ends it with this status, never one the
// client itself uses.
constexpr int sanitizerExitCode = 86;

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;

    QStringList lines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

QString describe(const CliRun &run)
{
    return u"exit %1\n--- stdout\n%2--- stderr\n%3"_s.arg(run.exitCode).arg(run.out, run.err);
}

#define EXPECT_EXIT(run, code) QVERIFY2((run).exitCode == (code), qPrintable(describe(run)))

QByteArray encoded(const char *format, const QColor &colour)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A command that failed (exit 1) and said `message` on standard error.
void expectFailure(const CliRun &run, const QString &message)
{
    QVERIFY2(run.exitCode == 1 && run.err.contains(message), qPrintable(describe(run)));
}

// A command refused for want of a session: exit 3, the hint, nothing of the gallery.
void expectLocked(const CliRun &run)
{
    QVERIFY2(run.exitCode == 3 && run.out.isEmpty()
            && run.err.contains(u"Locked: sign in with lunvik-photos-cli unlock --name NAME"_s),
        qPrintable(describe(run)));
}

using TestEnvironment::readFile;
const QString setupBlock = QStringLiteral("Bloomin8 API token\nDevice: Kitchen | 13.3 inch\n"
                                          "Token: 0123abcd.0123456789abcdef0123456789abcdef\nInterval: 24h\n");

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    DevServerProcess server;
    QTemporaryDir home;
    // Uploaded photos: file name → id, in upload order.
    QList<std::pair<QString, QString>> uploaded;

    // Another home for a case that must not disturb the others' state.
    QString otherHome;
    QString homePath() const { return otherHome.isEmpty() ? home.path() : otherHome; }

    QString downloads() const { return home.path() + u"/Downloads"_s; }
    QString supportFile(const QString &name) const { return home.path() + u"/data/LunvikPhotos/"_s + name; }
    QJsonObject settingsFile() const
    {
        return QJsonDocument::fromJson(readFile(supportFile(u"config.json"_s))).object();
    }
    QString token() const { return settingsFile().value(u"syncSessionToken"_s).toString(); }

    // With `unwritable`, the client can create no file content at all (a
    // full or read-only disk; as root, permissions would not stop it).
    CliRun cli(const QStringList &arguments, const QByteArray &input = {}, const QUrl &serverURL = {},
               bool unwritable = false) const
    {
        QProcess process;
        if (unwritable) {
            process.setChildProcessModifier([] {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit none{0, 0};
                ::setrlimit(RLIMIT_FSIZE, &none);
            });
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, homePath());
        environment.insert(u"XDG_DATA_HOME"_s, homePath() + u"/data"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, homePath() + u"/config"_s);
        // Not this machine's server address file.
        environment.insert(u"XDG_CONFIG_DIRS"_s, homePath() + u"/xdg"_s);
        environment.insert(u"XDG_DOWNLOAD_DIR"_s, downloads());
        environment.insert(
            u"LUNVIK_LOCAL_SERVER_URL"_s, (serverURL.isEmpty() ? server.baseURL() : serverURL).toString());
        const QString asan = environment.value(u"ASAN_OPTIONS"_s);
        environment.insert(u"ASAN_OPTIONS"_s,
            (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + u"exitcode=%1"_s.arg(sanitizerExitCode));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(LUNVIK_CLI_BINARY), arguments);
        process.write(input);
        process.closeWriteChannel();
        CliRun run;
        if (!process.waitForFinished(60000))
            return run; // killed on destruction
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    QString writeFile(const QString &name, const QByteArray &bytes) const
    {
        const QString path = home.path() + u"/files/"_s + name;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    QString idOf(const QString &filename) const
    {
        const auto it = std::find_if(uploaded.cbegin(), uploaded.cend(),
                                     [&](const auto &photo) { return photo.first == filename; });
        return it == uploaded.cend() ? QString() : it->second;
    }

    // The rows of `list --offline`, split into their fields.
    QList<QStringList> listed() const
    {
        QList<QStringList> rows;
        for (const QString &line : cli({ u"list"_s, u"--offline"_s }).lines())
            rows << line.split(QLatin1Char('\t'));
        return rows;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        QDir().mkpath(downloads());
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        // Debug mode points the client at the development server.
        EXPECT_EXIT(cli({ u"debug"_s, u"on"_s }), 0);
        // The family's photos and log are nobody else's to read.
        struct stat folder {};
        QCOMPARE(::stat(QFile::encodeName(supportFile(QString())).constData(), &folder), 0);
        QCOMPARE(folder.st_mode & 0777, 0700u);
    }

    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no command") << QStringList{};
        QTest::newRow("unknown command") << QStringList{"show"};
        QTest::newRow("unknown option") << QStringList{"list", "--all"};
        QTest::newRow("flag with a value") << QStringList{"list", "--json=yes"};
        QTest::newRow("missing id") << QStringList{"show-today"};
        QTest::newRow("extra argument") << QStringList{"status", "now"};
        QTest::newRow("name without a value") << QStringList{"unlock", "--name"};
        QTest::newRow("blank name") << QStringList{"set-name", "  "};
        QTest::newRow("interval not a number") << QStringList{"debug", "interval", "soon"};
        QTest::newRow("unknown frames command") << QStringList{"frames", "list"};
        QTest::newRow("negative log count") << QStringList{"log", "-n", "-1"};
        QTest::newRow("preview size too large") << QStringList{"preview", "a", "--size", "5000x10"};
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        const CliRun run = cli(arguments);
        EXPECT_EXIT(run, 2);
        QVERIFY2(run.err.startsWith(u"lunvik-photos-cli: "_s), qPrintable(run.err));
        QVERIFY(run.err.contains(u"Usage: lunvik-photos-cli COMMAND"_s));
        QVERIFY(run.out.isEmpty());
    }

    // Before sign-in, status reports the session rather than refusing; other
    // commands refuse (see lock(), where a cached gallery would let them answer).
    void beforeSignIn()
    {
        const CliRun version = cli({ u"--version"_s });
        EXPECT_EXIT(version, 0);
        QVERIFY2(QRegularExpression(u"^lunvik-photos-cli \\d+\\.\\d+\\.\\d+\n$"_s).match(version.out).hasMatch(),
            qPrintable(version.out));
        const CliRun help = cli({ u"upload"_s, u"--help"_s });
        EXPECT_EXIT(help, 0);
        QVERIFY(help.out.startsWith(u"Usage: lunvik-photos-cli COMMAND"_s));
        const CliRun status = cli({ u"status"_s });
        EXPECT_EXIT(status, 0);
        QCOMPARE(status.lines().value(0), u"session: locked"_s);
    }

    // The server an administrator set for the machine: shown by status, or
    // refused on standard error with the built-in address kept. Debug mode
    // is off in this fresh home.
    void machineServerAddress_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("err");

        QTest::newRow("set") << QByteArray("# ours\nhttps://127.0.0.1:9\n") << u"https://127.0.0.1:9"_s << QString();
        QTest::newRow("plain http") << QByteArray("http://127.0.0.1:9\n") << SyncServerURLs::builtInBaseURL()
                                    << u"[system] Server address file ignored"_s;
    }

    void machineServerAddress()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, address);
        QFETCH(QString, err);

        QTemporaryDir fresh;
        otherHome = fresh.path();
        const auto back = qScopeGuard([this] { otherHome.clear(); });
        QVERIFY(QDir().mkpath(otherHome + u"/xdg/LunvikPhotos"_s));
        QFile conf(otherHome + u"/xdg/LunvikPhotos/server.conf"_s);
        QVERIFY(conf.open(QIODevice::WriteOnly) && conf.write(file) == file.size());
        conf.close();

        const CliRun run = cli({ u"status"_s });
        EXPECT_EXIT(run, 0);
        QVERIFY2(run.lines().value(1).startsWith(u"server: "_s + address + u" ("_s), qPrintable(run.out));
        QVERIFY2(err.isEmpty() ? !run.err.contains(u"ignored"_s) : run.err.contains(err), qPrintable(run.err));
    }

    void unlock_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("frameSetup");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");

        const QByteArray password = QByteArrayLiteral("family-secret\n");
        QTest::newRow("blank name") << "  " << password << QString() << 1 << QString()
                                    << "Enter your name so uploads can be attributed to you.";
        QTest::newRow("no password") << "Åsa" << QByteArray() << QString() << 1 << QString() << "Enter the password.";
        QTest::newRow("wrong password") << "Åsa" << QByteArrayLiteral("guess\n") << QString() << 1 << QString()
                                        << "Wrong password. Grab the latest from 1Password.";
        // The sign-in holds; only the frame is refused.
        QTest::newRow("frame refused") << "Åsa" << password << "Device: Hall\nno token here\n" << 1
                                       << "Unlocked as Åsa"
                                       << "Signed in, but frame registration failed: HTTP 400: No frame token found in "
                                          "the setup text";
        QTest::newRow("signed in") << "  Åsa " << password << QString() << 0 << "Unlocked as Åsa" << QString();
    }

    void unlock()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, input);
        QFETCH(QString, frameSetup);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);

        QStringList arguments { u"unlock"_s, u"--name"_s, name };
        if (!frameSetup.isEmpty())
            arguments << u"--frame-setup"_s << writeFile(u"setup.txt"_s, frameSetup.toUtf8());
        const CliRun run = cli(arguments, input);
        EXPECT_EXIT(run, exitCode);
        QCOMPARE(run.lines(), out.isEmpty() ? QStringList() : QStringList{out});
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
    }

    void status()
    {
        const CliRun run = cli({ u"status"_s });
        EXPECT_EXIT(run, 0);
        QCOMPARE(run.out,
            u"session: unlocked\nserver: %1 (up)\nframes: down\nphotos: 0\ncurrent: none\n"_s.arg(
                server.baseURL().toString()));
    }

    void upload_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("png") << "sunset.png" << encoded("PNG", QColor(220, 90, 30)) << 0;
        // Taken by its name, converted by its content (HEIF decoding: tst_images).
        QTest::newRow("heic name") << "IMG_0001.HEIC" << encoded("JPEG", QColor(30, 90, 200)) << 0;
        QTest::newRow("jpeg") << "lake.jpg" << encoded("JPEG", QColor(20, 120, 160)) << 0;
        QTest::newRow("text") << "notes.txt" << QByteArrayLiteral("not a photo\n") << 1;
    }

    void upload()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(int, exitCode);
        const QString path = writeFile(name, bytes);
        const CliRun run = cli({ u"upload"_s, path });
        EXPECT_EXIT(run, exitCode);
        if (exitCode != 0) {
            QVERIFY(run.out.isEmpty());
            QVERIFY2(run.err.contains(u"Not uploaded: "_s + path), qPrintable(run.err));
            return;
        }
        const QRegularExpressionMatch line = QRegularExpression(u"^(.+) \u2192 (\\S+)\n$"_s).match(run.out);
        QVERIFY2(line.hasMatch(), qPrintable(describe(run)));
        QCOMPARE(line.captured(1), name);
        uploaded.append({name, line.captured(2)});
    }

    void list()
    {
        const CliRun text = cli({ u"list"_s });
        EXPECT_EXIT(text, 0);
        const CliRun json = cli({ u"list"_s, u"--json"_s, u"--offline"_s });
        EXPECT_EXIT(json, 0);
        const QJsonArray photos = QJsonDocument::fromJson(json.out.toUtf8()).array();

        QCOMPARE(text.lines().size(), uploaded.size());
        QCOMPARE(photos.size(), uploaded.size());
        for (qsizetype i = 0; i < uploaded.size(); ++i) {
            const QStringList fields = text.lines().at(i).split(QLatin1Char('\t'));
            QCOMPARE(fields.size(), 4);
            QCOMPARE(fields.first(3), (QStringList { uploaded.at(i).second, uploaded.at(i).first, u"Åsa"_s }));
            const QJsonObject photo = photos.at(i).toObject();
            QCOMPARE((QStringList { photo[u"id"].toString(), photo[u"filename"].toString(), photo[u"uploader"].toString() }),
                fields.first(3));
            // Under a debug interval a tag is a time counted from now, and
            // the two runs are a moment apart.
            static const QRegularExpression clock(u"^\\d\\d:\\d\\d:\\d\\d$"_s);
            const QString tag = photo.value(u"tag"_s).toString();
            if (clock.match(tag).hasMatch())
                QVERIFY2(clock.match(fields.at(3)).hasMatch(), qPrintable(fields.at(3)));
            else
                QCOMPARE(tag, fields.at(3));
            // The first photo of an empty gallery becomes the photo for today.
            QCOMPARE(photo.value(u"current"_s).toBool(), i == 0);
            QCOMPARE(fields.at(3) == u"Showing for today"_s, i == 0);
        }
    }

    void reorderShowTodayAndDelete()
    {
        QStringList reversed;
        for (const auto &photo : std::as_const(uploaded))
            reversed.prepend(photo.second);
        EXPECT_EXIT(cli(QStringList { u"reorder"_s } + reversed), 0);
        QStringList order;
        for (const QStringList &row : listed())
            order << row.value(0);
        QCOMPARE(order, reversed);

        expectFailure(cli({ u"reorder"_s, reversed.first() }), u"stale order"_s);
        expectFailure(cli({ u"show-today"_s, uploaded.first().second }), u"already the photo for today"_s);

        const QString lake = idOf(u"lake.jpg"_s);
        EXPECT_EXIT(cli({ u"show-today"_s, lake }), 0);
        const CliRun status = cli({ u"status"_s });
        QVERIFY2(status.lines().contains(u"current: %1 lake.jpg"_s.arg(lake)), qPrintable(status.out));

        expectFailure(cli({ u"delete"_s, lake }),
            u"Can't delete the current photo. Show another photo for today first."_s);
        QCOMPARE(listed().size(), reversed.size());
        EXPECT_EXIT(cli({ u"delete"_s, idOf(u"sunset.png"_s) }), 0);
        // Which photo went: download() finds no sunset.png.
        QCOMPARE(listed().size(), reversed.size() - 1);
    }

    void frames()
    {
        const CliRun added = cli({ u"frames"_s, u"add"_s }, setupBlock.toUtf8());
        EXPECT_EXIT(added, 0);
        const QStringList row = added.out.trimmed().split(QLatin1Char('\t'));
        QCOMPARE(row.size(), 4);
        QCOMPARE(row.at(1), u"Kitchen"_s);
        QVERIFY2(row.at(2).startsWith(u"Added "_s), qPrintable(row.at(2)));

        const CliRun listedFrames = cli({ u"frames"_s });
        EXPECT_EXIT(listedFrames, 0);
        QCOMPARE(listedFrames.lines().size(), 2);
        QCOMPARE(listedFrames.lines().first().split(QLatin1Char('\t')).first(), row.first());
        QCOMPARE(listedFrames.lines().last(), u"frames: up"_s);

        expectFailure(cli({ u"frames"_s, u"add"_s }, "my kitchen frame\n"),
            u"Could not find a Bloomin8 API token. Paste the setup block or token only."_s);
        expectFailure(cli({ u"frames"_s, u"add"_s }, " \n"), u"No setup block on standard input"_s);

        EXPECT_EXIT(cli({ u"frames"_s, u"remove"_s, row.first() }), 0);
        QCOMPARE(cli({ u"frames"_s }).lines(), QStringList { u"frames: down"_s });
        expectFailure(cli({ u"frames"_s, u"remove"_s, row.first() }), u"HTTP 404"_s);
    }

    void download()
    {
        const QString lake = idOf(u"lake.jpg"_s);
        const CliRun first = cli({ u"download"_s, lake });
        EXPECT_EXIT(first, 0);
        QCOMPARE(first.lines(), QStringList { downloads() + u"/lake.jpg"_s });
        QVERIFY(readFile(first.lines().first()).startsWith("\xFF\xD8\xFF"));

        // An unknown id, and a deleted photo (its entry stays in the manifest):
        // a download goes on past the first, a preview takes one.
        const QString deleted = idOf(u"sunset.png"_s);
        const CliRun both = cli({ u"download"_s, u"no-such-photo"_s, deleted });
        expectFailure(both, u"No photo no-such-photo in the gallery."_s);
        expectFailure(both, u"No photo %1 in the gallery."_s.arg(deleted));
        QVERIFY(both.out.isEmpty());
        for (const QString &id : { u"no-such-photo"_s, deleted }) {
            const CliRun unknown = cli({ u"preview"_s, id });
            expectFailure(unknown, u"No photo %1 in the gallery."_s.arg(id));
            QVERIFY(unknown.out.isEmpty());
        }
    }

    // The e-paper rendering as a PNG of the frame's size: in Downloads under
    // a free name, or where -o says but never over a file.
    void preview()
    {
        const QString lake = idOf(u"lake.jpg"_s);
        const CliRun first = cli({ u"preview"_s, lake });
        EXPECT_EXIT(first, 0);
        QCOMPARE(first.lines(), QStringList { downloads() + u"/lake (e-paper).png"_s });
        const QImage rendering(first.lines().first());
        QCOMPARE(rendering.size(), QSize(1200, 1600));
        QSet<QRgb> inks;
        for (const EpaperRendering::Ink &ink : EpaperRendering::inks())
            inks.insert(ink.color | 0xff000000);
        for (int y = 0; y < rendering.height(); y += 3)
            for (int x = 0; x < rendering.width(); x += 3)
                QVERIFY(inks.contains(rendering.pixel(x, y)));

        const CliRun second = cli({ u"preview"_s, lake, u"--size"_s, u"800x480"_s });
        EXPECT_EXIT(second, 0);
        QCOMPARE(second.lines(), QStringList { downloads() + u"/lake (e-paper) (1).png"_s });
        QCOMPARE(QImage(second.lines().first()).size(), QSize(800, 480));

        const QString chosen = home.path() + u"/chosen.png"_s;
        const CliRun named = cli({ u"preview"_s, lake, u"-o"_s, chosen });
        EXPECT_EXIT(named, 0);
        QCOMPARE(named.lines(), QStringList{chosen});
        const QByteArray written = readFile(chosen);
        expectFailure(cli({ u"preview"_s, lake, u"-o"_s, chosen }), u"exists: not overwritten"_s);
        QCOMPARE(readFile(chosen), written);
    }

    void setName()
    {
        EXPECT_EXIT(cli({ u"set-name"_s, u" Bo "_s }), 0);
        QCOMPARE(settingsFile().value(u"displayName"_s).toString(), u"Bo"_s);
        // The uploader was renamed on the server, not just here.
        const CliRun list = cli({ u"list"_s });
        QVERIFY(!list.lines().isEmpty());
        for (const QString &line : list.lines())
            QCOMPARE(line.split(QLatin1Char('\t')).value(2), u"Bo"_s);
    }

    // A change that could not be written is no success: the next command
    // would find the old settings (5 s taken as the least interval, 60 s), a
    // sign-out its token still there.
    void unsavedChanges()
    {
        EXPECT_EXIT(cli({ u"debug"_s, u"interval"_s, u"5"_s }), 0);
        const QString signedIn = token();
        QVERIFY(!signedIn.isEmpty());
        expectFailure(cli({ u"debug"_s, u"interval"_s, u"300"_s }, {}, {}, true), u"Not saved"_s);
        expectFailure(cli({ u"lock"_s }, {}, {}, true), u"Could not sign out"_s);
        QCOMPARE(token(), signedIn);
        QCOMPARE(settingsFile().value(u"debugAdvanceIntervalSeconds"_s).toInt(), 60);
    }

    // Text from a server never reaches the terminal as escape sequences or
    // direction overrides, nor a file name with a NUL in it; --json keeps it
    // exact through JSON's escapes.
    void hostileServerText()
    {
        const QString evil = u"a\u001b]2;owned\u0007\u009b31m\u202egpj.exe\u0000.jpg"_s;
        QJsonObject photo{{"id", "p1"},        {"filename", evil},     {"blobPath", "b/p1"},
                          {"sizeBytes", 3},    {"updatedAt", "2026-03-01T07:05:09.250Z"}, {"uploaderId", "u-1"}};
        const QJsonObject manifest { { "updatedAt", "2026-03-01T07:05:09.250Z" }, { "order", QJsonArray { "p1" } },
            { "photos", QJsonObject { { "p1", photo } } },
            { "uploaders", QJsonObject { { "u-1", u"Eve\u001b[2J"_s } } }, { "currentPhotoId", "p1" } };
        ScriptableServer hostile;
        QVERIFY(hostile.listen());
        hostile.on("GET", "/api/auth/verify", ScriptableServer::Response::json(200, R"({"ok": true})"));
        hostile.on("GET", "/api/gallery", ScriptableServer::Response::json(200, QJsonDocument(QJsonObject{{"state", manifest}}).toJson()));
        hostile.on("GET", "/api/gallery/current",
                   ScriptableServer::Response::json(200, R"({"galleryVersion":"2026-03-01T07:05:09.250Z",)"
                                                         R"("currentPhotoId":"p1","updatedAt":"2026-03-01T07:05:09.250Z"})"));
        hostile.on("GET", "/api/gallery/photos/p1/image",
                   ScriptableServer::Response::text(200, QByteArray("\xFF\xD8\xFF\xE0jpeg", 8), "image/jpeg"));
        hostile.setFallback(ScriptableServer::Response::json(500, "{\"error\":\"\\u001b]2;pwned\\u0007 \\u202e\"}"));

        const auto rawControls = [](const QString &text) {
            return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
                const char16_t u = c.unicode();
                return (u < 0x20 && u != 0x0a && u != 0x09) || (u >= 0x7f && u <= 0x9f) || (u >= 0x202a && u <= 0x202e);
            });
        };
        const CliRun list = cli({ u"list"_s }, {}, hostile.baseUrl());
        EXPECT_EXIT(list, 0);
        QVERIFY2(list.lines().size() == 1, qPrintable(describe(list)));
        QCOMPARE(list.lines().first().split(QLatin1Char('\t')).size(), 4);
        const CliRun json = cli({ u"list"_s, u"--json"_s, u"--offline"_s });
        EXPECT_EXIT(json, 0);
        QCOMPARE(QJsonDocument::fromJson(json.out.toUtf8()).array().first().toObject().value("filename").toString(), evil);
        const CliRun first = cli({ u"download"_s, u"p1"_s }, {}, hostile.baseUrl());
        EXPECT_EXIT(first, 0);
        const CliRun second = cli({ u"download"_s, u"p1"_s }, {}, hostile.baseUrl());
        EXPECT_EXIT(second, 0);
        // Saved under a clean name; the second copy's free name shows the first is on disk.
        QCOMPARE(first.lines(), QStringList{downloads() + u"/a_]2;owned__31m_gpj.exe_.jpg"_s});
        QCOMPARE(second.lines(), QStringList { downloads() + u"/a_]2;owned__31m_gpj.exe_ (1).jpg"_s });
        const CliRun frames = cli({ u"frames"_s }, {}, hostile.baseUrl()); // answered by the fallback
        const CliRun log = cli({ u"log"_s, u"-n"_s, u"50"_s });
        EXPECT_EXIT(log, 0);
        for (const CliRun &run : {list, json, first, second, frames, log})
            QVERIFY2(!rawControls(run.out) && !rawControls(run.err), qPrintable(describe(run)));
        QVERIFY(log.out.contains(u"a\\x1b]2;owned\\x07\\x9b31m\\u202egpj.exe\\x00.jpg"_s));
    }

    // Signing out erases the token. So does a command that the server
    // refuses the stored token for, at start-up or (while it still accepted
    // the session at start-up) during the command.
    void lock()
    {
        EXPECT_EXIT(cli({ u"lock"_s }), 0);
        QCOMPARE(token(), QString());
        expectLocked(cli({ u"list"_s, u"--offline"_s }));

        QJsonObject settings = settingsFile();
        settings.insert(u"syncSessionToken"_s, u"forged-token"_s);
        const auto storeForgedToken = [forged = QJsonDocument(settings).toJson(), this] {
            QFile file(supportFile(u"config.json"_s));
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(forged) == forged.size();
        };
        QVERIFY(storeForgedToken());
        EXPECT_EXIT(cli({ u"sync"_s }), 3);
        QCOMPARE(token(), QString());

        QVERIFY(storeForgedToken());
        ScriptableServer refusing;
        QVERIFY(refusing.listen());
        refusing.on("GET", "/api/auth/verify", ScriptableServer::Response::json(200, R"({"ok": true})"));
        refusing.on("GET", "/api/gallery", ScriptableServer::Response::json(401, R"({"error": "Unauthorized"})"));
        expectLocked(cli({ u"list"_s }, {}, refusing.baseUrl()));
        QCOMPARE(refusing.requests("GET", "/api/gallery").size(), 1);
        QCOMPARE(token(), QString());
    }
};

LUNVIK_TEST_MAIN(TestCli)
#include "tst_cli.moc"
