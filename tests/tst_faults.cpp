// The command-line client against the development server behind a proxy
// that injects faults (tests/support/faultproxy.h), and killed with SIGKILL
// in the middle of its work. Whatever happened, once the faults stop one sync
// brings back a local manifest equal to the server's and a cache of exactly
// the visible photos, each file whole; no upload reaches the server twice; no
// secret reaches the log or standard error.
//
// LUNVIK_FAULT_SEEDS=N runs N seeds (default 2), starting at
// LUNVIK_FAULT_SEED (default 1); a failing seed is named in the message and
// replays the same faults.
#include "support/devserverprocess.h"
#include "support/faultproxy.h"
#include "support/testenvironment.h"

#include "model/appsettings.h"
#include "model/gallerystate.h"
#include "log/logentry.h"
#include "server/httpsession.h"
#include "taskwait.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <random>

using namespace Qt::StringLiterals;

namespace {

constexpr int sanitizerExitCode = 86;
const QString familyPassword = u"fault-family-pw-7f3e"_s;

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

QString describe(const CliRun &run)
{
    return u"exit %1\n--- stdout\n%2--- stderr\n%3"_s.arg(run.exitCode).arg(run.out, run.err);
}

using TestEnvironment::readFile;

// The photo id and width of a thumbnail's cache file name; no match for a photo's own file.
QRegularExpressionMatch thumbnailName(const QString &name)
{
    static const QRegularExpression pattern(u"^(.+)_w([0-9]+)\\.jpg$"_s);
    return pattern.match(name);
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

    DevServerProcess server{familyPassword};
    QString serverToken;

    // One client installation: a home folder, its own proxy to the server,
    // and what the client wrote to standard error.
    struct Client {
        QTemporaryDir home { TestEnvironment::home() + u"/client-XXXXXX"_s };
        FaultProxy proxy;
        QStringList stderrs;
        Client(const QUrl &upstream, quint32 seed)
            : proxy(upstream, seed)
        {
            home.setAutoRemove(qEnvironmentVariableIsEmpty("LUNVIK_TEST_HOMES"));
        }
        QString support() const { return home.path() + u"/data/LunvikPhotos/"_s; }
        // Writes a photo into the home folder and answers its path.
        QString addPhoto(const QString &name, const QColor &colour, int width)
        {
            QImage image(width, width * 3 / 4, QImage::Format_RGB32);
            image.fill(colour);
            return image.save(home.filePath(name), "JPEG") ? home.filePath(name) : QString();
        }
    };

    void startCli(Client &client, const QStringList &arguments, QProcess &process,
                  const QString &program = QStringLiteral(LUNVIK_CLI_BINARY))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, client.home.path());
        environment.insert(u"XDG_DATA_HOME"_s, client.home.path() + u"/data"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, client.home.path() + u"/config"_s);
        environment.insert(u"XDG_DOWNLOAD_DIR"_s, client.home.path() + u"/Downloads"_s);
        environment.insert(u"LUNVIK_LOCAL_SERVER_URL"_s, client.proxy.baseUrl().toString());
        const QString asan = environment.value(u"ASAN_OPTIONS"_s);
        environment.insert(u"ASAN_OPTIONS"_s,
            (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + u"exitcode=%1"_s.arg(sanitizerExitCode));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        process.waitForStarted(10000);
    }

    CliRun cli(Client &client, const QStringList &arguments, const QByteArray &input = {})
    {
        QProcess process;
        startCli(client, arguments, process);
        process.write(input);
        process.closeWriteChannel();
        CliRun run;
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
        } else if (process.exitStatus() == QProcess::NormalExit) {
            run.exitCode = process.exitCode();
        }
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        keepStderr(client, run.err.toUtf8());
        return run;
    }

    void keepStderr(Client &client, const QByteArray &err)
    {
        client.stderrs << QString::fromUtf8(err);
        // Kept beside the client's files for the secret scan after the suite.
        QFile capture(client.home.filePath(u"stderr-%1.txt"_s.arg(client.stderrs.size())));
        if (capture.open(QIODevice::WriteOnly))
            capture.write(err);
    }

    bool unlock(Client &client)
    {
        const QStringList arguments { u"unlock"_s, u"--name"_s, u"Mia"_s };
        for (int attempt = 0; attempt < 6; ++attempt) {
            if (cli(client, arguments, familyPassword.toUtf8() + '\n').exitCode == 0)
                return true;
        }
        return false;
    }

    // A GET with the test's own session, or (without one yet) a sign-in.
    QByteArray serverGet(const QString &path)
    {
        QNetworkRequest request(server.baseURL().resolved(QUrl(path)));
        const QString bearer = serverToken.isEmpty() ? familyPassword : serverToken;
        request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
        const HttpResponse response
            = TaskWait::run(HttpSession::shared().send(request, serverToken.isEmpty() ? "POST" : "GET"));
        return response.statusCode / 100 == 2 ? response.body : QByteArray();
    }

    QString cachePath(Client &client, const QString &name = {}) { return client.support() + u"cache/"_s + name; }

    // After a kill or a failed write: the next start reads valid files, and
    // a half-written photo or thumbnail never sits under its final name.
    void verifyWhole(Client &client)
    {
        QVERIFY(AppSettings::fromJsonBytes(readFile(client.support() + u"config.json"_s)));
        const QString gallery = client.support() + u"local-gallery.json"_s;
        if (QFile::exists(gallery))
            QVERIFY(GalleryState::fromJsonBytes(readFile(gallery)));
        for (const QString &name : QDir(cachePath(client)).entryList({ u"*.jpg"_s }, QDir::Files)) {
            const QRegularExpressionMatch thumbnail = thumbnailName(name);
            const QString image = thumbnail.hasMatch()
                ? u"/api/gallery/photos/%1/image?w=%2"_s.arg(thumbnail.captured(1), thumbnail.captured(2))
                : u"/api/gallery/photos/%1/image"_s.arg(name.chopped(4));
            QVERIFY2(readFile(cachePath(client, name)) == serverGet(image),
                qPrintable(u"half-written cache file "_s + name));
        }
    }

    std::optional<GalleryState> serverState()
    {
        const auto response = GalleryResponse::fromJsonBytes(serverGet(u"/api/gallery"_s));
        return response ? std::optional<GalleryState>(response->state) : std::nullopt;
    }

    // The local manifest and the cache as the server has them (no checks of
    // the bytes): what a running desktop app reaches by itself.
    bool caughtUp(Client &client)
    {
        const auto truth = serverState();
        const auto local = GalleryState::fromJsonBytes(readFile(client.support() + u"local-gallery.json"_s));
        if (!truth || !local || *local != *truth)
            return false;
        const auto activePhotos = truth->activePhotos();
        return std::all_of(activePhotos.cbegin(), activePhotos.cend(),
            [&](const PhotoEntry &photo) { return QFile::exists(cachePath(client, photo.id + u".jpg"_s)); });
    }

    // What must hold once one sync has run without faults.
    void verifyConsistent(Client &client, const QString &label)
    {
        verifyWhole(client);
        if (QTest::currentTestFailed())
            return;
        const auto truth = serverState();
        QVERIFY(truth);
        const auto local = GalleryState::fromJsonBytes(readFile(client.support() + u"local-gallery.json"_s));
        QVERIFY2(local, qPrintable(label + u": no valid local manifest"_s));
        QVERIFY2(*local == *truth, qPrintable(label + u": local manifest differs from the server's"_s));

        // Exactly the visible photos' files (and thumbnails the desktop app
        // showed, of visible photos only), each checked whole above.
        QStringList expected;
        for (const PhotoEntry &photo : truth->activePhotos())
            expected << photo.id + u".jpg"_s;
        QStringList present;
        for (const QString &name : QDir(cachePath(client)).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            const QRegularExpressionMatch thumbnail = thumbnailName(name);
            if (!thumbnail.hasMatch() || !expected.contains(thumbnail.captured(1) + u".jpg"_s))
                present << name;
        }
        expected.sort();
        present.sort();
        QVERIFY2(present == expected,
            qPrintable(u"%1: cache holds %2, expected %3"_s.arg(label, present.join(u' '), expected.join(u' '))));
        // Settings owner-only.
        QCOMPARE(QFile::permissions(client.support() + u"config.json"_s) & 0x0077, QFileDevice::Permissions());
    }

    // No secret in the log or on standard error; every log line a record.
    void verifyNoSecrets(Client &client, const QString &label)
    {
        const QByteArray log = readFile(client.support() + u"activity.log"_s);
        for (const QByteArray &line : log.split('\n')) {
            if (!line.isEmpty())
                QVERIFY2(LogEntry::fromLine(line), qPrintable(label + u": bad log line "_s + line));
        }
        QStringList secrets{familyPassword};
        const auto settings = AppSettings::fromJsonBytes(readFile(client.support() + u"config.json"_s));
        if (settings && !settings->syncSessionToken.isEmpty())
            secrets << settings->syncSessionToken;
        for (const QString &secret : secrets) {
            QVERIFY2(!log.contains(secret.toUtf8()), qPrintable(label + u": a secret in the log"_s));
            for (const QString &err : client.stderrs)
                QVERIFY2(!err.contains(secret), qPrintable(label + u": a secret on stderr"_s));
        }
    }

    int errorRecords(Client &client)
    {
        const QList<QByteArray> lines = readFile(client.support() + u"activity.log"_s).split('\n');
        return int(std::count_if(lines.cbegin(), lines.cend(), [](const QByteArray &line) {
            const auto entry = LogEntry::fromLine(line);
            return entry && (entry->level == LogLevel::error || entry->level == LogLevel::warning);
        }));
    }

    bool setUpClient(Client &client)
    {
        return client.proxy.listen() && cli(client, { u"debug"_s, u"on"_s }).exitCode == 0 && unlock(client);
    }

    // A sync that has every photo still to fetch, with answers that come slowly.
    static void forgetGallery(Client &client)
    {
        QDir(client.support() + u"cache"_s).removeRecursively();
        QFile::remove(client.support() + u"local-gallery.json"_s);
        client.proxy.setSlowdown(250);
    }

    // Runs the desktop app until `done` holds, then ends it with `signal`;
    // false when the app ended by itself or `done` never held.
    bool runAppUntil(Client &client, const std::function<bool()> &done, int timeoutMs, int signal)
    {
        QProcess app;
        startCli(client, {}, app, QStringLiteral(LUNVIK_APP_BINARY));
        const bool reached = QTest::qWaitFor([&] { return done() || app.state() != QProcess::Running; }, timeoutMs);
        const bool running = app.state() == QProcess::Running;
        if (running)
            ::kill(pid_t(app.processId()), signal);
        app.waitForFinished(10000);
        keepStderr(client, app.readAllStandardError());
        return reached && running;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        serverToken
            = QJsonDocument::fromJson(serverGet(u"/api/auth/session"_s)).object().value(u"sessionToken"_s).toString();
        QVERIFY(!serverToken.isEmpty());
    }

    void cleanupTestCase() { QVERIFY(server.stop()); }

    void faultsThenOneSync_data()
    {
        QTest::addColumn<quint32>("seed");
        const int first = std::max(1, qEnvironmentVariableIntValue("LUNVIK_FAULT_SEED"));
        const int count = qEnvironmentVariableIsSet("LUNVIK_FAULT_SEEDS")
            ? qEnvironmentVariableIntValue("LUNVIK_FAULT_SEEDS")
            : 2;
        for (int i = 0; i < count; ++i)
            QTest::addRow("seed %d", first + i) << quint32(first + i);
    }
    void faultsThenOneSync()
    {
        QFETCH(quint32, seed);
        const QString label = u"seed %1"_s.arg(seed);
        Client client(server.baseURL(), seed);
        QVERIFY(setUpClient(client));

        // A command under faults succeeds, fails with a record in the log, or
        // finds the session refused and needs an unlock.
        const auto underFaults = [&](const QStringList &arguments) {
            const int errorsBefore = errorRecords(client);
            const CliRun run = cli(client, arguments);
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1 || run.exitCode == 3,
                qPrintable(label + ' ' + describe(run)));
            if (run.exitCode == 1)
                QVERIFY2(errorRecords(client) > errorsBefore,
                    qPrintable(label + u": a failure without a log record\n"_s + describe(run)));
            if (run.exitCode == 3)
                QVERIFY(unlock(client));
        };
        std::mt19937 random(seed);
        client.proxy.setFaultRate(0.4);
        underFaults({ u"sync"_s });

        QStringList names;
        QStringList upload { u"upload"_s };
        for (int i = 0; i < 3; ++i) {
            names << u"s%1-%2.jpg"_s.arg(seed).arg(i);
            upload << client.addPhoto(names.last(), QColor::fromHsv(int(random() % 360), 200, 200), 64 + i);
        }
        underFaults(upload);

        QStringList ids;
        const CliRun listed = cli(client, { u"list"_s, u"--json"_s, u"--offline"_s });
        for (const QJsonValue &row : QJsonDocument::fromJson(listed.out.toUtf8()).array())
            ids << row.toObject().value(u"id"_s).toString();
        std::shuffle(ids.begin(), ids.end(), random);
        if (ids.size() >= 2)
            underFaults(QStringList { u"reorder"_s } + ids);

        const auto before = serverState();
        QVERIFY(before);
        QString victim;
        for (const PhotoEntry &photo : before->activePhotos()) {
            if (photo.id != before->currentPhotoId.value_or(QString()))
                victim = photo.id;
        }
        if (!victim.isEmpty() && before->activePhotos().size() >= 3)
            underFaults({ u"delete"_s, victim });
        if (QTest::currentTestFailed())
            return;

        client.proxy.setFaultRate(0);
        CliRun last = cli(client, { u"sync"_s });
        if (last.exitCode == 3) {
            QVERIFY(unlock(client));
            last = cli(client, { u"sync"_s });
        }
        QVERIFY2(last.exitCode == 0, qPrintable(label + ' ' + describe(last)));
        verifyConsistent(client, label);
        if (QTest::currentTestFailed())
            return;
        verifyNoSecrets(client, label);

        // No file reached the server twice.
        const auto truth = serverState();
        for (const QString &name : names) {
            const auto copies = std::count_if(truth->photos.cbegin(), truth->photos.cend(),
                                              [&](const PhotoEntry &photo) { return photo.filename == name; });
            QVERIFY2(copies <= 1, qPrintable(u"%1: %2 uploaded %3 times"_s.arg(label, name).arg(copies)));
        }
        QVERIFY(client.proxy.uploadsForwarded() <= names.size() + 3); // stale retries send a refused upload again
        QVERIFY2(client.proxy.faultsInjected() > 0, qPrintable(label + u": no fault was injected"_s));
    }

    void fullOrReadOnlySupportFolder_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("full") << false;
        QTest::newRow("read-only") << true;
    }
    void fullOrReadOnlySupportFolder()
    {
        QFETCH(bool, readOnly);
        Client client(server.baseURL(), 1);
        const QString support = client.support();
        QVERIFY(QDir().mkpath(support));
        // A support folder on a tiny file system of its own (root only).
        const auto mount = [](const QStringList &arguments) { return QProcess::execute(u"mount"_s, arguments) == 0; };
        if (!mount({ u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=256k"_s, u"tmpfs"_s, support }))
            QSKIP("cannot mount a tmpfs here (not root, or mounting is not permitted)");
        const auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_s, { support }); });
        QVERIFY(setUpClient(client));
        QVERIFY(cli(client, { u"sync"_s }).exitCode == 0);
        const QByteArray settingsBefore = readFile(support + u"config.json"_s);
        const QByteArray galleryBefore = readFile(support + u"local-gallery.json"_s);
        QDir(support + u"cache"_s).removeRecursively();

        if (readOnly) {
            QVERIFY(mount({ u"-o"_s, u"remount,ro"_s, support }));
        } else {
            QFile filler(support + u"filler"_s); // fills what is left
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'f');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
        }

        // A changed setting, a sync with every photo to cache, a new interval.
        QString errors;
        for (const QStringList &arguments : { QStringList { u"set-name"_s, u"Mia Full"_s }, QStringList { u"sync"_s },
                 QStringList { u"debug"_s, u"interval"_s, u"120"_s } }) {
            const CliRun run = cli(client, arguments);
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1, qPrintable(describe(run)));
            errors += run.err;
        }
        // The failed writes are reported (the log file itself may be what
        // cannot be written, so standard error is where they show).
        QVERIFY2(errors.contains(u"Domain: QFileDevice"_s), qPrintable(errors));
        // The previous files are still whole.
        QCOMPARE(readFile(support + u"config.json"_s), settingsBefore);
        QCOMPARE(readFile(support + u"local-gallery.json"_s), galleryBefore);
        verifyWhole(client);
    }

    void killedMidWork_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("killAfterMs");
        for (int ms : {150, 500, 1200, 2500}) {
            QTest::addRow("sync, killed after %d ms", ms) << u"sync"_s << ms;
            QTest::addRow("upload, killed after %d ms", ms) << u"upload"_s << ms;
        }
    }
    void killedMidWork()
    {
        QFETCH(QString, command);
        QFETCH(int, killAfterMs);
        Client client(server.baseURL(), quint32(killAfterMs));
        QVERIFY(setUpClient(client));
        forgetGallery(client);

        QStringList arguments{command};
        for (int i = 0; i < 2 && command == QLatin1StringView("upload"); ++i)
            arguments << client.addPhoto(
                u"k%1-%2.jpg"_s.arg(killAfterMs).arg(i), QColor::fromHsv((killAfterMs + i * 40) % 360, 180, 220), 300);
        QProcess process;
        startCli(client, arguments, process);
        process.closeWriteChannel();
        if (!process.waitForFinished(killAfterMs))
            ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(10000);
        verifyWhole(client);

        client.proxy.setSlowdown(0);
        const CliRun after = cli(client, { u"sync"_s });
        QVERIFY2(after.exitCode == 0, qPrintable(describe(after)));
        verifyConsistent(client, u"%1 killed after %2 ms"_s.arg(command).arg(killAfterMs));
        verifyNoSecrets(client, command);
    }

    void desktopAppKilledMidSync()
    {
        Client client(server.baseURL(), 11);
        QVERIFY(setUpClient(client));
        QStringList upload { u"upload"_s };
        for (int i = 0; i < 4; ++i)
            upload << client.addPhoto(u"app-%1.jpg"_s.arg(i), QColor::fromHsv(40 + i * 70, 160, 230), 200);
        QVERIFY(cli(client, upload).exitCode == 0);
        // The app unlocks with the saved token, and is killed once the refresh
        // is fetching images.
        forgetGallery(client);
        const QDir cache(cachePath(client));
        const auto fetching = [&] { return !cache.entryList({ u"*.jpg"_s }, QDir::Files).isEmpty(); };
        QVERIFY2(runAppUntil(client, fetching, 60000, SIGKILL), qPrintable(client.stderrs.last()));
        verifyWhole(client);
        QVERIFY2(!caughtUp(client), "the refresh ended before the kill");

        // Started again, the app reads what is there and its one refresh
        // completes the work.
        client.proxy.setSlowdown(0);
        QVERIFY2(runAppUntil(client, [&] { return caughtUp(client); }, 90000, SIGTERM),
            qPrintable(u"the restarted app did not catch up\n"_s + client.stderrs.last()));
        verifyConsistent(client, u"desktop app killed mid-sync"_s);
        verifyNoSecrets(client, u"desktop app"_s);
    }
};

LUNVIK_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
