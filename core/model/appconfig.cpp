#include "appconfig.h"

#include "error.h"
#include "atomicfile.h"
#include "log/activitylogstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class EntryKind { missing, regular, directory, symlink, other };

// What is at `path` itself, a link not followed.
EntryKind entryKind(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return EntryKind::missing;
    if (S_ISLNK(status.st_mode))
        return EntryKind::symlink;
    if (S_ISREG(status.st_mode))
        return EntryKind::regular;
    if (S_ISDIR(status.st_mode))
        return EntryKind::directory;
    return EntryKind::other;
}

bool removeEntry(const QString &path)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}

// The folder, with parents, private to the user when it is made; with
// `narrowExisting`, an existing folder of ours is narrowed too. A link in
// its place is not followed.
void makePrivateFolder(const QString &path, bool narrowExisting)
{
    const bool missing = entryKind(path) == EntryKind::missing;
    if (missing)
        QDir().mkpath(path); // failures surface in the file operations that follow
    if ((missing || narrowExisting) && entryKind(path) == EntryKind::directory)
        ::chmod(QFile::encodeName(path).constData(), S_IRWXU);
}

// The log lives on the main thread; a worker that found the link posts it.
void logOnMainThread(std::function<void()> record)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    if (QThread::currentThread() == application->thread())
        record();
    else
        QMetaObject::invokeMethod(application, std::move(record), Qt::QueuedConnection);
}

// The cache's own file names: images and the temporary files of their
// atomic writes ("<image name>.XXXXXX"). Stems never start with a dot.
bool isOwnCacheName(const QString &name, bool includeTemporary)
{
    static const QRegularExpression image(QStringLiteral("^[^.].*\\.jpg$"));
    static const QRegularExpression temporary(QStringLiteral("^[^.].*\\.jpg\\.[A-Za-z0-9]{6}$"));
    return image.match(name).hasMatch() || (includeTemporary && temporary.match(name).hasMatch());
}

// The regular files of the cache folder with the cache's own names; links,
// subfolders and anything else are never listed.
QStringList ownCacheFiles(const QDir &dir, bool includeTemporary)
{
    QStringList files;
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (isOwnCacheName(name, includeTemporary) && entryKind(dir.filePath(name)) == EntryKind::regular)
            files << name;
    }
    return files;
}

// Far above what the files hold for any gallery the server would send (its
// manifests are taken up to 16 MB); a larger file is not ours to load.
constexpr qint64 maxSettingsFileBytes = 1024 * 1024;
constexpr qint64 maxLocalStateFileBytes = 64 * 1024 * 1024;

// The bytes of the file at `path` (a link followed if `followLink`), at
// most `maxBytes`;
// none when it is missing, is no regular file (a pipe would block the
// read for ever), is larger, or cannot be read.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes, bool followLink = true)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return std::nullopt;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > maxBytes)
        return std::nullopt;
    QByteArray bytes = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > maxBytes)
        return std::nullopt;
    return bytes;
}

} // namespace

namespace AppConfig {

QString supportFolder()
{
    // Computed once per process (thread-safe static initialisation).
    static const QString folder = [] {
        const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (base.isEmpty())
            qFatal("No per-user data directory is available; cannot store the gallery.");
        const QString path = QDir(base).filePath(QStringLiteral("LunvikPhotos"));
        makePrivateFolder(path, true);
        return path;
    }();
    return folder;
}

QString settingsURL()
{
    return QDir(supportFolder()).filePath(QStringLiteral("config.json"));
}

QString localStateURL()
{
    return QDir(supportFolder()).filePath(QStringLiteral("local-gallery.json"));
}

QString cacheFolder()
{
    const QString path = QDir(supportFolder()).filePath(QStringLiteral("cache"));
    if (entryKind(path) == EntryKind::symlink) {
        // Pruning and wiping would work on another folder's files.
        const QString target = QFileInfo(path).symLinkTarget();
        if (removeEntry(path)) {
            logOnMainThread([path, target] {
                ActivityLogStore::shared().log(
                    LogCategory::system, LogLevel::warning, QStringLiteral("Cache folder replaced"),
                    path + QStringLiteral(" was a symbolic link to ") + target
                        + QStringLiteral("; the link was removed (its target left untouched) and a new folder made."));
            });
        }
    }
    makePrivateFolder(path, false);
    return path;
}

bool cachedFileExists(const QString &path)
{
    switch (entryKind(path)) {
    case EntryKind::regular:
        return true;
    case EntryKind::symlink:
        removeEntry(path);
        return false;
    default:
        return false;
    }
}

std::optional<QByteArray> readCacheFile(const QString &path, qint64 maxBytes)
{
    return readRegularFile(path, maxBytes, false);
}

QString cacheFileStem(const QString &photoID)
{
    auto unsafe = [](QChar c) {
        return c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QChar(0) || c == QLatin1Char('%');
    };
    bool needsEncoding = photoID.startsWith(QLatin1Char('.'));
    for (const QChar c : photoID) {
        if (unsafe(c)) {
            needsEncoding = true;
            break;
        }
    }
    if (!needsEncoding)
        return photoID;

    QString stem;
    stem.reserve(photoID.size() + 8);
    for (qsizetype i = 0; i < photoID.size(); ++i) {
        const QChar c = photoID.at(i);
        if (unsafe(c) || (i == 0 && c == QLatin1Char('.')))
            stem += QStringLiteral("%%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
        else
            stem += c;
    }
    return stem;
}

QString cacheURL(const QString &photoID)
{
    return cacheURLIn(cacheFolder(), photoID);
}

QString cacheURLIn(const QString &folder, const QString &photoID)
{
    return QDir(folder).filePath(cacheFileStem(photoID) + QStringLiteral(".jpg"));
}

QString thumbnailCacheURL(const QString &photoID, int width)
{
    // Plain concatenation: an encoded stem holds "%XX" sequences that a chained
    // QString::arg() would take for place markers.
    return QDir(cacheFolder())
        .filePath(cacheFileStem(photoID) + QStringLiteral("_w") + QString::number(width) + QStringLiteral(".jpg"));
}

namespace {

// What the cache writes and prunings need to know of each other. A pruning
// only spares files written after it began, so finished writes are only
// remembered while a pruning runs.
struct CacheWrites {
    QMutex mutex;
    quint64 counter = 0;
    int prunings = 0;
    QHash<QString, int> inProgress;
    QHash<QString, quint64> finishedAt;
};

CacheWrites &cacheWrites()
{
    static CacheWrites writes;
    return writes;
}

} // namespace

void writeCacheFile(const QString &path, const QByteArray &bytes)
{
    CacheWrites &writes = cacheWrites();
    {
        const QMutexLocker lock(&writes.mutex);
        ++writes.inProgress[path];
    }
    // The atomic write would write a link's target (even a dangling link's).
    if (entryKind(path) == EntryKind::symlink)
        removeEntry(path);
    const auto finish = qScopeGuard([&] {
        const QMutexLocker lock(&writes.mutex);
        if (--writes.inProgress[path] == 0)
            writes.inProgress.remove(path);
        if (writes.prunings > 0)
            writes.finishedAt.insert(path, ++writes.counter);
    });
    AtomicFile::write(path, bytes);
}

CachePruning beginCachePruning()
{
    CacheWrites &writes = cacheWrites();
    const QMutexLocker lock(&writes.mutex);
    ++writes.prunings;
    return CachePruning{writes.counter};
}

void removeCachedPhotosExcept(const QStringList &keptPhotoIDs, CachePruning pruning)
{
    CacheWrites &writes = cacheWrites();
    const auto end = qScopeGuard([&writes] {
        const QMutexLocker lock(&writes.mutex);
        if (--writes.prunings == 0)
            writes.finishedAt.clear();
    });

    QSet<QString> kept;
    for (const QString &id : keptPhotoIDs)
        kept.insert(cacheFileStem(id));
    // "<stem>.jpg" and "<stem>_w<width>.jpg"; the atomic writes' temporary
    // files never end in ".jpg".
    static const QRegularExpression thumbnail(QStringLiteral("^(.+)_w[0-9]+$"));
    QDir dir(cacheFolder());
    const QStringList names = ownCacheFiles(dir, false);
    for (const QString &name : names) {
        const QString stem = name.chopped(4);
        if (kept.contains(stem))
            continue;
        const QRegularExpressionMatch match = thumbnail.match(stem);
        if (match.hasMatch() && kept.contains(match.captured(1)))
            continue;
        // Held while the file goes, so no write of it can start in between.
        const QString path = dir.filePath(name);
        const QMutexLocker lock(&writes.mutex);
        if (writes.inProgress.contains(path) || writes.finishedAt.value(path) > pruning.mark)
            continue;
        QFile::remove(path);
    }
}

void clearPhotoCache()
{
    QDir dir(cacheFolder());
    if (!dir.exists())
        return;
    for (const QString &name : ownCacheFiles(dir, true))
        removeEntry(dir.filePath(name));
}

std::optional<AppSettings> readSettingsFile()
{
    const auto bytes = readRegularFile(settingsURL(), maxSettingsFileBytes);
    return bytes ? AppSettings::fromJsonBytes(*bytes) : std::nullopt;
}

AppSettings loadSettings()
{
    AppSettings settings = readSettingsFile().value_or(AppSettings());

    auto saveQuietly = [&settings] {
        try {
            saveSettings(settings);
        } catch (const Error &) {
            // The corrected value is still used for this run.
        }
    };
    const QString expected = AppSettings::syncServerBaseURL(settings.debugMode);
    if (settings.serverBaseURL != expected) {
        settings.serverBaseURL = expected;
        saveQuietly();
    }
    if (settings.displayName.trimmed().isEmpty()) {
        settings.displayName = AppSettings::defaultDisplayName;
        saveQuietly();
    }
    return settings;
}

void saveSettings(const AppSettings &settings)
{
    AtomicFile::write(settingsURL(), settings.toJsonBytes(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

LocalStateLoad loadLocalState()
{
    const QString path = localStateURL();
    if (entryKind(path) == EntryKind::missing)
        return {GalleryState::empty(), false};
    if (const auto bytes = readRegularFile(path, maxLocalStateFileBytes)) {
        if (auto state = GalleryState::fromJsonBytes(*bytes))
            return {std::move(*state), false};
    }
    // Ours to replace only when it is a file (or a link): a folder or a
    // pipe under that name stays, and the next save reports the failure.
    if (const EntryKind kind = entryKind(path); kind == EntryKind::regular || kind == EntryKind::symlink)
        removeEntry(path);
    return {GalleryState::empty(), true};
}

void saveLocalState(const GalleryState &state)
{
    saveLocalStateBytes(state.toJsonBytes());
}

void saveLocalStateBytes(const QByteArray &bytes)
{
    AtomicFile::write(localStateURL(), bytes);
}

} // namespace AppConfig
