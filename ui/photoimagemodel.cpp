#include "photoimagemodel.h"

#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "server/httpsession.h"
#include "store/gallerystore.h"

#include <QFileInfo>

#include <utility>

namespace {

QCoro::Task<> ensureThumbnail(QPointer<GalleryStore> store, QString photoID, int width,
                              std::shared_ptr<RequestGroup> cancel)
{
    if (store)
        co_await store->ensureThumbnailCached(std::move(photoID), width, std::move(cancel));
}

QCoro::Task<> ensurePhoto(QPointer<GalleryStore> store, QString photoID, std::shared_ptr<RequestGroup> cancel)
{
    if (store)
        co_await store->ensurePhotoCached(std::move(photoID), std::move(cancel));
}

} // namespace

PhotoImageModel::PhotoImageModel(QObject *parent)
    : QObject(parent)
{
}

PhotoImageModel::~PhotoImageModel()
{
    cancelLoad();
}

PhotoImageModel::EnsureCached PhotoImageModel::storeEnsureCached(
    GalleryStore &store, const QString &photoID, std::optional<int> thumbnailWidth)
{
    const QPointer<GalleryStore> guarded(&store);
    if (thumbnailWidth) {
        const int width = *thumbnailWidth;
        return [guarded, photoID, width](std::shared_ptr<RequestGroup> cancel) {
            return ensureThumbnail(guarded, photoID, width, std::move(cancel));
        };
    }
    return [guarded, photoID](std::shared_ptr<RequestGroup> cancel) {
        return ensurePhoto(guarded, photoID, std::move(cancel));
    };
}

void PhotoImageModel::cancelLoad()
{
    if (m_ticket)
        m_ticket->cancelled = true;
    // A cell scrolled out of view (or a superseded size) gives its
    // connection back to the cells on screen.
    if (m_download)
        std::exchange(m_download, nullptr)->abort();
}

void PhotoImageModel::abandonLoad()
{
    if (!m_loadRunning)
        return;
    cancelLoad();
    m_loadRunning = false;
    // Dropped, the task runs to its end and finds itself cancelled.
    m_loadTask.reset();
    m_loadedMaxPixelSize.reset();
}

void PhotoImageModel::load(const QString &photoID, int maxPixelSize, std::optional<int> thumbnailWidth,
    EnsureCached ensureCached, FailedLoad failedLoad)
{
    if (m_loadedPhotoID == photoID && m_loadedMaxPixelSize == maxPixelSize) {
        const bool finishedFailed = m_loadTask && !m_loadRunning && m_loadFailed;
        if (hasImage() || (m_loadTask && !(finishedFailed && failedLoad == FailedLoad::retry)))
            return;
    }
    const bool samePhoto = m_loadedPhotoID == photoID;
    m_loadedPhotoID = photoID;
    m_loadedMaxPixelSize = maxPixelSize;
    cancelLoad();

    const bool hadImage = hasImage();
    const bool wasLoading = m_isLoading;
    const bool hadFailed = m_loadFailed;
    if (!samePhoto) {
        m_image = QImage();
        m_loadFailed = false;
    }
    m_isLoading = !hasImage();
    if (hadImage != hasImage() || wasLoading != m_isLoading || hadFailed != m_loadFailed)
        Q_EMIT changed();

    Request request;
    request.photoID = photoID;
    request.maxPixelSize = maxPixelSize;
    request.file
        = thumbnailWidth ? AppConfig::thumbnailCacheURL(photoID, *thumbnailWidth) : AppConfig::cacheURL(photoID);
    request.ticket = std::make_shared<DecodeTicket>();
    m_ticket = request.ticket;
    request.download = std::make_shared<RequestGroup>();
    m_download = request.download;
    ++m_loadsStarted;
    m_loadRunning = true;
    // The task runs at once up to its first wait; an image already decoded
    // in memory is shown before load() returns.
    m_loadTask = runLoad(std::move(request), std::move(ensureCached));
}

QCoro::Task<std::optional<QImage>> PhotoImageModel::readThumbnail(
    QString file, int maxPixelSize, std::shared_ptr<DecodeTicket> ticket)
{
    const QString key = DecodedImageCache::key(file, maxPixelSize);
    if (std::optional<QImage> cached = DecodedImageCache::shared().find(key))
        co_return cached;
    std::optional<QImage> decoded = co_await ThumbnailDecoder::decode(std::move(file), maxPixelSize, ticket);
    if (decoded)
        DecodedImageCache::shared().insert(key, *decoded);
    co_return decoded;
}

bool PhotoImageModel::isCurrent(const Request &request) const
{
    return !request.ticket->cancelled.load() && m_loadedPhotoID == request.photoID
        && m_loadedMaxPixelSize == request.maxPixelSize;
}

QCoro::Task<> PhotoImageModel::runLoad(Request request, EnsureCached ensureCached)
{
    // The model may be destroyed while this waits; the request's ticket is
    // cancelled then, and `self` tells.
    const QPointer<PhotoImageModel> self(this);
    std::optional<QImage> image = co_await readThumbnail(request.file, request.maxPixelSize, request.ticket);
    if (!self || !isCurrent(request))
        co_return;
    if (!image && ensureCached) {
        co_await ensureCached(request.download);
        if (!self || !isCurrent(request))
            co_return;
        image = co_await readThumbnail(request.file, request.maxPixelSize, request.ticket);
    }
    if (!self || !isCurrent(request))
        co_return;
    finish(request, std::move(image));
}

void PhotoImageModel::finish(const Request &request, std::optional<QImage> image)
{
    m_download.reset();
    m_loadRunning = false;
    m_isLoading = false;
    if (image) {
        m_image = std::move(*image);
        m_loadFailed = false;
    } else {
        m_image = QImage();
        m_loadFailed = true;
        const bool exists = QFileInfo::exists(request.file);
        ActivityLogStore::shared().log(LogCategory::gallery, LogLevel::warning,
            QStringLiteral("Could not load cached image"),
            request.photoID + QStringLiteral(" maxPx=") + QString::number(request.maxPixelSize)
                + QStringLiteral(" fileExists=") + (exists ? QStringLiteral("true") : QStringLiteral("false")));
    }
    Q_EMIT changed();
}
