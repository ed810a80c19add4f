// lunvik-bench: the performance benchmarks of Lunvik Photos.
//
//   lunvik-bench run --bin BUILD_DIR --work WORK_DIR [--quick] [--only NAME]
//       generates the inputs into WORK_DIR/inputs, runs every case (or those
//       whose name starts with NAME) a few times after a warm-up, each next
//       to its peer in the same run where it has one, and prints one table
//       (also written to WORK_DIR/last-run.md).
//   lunvik-bench measure CASE --warmup N --iterations N [ARGS...]
//       one in-process case (benchmeasure.h); the runner starts these.
//
// Programs are timed from the outside (spawn to exit, or to a line they
// print); in-process cases time the product's own calls.

#include "benchfixtures.h"
#include "benchmeasure.h"
#include "benchprocess.h"
#include "benchreport.h"
#include "latencyproxy.h"

#include "rules/epaperrendering.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>

namespace {

struct Plan {
    bool quick = false;
    int thumbnailRuns, normaliseRuns, manifestRuns, processRuns, syncRuns, logRuns, appRuns, memoryRuns;
    QSize pngSize;
    int manifestPhotos, coldStartPhotos, syncPhotos, appStartPhotos, memoryPhotos;

    static Plan make(bool quick)
    {
        if (quick)
            return {true, 3, 2, 3, 3, 1, 3, 2, 1, QSize(4000, 1000), 2000, 1000, 40, 200, 400};
        return {false, 15, 5, 10, 10, 5, 20, 5, 3, QSize(8000, 2000), 10000, 5000, 500, 1000, 5000};
    }
};

constexpr int warmups = 1;
constexpr int logRecords = 2000;
constexpr int syncPhotoBytes = 200000;
const QString serverPassword = QStringLiteral("bench-family-password");

void say(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

// The first of `names` found: in /usr/bin (the distribution's program, not a
// wrapper earlier on PATH) or else on PATH.
QString peerProgram(const QString &name)
{
    const QString system = QStringLiteral("/usr/bin/") + name;
    if (QFileInfo(system).isExecutable())
        return system;
    return QStandardPaths::findExecutable(name);
}

// A loopback port nothing listens on: the address of an unreachable server.
int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

class Runner
{
public:
    Runner(QString bin, QString work, bool quick, QString only)
        : m_bin(std::move(bin)), m_work(std::move(work)), m_only(std::move(only)), m_plan(Plan::make(quick))
    {
        m_inputs = m_work + (quick ? QStringLiteral("/inputs-quick") : QStringLiteral("/inputs"));
        m_errors = m_work + QStringLiteral("/errors.log");
        QDir().mkpath(m_inputs);
        QFile::remove(m_errors);
    }

    int run()
    {
        for (const QString &program : {binary(QStringLiteral("app/lunvik-photos")),
                                       binary(QStringLiteral("cli/lunvik-photos-cli")),
                                       binary(QStringLiteral("devserver/lunvik-gallery-server"))}) {
            if (!QFileInfo(program).isExecutable()) {
                say(QStringLiteral("lunvik-bench: %1 is not built").arg(program));
                return 1;
            }
        }
        say(QStringLiteral("Inputs in %1").arg(m_inputs));
        step(QStringLiteral("thumbnail decode"), [this] { thumbnailDecode(); });
        step(QStringLiteral("normalise to JPEG"), [this] { normaliseToJPEG(); });
        step(QStringLiteral("e-paper rendering"), [this] { epaperRendering(); });
        step(QStringLiteral("manifest load"), [this] { manifestLoad(); });
        step(QStringLiteral("cold start"), [this] { coldStart(); });
        step(QStringLiteral("sync"), [this] { sync(); });
        step(QStringLiteral("log merge"), [this] { logMerge(); });
        step(QStringLiteral("app start"), [this] { appStart(); });
        step(QStringLiteral("app memory"), [this] { appMemory(); });

        const QString heading = QStringLiteral("Lunvik Photos benchmarks%1, %2 cores\n\n")
                                    .arg(m_plan.quick ? QStringLiteral(" (--quick: smaller inputs, few rounds)")
                                                      : QString())
                                    .arg(QThread::idealThreadCount());
        const QString text = heading + BenchReport::table(m_cases);
        std::fputs(qPrintable(text), stdout);
        std::fflush(stdout);
        QFile out(m_work + QStringLiteral("/last-run.md"));
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(text.toUtf8());
        bool allRan = true;
        for (const BenchCase &c : std::as_const(m_cases))
            allRan = allRan && BenchReport::verdict(c) != QLatin1String("failed");
        if (!allRan)
            say(QStringLiteral("Some cases did not run; see %1").arg(m_errors));
        return allRan ? 0 : 1;
    }

private:
    QString binary(const QString &relative) const { return m_bin + QLatin1Char('/') + relative; }

    void step(const QString &name, const std::function<void()> &body)
    {
        if (!name.startsWith(m_only))
            return;
        say(QStringLiteral("- %1").arg(name));
        const qsizetype before = m_cases.size();
        try {
            body();
        } catch (const std::exception &e) {
            BenchCase failed;
            failed.name = name;
            failed.failure = QString::fromUtf8(e.what());
            m_cases.insert(before, failed);
            say(QStringLiteral("  failed: %1").arg(failed.failure));
        }
    }

    BenchProcess::Options options(QStringList environment = {}) const
    {
        BenchProcess::Options o;
        o.environment = std::move(environment);
        o.errorLog = m_errors;
        return o;
    }

    // Runs an in-process case and collects its samples by series.
    QHash<QString, QList<double>> measure(const QString &caseName, const QStringList &arguments, int iterations,
                                          const QStringList &environment = {}, int warmupRounds = warmups)
    {
        BenchProcess::Options o = options(environment);
        o.captureOutput = true;
        o.timeoutSeconds = 900;
        QStringList args{QStringLiteral("measure"), caseName, QStringLiteral("--warmup"),
                         QString::number(warmupRounds), QStringLiteral("--iterations"), QString::number(iterations)};
        args += arguments;
        const BenchProcess::Result result = BenchProcess::run(QCoreApplication::applicationFilePath(), args, o);
        if (result.exitCode != 0)
            throw std::runtime_error(QStringLiteral("the %1 case failed (exit %2)").arg(caseName).arg(result.exitCode)
                                         .toStdString());
        QHash<QString, QList<double>> series;
        for (const BenchProcess::Line &line : result.lines) {
            const QStringList parts = line.text.split(QLatin1Char(' '));
            if (parts.size() == 3 && parts.at(0) == QLatin1String("sample"))
                series[parts.at(1)].append(parts.at(2).toDouble());
        }
        return series;
    }

    // Times a whole program `iterations` times after the warm-up; `before`
    // runs ahead of every round, outside the timing.
    QList<double> timeProgram(const QString &program, const QStringList &arguments, int iterations,
                              const BenchProcess::Options &o, const std::function<void()> &before = {})
    {
        QList<double> samples;
        for (int i = 0; i < warmups + iterations; ++i) {
            if (before)
                before();
            const BenchProcess::Result result = BenchProcess::run(program, arguments, o);
            if (result.exitCode != 0)
                throw std::runtime_error(QStringLiteral("%1 exited with %2")
                                             .arg(QFileInfo(program).fileName())
                                             .arg(result.exitCode)
                                             .toStdString());
            if (i >= warmups)
                samples << result.wallMs;
        }
        return samples;
    }

    // ---- thumbnail decode ------------------------------------------------
    void thumbnailDecode()
    {
        const QString file = m_inputs + QStringLiteral("/photo-4000x3000-exif6.jpg");
        if (!QFileInfo::exists(file)) {
            const QImage image = BenchFixtures::photoLikeImage(QSize(4000, 3000), 11);
            BenchFixtures::writeFileOnce(file,
                                         BenchFixtures::withExifOrientation(BenchFixtures::encodeJPEG(image, 90), 6));
        }
        const QString djpeg = peerProgram(QStringLiteral("djpeg"));
        if (djpeg.isEmpty())
            throw std::runtime_error("djpeg is not installed (libjpeg-turbo-progs)");
        BenchCase c;
        c.name = QStringLiteral("thumbnail decode (4000×3000 JPEG, EXIF 6 → 420 px)");
        c.target = BenchCase::Target::ratioToPeer;
        c.targetValue = 1.25;
        c.peerName = QStringLiteral("djpeg -scale 1/8");
        // Interleaved, so both sides see the same load on a shared machine.
        for (int round = 0; round < m_plan.thumbnailRuns; ++round) {
            c.samples += measure(QStringLiteral("thumbnail"), {file, QStringLiteral("420")}, 1).value(QStringLiteral("decode"));
            c.peerSamples += timeProgram(djpeg, {QStringLiteral("-scale"), QStringLiteral("1/8"),
                                                 QStringLiteral("-outfile"), QStringLiteral("/dev/null"), file},
                                         1, options());
        }
        m_cases << c;
    }

    // ---- normalise to JPEG -------------------------------------------------
    // The large PNG of the re-encoding cases, made once.
    QString normaliseInput()
    {
        const QSize size = m_plan.pngSize;
        const QString file = m_inputs + QStringLiteral("/panorama-%1x%2.png").arg(size.width()).arg(size.height());
        if (!QFileInfo::exists(file)) {
            const QImage image = BenchFixtures::photoLikeImage(size, 21);
            if (!image.save(file + QStringLiteral(".part"), "png") || !QFile::rename(file + QStringLiteral(".part"), file))
                throw std::runtime_error("cannot write the PNG input");
        }
        return file;
    }

    void normaliseToJPEG()
    {
        const QSize size = m_plan.pngSize;
        const QString file = normaliseInput();
        const QString convert = peerProgram(QStringLiteral("convert"));
        if (convert.isEmpty())
            throw std::runtime_error("ImageMagick's convert is not installed");
        BenchCase c;
        c.name = QStringLiteral("normalise to JPEG (%1×%2 PNG → 4096 px)").arg(size.width()).arg(size.height());
        c.target = BenchCase::Target::ratioToPeer;
        c.targetValue = 1.0;
        c.peerName = QStringLiteral("convert");
        const QString ours = m_work + QStringLiteral("/normalised.jpg");
        const QString theirs = m_work + QStringLiteral("/convert.jpg");
        for (int round = 0; round < m_plan.normaliseRuns; ++round) {
            c.samples += measure(QStringLiteral("normalise"), {file, ours}, 1).value(QStringLiteral("normalise"));
            c.peerSamples += timeProgram(convert, {file, QStringLiteral("-resize"), QStringLiteral("4096x4096"),
                                                   QStringLiteral("-quality"), QStringLiteral("88"), theirs},
                                         1, options());
        }
        m_cases << c;
    }

    // ---- e-paper rendering ----------------------------------------------------
    void epaperRendering()
    {
        const QString file = m_inputs + QStringLiteral("/photo-4000x3000.jpg");
        if (!QFileInfo::exists(file))
            BenchFixtures::writeFileOnce(file, BenchFixtures::encodeJPEG(BenchFixtures::photoLikeImage(QSize(4000, 3000), 13), 90));
        // ImageMagick's palette: the same six inks, one pixel each.
        const QString inks = m_inputs + QStringLiteral("/inks.png");
        if (!QFileInfo::exists(inks)) {
            QImage palette(int(EpaperRendering::inks().size()), 1, QImage::Format_RGB32);
            for (int i = 0; i < palette.width(); ++i)
                palette.setPixel(i, 0, EpaperRendering::inks()[size_t(i)].color);
            if (!palette.save(inks, "png"))
                throw std::runtime_error("cannot write the ink palette");
        }
        const QString convert = peerProgram(QStringLiteral("convert"));
        if (convert.isEmpty())
            throw std::runtime_error("ImageMagick's convert is not installed");
        BenchCase c;
        c.name = QStringLiteral("e-paper rendering (4000×3000 JPEG → 1200×1600, six inks)");
        c.target = BenchCase::Target::ratioToPeer;
        c.targetValue = 0.2;
        c.peerName = QStringLiteral("convert -resize -dither FloydSteinberg -remap");
        const QString theirs = m_work + QStringLiteral("/epaper-convert.png");
        for (int round = 0; round < m_plan.normaliseRuns; ++round) {
            c.samples += measure(QStringLiteral("epaper"), {file, QStringLiteral("1200"), QStringLiteral("1600")}, 1)
                             .value(QStringLiteral("render"));
            c.peerSamples += timeProgram(convert, {file, QStringLiteral("-resize"), QStringLiteral("1200x1600"),
                                                   QStringLiteral("-dither"), QStringLiteral("FloydSteinberg"),
                                                   QStringLiteral("-remap"), inks, theirs},
                                         1, options());
        }
        m_cases << c;
    }

    // ---- manifest load -----------------------------------------------------
    void manifestLoad()
    {
        const QString home = m_inputs + QStringLiteral("/manifest-client");
        if (!QFileInfo::exists(home + QStringLiteral("/LunvikPhotos/local-gallery.json"))) {
            const GalleryState state = BenchFixtures::manifest(m_plan.manifestPhotos, 31);
            BenchFixtures::writeClientFolder(home, QStringLiteral("bench-token"), &state);
        }
        BenchCase c;
        c.name = QStringLiteral("manifest load (%1 photos)").arg(m_plan.manifestPhotos);
        c.target = BenchCase::Target::below;
        c.targetValue = 40;
        const QHash<QString, QList<double>> series = measure(QStringLiteral("manifest"), {}, m_plan.manifestRuns,
                                                             {QStringLiteral("XDG_DATA_HOME=") + home});
        c.samples = series.value(QStringLiteral("load"));
        // The same rounds in CPU time of the loading thread, which the other
        // work on a shared machine does not lengthen.
        BenchCase cpu;
        cpu.name = QStringLiteral("manifest load, CPU time of the main thread");
        cpu.target = BenchCase::Target::below;
        cpu.targetValue = 40;
        cpu.samples = series.value(QStringLiteral("load-cpu"));
        m_cases << c << cpu;
    }

    // ---- cold start --------------------------------------------------------
    void coldStart()
    {
        const QString home = m_inputs + QStringLiteral("/coldstart-client");
        if (!QFileInfo::exists(home + QStringLiteral("/LunvikPhotos/local-gallery.json"))) {
            const GalleryState state = BenchFixtures::manifest(m_plan.coldStartPhotos, 41);
            BenchFixtures::writeClientFolder(home, QStringLiteral("bench-token"), &state);
        }
        BenchCase c;
        c.name = QStringLiteral("cold start (list --offline, %1 photos)").arg(m_plan.coldStartPhotos);
        c.target = BenchCase::Target::below;
        c.targetValue = 150;
        const QStringList environment{
            QStringLiteral("XDG_DATA_HOME=") + home,
            QStringLiteral("LUNVIK_LOCAL_SERVER_URL=http://127.0.0.1:%1").arg(closedPort()),
        };
        c.samples = timeProgram(binary(QStringLiteral("cli/lunvik-photos-cli")),
                                {QStringLiteral("list"), QStringLiteral("--offline")}, m_plan.processRuns,
                                options(environment));
        m_cases << c;
    }

    // Starts the development server on `folder`; its address.
    // A development server, stopped when this goes out of scope.
    struct RunningServer {
        std::optional<BenchProcess::Background> process;
        ~RunningServer()
        {
            if (process)
                BenchProcess::stop(*process);
        }
    };

    // The address of the link with latency; throws when it could not listen.
    static QString proxiedURL(const LatencyProxy &proxy)
    {
        if (proxy.port() == 0)
            throw std::runtime_error("the latency proxy did not start");
        return QStringLiteral("http://127.0.0.1:%1").arg(proxy.port());
    }

    QString startServer(const QString &folder, std::optional<BenchProcess::Background> &server)
    {
        const QString serverOutput = m_work + QStringLiteral("/server-%1.out").arg(QFileInfo(folder).fileName());
        QFile::remove(serverOutput);
        server = BenchProcess::start(
            binary(QStringLiteral("devserver/lunvik-gallery-server")),
            {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("0"),
             QStringLiteral("--data"), folder, QStringLiteral("--password"), serverPassword},
            options(), serverOutput);
        if (!server)
            throw std::runtime_error("cannot start the development server");
        QString url;
        for (int i = 0; i < 300 && url.isEmpty(); ++i) {
            QFile file(serverOutput);
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray text = file.readAll();
                const qsizetype at = text.indexOf("Listening on ");
                if (at >= 0 && text.indexOf('\n', at) > at)
                    url = QString::fromUtf8(text.mid(at + 13, text.indexOf('\n', at) - at - 13)).trimmed();
            }
            if (url.isEmpty())
                QThread::msleep(50);
        }
        if (url.isEmpty()) {
            BenchProcess::stop(*server);
            throw std::runtime_error("the development server did not start");
        }
        return url;
    }

    // ---- sync and the main-thread stall ---------------------------------
    void sync()
    {
        const QString serverFolder = m_inputs + QStringLiteral("/server-%1").arg(m_plan.syncPhotos);
        const GalleryState state = BenchFixtures::writeServerFolder(serverFolder, m_plan.syncPhotos, syncPhotoBytes);
        RunningServer server;
        const QString url = startServer(serverFolder, server.process);

        const QString curl = peerProgram(QStringLiteral("curl"));
        if (curl.isEmpty())
            throw std::runtime_error("curl is not installed");
        const QString token = sessionToken(curl, url);

        // The client: signed in, debug mode, nothing cached.
        const QString home = m_work + QStringLiteral("/sync-client");
        QDir(home).removeRecursively();
        BenchFixtures::writeClientFolder(home, token, nullptr);
        const QString support = home + QStringLiteral("/LunvikPhotos");
        // Each round starts without the files of the round before, which are
        // moved aside and deleted only when the case is over: on ext4,
        // creating files right after deleting as many in the same place makes
        // every new inode search past the recently deleted ones, which would
        // time the file system's bookkeeping rather than the download.
        const QString attic = m_work + QStringLiteral("/sync-attic");
        QDir(attic).removeRecursively();
        QDir().mkpath(attic);
        struct AtticCleaner {
            QString folder;
            ~AtticCleaner() { QDir(folder).removeRecursively(); }
        } atticCleaner{attic};
        int moved = 0;
        const auto moveAside = [attic, &moved](const QString &folder) {
            if (QFileInfo::exists(folder))
                QDir().rename(folder, attic + QStringLiteral("/%1").arg(++moved));
        };
        // Both sides also start with nothing waiting to be written to disk:
        // the client flushes each file it writes, and on ext4 a flush also
        // writes out whatever else is pending (the peer's 100 MB, say).
        const auto resetClient = [support, moveAside] {
            moveAside(support + QStringLiteral("/cache"));
            QFile::remove(support + QStringLiteral("/local-gallery.json"));
            QFile::remove(support + QStringLiteral("/activity.log"));
            ::sync();
        };
        // The peer: the same image addresses, one after another on one
        // connection, or four at a time (--parallel-max 4).
        const QString peerFolder = m_work + QStringLiteral("/curl-images");
        const auto curlConfig = [&](const QString &base, const QString &name) {
            const QString file = m_work + QStringLiteral("/") + name;
            QFile config(file);
            if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
                throw std::runtime_error("cannot write the curl configuration");
            QByteArray text = "silent\nfail\nheader = \"Authorization: Bearer " + token.toUtf8() + "\"\n";
            for (const QString &id : state.order) {
                text += "url = \"" + base.toUtf8() + "/api/gallery/photos/" + id.toUtf8() + "/image\"\n";
                text += "output = \"" + peerFolder.toUtf8() + "/" + id.toUtf8() + ".jpg\"\n";
            }
            config.write(text);
            return file;
        };
        const auto resetPeer = [peerFolder, moveAside] {
            moveAside(peerFolder);
            QDir().mkpath(peerFolder);
            ::sync();
        };
        const QStringList parallel{QStringLiteral("--parallel"), QStringLiteral("--parallel-max"), QStringLiteral("4")};

        // Over loopback, and over a link of 40 ms round trip that the client
        // and both peers go through alike.
        const LatencyProxy proxy(quint16(QUrl(url).port()), std::chrono::milliseconds(20));
        const QString linkURL = proxiedURL(proxy);
        struct Link {
            QString label;
            QString url;
            double toOneByOne;
            double toParallel;
            int rounds;
        };
        const QList<Link> links{{QStringLiteral("loopback"), url, 1.0, 1.2, m_plan.syncRuns},
                                {QStringLiteral("40 ms link"), linkURL, 0.35, 1.15, std::max(1, m_plan.syncRuns - 2)}};
        for (const Link &link : links) {
            const QString oneByOne = curlConfig(link.url, QStringLiteral("curl-images.conf"));
            const QStringList clientEnvironment{QStringLiteral("XDG_DATA_HOME=") + home,
                                                QStringLiteral("LUNVIK_LOCAL_SERVER_URL=") + link.url};
            BenchCase c;
            c.name = QStringLiteral("sync (first, %1 photos of ~200 kB), %2").arg(state.order.size()).arg(link.label);
            c.target = BenchCase::Target::ratioToPeer;
            c.targetValue = link.toOneByOne;
            c.peerName = QStringLiteral("curl");
            BenchCase p = c;
            p.name = QStringLiteral("  same, to curl --parallel-max 4");
            p.targetValue = link.toParallel;
            p.peerName = QStringLiteral("curl ×4");
            for (int round = 0; round < link.rounds; ++round) {
                c.samples += timeProgram(binary(QStringLiteral("cli/lunvik-photos-cli")), {QStringLiteral("sync")}, 1,
                                         options(clientEnvironment), resetClient);
                c.peerSamples += timeProgram(curl, {QStringLiteral("--config"), oneByOne}, 1, options(), resetPeer);
                p.peerSamples += timeProgram(curl, parallel + QStringList{QStringLiteral("--config"), oneByOne}, 1,
                                             options(), resetPeer);
            }
            if (!QFileInfo::exists(support + QStringLiteral("/cache/") + state.order.constLast() + QStringLiteral(".jpg")))
                throw std::runtime_error("the sync did not download the photos");
            p.samples = c.samples;
            m_cases << c << p;
        }

        const QString stallHome = m_work + QStringLiteral("/stall-client");
        QDir(stallHome).removeRecursively();
        BenchFixtures::writeClientFolder(stallHome, token, nullptr);
        BenchCase stall;
        stall.name = QStringLiteral("longest main-thread stall during that sync");
        stall.target = BenchCase::Target::below;
        stall.targetValue = 50;
        stall.samples = measure(QStringLiteral("stall"), {}, m_plan.syncRuns,
                                {QStringLiteral("XDG_DATA_HOME=") + stallHome,
                                 QStringLiteral("LUNVIK_LOCAL_SERVER_URL=") + url})
                            .value(QStringLiteral("stall"));
        m_cases << stall;

        uploadStall(url, token, serverFolder, state);
        uploadOverLink(curl);
        appStartOverLink(curl);
    }

    // Three large files uploaded in one batch: reading, decoding and
    // re-encoding each as JPEG must leave the main thread free.
    void uploadStall(const QString &url, const QString &token, const QString &serverFolder, const GalleryState &served)
    {
        const QString png = normaliseInput();
        const QString home = m_work + QStringLiteral("/upload-client");
        QDir(home).removeRecursively();
        BenchFixtures::writeClientFolder(home, token, nullptr);
        BenchCase c;
        c.name = QStringLiteral("longest main-thread stall while uploading three %1×%2 PNGs")
                     .arg(m_plan.pngSize.width())
                     .arg(m_plan.pngSize.height());
        c.target = BenchCase::Target::below;
        c.targetValue = 50;
        c.samples = measure(QStringLiteral("uploadstall"), {png, png, png}, m_plan.syncRuns,
                            {QStringLiteral("XDG_DATA_HOME=") + home, QStringLiteral("LUNVIK_LOCAL_SERVER_URL=") + url})
                        .value(QStringLiteral("stall"));
        m_cases << c;
        // The server folder is an input of the next run: the uploaded photos go.
        QDir photos(serverFolder + QStringLiteral("/photos"));
        for (const QString &name : photos.entryList(QDir::Files)) {
            if (!served.photos.contains(QFileInfo(name).completeBaseName()))
                photos.remove(name);
        }
    }

    // 12 MP as a phone takes them; small for --quick.
    QSize heicSize() const { return m_plan.quick ? QSize(1200, 900) : QSize(4000, 3000); }

    // The HEIC photos of a phone, made once from photo-like pictures.
    QStringList heicInputs(int count)
    {
        const QString heifEnc = peerProgram(QStringLiteral("heif-enc"));
        if (heifEnc.isEmpty())
            throw std::runtime_error("heif-enc is not installed");
        const QString folder = m_inputs + QStringLiteral("/heic-%1x%2").arg(heicSize().width()).arg(heicSize().height());
        QDir().mkpath(folder);
        constexpr int distinct = 4;
        QStringList files;
        for (int i = 0; i < count; ++i) {
            const QString file = QStringLiteral("%1/IMG_%2.heic").arg(folder).arg(1000 + i);
            const QString source = QStringLiteral("%1/source-%2.heic").arg(folder).arg(i % distinct);
            if (!QFileInfo::exists(source)) {
                const QString jpeg = folder + QStringLiteral("/source.jpg");
                BenchFixtures::writeFileOnce(
                    jpeg, BenchFixtures::encodeJPEG(BenchFixtures::photoLikeImage(heicSize(), 70 + i), 92));
                timeProgram(heifEnc, {QStringLiteral("-q"), QStringLiteral("60"), QStringLiteral("-o"), source, jpeg},
                            0, options());
                QFile::remove(jpeg);
            }
            if (!QFileInfo::exists(file))
                QFile::copy(source, file);
            files << file;
        }
        return files;
    }

    // ---- upload batch over a link with latency ----------------------------
    // A batch of phone photos sent to a server 40 ms away, against the same
    // work done file after file: heif-convert to JPEG, then curl asks for
    // the manifest's version and posts the photo.
    void uploadOverLink(const QString &curl)
    {
        const QString heifConvert = peerProgram(QStringLiteral("heif-convert"));
        if (heifConvert.isEmpty())
            throw std::runtime_error("heif-convert is not installed");
        const int count = m_plan.quick ? 3 : 20;
        const QStringList files = heicInputs(count);
        // A small gallery of its own, made afresh: the uploads pile up there.
        const QString folder = m_work + QStringLiteral("/upload-server");
        QDir(folder).removeRecursively();
        BenchFixtures::writeServerFolder(folder, 1, syncPhotoBytes);
        RunningServer server;
        const QString url = startServer(folder, server.process);
        const QString token = sessionToken(curl, url);
        const LatencyProxy proxy(quint16(QUrl(url).port()), std::chrono::milliseconds(20));
        const QString linkURL = proxiedURL(proxy);

        const QString home = m_work + QStringLiteral("/upload-link-client");
        QDir(home).removeRecursively();
        BenchFixtures::writeClientFolder(home, token, nullptr);
        const int rounds = std::max(1, m_plan.syncRuns - 2);
        const QHash<QString, QList<double>> client =
            measure(QStringLiteral("uploadstall"), files, rounds,
                    {QStringLiteral("XDG_DATA_HOME=") + home, QStringLiteral("LUNVIK_LOCAL_SERVER_URL=") + linkURL});

        // The peer: one file after another, as a shell would do it.
        const QString script = m_work + QStringLiteral("/upload-peer.sh");
        const QString converted = m_work + QStringLiteral("/upload-peer");
        QDir().mkpath(converted);
        BenchFixtures::writeFileOnce(script, R"sh(set -eu
heif_convert=$1; curl=$2; url=$3; token=$4; out=$5; shift 5
for file in "$@"; do
  jpeg="$out/$(basename "$file" .heic).jpg"
  "$heif_convert" -q 88 "$file" "$jpeg" >/dev/null
  version=$("$curl" -s -f -H "Authorization: Bearer $token" "$url/api/gallery" \
    | grep -o '"updatedAt":"[^"]*"' | tail -n 1 | cut -d '"' -f 4)
  "$curl" -s -f -o /dev/null -H "Authorization: Bearer $token" -F "uploadedBy=Bench" \
    -F "baseUpdatedAt=$version" -F "filename=$(basename "$jpeg")" -F "image=@$jpeg;type=image/jpeg" \
    "$url/api/gallery/photos"
done
)sh");
        BenchCase c;
        c.name = QStringLiteral("upload batch, %1 HEIC photos of %2 MP, 40 ms link")
                     .arg(count)
                     .arg(qRound(heicSize().width() * heicSize().height() / 1e6));
        c.target = BenchCase::Target::ratioToPeer;
        c.targetValue = 0.6;
        c.peerName = QStringLiteral("heif-convert + curl");
        c.samples = client.value(QStringLiteral("upload"));
        c.peerSamples = timeProgram(QStringLiteral("/bin/bash"),
                                    QStringList{script, heifConvert, curl, linkURL, token, converted} + files, rounds,
                                    options());
        m_cases << c;
        BenchCase stall;
        stall.name = QStringLiteral("longest main-thread stall during that upload batch");
        stall.target = BenchCase::Target::below;
        stall.targetValue = 50;
        stall.samples = client.value(QStringLiteral("stall"));
        m_cases << stall;
        QDir(folder).removeRecursively();
    }

    // ---- app start over a link with latency --------------------------------
    // Signed in, the manifest on disk, no image cached: every thumbnail on
    // screen comes over the link while the first refresh downloads the
    // photos behind them.
    void appStartOverLink(const QString &curl)
    {
        const int photos = m_plan.quick ? 40 : 200;
        const QString folder = m_inputs + QStringLiteral("/server-app-%1").arg(photos);
        const GalleryState state = BenchFixtures::writeServerFolder(folder, photos, syncPhotoBytes);
        RunningServer server;
        const QString url = startServer(folder, server.process);
        const QString token = sessionToken(curl, url);
        const LatencyProxy proxy(quint16(QUrl(url).port()), std::chrono::milliseconds(20));
        const QString linkURL = proxiedURL(proxy);
        const QString home = m_work + QStringLiteral("/app-link-client");
        BenchCase c;
        c.name = QStringLiteral("app start → thumbnails on screen, 40 ms link (%1 photos, none cached)").arg(photos);
        c.target = BenchCase::Target::below;
        c.targetValue = 2000;
        for (int i = 0; i < warmups + m_plan.appRuns; ++i) {
            QDir(home).removeRecursively();
            BenchFixtures::writeClientFolder(home, token, &state);
            BenchProcess::Options o = options({QStringLiteral("XDG_DATA_HOME=") + home,
                                               QStringLiteral("LUNVIK_LOCAL_SERVER_URL=") + linkURL,
                                               QStringLiteral("QT_QPA_PLATFORM=offscreen"),
                                               QStringLiteral("LUNVIK_BENCH_GRID_HOOK=paint")});
            o.captureOutput = true;
            o.timeoutSeconds = 60;
            const BenchProcess::Result result = BenchProcess::run(binary(QStringLiteral("app/lunvik-photos")), {}, o);
            std::optional<double> shown;
            for (const BenchProcess::Line &line : result.lines)
                if (line.text.startsWith(QLatin1String("bench: thumbnails-painted")))
                    shown = line.atMs;
            if (!shown)
                throw std::runtime_error(
                    QStringLiteral("the app showed no thumbnails (exit %1)").arg(result.exitCode).toStdString());
            if (i >= warmups)
                c.samples << *shown;
        }
        QDir(home).removeRecursively();
        m_cases << c;
    }

    QString sessionToken(const QString &curl, const QString &url)
    {
        BenchProcess::Options o = options();
        o.captureOutput = true;
        const BenchProcess::Result result = BenchProcess::run(
            curl, {QStringLiteral("-s"), QStringLiteral("-X"), QStringLiteral("POST"), QStringLiteral("-H"),
                   QStringLiteral("Authorization: Bearer ") + serverPassword, url + QStringLiteral("/api/auth/session")},
            o);
        QByteArray body;
        for (const BenchProcess::Line &line : result.lines)
            body += line.text.toUtf8();
        const QString token = QJsonDocument::fromJson(body).object().value(QStringLiteral("sessionToken")).toString();
        if (token.isEmpty())
            throw std::runtime_error("the development server gave no session token");
        return token;
    }

    // ---- log merge ---------------------------------------------------------
    void logMerge()
    {
        const QString home = m_inputs + QStringLiteral("/log-client");
        BenchFixtures::writeActivityLog(home, logRecords);
        BenchCase c;
        c.name = QStringLiteral("log merge (%1 records)").arg(logRecords);
        c.target = BenchCase::Target::below;
        c.targetValue = 10;
        c.samples = measure(QStringLiteral("logmerge"), {}, m_plan.logRuns, {QStringLiteral("XDG_DATA_HOME=") + home})
                        .value(QStringLiteral("merge"));
        m_cases << c;
    }

    // ---- the desktop app ---------------------------------------------------
    QString appClient(const QString &name, int photos, quint32 seed)
    {
        const QString home = m_inputs + QLatin1Char('/') + name;
        const QString support = home + QStringLiteral("/LunvikPhotos");
        if (!QFileInfo::exists(support + QStringLiteral("/local-gallery.json"))) {
            const GalleryState state = BenchFixtures::manifest(photos, seed);
            BenchFixtures::writePhotoCache(home, state, m_inputs);
            BenchFixtures::writeClientFolder(home, QStringLiteral("bench-token"), &state);
        }
        // The app's own log would grow from run to run.
        QFile::remove(support + QStringLiteral("/activity.log"));
        return home;
    }

    QStringList appEnvironment(const QString &home, const QString &hook) const
    {
        return {QStringLiteral("XDG_DATA_HOME=") + home,
                QStringLiteral("LUNVIK_LOCAL_SERVER_URL=http://127.0.0.1:%1").arg(closedPort()),
                QStringLiteral("QT_QPA_PLATFORM=offscreen"), QStringLiteral("LUNVIK_BENCH_GRID_HOOK=") + hook};
    }

    void appStart()
    {
        const QString home = appClient(QStringLiteral("app-client-%1").arg(m_plan.appStartPhotos),
                                       m_plan.appStartPhotos, 51);
        BenchCase painted;
        painted.name = QStringLiteral("app start → first grid paint (%1 photos)").arg(m_plan.appStartPhotos);
        painted.target = BenchCase::Target::below;
        painted.targetValue = 1000;
        BenchCase thumbnails;
        thumbnails.name = QStringLiteral("app start → thumbnails on screen");
        thumbnails.target = BenchCase::Target::below;
        thumbnails.targetValue = 1000;
        for (int i = 0; i < warmups + m_plan.appRuns; ++i) {
            BenchProcess::Options o = options(appEnvironment(home, QStringLiteral("paint")));
            o.captureOutput = true;
            o.timeoutSeconds = 60;
            const BenchProcess::Result result = BenchProcess::run(binary(QStringLiteral("app/lunvik-photos")), {}, o);
            std::optional<double> firstPaint;
            std::optional<double> shown;
            for (const BenchProcess::Line &line : result.lines) {
                if (line.text.startsWith(QLatin1String("bench: first-grid-paint")))
                    firstPaint = line.atMs;
                if (line.text.startsWith(QLatin1String("bench: thumbnails-painted")))
                    shown = line.atMs;
            }
            if (!firstPaint || !shown)
                throw std::runtime_error(QStringLiteral("the app showed no grid (exit %1)").arg(result.exitCode).toStdString());
            if (i >= warmups) {
                painted.samples << *firstPaint;
                thumbnails.samples << *shown;
            }
        }
        m_cases << painted << thumbnails;
    }

    void appMemory()
    {
        const QString home = appClient(QStringLiteral("app-client-%1").arg(m_plan.memoryPhotos), m_plan.memoryPhotos, 61);
        BenchCase c;
        c.name = QStringLiteral("app memory after scrolling %1 photos down and up (peak resident)").arg(m_plan.memoryPhotos);
        c.unit = QStringLiteral("MB");
        c.target = BenchCase::Target::below;
        c.targetValue = 250;
        BenchCase now;
        now.name = QStringLiteral("app memory, resident at the end");
        now.unit = QStringLiteral("MB");
        // The app-start runs before this one were its warm-up.
        for (int i = 0; i < m_plan.memoryRuns; ++i) {
            BenchProcess::Options o = options(appEnvironment(home, QStringLiteral("scroll")));
            o.captureOutput = true;
            o.timeoutSeconds = 600;
            const BenchProcess::Result result = BenchProcess::run(binary(QStringLiteral("app/lunvik-photos")), {}, o);
            bool found = false;
            for (const BenchProcess::Line &line : result.lines) {
                // "bench: memory VmRSS=<kB> VmHWM=<kB>"
                if (!line.text.startsWith(QLatin1String("bench: memory")))
                    continue;
                for (const QString &part : line.text.split(QLatin1Char(' '))) {
                    if (part.startsWith(QLatin1String("VmHWM=")))
                        c.samples << part.mid(6).toDouble() / 1024.0;
                    if (part.startsWith(QLatin1String("VmRSS=")))
                        now.samples << part.mid(6).toDouble() / 1024.0;
                }
                found = true;
            }
            if (!found)
                throw std::runtime_error(QStringLiteral("the app did not scroll the grid (exit %1)").arg(result.exitCode).toStdString());
        }
        m_cases << c << now;
    }

    QString m_bin;
    QString m_work;
    QString m_only;
    QString m_inputs;
    QString m_errors;
    Plan m_plan;
    QList<BenchCase> m_cases;
};

int usage()
{
    std::fputs("usage: lunvik-bench run --bin BUILD_DIR --work WORK_DIR [--quick] [--only NAME]\n"
               "       lunvik-bench measure CASE --warmup N --iterations N [ARGS...]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    // Images are decoded, scaled and encoded without a display, as the
    // command-line client does.
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString command = args.takeFirst();

    if (command == QLatin1String("measure") && !args.isEmpty()) {
        const QString caseName = args.takeFirst();
        int warmupRounds = 1;
        int iterations = 5;
        while (args.size() >= 2 && args.first().startsWith(QLatin1String("--"))) {
            const QString option = args.takeFirst();
            const int value = args.takeFirst().toInt();
            if (option == QLatin1String("--warmup"))
                warmupRounds = value;
            else if (option == QLatin1String("--iterations"))
                iterations = value;
            else
                return usage();
        }
        return BenchMeasure::run(caseName, args, warmupRounds, iterations);
    }

    if (command == QLatin1String("run")) {
        QString bin;
        QString work;
        bool quick = false;
        QString only;
        while (!args.isEmpty()) {
            const QString option = args.takeFirst();
            if (option == QLatin1String("--quick"))
                quick = true;
            else if (option == QLatin1String("--only") && !args.isEmpty())
                only = args.takeFirst();
            else if (option == QLatin1String("--bin") && !args.isEmpty())
                bin = QFileInfo(args.takeFirst()).absoluteFilePath();
            else if (option == QLatin1String("--work") && !args.isEmpty())
                work = QFileInfo(args.takeFirst()).absoluteFilePath();
            else
                return usage();
        }
        if (bin.isEmpty() || work.isEmpty())
            return usage();
        try {
            return Runner(bin, work, quick, only).run();
        } catch (const std::exception &e) {
            say(QStringLiteral("lunvik-bench: ") + QString::fromUtf8(e.what()));
            return 1;
        }
    }
    return usage();
}
