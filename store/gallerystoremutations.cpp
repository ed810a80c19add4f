// Changes of the shared gallery: uploads, deletes, reorders, the photo for
// today and the rename of the uploader.
#include "gallerystore.h"

#include "app/appsession.h"
#include "clock.h"
#include "model/appconfig.h"
#include "rules/photocachejpeg.h"
#include "uploadpipeline.h"

#include <QFileInfo>
#include <QScopeGuard>

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

// A picked file that is not read at all (a FIFO, a device, or far too
// large): the batch goes on without it.
bool isSkippedSourceFile(const PhotoCacheJPEGError &error)
{
    return error.kind() == PhotoCacheJPEGError::Kind::notRegularFile
        || error.kind() == PhotoCacheJPEGError::Kind::fileTooLarge;
}

QString skippedDetail(const PhotoCacheJPEGError &error)
{
    return error.fileName() + QStringLiteral(": ") + error.reason();
}

// A refusal the server will give again however often it is asked.
bool isPermanentRefusal(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const SyncError &e) {
        if (e.kind() != SyncError::Kind::http)
            return false;
        const int status = e.failure().statusCode;
        return status >= 400 && status < 500 && status != 401 && status != 408 && status != 409 && status != 429;
    } catch (...) {
        return false;
    }
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
    bool skippedNamed = false;
    for (const QString &path : paths) {
        if (!isAcceptedImageFile(path))
            continue;
        // Looked at without opening: opening a FIFO blocks.
        if (const std::optional<PhotoCacheJPEGError> refusal = PhotoCacheJPEG::sourceFileRefusal(path)) {
            m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Upload skipped"),
                      skippedDetail(*refusal));
            skippedNamed = true;
            continue;
        }
        kept.append(path);
    }
    if (kept.isEmpty()) {
        if (!skippedNamed)
            m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Upload skipped"),
                      QStringLiteral("No supported image files in drop"));
        co_return;
    }
    m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Uploading %1 file(s)").arg(kept.size()));
    const Live batchLive(this);
    setUploadProgress({0, int(kept.size())});

    Body batch = [this, kept]() -> QCoro::Task<> {
        const QPointer<GalleryStore> self(this);
        const Live live(this);
        const SyncClient client = makeClient();
        const int total = int(kept.size());
        // Files reach the server one at a time, in order; the next ones are
        // converted while one is sent.
        auto pipeline = std::make_shared<UploadPipeline>(kept);
        for (qsizetype i = 0; i < kept.size(); ++i) {
            std::exception_ptr failure;
            bool accepted = false;
            try {
                pipeline->fill(i);
                accepted = co_await uploadOne(client, kept.at(i), i == kept.size() - 1, pipeline, i);
            } catch (...) {
                failure = std::current_exception();
            }
            if (!self)
                co_return;
            if (live && !failure)
                setUploadProgress({int(i + 1), total});
            if (!live) {
                // Signed out (or refused) half way: nothing more goes out, and
                // the log says what did not reach the gallery. A file whose
                // answer never came counts as not uploaded.
                m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Upload stopped"),
                          QStringLiteral("%1 of %2 file(s) not uploaded (session ended)")
                              .arg(kept.size() - i - (accepted ? 1 : 0))
                              .arg(kept.size()));
                co_return;
            }
            if (failure)
                std::rethrow_exception(failure);
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
    if (batchLive)
        setUploadProgress({});
}

// The uploaded bytes go into the cache under the new photo's id, so the new
// photo shows without a download. When an answer shows more than one new
// photo (someone else uploaded at the same moment), only those carrying this
// file's name get them; the others are downloaded like any photo, so no
// cache file ever holds another photo's picture.
QCoro::Task<> GalleryStore::cacheUploadedBytes(GalleryState answer, QSet<QString> before, QString filename,
                                               QByteArray jpeg, std::shared_ptr<QSet<QString>> cached)
{
    const QSet<QString> fresh = activeIds(answer) - before;
    QStringList ids;
    QStringList files;
    for (const QString &id : fresh) {
        const bool ours = fresh.size() == 1 || answer.photos.value(id).filename == filename;
        if (ours && !cached->contains(id)) {
            ids << id;
            files << AppConfig::cacheURL(id);
        }
    }
    if (ids.isEmpty())
        co_return;
    // A pull that ends before this answer is adopted keeps these files; the
    // upload forgets them once it has adopted it or failed.
    for (const QString &id : std::as_const(ids)) {
        m_uploadedAwaitingAdoption.insert(id);
        cached->insert(id);
    }
    const SyncClient writer = makeClient();
    co_await writer.writeCacheFiles(files, jpeg);
}

// One file of a batch. The last file's commit downloads the images the
// cache lacks; the uploaded bytes go into the cache before that, so the new
// photo is never downloaded right after its own upload.
QCoro::Task<bool> GalleryStore::uploadOne(SyncClient client, QString path, bool isLast,
                                          std::shared_ptr<UploadPipeline> pipeline, qsizetype index)
{
    const Live live(this);
    std::optional<PhotoCacheJPEGError> skipped;
    QByteArray jpeg;
    try {
        jpeg = co_await pipeline->take(index);
        // Converted: the next files start while this one is sent.
        if (live)
            pipeline->fill(index + 1);
    } catch (const PhotoCacheJPEGError &e) {
        if (!isSkippedSourceFile(e))
            throw;
        skipped = e; // became a FIFO or grew past the limit since it was picked
    }
    if (!live)
        co_return false;
    if (skipped) {
        m_log.log(LogCategory::gallery, LogLevel::warning, QStringLiteral("Upload skipped"), skippedDetail(*skipped));
        co_return false;
    }
    const QString filename = QFileInfo(path).fileName();
    const QString uploadedBy = m_settings.displayName;
    // The photos there were before this upload; a stale answer's manifest
    // replaces them, since a photo someone else added meanwhile may carry
    // the same file name (phones all name theirs IMG_1234).
    auto before = std::make_shared<QSet<QString>>(activeIds(m_state));
    auto cached = std::make_shared<QSet<QString>>();
    auto accepted = std::make_shared<bool>(false);

    GalleryCall upload = [client, jpeg, filename, uploadedBy](QString base) {
        return client.uploadPhoto(jpeg, filename, uploadedBy, base);
    };
    MutationHooks hooks;
    hooks.beforeCommit = [this, before, filename, jpeg, cached, accepted](const GalleryState &answer) {
        *accepted = true;
        return cacheUploadedBytes(answer, *before, filename, jpeg, cached);
    };
    hooks.afterStaleAdopted = [before](const GalleryState &adopted) { *before = activeIds(adopted); };
    // Adopted, failed or stopped: a pull no longer needs to spare the files.
    const auto forgetCached = qScopeGuard([this, live, cached] {
        if (live)
            m_uploadedAwaitingAdoption -= *cached;
    });
    co_await mutateGallery(client, isLast, std::move(upload), std::move(hooks));
    if (!live)
        co_return *accepted;

    const QSet<QString> added = activeIds(m_state) - *before;
    if (added.isEmpty()) {
        m_log.log(LogCategory::gallery, LogLevel::error, QStringLiteral("Upload response missing new photo"),
                  filename + QStringLiteral(" updatedAt=") + m_state.updatedAt);
        throw SyncError::decode();
    }
    co_await cacheUploadedBytes(m_state, *before, filename, jpeg, cached);
    if (!live)
        co_return true;
    QList<QString> sorted(added.begin(), added.end());
    std::sort(sorted.begin(), sorted.end());
    m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Uploaded to server"),
              filename + QStringLiteral(" \u2192 ") + sorted.join(QStringLiteral(", ")));
    co_return true;
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
        const Live live(this);
        const SyncClient client = makeClient();
        for (const QString &id : orderedIds(ids)) {
            GalleryCall remove = [client, id](QString base) { return client.deletePhoto(id, base); };
            co_await mutateGallery(client, false, std::move(remove));
            if (!live)
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
        const Live live(this);
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
        if (!live)
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
    const Live live(this);
    m_setAsCurrentInFlight = photoID;
    Body body = [this, photoID]() -> QCoro::Task<> {
        const Live guard(this);
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
    if (live)
        m_setAsCurrentInFlight.reset();
}

void GalleryStore::settleOwedUploaderRename()
{
    if (m_uploaderRenameRunning || !m_settings.uploaderNameOnServer || !isSessionUnlocked())
        return;
    m_uploaderRenameRunning = true;
    startBackground([](GalleryStore &store) { return store.runOwedUploaderRename(); });
}

// Renames until the server knows the newest display name, or a rename fails:
// a name changed again while a rename is on its way is sent after it, from
// the name the server accepted.
QCoro::Task<> GalleryStore::runOwedUploaderRename()
{
    const Live live(this);
    for (;;) {
        const std::optional<QString> from = m_settings.uploaderNameOnServer;
        const QString to = m_settings.displayName.trimmed();
        if (!from || !isSessionUnlocked())
            break;
        if (*from == to) {
            AppSettings settled = m_settings;
            settled.uploaderNameOnServer.reset();
            setSettings(settled);
            writeSettings();
            break;
        }
        Body rename = [this, accepted = *from, to] { return propagateDisplayNameChange(accepted, to); };
        co_await run(QStringLiteral("Rename uploader"), LogCategory::gallery, std::move(rename));
        if (!live)
            co_return;
        if (m_settings.uploaderNameOnServer == from)
            break; // not accepted; owed until the next unlock, revalidation or save
    }
    m_uploaderRenameRunning = false;
}

QCoro::Task<> GalleryStore::propagateDisplayNameChange(QString from, QString to)
{
    const Live live(this);
    const SyncClient client = makeClient();
    GalleryCall rename = [client, from, to](QString base) { return client.renameUploader(from, to, base); };
    try {
        co_await mutateGallery(client, false, std::move(rename));
    } catch (...) {
        // A refusal for good ends the debt; the wrapper logs it.
        if (live && isPermanentRefusal(std::current_exception())) {
            AppSettings dropped = m_settings;
            dropped.uploaderNameOnServer.reset();
            setSettings(dropped);
            writeSettings();
        }
        throw;
    }
    if (!live)
        co_return;
    m_log.log(LogCategory::gallery, LogLevel::success, QStringLiteral("Updated uploader name on server"),
              from + QStringLiteral(" \u2192 ") + to);
    AppSettings accepted = m_settings;
    if (accepted.displayName.trimmed() == to)
        accepted.uploaderNameOnServer.reset();
    else
        accepted.uploaderNameOnServer = to;
    setSettings(accepted);
    writeSettings();
}
