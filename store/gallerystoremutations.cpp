// Changes of the shared gallery: uploads, deletes, reorders, the photo for
// today and the rename of the uploader.
#include "gallerystore.h"

#include "app/appsession.h"
#include "clock.h"
#include "model/appconfig.h"
#include "model/atomicfile.h"
#include "rules/photocachejpeg.h"

#include <QFileInfo>

#include <algorithm>

namespace {

const QStringList acceptedImageExtensions{QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("heic"),
                                          QStringLiteral("heif"), QStringLiteral("png"),  QStringLiteral("tif"),
                                          QStringLiteral("tiff"), QStringLiteral("gif"),  QStringLiteral("webp")};

bool isAcceptedImageFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isDir())
        return false;
    const QString extension = info.suffix().toLower();
    return extension.isEmpty() || acceptedImageExtensions.contains(extension);
}

QSet<QString> activeIds(const GalleryState &state)
{
    QSet<QString> ids;
    for (const PhotoEntry &photo : state.activePhotos())
        ids.insert(photo.id);
    return ids;
}

QString unlockFirst()
{
    return QStringLiteral("Unlock the gallery first");
}

QString deleteBlockReasonName(GalleryDeleteBlockReason reason)
{
    return reason == GalleryDeleteBlockReason::includesCurrentPhoto ? QStringLiteral("includesCurrentPhoto")
                                                                    : QStringLiteral("wouldRemoveAllPhotos");
}

} // namespace

QList<QString> GalleryStore::orderedIds(const QSet<QString> &ids) const
{
    QList<QString> ordered;
    QSet<QString> placed;
    for (const QString &id : m_state.order) {
        if (ids.contains(id) && !placed.contains(id)) {
            ordered.append(id);
            placed.insert(id);
        }
    }
    QList<QString> rest;
    for (const QString &id : ids)
        if (!placed.contains(id))
            rest.append(id);
    std::sort(rest.begin(), rest.end());
    return ordered + rest;
}

QCoro::Task<> GalleryStore::uploadFiles(QList<QString> paths)
{
    if (!isSessionUnlocked()) {
        m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Upload skipped"), unlockFirst());
        co_return;
    }
    QList<QString> kept;
    for (const QString &path : paths)
        if (isAcceptedImageFile(path))
            kept.append(path);
    if (kept.isEmpty()) {
        m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Upload skipped"),
                  QStringLiteral("No supported image files in drop"));
        co_return;
    }
    m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Uploading %1 file(s)").arg(kept.size()));

    Body batch = [this, kept]() -> QCoro::Task<> {
        const QPointer<GalleryStore> self(this);
        const SyncClient client = makeClient();
        for (qsizetype i = 0; i < kept.size(); ++i) {
            co_await uploadOne(client, kept.at(i), i == kept.size() - 1);
            if (!self)
                co_return;
        }
        m_lastServerOK = Clock::now();
        setServerLinkStatus(LinkStatus::up);
        m_log.log(LogCategory::gallery, LogLevel::success, QStringLiteral("Upload complete"),
                  QStringLiteral("updatedAt=") + m_state.updatedAt + QStringLiteral(" photos=")
                      + QString::number(m_state.activePhotos().size()));
        m_selection.clearSelection();
        co_await updateDeviceStatus(client);
    };
    co_await run(QStringLiteral("Upload"), LogCategory::gallery, std::move(batch));
}

// One file of a batch. The last file's commit downloads the images the
// cache lacks; the uploaded bytes go into the cache before that, so the new
// photo is never downloaded right after its own upload.
QCoro::Task<> GalleryStore::uploadOne(SyncClient client, QString path, bool isLast)
{
    const QPointer<GalleryStore> self(this);
    const QByteArray jpeg = PhotoCacheJPEG::normalizedJPEGData(path);
    const QString filename = QFileInfo(path).fileName();
    const QSet<QString> before = activeIds(m_state);
    const QString uploadedBy = m_settings.displayName;

    // The uploaded bytes go into the cache under the new photo's id. When
    // the answer shows more than one new photo (someone else uploaded at the
    // same moment), only those carrying this file's name get them; the
    // others are downloaded like any photo, so no cache file ever holds
    // another photo's picture.
    QSet<QString> cached;
    const auto cacheNewPhotos = [&](const GalleryState &answer) {
        const QSet<QString> fresh = activeIds(answer) - before;
        for (const QString &id : fresh) {
            const bool ours = fresh.size() == 1 || answer.photos.value(id).filename == filename;
            if (ours && !cached.contains(id)) {
                AtomicFile::write(AppConfig::cacheURL(id), jpeg);
                cached.insert(id);
            }
        }
    };
    GalleryCall upload = [client, jpeg, filename, uploadedBy](QString base) {
        return client.uploadPhoto(jpeg, filename, uploadedBy, base);
    };
    std::function<void(const GalleryState &)> beforeCommit = cacheNewPhotos;
    co_await mutateGallery(client, isLast, std::move(upload), std::move(beforeCommit));
    if (!self)
        co_return;

    const QSet<QString> added = activeIds(m_state) - before;
    if (added.isEmpty()) {
        m_log.log(LogCategory::gallery, LogLevel::error, QStringLiteral("Upload response missing new photo"),
                  filename + QStringLiteral(" updatedAt=") + m_state.updatedAt);
        throw SyncError::decode();
    }
    cacheNewPhotos(m_state);
    QList<QString> sorted(added.begin(), added.end());
    std::sort(sorted.begin(), sorted.end());
    m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Uploaded to server"),
              filename + QStringLiteral(" \u2192 ") + sorted.join(QStringLiteral(", ")));
}

QCoro::Task<> GalleryStore::deletePhotos(QSet<QString> ids)
{
    if (ids.isEmpty())
        co_return;
    if (const auto reason = m_state.deleteBlockReason(ids)) {
        m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Delete blocked"),
                  deleteBlockReasonName(*reason));
        co_return;
    }
    m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Deleting %1 photo(s)").arg(ids.size()));

    Body batch = [this, ids]() -> QCoro::Task<> {
        const QPointer<GalleryStore> self(this);
        const SyncClient client = makeClient();
        for (const QString &id : orderedIds(ids)) {
            GalleryCall remove = [client, id](QString base) { return client.deletePhoto(id, base); };
            co_await mutateGallery(client, false, std::move(remove));
            if (!self)
                co_return;
        }
        m_selection.subtractSelection(ids);
        m_lastServerOK = Clock::now();
        setServerLinkStatus(LinkStatus::up);
        m_log.log(LogCategory::gallery, LogLevel::success, QStringLiteral("Delete complete"));
        co_await updateDeviceStatus(client);
    };
    co_await run(QStringLiteral("Delete"), LogCategory::gallery, std::move(batch));
}

QCoro::Task<> GalleryStore::applyOrder(QList<QString> order)
{
    if (!isSessionUnlocked()) {
        m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Reorder skipped"), unlockFirst());
        co_return;
    }
    Body body = [this, order]() -> QCoro::Task<> {
        const QPointer<GalleryStore> self(this);
        const QList<PhotoEntry> active = m_state.activePhotos();
        const QSet<QString> requested(order.begin(), order.end());
        if (activeIds(m_state) != requested) {
            m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Reorder skipped"),
                      QStringLiteral("stale order (active=%1 requested=%2)").arg(active.size()).arg(order.size()));
            co_return;
        }
        const SyncClient client = makeClient();
        m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Reordering gallery"),
                  QStringLiteral("photos=") + QString::number(order.size()));
        GalleryCall call = [client, order](QString base) { return client.reorder(order, base); };
        co_await mutateGallery(client, false, std::move(call));
        if (!self)
            co_return;
        m_log.log(LogCategory::gallery, LogLevel::success, QStringLiteral("Reorder saved"),
                  QStringLiteral("updatedAt=") + m_state.updatedAt);
    };
    co_await run(QStringLiteral("Reorder"), LogCategory::gallery, std::move(body));
}

QCoro::Task<> GalleryStore::setAsCurrent(QString photoID)
{
    if (!m_state.canSetAsCurrent(photoID))
        co_return;
    const QPointer<GalleryStore> self(this);
    m_setAsCurrentInFlight = photoID;
    Body body = [this, photoID]() -> QCoro::Task<> {
        const QPointer<GalleryStore> guard(this);
        const SyncClient client = makeClient();
        GalleryCall choose = [client, photoID](QString base) { return client.setCurrentPhoto(photoID, base); };
        co_await mutateGallery(client, true, std::move(choose));
        if (!guard)
            co_return;
        m_lastServerOK = Clock::now();
        setServerLinkStatus(LinkStatus::up);
        m_log.log(LogCategory::gallery, LogLevel::success, QStringLiteral("Show for today"),
                  QStringLiteral("Server pushes the current JPEG to all registered frames."));
        co_await updateDeviceStatus(client);
    };
    co_await run(QStringLiteral("Set current"), LogCategory::gallery, std::move(body));
    if (self)
        m_setAsCurrentInFlight.reset();
}

QCoro::Task<> GalleryStore::propagateDisplayNameChange(QString from, QString to)
{
    const QPointer<GalleryStore> self(this);
    const SyncClient client = makeClient();
    GalleryCall rename = [client, from, to](QString base) { return client.renameUploader(from, to, base); };
    co_await mutateGallery(client, false, std::move(rename));
    if (!self)
        co_return;
    m_log.log(LogCategory::gallery, LogLevel::success, QStringLiteral("Updated uploader name on server"),
              from + QStringLiteral(" \u2192 ") + to);
}
