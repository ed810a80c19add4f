// Loading photos from the cache for the screens: the model's states, the
// fetch through the store when a file is missing, the warning of a failed
// load, no repeat of an identical request, superseded loads, and the
// in-memory cache of decoded images.

#include "support/galleryfixture.h"

#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/photoimagemodel.h"

#include <QApplication>
#include <QFile>
#include <QTest>

namespace {

QByteArray jpegBytes(int width, int height, QColor color = Qt::darkCyan)
{
    return GalleryFixture::imageBytes(color, "JPEG", {width, height});
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

bool isRed(const QImage &image)
{
    const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
    return centre.red() > 200 && centre.green() < 60 && centre.blue() < 60;
}

QList<LogEntry> warnings()
{
    QList<LogEntry> found;
    for (const LogEntry &entry : ActivityLogStore::shared().entries())
        if (entry.message == QLatin1StringView("Could not load cached image"))
            found.append(entry);
    return found;
}

GalleryState galleryOf(const QStringList &ids)
{
    GalleryState state;
    state.updatedAt = QStringLiteral("v1");
    state.order = ids;
    for (const QString &id : ids)
        state.photos.insert(id, PhotoEntry { id, id + ".jpg", "x", 1, "v", std::nullopt, "u", std::nullopt });
    return state.withResolvedCurrentPhoto();
}

} // namespace

class TestUiImageLoading : public QObject, private GalleryFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { startServer(); }

    void init()
    {
        reset();
        DecodedImageCache::shared().setCapacityBytes(DecodedImageCache::defaultCapacityBytes);
        AppConfig::saveLocalState(galleryOf({ "a", "b" }));
        QVERIFY(unlock());
        settle();
        server.clearRequests();
        ActivityLogStore::shared().clear();
    }

    void cleanup() { tearDown(); }

    void cleanupTestCase() { QCOMPARE(ThumbnailDecoder::mainThreadDecodeCount(), 0); }

    // A missing file is fetched through the store once and read again; a
    // file that still cannot be read ends in one warning.
    void loadOutcomes_data()
    {
        QTest::addColumn<QString>("onDisk"); // "jpeg", "corrupt" or "" (missing)
        QTest::addColumn<int>("serverStatus");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<int>("fetches");
        QTest::addColumn<QString>("warningDetail");
        QTest::newRow("cached") << "jpeg" << 404 << true << 0 << "";
        QTest::newRow("missing, fetched") << "" << 200 << true << 1 << "";
        QTest::newRow("missing, fetch fails") << "" << 404 << false << 1 << "a maxPx=300 fileExists=false";
        QTest::newRow("undecodable, not fetched again") << "corrupt" << 200 << false << 0 << "a maxPx=300 fileExists=true";
    }
    void loadOutcomes()
    {
        QFETCH(QString, onDisk);
        QFETCH(int, serverStatus);
        QFETCH(bool, shown);
        QFETCH(int, fetches);
        QFETCH(QString, warningDetail);
        const QString file = AppConfig::thumbnailCacheURL(QStringLiteral("a"), 512);
        if (onDisk == QLatin1StringView("jpeg"))
            writeFile(file, jpegBytes(600, 800));
        else if (onDisk == QLatin1StringView("corrupt"))
            writeFile(file, "not a jpeg");
        server.on("GET", "/api/gallery/photos/a/image",
            Response::text(serverStatus, serverStatus == 200 ? jpegBytes(480, 640) : QByteArray(), "image/jpeg"));
        const auto fetched = [&] { return server.requests("GET", "/api/gallery/photos/a/image"); };
        const int warned = warningDetail.isEmpty() ? 0 : 1;

        PhotoImageModel model;
        const auto load = [&](PhotoImageModel::FailedLoad failed) {
            model.load("a", 300, 512, PhotoImageModel::storeEnsureCached(*store, "a", 512), failed);
        };
        load(PhotoImageModel::FailedLoad::keep);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), 30000);
        QCOMPARE(model.hasImage(), shown);
        QCOMPARE(model.loadFailed(), !shown);
        if (shown)
            QCOMPARE(std::max(model.image().width(), model.image().height()), 300);
        QCOMPARE(fetched().size(), fetches);
        if (fetches)
            QCOMPARE(fetched().first().query, QByteArray("w=512"));
        QCOMPARE(warnings().size(), warned);
        if (warned) {
            QCOMPARE(warnings().first().detail, std::optional(warningDetail));
            QCOMPARE(warnings().first().level, LogLevel::warning);
            QCOMPARE(warnings().first().category, LogCategory::gallery);
        }

        // The same request again costs nothing, failed or not.
        load(PhotoImageModel::FailedLoad::keep);
        QTest::qWait(50);
        QCOMPARE(model.loadsStarted(), 1);
        QCOMPARE(fetched().size(), fetches);
        QCOMPARE(warnings().size(), warned);

        // Asked again by a view shown again, only a failed load runs once
        // more, with its fetch.
        load(PhotoImageModel::FailedLoad::retry);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isLoading(), 30000);
        QCOMPARE(model.loadsStarted(), shown ? 1 : 2);
        QCOMPARE(model.hasImage(), shown);
        QCOMPARE(fetched().size(), shown ? fetches : 2 * fetches);
        QCOMPARE(warnings().size(), 2 * warned);
    }

    void identicalRequestWhileRunningStartsOneLoad()
    {
        Response slow = Response::text(200, jpegBytes(300, 400), "image/jpeg");
        slow.delayMs = 150;
        server.on("GET", "/api/gallery/photos/a/image", slow);
        PhotoImageModel model;
        // Also a view shown again while the load runs starts nothing.
        for (int i = 0; i < 3; ++i)
            model.load(QStringLiteral("a"), 400, std::nullopt, PhotoImageModel::storeEnsureCached(*store, "a", {}),
                PhotoImageModel::FailedLoad::retry);
        QVERIFY(model.isLoading());
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        QCOMPARE(model.loadsStarted(), 1);
        QCOMPARE(server.requests("GET", "/api/gallery/photos/a/image").size(), 1);
    }

    void anotherPhotoClearsAnotherSizeKeeps()
    {
        writeFile(AppConfig::cacheURL(QStringLiteral("a")), jpegBytes(1200, 1600));
        writeFile(AppConfig::cacheURL(QStringLiteral("b")), jpegBytes(1200, 1600, Qt::red));
        PhotoImageModel model;
        model.load(QStringLiteral("a"), 400, std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        QCOMPARE(model.image().height(), 400);

        // The smaller image stays up while the larger one decodes (unless
        // that is already over).
        model.load(QStringLiteral("a"), 1600, std::nullopt);
        QVERIFY(model.hasImage());
        QVERIFY(!model.isLoading());
        QVERIFY(model.image().height() == 400 || model.image().height() == 1600);
        QTRY_COMPARE_WITH_TIMEOUT(model.image().height(), 1600, 30000);

        // Photo a's image never stands in for b. A decode quick enough to
        // be over before load() returns is shown at once.
        model.load(QStringLiteral("b"), 400, std::nullopt);
        QVERIFY(model.isLoading() != model.hasImage());
        if (model.hasImage())
            QVERIFY(isRed(model.image()));
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        QVERIFY(isRed(model.image()));
    }

    // A superseded load changes nothing and logs nothing, even when it fails.
    void supersededLoadIsDropped()
    {
        writeFile(AppConfig::cacheURL(QStringLiteral("b")), jpegBytes(300, 400));
        Response slowFailure = Response::text(404, "");
        slowFailure.delayMs = 200;
        server.on("GET", "/api/gallery/photos/a/image", slowFailure);
        PhotoImageModel model;
        model.load(QStringLiteral("a"), 300, std::nullopt, PhotoImageModel::storeEnsureCached(*store, "a", {}));
        QTest::qWait(50);
        model.load(QStringLiteral("b"), 300, std::nullopt, PhotoImageModel::storeEnsureCached(*store, "b", {}));
        QTRY_VERIFY_WITH_TIMEOUT(model.hasImage(), 30000);
        settle();
        QTest::qWait(50);
        QVERIFY(model.hasImage());
        QVERIFY(!model.loadFailed());
        QCOMPARE(model.loadedPhotoID(), std::optional<QString>(QStringLiteral("b")));
        QVERIFY(warnings().isEmpty());
    }

    void modelDestroyedWhileLoading()
    {
        Response slow = Response::text(200, jpegBytes(300, 400), "image/jpeg");
        slow.delayMs = 100;
        server.on("GET", "/api/gallery/photos/a/image", slow);
        auto model = std::make_unique<PhotoImageModel>();
        model->load(QStringLiteral("a"), 300, std::nullopt, PhotoImageModel::storeEnsureCached(*store, "a", {}));
        model.reset();
        settle();
        QTest::qWait(50);
        QVERIFY(warnings().isEmpty());
    }

    // A photo decoded once is shown again at once, without a second decode.
    void decodedImagesAreKept()
    {
        writeFile(AppConfig::thumbnailCacheURL(QStringLiteral("a"), 512), jpegBytes(480, 640));
        PhotoImageModel first;
        first.load(QStringLiteral("a"), 320, 512);
        QTRY_VERIFY_WITH_TIMEOUT(first.hasImage(), 30000);
        const qint64 decodes = ThumbnailDecoder::decodeCount();

        PhotoImageModel second;
        second.load(QStringLiteral("a"), 320, 512);
        QVERIFY(second.hasImage());
        QVERIFY(!second.isLoading());
        QCOMPARE(ThumbnailDecoder::decodeCount(), decodes);
    }

    void cacheKeepsTheMostRecentWithinItsBytes()
    {
        QImage image(10, 10, QImage::Format_RGB32); // 400 bytes
        DecodedImageCache cache(1000);
        const auto has = [&](const char *key) { return bool(cache.find(QString::fromLatin1(key))); };
        cache.insert(QStringLiteral("a"), image);
        cache.insert(QStringLiteral("b"), image);
        QVERIFY(has("a")); // a is now the most recent
        cache.insert(QStringLiteral("c"), image);
        QVERIFY(has("a") && !has("b") && has("c"));
        QCOMPARE(cache.sizeBytes(), 800);
        cache.insert(QStringLiteral("huge"), QImage(100, 100, QImage::Format_RGB32));
        QVERIFY(!has("huge"));
        QCOMPARE(cache.count(), 2);
        cache.setCapacityBytes(400);
        QCOMPARE(cache.count(), 1);
        QVERIFY(has("c"));
    }

    // The view loads when it appears and again when its size changes.
    void cachedPhotoImageFollowsItsPhoto()
    {
        writeFile(AppConfig::cacheURL(QStringLiteral("a")), jpegBytes(1200, 1600));
        CachedPhotoImage view(*store);
        view.setPhotoID(QStringLiteral("a"));
        view.setMaxPixelSize(400);
        QCOMPARE(view.model().loadsStarted(), 0);
        view.resize(300, 400);
        view.show();
        // Decoding runs on the thread pool, which a busy machine may share
        // with other test programs: generous limits.
        QTRY_VERIFY_WITH_TIMEOUT(view.model().hasImage(), 30000);
        view.setMaxPixelSize(800);
        QTRY_COMPARE_WITH_TIMEOUT(view.model().image().height(), 800, 30000);
        view.setPhotoID(QStringLiteral("missing"));
        QTRY_VERIFY_WITH_TIMEOUT(view.model().loadFailed(), 30000);
        QCOMPARE(view.model().loadsStarted(), 3);
        view.grab(); // draws the "not in cache" notice
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::setUp();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestUiImageLoading test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_uiimageloading.moc"
