// Making sure images are in the local cache, and copies in the user's
// Downloads folder.
#include "gallerystore.h"

#include "app/appsession.h"
#include "model/appconfig.h"
#include "model/atomicfile.h"
#include "safetext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

QCoro::Task<> GalleryStore::ensureThumbnailCached(QString photoID, int width, std::shared_ptr<RequestGroup> cancel)
{
    return ensureCached(std::move(photoID), width, std::move(cancel));
}

QCoro::Task<> GalleryStore::ensurePhotoCached(QString photoID, std::shared_ptr<RequestGroup> cancel)
{
    return ensureCached(std::move(photoID), std::nullopt, std::move(cancel));
}

QCoro::Task<> GalleryStore::ensureCached(QString photoID, std::optional<int> width, std::shared_ptr<RequestGroup> cancel)
{
    if (!isSessionUnlocked())
        co_return;
    const auto entry = m_state.photos.constFind(photoID);
    if (entry == m_state.photos.constEnd() || entry->isDeleted())
        co_return;
    const QString file = width ? AppConfig::thumbnailCacheURL(photoID, *width) : AppConfig::cacheURL(photoID);
    if (AppConfig::cachedFileExists(file))
        co_return;
    const PhotoEntry photo = *entry;
    const Live live(this);
    std::exception_ptr failure;
    try {
        // The caller's group ends with the session's, or alone when the
        // caller no longer needs the image.
        if (cancel)
            m_requests->include(cancel);
        const SyncClient client = cancel ? SyncClient(m_settings, HttpSession::shared(), cancel) : makeClient();
        if (width)
            co_await client.cacheThumbnailIfMissing(photo, *width);
        else
            co_await client.cachePhotoIfMissing(photo);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!live || !failure || isCancellation(failure))
        co_return;
    m_log.log(failure, LogCategory::gallery,
              (width ? QStringLiteral("Cache thumbnail ") : QStringLiteral("Cache photo ")) + photoID);
}

QCoro::Task<> GalleryStore::downloadPhotos(QSet<QString> ids)
{
    if (!isSessionUnlocked() || ids.isEmpty())
        co_return;
    QList<PhotoEntry> photos;
    // A deleted photo is treated like an unknown id: the server has no
    // image for it any more.
    for (const QString &id : orderedIds(ids)) {
        const auto entry = m_state.photos.constFind(id);
        if (entry != m_state.photos.constEnd() && !entry->isDeleted())
            photos.append(*entry);
    }
    if (photos.isEmpty())
        co_return;
    const qsizetype n = photos.size();
    if (n == 1)
        m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Download photo"), photos.first().filename);
    else
        m_log.log(LogCategory::gallery, LogLevel::info, QStringLiteral("Downloading %1 photos").arg(n),
                  QStringLiteral("count=%1").arg(n));
    const QString label = n == 1 ? QStringLiteral("Download") : QStringLiteral("Download (%1)").arg(n);
    Body batch = [this, photos]() -> QCoro::Task<> {
        const Live live(this);
        for (const PhotoEntry &photo : photos) {
            co_await writeFullSizeJPEGDownload(photo);
            if (!live)
                co_return;
        }
    };
    co_await run(label, LogCategory::gallery, std::move(batch));
}

QCoro::Task<> GalleryStore::writeFullSizeJPEGDownload(PhotoEntry photo)
{
    const Live live(this);
    const QString cached = AppConfig::cacheURL(photo.id);
    if (!AppConfig::cachedFileExists(cached)) {
        const SyncClient client = makeClient();
        co_await client.cachePhotoIfMissing(photo);
        if (!live)
            co_return;
    }
    // Never through a link: the copy must be the photo we cached.
    const std::optional<QByteArray> bytes = AppConfig::readCacheFile(cached, SyncClient::maxImageBytes);
    if (!bytes)
        throw PlatformError::general(QStringLiteral("Could not read the cached photo ") + photo.id);

    const QString name = downloadFilename(photo);
    const std::optional<QString> folder =
        m_environment.downloadsFolder ? m_environment.downloadsFolder() : std::optional<QString>();
    if (!folder || !QDir().mkpath(*folder))
        throw PlatformError(Error::generalDomain, 1, QStringLiteral("Downloads folder unavailable"));
    // The first free name wins; a file that appears under it meanwhile is
    // never replaced: the next name is taken instead, a bounded number of
    // times.
    std::optional<QString> target;
    for (int attempt = 0; attempt < maxFreeNameTries && !target; ++attempt) {
        const std::optional<QString> candidate = uniqueFileURL(*folder, name);
        if (!candidate)
            break;
        if (AtomicFile::writeNew(*candidate, *bytes))
            target = candidate;
    }
    if (!target)
        throw PlatformError::general(QStringLiteral("No free file name for ") + name
                                     + QStringLiteral(" in the Downloads folder"));
    m_log.log(LogCategory::gallery, LogLevel::success, QStringLiteral("Saved to Downloads"), QFileInfo(*target).fileName());
}

namespace {

// A file name holds at most 255 bytes on the usual file systems; the stem
// leaves room for " (999)" and the extension.
constexpr qsizetype maxStemBytes = 200;

QString fitted(const QString &stem)
{
    if (stem.toUtf8().size() <= maxStemBytes)
        return stem;
    QString cut = stem;
    while (!cut.isEmpty() && cut.toUtf8().size() > maxStemBytes)
        cut.chop(cut.size() >= 2 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
    return cut;
}

} // namespace

QString GalleryStore::downloadFilename(const PhotoEntry &photo)
{
    // Only the last path component of the server's name is used, so a name
    // like "../x.jpg" or "a/b.jpg" cannot leave the Downloads folder; a name
    // made of dots only names no file. Control characters (a NUL would cut
    // the name short on disk) and direction overrides become "_".
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const auto cleaned = [](const QString &text) { return SafeText::replaced(text, QLatin1Char('_')); };
    QString name = cleaned(photo.filename.trimmed().section(separators, -1)).trimmed();
    static const QRegularExpression dotsOnly(QStringLiteral("^\\.+$"));
    if (name.isEmpty() || dotsOnly.match(name).hasMatch()) {
        QString stem = cleaned(photo.id.section(separators, -1));
        if (stem.isEmpty() || dotsOnly.match(stem).hasMatch())
            stem = QStringLiteral("photo");
        return fitted(stem) + QStringLiteral(".jpg");
    }
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot >= 0 ? name.mid(dot + 1).toLower() : QString();
    if (extension == QLatin1StringView("jpg") || extension == QLatin1StringView("jpeg"))
        return fitted(name.left(dot)) + name.mid(dot);
    return fitted(dot >= 0 ? name.left(dot) : name) + QStringLiteral(".jpg");
}

std::optional<QString> GalleryStore::uniqueFileURL(const QString &folder, const QString &filename)
{
    const QDir dir(folder);
    const qsizetype dot = filename.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot >= 0 ? filename.left(dot) : filename;
    const QString extension = dot >= 0 ? filename.mid(dot + 1) : QString();
    // A dangling link occupies its name too.
    const auto taken = [](const QString &path) {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    };
    QString candidate = dir.filePath(filename);
    for (int n = 1; taken(candidate); ++n) {
        if (n > maxFreeNameTries)
            return std::nullopt;
        candidate = dir.filePath(stem + QStringLiteral(" (%1)").arg(n)
                                 + (extension.isEmpty() ? QString() : QLatin1Char('.') + extension));
    }
    return candidate;
}
