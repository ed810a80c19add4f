// The server client against the real development server, started by the
// test on a free port: sign-in, the gallery round trip, images into the
// cache, and frames.

#include "support/devserverprocess.h"
#include "support/testenvironment.h"

#include "model/appconfig.h"
#include "rules/photocachejpeg.h"
#include "server/authverifier.h"
#include "server/reachability.h"
#include "server/syncclient.h"
#include "taskwait.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QTest>

namespace {

QByteArray jpeg(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(200, 120, 40));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "jpeg");
    return buffer.data();
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

const QString setupBlock = QStringLiteral("Bloomin8 API token\nDevice: Kitchen | 13.3 inch\n"
                                          "Token: 0123abcd.0123456789abcdef0123456789abcdef\nInterval: 24h\n");

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    DevServerProcess server;
    AppSettings settings;

    SyncClient client() const { return SyncClient(settings); }
    QString version() const { return TaskWait::run(client().fetchGallery()).modified->state.updatedAt; }
    static GalleryState stateAfter(QCoro::Task<GalleryResponse> change) { return TaskWait::run(std::move(change)).state; }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        settings.serverBaseURL = server.baseURL().toString();
    }

    void signIn()
    {
        using Outcome = AuthVerifier::CreateSessionOutcome;
        QCOMPARE(TaskWait::run(AuthVerifier::createSession(QStringLiteral("guess"), settings)), Outcome::wrongPassword());
        const Outcome created = TaskWait::run(AuthVerifier::createSession(server.password() + "\n", settings));
        QCOMPARE(created.kind, Outcome::Kind::success);
        settings.syncSessionToken = created.token;

        QCOMPARE(TaskWait::run(AuthVerifier::verify(settings)), AuthVerifyOutcome::ok);
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settings, QStringLiteral("not-a-token"))),
                 AuthVerifyOutcome::unauthorized);
        QVERIFY(TaskWait::run(Reachability::pingServer(settings.serverBaseURL)));

        AppSettings stranger = settings;
        stranger.syncSessionToken = QStringLiteral("not-a-token");
        QCOMPARE(syncErrorOf(SyncClient(stranger).fetchGallery()).value().failure().statusCode, 401);
    }

    void galleryRoundTrip()
    {
        // A name that would break a naive multipart header arrives in one
        // piece (the server drops control characters from names it keeps).
        const QString awkward = QStringLiteral("sun \"rise\"\r\nover.jpg");
        const GalleryResponse first =
            TaskWait::run(client().uploadPhoto(jpeg(640, 480), awkward, QStringLiteral("Åsa"), version()));
        QCOMPARE(first.state.activePhotos().size(), 1);
        const PhotoEntry sunrise = first.state.activePhotos().first();
        QCOMPARE(sunrise.filename, QStringLiteral("sun \"rise\"over.jpg"));
        QCOMPARE(first.state.uploaders.value(sunrise.uploaderId), QStringLiteral("Åsa"));
        QCOMPARE(sunrise.uploaderId, GalleryState::uploaderId(QStringLiteral("Åsa")));

        const GalleryState two = stateAfter(
            client().uploadPhoto(jpeg(300, 500), QStringLiteral("tall.jpg"), QStringLiteral("Kelvo"), first.state.updatedAt));
        QCOMPARE(two.activePhotos().size(), 2);
        const QString tall = two.order.last();

        // The version gates every change and answers.
        QVERIFY(TaskWait::run(client().fetchGallery(two.updatedAt)).isNotModified());
        const auto stale = syncErrorOf(client().reorder({tall, sunrise.id}, first.state.updatedAt));
        QVERIFY(stale);
        QCOMPARE(stale->kind(), SyncError::Kind::stale);
        QCOMPARE(stale->staleResponse().state, two);

        const GalleryState reordered = stateAfter(client().reorder({tall, sunrise.id}, two.updatedAt));
        QCOMPARE(reordered.order, (QList<QString>{tall, sunrise.id}));
        QVERIFY(reordered.updatedAt > two.updatedAt);

        const GalleryState chosen = stateAfter(client().setCurrentPhoto(tall, reordered.updatedAt));
        QCOMPARE(chosen.currentPhotoId, std::optional(tall));
        QCOMPARE(chosen.currentPhotoUpdatedBy, std::optional(CurrentPhotoUpdatedBy::manual));
        const CurrentPhotoResponse current = TaskWait::run(client().fetchCurrentPhoto());
        QCOMPARE(current.galleryVersion, chosen.updatedAt);
        QCOMPARE(current.currentPhotoId, std::optional(tall));

        const GalleryState renamed =
            stateAfter(client().renameUploader(QStringLiteral("Kelvo"), QStringLiteral("Kelvin"), chosen.updatedAt));
        QCOMPARE(renamed.uploaders.value(renamed.photos.value(tall).uploaderId), QStringLiteral("Kelvin"));

        QCOMPARE(*syncErrorOf(client().deletePhoto(tall, renamed.updatedAt)).value().errorDescription(),
                 QStringLiteral("HTTP 400: Can't delete the current photo. Show another photo for today first."));
        const GalleryState deleted = stateAfter(client().deletePhoto(sunrise.id, renamed.updatedAt));
        QVERIFY(deleted.photos.value(sunrise.id).isDeleted());
        QCOMPARE(deleted.activePhotos().size(), 1);
    }

    void imagesIntoTheCache()
    {
        const GalleryState state = TaskWait::run(client().fetchGallery()).modified->state;
        TaskWait::run(client().downloadMissing(state));
        const PhotoEntry photo = state.activePhotos().first();
        QFile full(AppConfig::cacheURL(photo.id));
        QVERIFY(full.open(QIODevice::ReadOnly));
        QVERIFY(PhotoCacheJPEG::isJPEG(full.peek(3)));
        QCOMPARE(QImageReader(&full).size(), QSize(300, 500));

        // A multiple of 256, like every width the client asks for: the
        // server makes copies at a few widths only, and such a one as asked.
        TaskWait::run(client().cacheThumbnailIfMissing(photo, 256));
        QCOMPARE(QImageReader(AppConfig::thumbnailCacheURL(photo.id, 256)).size(), QSize(256, 427));

        const PhotoEntry gone{QStringLiteral("no-such-photo"), {}, {}, 0, {}, std::nullopt, {}, std::nullopt};
        QCOMPARE(syncErrorOf(client().cachePhotoIfMissing(gone)).value().failure().statusCode, 404);
    }

    void frames()
    {
        const RegisteredDevicePublic kitchen =
            TaskWait::run(client().registerDevice(setupBlock, std::nullopt, QStringLiteral("Åsa")));
        QCOMPARE(kitchen.displayName, QStringLiteral("Kitchen"));
        QCOMPARE(kitchen.registeredBy, QStringLiteral("Åsa"));
        QCOMPARE(TaskWait::run(client().listDevices()), QList<RegisteredDevicePublic>{kitchen});

        const QList<DeviceLiveStatus> status = TaskWait::run(client().fetchDeviceStatus());
        QCOMPARE(status.size(), 1);
        QCOMPARE(status[0].id, kitchen.id);
        QVERIFY(status[0].reachable);

        const auto noToken = syncErrorOf(
            client().registerDevice(QStringLiteral("Device: Hall"), QStringLiteral("Hall"), QStringLiteral("Åsa")));
        QCOMPARE(*noToken.value().errorDescription(), QStringLiteral("HTTP 400: No frame token found in the setup text"));

        TaskWait::run(client().deleteDevice(kitchen.id));
        QVERIFY(TaskWait::run(client().listDevices()).isEmpty());
    }

    void serverGone()
    {
        QVERIFY2(server.stop(), qPrintable(server.errorText()));
        QVERIFY(!TaskWait::run(Reachability::pingServer(settings.serverBaseURL)));
        QCOMPARE(TaskWait::run(AuthVerifier::verify(settings)), AuthVerifyOutcome::unreachable);
        QCOMPARE(TaskWait::run(AuthVerifier::createSession(server.password(), settings)).kind,
                 AuthVerifier::CreateSessionOutcome::Kind::unreachable);
        QVERIFY(syncErrorOf<TransportError>(client().fetchGallery()));
    }
};

LUNVIK_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
