#include "benchmeasure.h"

#include "ui/kit/decodedimagecache.h"

#include "store/appsession.h"
#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "rules/epaperrendering.h"
#include "rules/photocachejpeg.h"
#include "store/gallerystore.h"
#include "taskwait.h"

#include <QDir>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QFile>
#include <QImage>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

namespace {

void printSample(const char *series, double value)
{
    std::printf("sample %s %.3f\n", series, value);
    std::fflush(stdout);
}

void turnEventLoop()
{
    QEventLoop loop;
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
}

// CPU time of the calling thread: what a case costs, whatever else the
// machine runs at the same time.
double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

double elapsedMs(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

struct StallFigures {
    // The longest time the main thread did not get back to its event loop.
    double longestStall;
    double total;
};

// Runs `work` (which turns the event loop) with a 5 ms timer that records
// the largest gap between its ticks.
StallFigures withStallMeter(const std::function<void()> &work)
{
    QElapsedTimer sinceTick;
    double longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, elapsedMs(sinceTick));
        sinceTick.restart();
    });
    QElapsedTimer timer;
    timer.start();
    sinceTick.start();
    ticker.start();
    work();
    longest = std::max(longest, elapsedMs(sinceTick));
    return {longest, elapsedMs(timer)};
}

// Runs `round` warmups + iterations times; `round` prints its own samples
// when `measured` is true. A false return stops the case as failed.
int rounds(int warmups, int iterations, const std::function<bool(bool measured)> &round)
{
    for (int i = 0; i < warmups + iterations; ++i) {
        if (!round(i >= warmups))
            return 1;
    }
    return 0;
}

// The app's thumbnail path: ThumbnailDecoder on its worker pool, awaited
// from the main thread, as a grid cell's image model does.
int thumbnail(const QStringList &arguments, int warmups, int iterations)
{
    const QString file = arguments.value(0);
    const int maxPixelSize = arguments.value(1).toInt();
    return rounds(warmups, iterations, [&](bool measured) {
        QElapsedTimer timer;
        timer.start();
        const std::optional<QImage> image =
            TaskWait::run(ThumbnailDecoder::decode(file, maxPixelSize, std::make_shared<DecodeTicket>()));
        const double ms = elapsedMs(timer);
        if (!image || std::max(image->width(), image->height()) != maxPixelSize) {
            std::fprintf(stderr, "thumbnail: no image of %d pixels from %s\n", maxPixelSize, qPrintable(file));
            return false;
        }
        // The stored picture lies on its side; the EXIF orientation stands it up.
        if (image->height() < image->width()) {
            std::fprintf(stderr, "thumbnail: the orientation was not applied\n");
            return false;
        }
        if (measured)
            printSample("decode", ms);
        return true;
    });
}

// The e-paper rendering of a photo for a frame's screen, as the preview
// and the lightbox compute it: header, decode and rendering on worker
// threads, awaited from the main thread.
int epaper(const QStringList &arguments, int warmups, int iterations)
{
    const QString file = arguments.value(0);
    const QSize screen(arguments.value(1).toInt(), arguments.value(2).toInt());
    return rounds(warmups, iterations, [&](bool measured) {
        QElapsedTimer timer;
        timer.start();
        const std::optional<QImage> rendering = TaskWait::run(EpaperRendering::renderFileAsync(file, screen));
        const double ms = elapsedMs(timer);
        if (!rendering || rendering->size() != screen) {
            std::fprintf(stderr, "epaper: no rendering of %s\n", qPrintable(file));
            return false;
        }
        if (measured)
            printSample("render", ms);
        return true;
    });
}

// The upload path's re-encoding of a file that is not JPEG.
int normalise(const QStringList &arguments, int warmups, int iterations)
{
    const QString file = arguments.value(0);
    const QString output = arguments.value(1);
    return rounds(warmups, iterations, [&](bool measured) {
        QElapsedTimer timer;
        timer.start();
        QByteArray jpeg;
        try {
            jpeg = PhotoCacheJPEG::normalizedJPEGData(file);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "normalise: %s\n", e.what());
            return false;
        }
        const double ms = elapsedMs(timer);
        if (measured)
            printSample("normalise", ms);
        if (!output.isEmpty()) {
            QFile out(output);
            if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                out.write(jpeg);
        }
        return true;
    });
}

// What a store does with the local manifest when it is made (read, decode,
// coalesce the uploaders, resolve the current photo), then what the gallery
// asks of it first: the visible photos and the rotation plan.
int manifestLoad(int warmups, int iterations)
{
    return rounds(warmups, iterations, [&](bool measured) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuMs();
        GalleryStore store;
        const qsizetype active = store.state().activePhotos().size();
        const std::optional<GalleryRotationPlan> plan = store.rotationPlan();
        const double ms = elapsedMs(timer);
        const double cpuMs = threadCpuMs() - cpuStart;
        if (active == 0 || !plan) {
            std::fprintf(stderr, "manifest: no photos loaded\n");
            return false;
        }
        if (measured) {
            printSample("load", ms);
            printSample("load-cpu", cpuMs);
        }
        return true;
    });
}

// One tick of the activity log's live reload over a full log file, in the
// steady state of a running app (the list already holds the file's records).
int logMerge(int warmups, int iterations)
{
    ActivityLogStore &log = ActivityLogStore::shared();
    log.reload();
    if (log.entries().isEmpty()) {
        std::fprintf(stderr, "logmerge: the log file holds no records\n");
        return 1;
    }
    return rounds(warmups, iterations, [&](bool measured) {
        QElapsedTimer timer;
        timer.start();
        log.reload();
        const double ms = elapsedMs(timer);
        if (measured)
            printSample("merge", ms);
        return true;
    });
}

// Opens the stored session as the app does at start-up; false (with a
// message naming the case) when it did not open.
bool openSignedIn(GalleryStore &store, AppSession &session, const char *what)
{
    store.setSession(&session);
    TaskWait::run(session.tryAutoUnlock(store));
    TaskWait::run(store.waitForBackgroundTasks());
    if (!session.isUnlocked())
        std::fprintf(stderr, "%s: the session did not open\n", what);
    return session.isUnlocked();
}

// The longest time the main thread is busy while the store syncs a gallery
// into an empty cache: a 5 ms timer records the largest gap between its
// ticks. Also reports how long the sync took.
int syncStall(int warmups, int iterations)
{
    // A first sync each round: no cache, no local manifest. The files of the
    // round before are moved aside and deleted at the end (see the sync case
    // of the runner for why).
    int round = 0;
    QStringList aside;
    const int status = rounds(warmups, iterations, [&](bool measured) {
        const QString cache = AppConfig::cacheFolder();
        aside << cache + QStringLiteral("-round-%1").arg(++round);
        QDir().rename(cache, aside.constLast());
        QFile::remove(AppConfig::localStateURL());
        ::sync();
        GalleryStore store;
        AppSession session;
        if (!openSignedIn(store, session, "stall"))
            return false;

        const auto [longest, ms] = withStallMeter([&store] { TaskWait::run(store.syncAll()); });
        TaskWait::run(store.waitForBackgroundTasks());
        // As a program does before it ends: the periodic pull loop that the
        // session started finishes once its pause is ended and the loop turns.
        store.cancelPeriodicPull();
        turnEventLoop();
        const qsizetype photos = store.state().activePhotos().size();
        if (photos == 0 || !QFile::exists(AppConfig::cacheURL(store.state().activePhotos().constLast().id))) {
            std::fprintf(stderr, "stall: the sync brought no photos\n");
            return false;
        }
        if (measured) {
            printSample("stall", longest);
            printSample("sync", ms);
        }
        return true;
    });
    for (const QString &folder : std::as_const(aside))
        QDir(folder).removeRecursively();
    // Idle keep-alive connections live on Qt's network thread; closed while
    // the event loop still turns, they end cleanly.
    for (auto *manager : QCoreApplication::instance()->findChildren<QNetworkAccessManager *>())
        manager->clearConnectionCache();
    turnEventLoop();
    return status;
}

// The longest time the main thread is busy while the store uploads the
// files given (large PNG or HEIC files, converted to JPEG on the way), with
// a 5 ms timer as in syncStall. Also reports how long the batch took.
int uploadStall(const QStringList &files, int warmups, int iterations)
{
    GalleryStore store;
    AppSession session;
    if (!openSignedIn(store, session, "uploadstall"))
        return 1;
    const int status = rounds(warmups, iterations, [&](bool measured) {
        ActivityLogStore::shared().clear();
        const auto [longest, ms] = withStallMeter([&store, &files] { TaskWait::run(store.uploadFiles(files)); });
        TaskWait::run(store.waitForBackgroundTasks());
        const auto &entries = ActivityLogStore::shared().entries();
        if (std::none_of(entries.begin(), entries.end(),
                         [](const LogEntry &entry) { return entry.message == QLatin1String("Upload complete"); })) {
            std::fprintf(stderr, "uploadstall: the upload did not complete; the log:\n");
            for (const LogEntry &entry : entries)
                std::fprintf(stderr, "  %s %s\n", qPrintable(entry.message), qPrintable(entry.detail.value_or(QString())));
            return false;
        }
        if (measured) {
            printSample("stall", longest);
            printSample("upload", ms);
        }
        return true;
    });
    store.cancelPeriodicPull();
    for (auto *manager : QCoreApplication::instance()->findChildren<QNetworkAccessManager *>())
        manager->clearConnectionCache();
    turnEventLoop();
    return status;
}

} // namespace

namespace BenchMeasure {

int run(const QString &caseName, const QStringList &arguments, int warmups, int iterations)
{
    // The standard-error mirror of the log is not what is measured.
    ActivityLogStore::shared().setErrorStreamForTesting([](const QByteArray &) {});
    if (caseName == QLatin1String("thumbnail"))
        return thumbnail(arguments, warmups, iterations);
    if (caseName == QLatin1String("epaper"))
        return epaper(arguments, warmups, iterations);
    if (caseName == QLatin1String("normalise"))
        return normalise(arguments, warmups, iterations);
    if (caseName == QLatin1String("manifest"))
        return manifestLoad(warmups, iterations);
    if (caseName == QLatin1String("logmerge"))
        return logMerge(warmups, iterations);
    if (caseName == QLatin1String("stall"))
        return syncStall(warmups, iterations);
    if (caseName == QLatin1String("uploadstall"))
        return uploadStall(arguments, warmups, iterations);
    std::fprintf(stderr, "lunvik-bench: unknown case %s\n", qPrintable(caseName));
    return 2;
}

} // namespace BenchMeasure
