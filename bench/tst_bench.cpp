// The benchmarks' own pieces: what would make a run measure the wrong thing
// or print a wrong verdict.
#include "benchfixtures.h"
#include "benchprocess.h"
#include "benchreport.h"

#include "support/testenvironment.h"

#include "model/appsettings.h"
#include "rules/photocachejpeg.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

class TestBench : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void verdicts_data()
    {
        QTest::addColumn<QList<double>>("samples");
        QTest::addColumn<QList<double>>("peer");
        QTest::addColumn<int>("target");
        QTest::addColumn<double>("bound");
        QTest::addColumn<QString>("verdict");

        const int ratio = int(BenchCase::Target::ratioToPeer);
        const int below = int(BenchCase::Target::below);
        // The median decides, not the mean: one slow round on a busy machine
        // does not sink a case.
        using L = QList<double>;
        QTest::newRow("ratio within") << L{10, 11, 40} << L{9, 10, 10} << ratio << 1.25 << "ok";
        QTest::newRow("ratio at the bound") << L{12.5} << L{10} << ratio << 1.25 << "ok";
        QTest::newRow("ratio over") << L{13, 13} << L{10, 10} << ratio << 1.25 << "MISSED";
        QTest::newRow("even count median") << L{8, 10, 12, 100} << L{10} << ratio << 1.1 << "ok";
        QTest::newRow("no peer numbers") << L{5} << L{} << ratio << 1.0 << "failed";
        QTest::newRow("below") << L{39.9} << L{} << below << 40.0 << "ok";
        QTest::newRow("at the bound is not below") << L{40} << L{} << below << 40.0 << "MISSED";
        QTest::newRow("no samples") << L{} << L{} << below << 40.0 << "failed";
    }
    void verdicts()
    {
        QFETCH(QList<double>, samples);
        QFETCH(QList<double>, peer);
        QFETCH(int, target);
        QFETCH(double, bound);
        QFETCH(QString, verdict);
        const BenchCase c{.name = QStringLiteral("case"), .samples = samples, .peerName = {}, .peerSamples = peer,
                          .target = BenchCase::Target(target), .targetValue = bound, .failure = {}};
        QCOMPARE(BenchReport::verdict(c), verdict);
        QVERIFY(BenchReport::table({c}).contains(verdict));
    }

    // The thumbnail case reads a JPEG whose EXIF orientation the decoder
    // must apply; a fixture whose tag is not read would time the easy path.
    void exifOrientation_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<bool>("turned");
        QTest::newRow("1 upright") << 1 << false;
        QTest::newRow("6 on its side") << 6 << true;
    }
    void exifOrientation()
    {
        QFETCH(int, orientation);
        QFETCH(bool, turned);
        const QImage stored = BenchFixtures::photoLikeImage(QSize(400, 300), 3);
        const QByteArray jpeg = BenchFixtures::withExifOrientation(BenchFixtures::encodeJPEG(stored, 90), orientation);
        QVERIFY(PhotoCacheJPEG::isJPEG(jpeg));
        const QString path = m_folder.filePath(QStringLiteral("exif-%1.jpg").arg(orientation));
        BenchFixtures::writeFileOnce(path, jpeg);
        const std::optional<QImage> image = ImageDownsampler::loadThumbnail(path, 200);
        QVERIFY(image);
        QCOMPARE(image->size(), turned ? QSize(150, 200) : QSize(200, 150));
    }

    void manifestShape_data()
    {
        QTest::addColumn<int>("photos");
        QTest::newRow("small") << 10;
        QTest::newRow("large") << 5000;
    }
    void manifestShape()
    {
        QFETCH(int, photos);
        const GalleryState state = BenchFixtures::manifest(photos, 9);
        QCOMPARE(state.activePhotos().size(), photos);
        QVERIFY(state.order.size() > photos || photos < 50); // tombstones in a large one
        QCOMPARE(QSet<QString>(state.order.cbegin(), state.order.cend()).size(), state.order.size());
        QVERIFY(state.currentPhoto());
        // It survives the round trip through the file format the client reads.
        const std::optional<GalleryState> decoded = GalleryState::fromJsonBytes(state.toJsonBytes());
        QVERIFY(decoded);
        QCOMPARE(*decoded, state);
    }

    void processes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<double>("timeout");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("lines and status") << "echo one; echo two; exit 3" << 30.0 << 3 << QStringList{"one", "two"};
        QTest::newRow("environment given") << "echo \"$BENCH_TEST_VALUE\"" << 30.0 << 0 << QStringList{"given"};
        QTest::newRow("no final line feed") << "printf 'a\\nb'" << 30.0 << 0 << QStringList{"a", "b"};
        QTest::newRow("killed at the time limit") << "echo started; sleep 30" << 0.5 << -1 << QStringList{"started"};
    }
    void processes()
    {
        QFETCH(QString, script);
        QFETCH(double, timeout);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        BenchProcess::Options options;
        options.captureOutput = true;
        options.timeoutSeconds = timeout;
        options.environment = {QStringLiteral("BENCH_TEST_VALUE=given")};
        const BenchProcess::Result result =
            BenchProcess::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, options);
        QCOMPARE(result.exitCode, exitCode);
        QStringList texts;
        for (const BenchProcess::Line &line : result.lines) {
            QVERIFY(line.atMs >= 0 && line.atMs <= result.wallMs);
            texts << line.text;
        }
        QCOMPARE(texts, lines);
        QVERIFY(result.wallMs < 10000);
    }

    void clientFolder()
    {
        const GalleryState state = BenchFixtures::manifest(20, 5);
        const QString home = m_folder.filePath(QStringLiteral("client"));
        BenchFixtures::writeClientFolder(home, QStringLiteral("a-token"), &state);
        BenchFixtures::writePhotoCache(home, state, m_folder.path());
        QFile config(home + QStringLiteral("/LunvikPhotos/config.json"));
        QVERIFY(config.open(QIODevice::ReadOnly));
        const std::optional<AppSettings> settings = AppSettings::fromJsonBytes(config.readAll());
        QVERIFY(settings);
        QCOMPARE(settings->syncBearer(), std::optional<QString>(QStringLiteral("a-token")));
        QVERIFY(settings->debugMode);
        // Every visible photo has its thumbnails, and they decode.
        const QString thumbnail = home + QStringLiteral("/LunvikPhotos/cache/%1_w%2.jpg");
        for (const PhotoEntry &photo : state.activePhotos()) {
            for (const int width : {256, 512, 768, 1024})
                QVERIFY2(QFile::exists(thumbnail.arg(photo.id).arg(width)), qPrintable(thumbnail.arg(photo.id)));
        }
        const auto thumb
            = ImageDownsampler::loadThumbnail(thumbnail.arg(state.activePhotos().first().id).arg(256), 1000);
        QVERIFY(thumb);
        QCOMPARE(thumb->width(), 256);
    }

private:
    QTemporaryDir m_folder;
};

LUNVIK_TEST_MAIN(TestBench)
#include "tst_bench.moc"
