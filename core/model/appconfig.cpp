#include "appconfig.h"

#include "error.h"
#include "atomicfile.h"
#include "log/activitylogstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QMutex>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstring>
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

namespace {

// One program's hold on "<file>.lock" for a read-modify-write of <file>.
// QLockFile takes over a lock whose process is gone (whatever its age);
// a live holder is waited for, and only for so long.
class DataFileLock
{
public:
    explicit DataFileLock(const QString &filePath) : m_lock(filePath + QStringLiteral(".lock"))
    {
        m_lock.setStaleLockTime(0);
        errno = 0;
        if (m_lock.tryLock(AppConfig::fileLockTimeoutMs))
            return;
        const int reason = errno;
        const QString name = QFileInfo(filePath).fileName();
        if (m_lock.error() == QLockFile::LockFailedError) {
            throw PlatformError(QStringLiteral("QLockFile"), int(m_lock.error()),
                                QStringLiteral("Another program kept %1 locked; nothing was written.").arg(name));
        }
        // The lock file itself could not be made (a full disk, a read-only
        // folder): a failed write of the file, not another program's.
        QString description = QStringLiteral("Could not write %1.lock; nothing was written").arg(name);
        if (reason != 0 && reason != EEXIST)
            description += QStringLiteral(": ") + QString::fromLocal8Bit(::strerror(reason));
        throw fileError(m_lock.error() == QLockFile::PermissionError ? QFileDevice::PermissionsError
                                                                     : QFileDevice::WriteError,
                        description);
    }

private:
    QLockFile m_lock;
};

// The key beside the manifest in local-gallery.json naming its server.
const QString localStateServerKey = QStringLiteral("serverBaseURL");

// What a save needs to know of the manifest in the file: its version and
// its server. Reading that means parsing the whole manifest, so it is
// remembered for the file this process wrote last and only read again when
// another program has replaced the file since (a rename gives it a new
// inode).
struct LocalStateStamp {
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = -1;
    qint64 mtimeNs = -1;
    bool operator==(const LocalStateStamp &) const = default;
};
struct LocalStateHeader {
    QString updatedAt;
    QString serverBaseURL;
};

std::optional<LocalStateStamp> localStateStamp(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return LocalStateStamp{status.st_dev, status.st_ino, qint64(status.st_size),
                           qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

struct RememberedLocalState {
    QMutex mutex;
    std::optional<LocalStateStamp> stamp;
    LocalStateHeader header;
};
RememberedLocalState &rememberedLocalState()
{
    static RememberedLocalState remembered;
    return remembered;
}

// The manifest's updatedAt and server as the file holds them; none when
// there is no usable manifest.
std::optional<LocalStateHeader> readLocalStateHeader(const QString &path)
{
    const auto stamp = localStateStamp(path);
    if (!stamp)
        return std::nullopt;
    RememberedLocalState &remembered = rememberedLocalState();
    {
        const QMutexLocker lock(&remembered.mutex);
        if (remembered.stamp == stamp)
            return remembered.header;
    }
    const auto bytes = readRegularFile(path, maxLocalStateFileBytes, false);
    if (!bytes)
        return std::nullopt;
    const auto state = GalleryState::fromJsonBytes(*bytes);
    if (!state)
        return std::nullopt;
    const QJsonValue server = QJsonDocument::fromJson(*bytes).object().value(localStateServerKey);
    return LocalStateHeader{state->updatedAt, server.toString()};
}

// The manifest's compact JSON object with the server key put in front.
QByteArray withServerKey(const QByteArray &manifest, const QString &serverBaseURL)
{
    QByteArray bytes = QJsonDocument(QJsonObject{{localStateServerKey, serverBaseURL}}).toJson(QJsonDocument::Compact);
    bytes.chop(1); // its closing brace
    const QByteArray rest = manifest.trimmed();
    if (!rest.startsWith('{'))
        return manifest; // not an object: written as it is, and rejected by the next load
    const QByteArray members = rest.mid(1);
    return bytes + (members.trimmed() == "}" ? QByteArray() : QByteArray(",")) + members;
}

} // namespace

std::optional<AppSettings> readSettingsFile()
{
    const auto bytes = readRegularFile(settingsURL(), maxSettingsFileBytes);
    return bytes ? AppSettings::fromJsonBytes(*bytes) : std::nullopt;
}

AppSettings loadSettings()
{
    AppSettings settings = readSettingsFile().value_or(AppSettings());
    const QString expected = AppSettings::syncServerBaseURL(settings.debugMode);
    if (settings.serverBaseURL == expected && !settings.displayName.trimmed().isEmpty())
        return settings;
    try {
        // Corrected under the lock, on the file as it is by then.
        const DataFileLock lock(settingsURL());
        const auto onDisk = readSettingsFile();
        if (onDisk)
            settings = *onDisk;
        settings.serverBaseURL = AppSettings::syncServerBaseURL(settings.debugMode);
        if (settings.displayName.trimmed().isEmpty())
            settings.displayName = AppSettings::defaultDisplayName;
        if (!onDisk || !(*onDisk == settings))
            saveSettings(settings);
    } catch (const Error &) {
        // The corrected value is still used for this run.
        settings.serverBaseURL = AppSettings::syncServerBaseURL(settings.debugMode);
        if (settings.displayName.trimmed().isEmpty())
            settings.displayName = AppSettings::defaultDisplayName;
    }
    return settings;
}

void saveSettings(const AppSettings &settings)
{
    AtomicFile::write(settingsURL(), settings.toJsonBytes(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

AppSettings mergedSettings(const AppSettings &mine, const AppSettings &base, const AppSettings &disk)
{
    AppSettings merged = disk;
    auto take = [&](auto field) {
        if (!(mine.*field == base.*field))
            merged.*field = mine.*field;
    };
    take(&AppSettings::serverBaseURL);
    take(&AppSettings::debugMode);
    take(&AppSettings::syncSessionToken);
    take(&AppSettings::galleryName);
    take(&AppSettings::displayName);
    take(&AppSettings::previewPaneSplitFraction);
    take(&AppSettings::galleryGridColumnCount);
    take(&AppSettings::debugAdvanceIntervalSeconds);
    take(&AppSettings::uploaderNameOnServer);
    take(&AppSettings::previewAppearance);
    take(&AppSettings::notifyWhenLongWorkEnds);
    return merged;
}

AppSettings saveSettingsChanges(const AppSettings &mine, const AppSettings &base)
{
    const DataFileLock lock(settingsURL());
    // A missing or unusable file holds nothing worth keeping: ours is written.
    const auto disk = readSettingsFile();
    const AppSettings merged = disk ? mergedSettings(mine, base, *disk) : mine;
    saveSettings(merged);
    return merged;
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
    try {
        const DataFileLock lock(path);
        // Another program may have written a good file meanwhile.
        if (const auto bytes = readRegularFile(path, maxLocalStateFileBytes)) {
            if (auto state = GalleryState::fromJsonBytes(*bytes))
                return {std::move(*state), false};
        }
        // Ours to replace only when it is a file (or a link): a folder or a
        // pipe under that name stays, and the next save reports the failure.
        if (const EntryKind kind = entryKind(path); kind == EntryKind::regular || kind == EntryKind::symlink)
            removeEntry(path);
    } catch (const Error &) {
        // Left for the next save, which takes the lock again.
    }
    return {GalleryState::empty(), true};
}

void saveLocalState(const GalleryState &state)
{
    saveLocalState(state, loadSettings().serverBaseURL, LocalStateSaveMode::replace);
}

bool localStateIsOwnLastWrite()
{
    const auto stamp = localStateStamp(localStateURL());
    RememberedLocalState &remembered = rememberedLocalState();
    const QMutexLocker lock(&remembered.mutex);
    return stamp && remembered.stamp == stamp;
}

std::optional<GalleryState> saveLocalState(const GalleryState &state, const QString &serverBaseURL,
                                           LocalStateSaveMode mode)
{
    return saveLocalStateBytes(state.toJsonBytes(), state.updatedAt, serverBaseURL, mode);
}

std::optional<GalleryState> saveLocalStateBytes(const QByteArray &bytes, const QString &updatedAt,
                                                const QString &serverBaseURL, LocalStateSaveMode mode)
{
    const QString path = localStateURL();
    const DataFileLock lock(path);
    if (mode == LocalStateSaveMode::keepNewer) {
        const auto onDisk = readLocalStateHeader(path);
        if (onDisk && onDisk->serverBaseURL == serverBaseURL && onDisk->updatedAt > updatedAt) {
            if (auto newer = loadLocalState().state; newer.updatedAt == onDisk->updatedAt)
                return newer;
        }
    }
    AtomicFile::write(path, withServerKey(bytes, serverBaseURL));
    RememberedLocalState &remembered = rememberedLocalState();
    const QMutexLocker rememberedLock(&remembered.mutex);
    remembered.stamp = localStateStamp(path);
    remembered.header = LocalStateHeader{updatedAt, serverBaseURL};
    return std::nullopt;
}

} // namespace AppConfig
