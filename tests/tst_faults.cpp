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

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <random>

namespace {

constexpr int sanitizerExitCode = 86;
const QString familyPassword = QStringLiteral("fault-family-pw-7f3e");

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

QString describe(const CliRun &run)
{
    return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(run.exitCode).arg(run.out, run.err);
}

QByteArray jpeg(const QColor &colour, int width)
{
    QImage image(width, width * 3 / 4, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int envNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

    DevServerProcess server{familyPassword};
    QNetworkAccessManager network;
    QString serverToken;
    int faultsSurvived = 0;

    // One client installation: a home folder and the tokens it was given.
    struct Client {
        QTemporaryDir home{TestEnvironment::home() + QStringLiteral("/client-XXXXXX")};
        Client() { home.setAutoRemove(qEnvironmentVariableIsEmpty("LUNVIK_TEST_HOMES")); }
        QUrl proxy;
        QStringList stderrs;
        QString support() const { return home.path() + QStringLiteral("/data/LunvikPhotos/"); }
    };

    QProcess *startCli(Client &client, const QStringList &arguments, QProcess &process,
                       const QString &program = QStringLiteral(LUNVIK_CLI_BINARY))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), client.home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), client.home.path() + QStringLiteral("/data"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), client.home.path() + QStringLiteral("/config"));
        environment.insert(QStringLiteral("XDG_DOWNLOAD_DIR"), client.home.path() + QStringLiteral("/Downloads"));
        environment.insert(QStringLiteral("LUNVIK_LOCAL_SERVER_URL"), client.proxy.toString());
        const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), (asan.isEmpty() ? QString() : asan + QLatin1Char(':'))
                                                               + QStringLiteral("exitcode=%1").arg(sanitizerExitCode));
        process.setProcessEnvironment(environment);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.start(program, arguments);
        process.waitForStarted(10000);
        return &process;
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
        QFile capture(client.home.filePath(QStringLiteral("stderr-%1.txt").arg(client.stderrs.size())));
        if (capture.open(QIODevice::WriteOnly))
            capture.write(err);
    }

    bool unlock(Client &client)
    {
        for (int attempt = 0; attempt < 6; ++attempt) {
            if (cli(client, {QStringLiteral("unlock"), QStringLiteral("--name"), QStringLiteral("Mia")},
                    familyPassword.toUtf8() + '\n')
                    .exitCode
                == 0)
                return true;
        }
        return false;
    }

    QByteArray serverGet(const QString &path)
    {
        QNetworkRequest request(server.baseURL().resolved(QUrl(path)));
        request.setRawHeader("Authorization", "Bearer " + serverToken.toUtf8());
        QNetworkReply *reply = network.get(request);
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        reply->deleteLater();
        return reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    }

    std::optional<GalleryState> serverState()
    {
        const auto response = GalleryResponse::fromJsonBytes(serverGet(QStringLiteral("/api/gallery")));
        return response ? std::optional<GalleryState>(response->state) : std::nullopt;
    }

    // The local manifest and the cache as the server has them (no checks of
    // the bytes): what a running desktop app reaches by itself.
    bool caughtUp(Client &client)
    {
        const auto truth = serverState();
        const auto local = GalleryState::fromJsonBytes(readFile(client.support() + QStringLiteral("local-gallery.json")));
        if (!truth || !local || *local != *truth)
            return false;
        for (const PhotoEntry &photo : truth->activePhotos()) {
            if (!QFile::exists(client.support() + QStringLiteral("cache/") + photo.id + QStringLiteral(".jpg")))
                return false;
        }
        return true;
    }

    // What must hold once one sync has run without faults.
    void verifyConsistent(Client &client, const QString &label)
    {
        const auto truth = serverState();
        QVERIFY(truth);
        const auto local = GalleryState::fromJsonBytes(readFile(client.support() + QStringLiteral("local-gallery.json")));
        QVERIFY2(local, qPrintable(label + QStringLiteral(": no valid local manifest")));
        QVERIFY2(*local == *truth, qPrintable(label + QStringLiteral(": local manifest differs from the server's")));

        // Exactly the visible photos' files, each as the server has it (and
        // thumbnails the desktop app showed, of visible photos only).
        QStringList expected;
        QStringList visible;
        for (const PhotoEntry &photo : truth->activePhotos()) {
            expected << photo.id + QStringLiteral(".jpg");
            visible << photo.id;
        }
        expected.sort();
        expected.removeDuplicates();
        QDir cache(client.support() + QStringLiteral("cache"));
        QStringList present;
        static const QRegularExpression thumbnail(QStringLiteral("^(.+)_w([0-9]+)\\.jpg$"));
        for (const QString &name : cache.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            const QRegularExpressionMatch match = thumbnail.match(name);
            if (match.hasMatch() && visible.contains(match.captured(1))) {
                QVERIFY2(readFile(cache.filePath(name))
                             == serverGet(QStringLiteral("/api/gallery/photos/%1/image?w=%2")
                                              .arg(match.captured(1), match.captured(2))),
                         qPrintable(label + QStringLiteral(": thumbnail is not whole: ") + name));
                continue;
            }
            present << name;
        }
        present.sort();
        QVERIFY2(present == expected, qPrintable(QStringLiteral("%1: cache holds %2, expected %3")
                                                     .arg(label, present.join(u' '), expected.join(u' '))));
        for (const QString &name : present) {
            const QString id = name.chopped(4);
            QVERIFY2(readFile(cache.filePath(name)) == serverGet(QStringLiteral("/api/gallery/photos/%1/image").arg(id)),
                     qPrintable(label + QStringLiteral(": cached file is not whole: ") + name));
        }

        // Settings valid, owner-only.
        const QString config = client.support() + QStringLiteral("config.json");
        QVERIFY2(AppSettings::fromJsonBytes(readFile(config)), qPrintable(label + QStringLiteral(": settings")));
        QCOMPARE(QFile::permissions(config) & 0x0077, QFileDevice::Permissions());
    }

    // No secret in the log or on standard error; every log line a record.
    void verifyNoSecrets(Client &client, const QString &label)
    {
        const QByteArray log = readFile(client.support() + QStringLiteral("activity.log"));
        for (const QByteArray &line : log.split('\n')) {
            if (!line.isEmpty())
                QVERIFY2(LogEntry::fromLine(line), qPrintable(label + QStringLiteral(": bad log line ") + line));
        }
        QStringList secrets{familyPassword};
        const auto settings = AppSettings::fromJsonBytes(readFile(client.support() + QStringLiteral("config.json")));
        if (settings && !settings->syncSessionToken.isEmpty())
            secrets << settings->syncSessionToken;
        for (const QString &secret : secrets) {
            QVERIFY2(!log.contains(secret.toUtf8()), qPrintable(label + QStringLiteral(": a secret in the log")));
            for (const QString &err : client.stderrs)
                QVERIFY2(!err.contains(secret), qPrintable(label + QStringLiteral(": a secret on stderr")));
        }
    }

    int errorRecords(Client &client)
    {
        int count = 0;
        for (const QByteArray &line : readFile(client.support() + QStringLiteral("activity.log")).split('\n')) {
            const auto entry = LogEntry::fromLine(line);
            if (entry && (entry->level == LogLevel::error || entry->level == LogLevel::warning))
                ++count;
        }
        return count;
    }

    bool setUpClient(Client &client)
    {
        return cli(client, {QStringLiteral("debug"), QStringLiteral("on")}).exitCode == 0 && unlock(client);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        QNetworkRequest request(server.baseURL().resolved(QUrl(QStringLiteral("/api/auth/session"))));
        request.setRawHeader("Authorization", "Bearer " + familyPassword.toUtf8());
        QNetworkReply *reply = network.post(request, QByteArray());
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        serverToken = QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("sessionToken")).toString();
        reply->deleteLater();
        QVERIFY(!serverToken.isEmpty());
    }

    void cleanupTestCase()
    {
        qInfo("faults survived: %d", faultsSurvived);
        QVERIFY(server.stop());
    }

    void faultsThenOneSync_data()
    {
        QTest::addColumn<quint32>("seed");
        const int first = envNumber("LUNVIK_FAULT_SEED", 1);
        const int count = envNumber("LUNVIK_FAULT_SEEDS", 2);
        for (int i = 0; i < count; ++i)
            QTest::addRow("seed %d", first + i) << quint32(first + i);
    }
    void faultsThenOneSync()
    {
        QFETCH(quint32, seed);
        const QString label = QStringLiteral("seed %1").arg(seed);
        FaultProxy proxy(server.baseURL(), seed);
        QVERIFY(proxy.listen());
        Client client;
        client.proxy = proxy.baseUrl();
        QVERIFY(setUpClient(client));

        std::mt19937 random(seed);
        proxy.setFaultRate(0.4);
        int uploadsTried = 0;
        QStringList names;
        for (int round = 0; round < 4; ++round) {
            const int errorsBefore = errorRecords(client);
            CliRun run;
            switch (round) {
            case 0:
                run = cli(client, {QStringLiteral("sync")});
                break;
            case 1: {
                QStringList files;
                for (int i = 0; i < 3; ++i) {
                    const QString name = QStringLiteral("s%1-%2.jpg").arg(seed).arg(i);
                    const QString path = client.home.filePath(name);
                    QFile file(path);
                    QVERIFY(file.open(QIODevice::WriteOnly));
                    file.write(jpeg(QColor::fromHsv(int(random() % 360), 200, 200), 64 + i));
                    files << path;
                    names << name;
                }
                uploadsTried += int(files.size());
                run = cli(client, QStringList{QStringLiteral("upload")} + files);
                break;
            }
            case 2: {
                const CliRun listed = cli(client, {QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--offline")});
                QStringList ids;
                for (const QJsonValue &row : QJsonDocument::fromJson(listed.out.toUtf8()).array())
                    ids << row.toObject().value(QStringLiteral("id")).toString();
                if (ids.size() < 2)
                    continue;
                std::shuffle(ids.begin(), ids.end(), random);
                run = cli(client, QStringList{QStringLiteral("reorder")} + ids);
                break;
            }
            case 3: {
                const auto truth = serverState();
                QVERIFY(truth);
                QString victim;
                for (const PhotoEntry &photo : truth->activePhotos()) {
                    if (photo.id != truth->currentPhotoId.value_or(QString()))
                        victim = photo.id;
                }
                if (victim.isEmpty() || truth->activePhotos().size() < 3)
                    continue;
                run = cli(client, {QStringLiteral("delete"), victim});
                break;
            }
            }
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1 || run.exitCode == 3, qPrintable(label + ' ' + describe(run)));
            if (run.exitCode == 1)
                QVERIFY2(errorRecords(client) > errorsBefore,
                         qPrintable(label + QStringLiteral(": a failure without a log record\n") + describe(run)));
            if (run.exitCode == 3)
                QVERIFY(unlock(client));
        }

        proxy.setFaultRate(0);
        CliRun last = cli(client, {QStringLiteral("sync")});
        if (last.exitCode == 3) {
            QVERIFY(unlock(client));
            last = cli(client, {QStringLiteral("sync")});
        }
        QVERIFY2(last.exitCode == 0, qPrintable(label + ' ' + describe(last)));
        verifyConsistent(client, label);
        if (QTest::currentTestFailed())
            return;
        verifyNoSecrets(client, label);

        // No file reached the server twice.
        const auto truth = serverState();
        for (const QString &name : names) {
            int copies = 0;
            for (const PhotoEntry &photo : truth->photos)
                copies += photo.filename == name ? 1 : 0;
            QVERIFY2(copies <= 1, qPrintable(QStringLiteral("%1: %2 uploaded %3 times").arg(label, name).arg(copies)));
        }
        QVERIFY(proxy.uploadsForwarded() <= uploadsTried + 3); // stale retries send a refused upload again
        int injected = 0;
        QStringList counts;
        const auto kinds = proxy.injected();
        for (auto it = kinds.begin(); it != kinds.end(); ++it) {
            injected += it.value();
            counts << QStringLiteral("%1 %2").arg(it.value()).arg(FaultProxy::name(it.key()));
        }
        faultsSurvived += injected;
        qInfo("%s: %d exchanges, faults: %s", qPrintable(label), proxy.exchanges(), qPrintable(counts.join(", ")));
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
        FaultProxy proxy(server.baseURL(), 1);
        QVERIFY(proxy.listen());
        Client client;
        client.proxy = proxy.baseUrl();
        const QString support = client.support();
        QVERIFY(QDir().mkpath(support));
        // A support folder on a tiny file system of its own (root only).
        const auto mount = [](const QStringList &arguments) {
            return QProcess::execute(QStringLiteral("mount"), arguments) == 0;
        };
        if (!mount({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=256k"),
                    QStringLiteral("tmpfs"), support}))
            QSKIP("cannot mount a tmpfs here (not root, or mounting is not permitted)");
        const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {support}); });
        QVERIFY(setUpClient(client));
        QVERIFY(cli(client, {QStringLiteral("sync")}).exitCode == 0);
        const QByteArray settingsBefore = readFile(support + QStringLiteral("config.json"));
        const QByteArray galleryBefore = readFile(support + QStringLiteral("local-gallery.json"));
        QVERIFY(AppSettings::fromJsonBytes(settingsBefore));
        QDir(support + QStringLiteral("cache")).removeRecursively();

        QString expected;
        if (readOnly) {
            QVERIFY(mount({QStringLiteral("-o"), QStringLiteral("remount,ro"), support}));
            expected = QStringLiteral("Read-only file system");
        } else {
            // Fill what is left.
            QFile filler(support + QStringLiteral("filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'f');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
            filler.close();
            expected = QStringLiteral("No space left on device");
        }

        // A changed setting, a sync with every photo to cache, a new interval.
        QString errors;
        for (const QStringList &arguments : {QStringList{QStringLiteral("set-name"), QStringLiteral("Mia Full")},
                                             QStringList{QStringLiteral("sync")},
                                             QStringList{QStringLiteral("debug"), QStringLiteral("interval"), QStringLiteral("120")}}) {
            const CliRun run = cli(client, arguments);
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1, qPrintable(describe(run)));
            errors += run.err;
        }
        // The failed writes are reported (the log file itself may be what
        // cannot be written, so standard error is where they show).
        Q_UNUSED(expected);
        QVERIFY2(errors.contains(QStringLiteral("Domain: QFileDevice")), qPrintable(errors));
        // The previous files are still whole.
        QCOMPARE(readFile(support + QStringLiteral("config.json")), settingsBefore);
        QCOMPARE(readFile(support + QStringLiteral("local-gallery.json")), galleryBefore);
        const QDir cache(support + QStringLiteral("cache"));
        for (const QString &name : cache.entryList({QStringLiteral("*.jpg")}, QDir::Files))
            QCOMPARE(readFile(cache.filePath(name)),
                     serverGet(QStringLiteral("/api/gallery/photos/%1/image").arg(name.chopped(4))));
    }

    void killedMidWork_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("killAfterMs");
        for (int ms : {150, 500, 1200, 2500}) {
            QTest::addRow("sync, killed after %d ms", ms) << QStringLiteral("sync") << ms;
            QTest::addRow("upload, killed after %d ms", ms) << QStringLiteral("upload") << ms;
        }
    }
    void killedMidWork()
    {
        QFETCH(QString, command);
        QFETCH(int, killAfterMs);
        FaultProxy proxy(server.baseURL(), quint32(killAfterMs));
        QVERIFY(proxy.listen());
        Client client;
        client.proxy = proxy.baseUrl();
        QVERIFY(setUpClient(client));
        // A sync that has every photo still to fetch, answers that come slowly.
        QDir(client.support() + QStringLiteral("cache")).removeRecursively();
        QFile::remove(client.support() + QStringLiteral("local-gallery.json"));
        proxy.setSlowdown(250);

        QStringList arguments{command};
        if (command == QLatin1StringView("upload")) {
            for (int i = 0; i < 2; ++i) {
                const QString path = client.home.filePath(QStringLiteral("k%1-%2.jpg").arg(killAfterMs).arg(i));
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(jpeg(QColor::fromHsv((killAfterMs + i * 40) % 360, 180, 220), 300));
                arguments << path;
            }
        }
        QProcess process;
        startCli(client, arguments, process);
        process.closeWriteChannel();
        const bool finishedEarly = process.waitForFinished(killAfterMs);
        if (!finishedEarly)
            ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(10000);

        // The next start reads valid files, and a half-written photo never
        // sits under its final name.
        const QString support = client.support();
        QVERIFY(AppSettings::fromJsonBytes(readFile(support + QStringLiteral("config.json"))));
        if (QFile::exists(support + QStringLiteral("local-gallery.json")))
            QVERIFY(GalleryState::fromJsonBytes(readFile(support + QStringLiteral("local-gallery.json"))));
        const QDir cache(support + QStringLiteral("cache"));
        for (const QString &name : cache.entryList({QStringLiteral("*.jpg")}, QDir::Files)) {
            const QByteArray bytes = readFile(cache.filePath(name));
            QVERIFY2(bytes == serverGet(QStringLiteral("/api/gallery/photos/%1/image").arg(name.chopped(4))),
                     qPrintable(QStringLiteral("half-written cache file ") + name));
        }

        proxy.setSlowdown(0);
        const CliRun after = cli(client, {QStringLiteral("sync")});
        QVERIFY2(after.exitCode == 0, qPrintable(describe(after)));
        verifyConsistent(client, QStringLiteral("%1 killed after %2 ms").arg(command).arg(killAfterMs));
        verifyNoSecrets(client, command);
    }

    void desktopAppKilledMidSync()
    {
        FaultProxy proxy(server.baseURL(), 11);
        QVERIFY(proxy.listen());
        Client client;
        client.proxy = proxy.baseUrl();
        QVERIFY(setUpClient(client));
        QStringList upload{QStringLiteral("upload")};
        for (int i = 0; i < 4; ++i) {
            const QString path = client.home.filePath(QStringLiteral("app-%1.jpg").arg(i));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(jpeg(QColor::fromHsv(40 + i * 70, 160, 230), 200));
            upload << path;
        }
        QVERIFY(cli(client, upload).exitCode == 0);
        // The app unlocks with the saved token, and its first refresh has
        // every photo to fetch, slowly.
        QDir(client.support() + QStringLiteral("cache")).removeRecursively();
        QFile::remove(client.support() + QStringLiteral("local-gallery.json"));
        proxy.setSlowdown(250);
        const QString program = QStringLiteral(LUNVIK_APP_BINARY);
        const int before = proxy.exchanges();
        {
            QProcess app;
            startCli(client, {}, app, program);
            QVERIFY(app.state() == QProcess::Running);
            // Killed once the refresh is fetching images.
            const QDir cache(client.support() + QStringLiteral("cache"));
            const bool underWay = QTest::qWaitFor(
                [&] {
                    return !cache.entryList({QStringLiteral("*.jpg")}, QDir::Files).isEmpty()
                        || app.state() != QProcess::Running;
                },
                60000);
            QVERIFY(underWay);
            QVERIFY2(app.state() == QProcess::Running, app.readAllStandardError().constData());
            ::kill(pid_t(app.processId()), SIGKILL);
            app.waitForFinished(10000);
            keepStderr(client, app.readAllStandardError());
        }
        const QString support = client.support();
        QVERIFY(AppSettings::fromJsonBytes(readFile(support + QStringLiteral("config.json"))));
        if (QFile::exists(support + QStringLiteral("local-gallery.json")))
            QVERIFY(GalleryState::fromJsonBytes(readFile(support + QStringLiteral("local-gallery.json"))));
        const QDir cache(support + QStringLiteral("cache"));
        for (const QString &name : cache.entryList({QStringLiteral("*.jpg")}, QDir::Files))
            QVERIFY2(readFile(cache.filePath(name))
                         == serverGet(QStringLiteral("/api/gallery/photos/%1/image").arg(name.chopped(4))),
                     qPrintable(QStringLiteral("half-written cache file ") + name));

        QVERIFY2(!caughtUp(client), "the refresh ended before the kill");

        // Started again, the app reads what is there and its one refresh
        // completes the work.
        proxy.setSlowdown(0);
        const int restarted = proxy.exchanges();
        QProcess app;
        startCli(client, {}, app, program);
        const bool done = QTest::qWaitFor([&] { return caughtUp(client) || app.state() != QProcess::Running; }, 90000);
        QVERIFY2(app.state() == QProcess::Running, app.readAllStandardError().constData());
        app.terminate();
        app.waitForFinished(10000);
        keepStderr(client, app.readAllStandardError());
        QVERIFY2(done, "the restarted app did not catch up");
        qInfo("desktop app: %d exchanges before the kill, %d after the restart", restarted - before,
              proxy.exchanges() - restarted);
        verifyConsistent(client, QStringLiteral("desktop app killed mid-sync"));
        verifyNoSecrets(client, QStringLiteral("desktop app"));
    }
};

LUNVIK_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
