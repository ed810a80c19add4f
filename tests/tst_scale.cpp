// The store at the sizes a large family reaches: a 20,000-photo manifest, a
// 10 MB manifest body, 50 frames and a full activity log. Every operation
// must complete, and the main thread must keep turning: a timer ticking every
// 5 ms records the longest gap between its ticks (a stall) while each runs.
// The figures are printed; the bounds leave room for a loaded machine and
// the sanitizers.

#include "support/screentests.h"

#include "log/activitylogfile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace {

GalleryState bigGallery(const QString &version, int count, int filenameLength)
{
    GalleryState state;
    state.updatedAt = version;
    const QString uploader = GalleryState::uploaderId(QStringLiteral("Ana"));
    state.uploaders.insert(uploader, QStringLiteral("Ana"));
    for (int i = 0; i < count; ++i) {
        const QString id = QStringLiteral("p%1").arg(i, 5, 10, QLatin1Char('0'));
        QString name = QStringLiteral("IMG_%1").arg(i);
        name += QString(std::max<qsizetype>(0, filenameLength - name.size() - 4), QLatin1Char('x'));
        state.order << id;
        state.photos.insert(id, PhotoEntry{id, name + QStringLiteral(".jpg"), QStringLiteral("blobs/") + id,
                                           100000 + i, version, std::nullopt, uploader, std::nullopt});
    }
    state.currentPhotoId = state.order.value(0);
    return state;
}

// Under the sanitizers on two shared cores the longest stall is about a
// quarter of this (tens of milliseconds in a release build); decoding or
// encoding a 20,000-photo manifest on the main thread takes about twice it.
constexpr qint64 stallBoundMs = 1000;

// Runs `work`, prints the figures and checks the longest time the main
// thread did not get back to its event loop against the bound.
template<typename Work>
void measure(const char *what, Work work)
{
    QElapsedTimer sinceTick;
    QElapsedTimer total;
    qint64 longest = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
    sinceTick.start();
    total.start();
    timer.start(5);
    work();
    longest = std::max(longest, sinceTick.elapsed());
    qInfo("%s: %lld ms, longest main-thread stall %lld ms", what, total.elapsed(), longest);
    QVERIFY2(longest < stallBoundMs, what);
}

} // namespace

class TestScale : public QObject, private GalleryFixture
{
    Q_OBJECT

    // A signed-in store whose periodic loop ends at once: no scheduled pull
    // between the steps.
    void openStore()
    {
        GalleryStore::Environment environment;
        environment.pause = [](std::chrono::milliseconds, std::shared_ptr<CancellationFlag>) -> QCoro::Task<bool> {
            co_return false;
        };
        store = std::make_unique<GalleryStore>(environment);
        session = std::make_unique<AppSession>();
        store->setSession(session.get());
        store->setDebugMode(true);
        QVERIFY(TaskWait::run(session->unlock(QStringLiteral("pw"), *store)));
        ActivityLogStore::shared().clear();
    }

private Q_SLOTS:
    void initTestCase() { startServer(); }
    void init() { reset(); }
    void cleanup() { tearDown(); }

    void largeManifest_data()
    {
        QTest::addColumn<int>("filenameLength");
        QTest::addColumn<qint64>("minimumBody");
        QTest::newRow("20,000 photos") << 12 << qint64(0);
        QTest::newRow("10 MB body") << 400 << qint64(10'000'000);
    }
    void largeManifest()
    {
        QFETCH(int, filenameLength);
        QFETCH(qint64, minimumBody);
        const int count = 20000;
        const GalleryState pulled = bigGallery(QStringLiteral("v1"), count, filenameLength);
        const QByteArray body = galleryJson(pulled);
        QVERIFY(body.size() >= minimumBody);
        qInfo("manifest body: %lld bytes", qint64(body.size()));
        serveGallery(pulled);
        // Every image is cached already: the pass checks 20,000 files and
        // sends no image request.
        for (const QString &id : pulled.order) {
            QFile file(AppConfig::cacheURL(id));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("jpeg");
        }
        openStore();

        measure("sync", [&] { TaskWait::run(store->syncAll()); });
        QVERIFY(ScreenTests::logged(QStringLiteral("Server sync OK")));
        QCOMPARE(store->state().activePhotos().size(), count);
        QCOMPARE(AppConfig::loadLocalState().state.order.size(), count);
        QCOMPARE(server.requests("GET", "/api/gallery/photos/p00000/image").size(), 0);

        // A reorder sends and adopts the whole list.
        GalleryState reordered = pulled;
        std::reverse(reordered.order.begin(), reordered.order.end());
        reordered.updatedAt = QStringLiteral("v2");
        server.on("PUT", "/api/gallery/order", Response::json(200, galleryJson(reordered)));
        measure("reorder", [&] { TaskWait::run(store->applyOrder(reordered.order)); });
        QVERIFY(ScreenTests::logged(QStringLiteral("Reorder saved")));
        QCOMPARE(store->state().order.first(), reordered.order.first());
    }

    // Three large PNGs: each is read, decoded and encoded as a JPEG, and its
    // cache file written, while the window keeps turning.
    void uploadOfLargeImages()
    {
        QStringList files;
        QImage image(8000, 6000, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = qRgb(x % 251, y % 241, (x * y) % 239);
        }
        QList<Response> answers;
        const QStringList ids{"p1", "p2", "p3"};
        for (int i = 1; i <= 3; ++i) {
            files << TestEnvironment::home() + QStringLiteral("/large%1.png").arg(i);
            QVERIFY(i == 1 ? image.save(files.last(), "PNG", 90) : QFile::copy(files.first(), files.last()));
            const GalleryState served = ScreenTests::galleryOf(ids.mid(0, i), {}, QStringLiteral("v%1").arg(i));
            answers << Response::json(200, galleryJson(served));
        }
        server.onSequence("POST", "/api/gallery/photos", answers);
        openStore();
        measure("upload of three 48-megapixel PNGs", [&] { TaskWait::run(store->uploadFiles(files)); });
        QVERIFY(ScreenTests::logged(QStringLiteral("Upload complete")));
        QVERIFY(QFileInfo::exists(AppConfig::cacheURL(QStringLiteral("p3"))));
    }

    void fiftyFrames()
    {
        QByteArray list = "{\"devices\":[";
        QByteArray statuses = "{\"devices\":[";
        for (int i = 0; i < 50; ++i) {
            const QByteArray n = QByteArray::number(i);
            const QByteArray frame = (i ? "," : "") + ("{\"id\":\"f" + n + "\",\"displayName\":\"Frame " + n + "\",");
            list += frame + "\"registeredBy\":\"Ana\",\"registeredAt\":\"2026-03-01T07:05:09Z\"}";
            statuses += frame + "\"reachable\":" + (i % 3 ? "true" : "false") + ",\"width\":1600,\"height\":1200}";
        }
        server.on("GET", "/api/devices", Response::json(200, list + "]}"));
        server.on("GET", "/api/devices/status", Response::json(200, statuses + "]}"));
        openStore();
        measure("50 frames", [&] {
            TaskWait::run(store->reloadRegisteredFrames());
            TaskWait::run(store->updateDeviceStatus());
        });
        QCOMPARE(store->registeredFrames().size(), 50);
        QCOMPARE(store->deviceLinkStatus(), LinkStatus::up);
    }

    void fullLogFile()
    {
        // Just under the trim limit, then one record more.
        QByteArray contents;
        for (;;) {
            const LogEntry record{QUuid::createUuid(), QDateTime::currentDateTimeUtc(), LogCategory::sync,
                                  LogLevel::info, QStringLiteral("Scheduled sync OK"),
                                  QStringLiteral("updatedAt=v1 photos=20000")};
            const QByteArray line = record.toLine() + '\n';
            if (contents.size() + line.size() > 512000)
                break;
            contents += line;
        }
        QFile file(ActivityLogFile::url());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
        qInfo("log file: %lld bytes, %lld lines", qint64(contents.size()), qint64(contents.count('\n')));

        ActivityLogStore &log = ActivityLogStore::shared();
        qsizetype loaded = 0;
        measure("log reload and 50 appends", [&] {
            log.reload();
            loaded = log.entries().size();
            for (int i = 0; i < 50; ++i)
                log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Refreshing gallery from server"));
            log.reload();
        });
        QCOMPARE(loaded, qsizetype(std::min<qsizetype>(2000, contents.count('\n'))));
        QVERIFY(QFileInfo(ActivityLogFile::url()).size() < 512000);
        QVERIFY(!log.entries().isEmpty());
    }
};

LUNVIK_TEST_MAIN(TestScale)
#include "tst_scale.moc"
