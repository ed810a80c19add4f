#include "appconfig.h"

#include "../error.h"
#include "atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

namespace AppConfig {

QString supportFolder()
{
    // Computed once per process (thread-safe static initialisation).
    static const QString folder = [] {
        const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (base.isEmpty())
            qFatal("No per-user data directory is available; cannot store the gallery.");
        const QString path = QDir(base).filePath(QStringLiteral("LunvikPhotos"));
        QDir().mkpath(path); // failures surface in the file operations that follow
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
    QDir().mkpath(path);
    return path;
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
    const QStringList names = dir.entryList({QStringLiteral("*.jpg")}, QDir::Files | QDir::Hidden | QDir::System);
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
    const QFileInfoList items =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &item : items) {
        if (item.isDir() && !item.isSymLink())
            QDir(item.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(item.absoluteFilePath());
    }
}

AppSettings loadSettings()
{
    AppSettings settings;
    QFile file(settingsURL());
    if (file.open(QIODevice::ReadOnly)) {
        if (auto decoded = AppSettings::fromJsonBytes(file.readAll()))
            settings = std::move(*decoded);
    }

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
    if (!QFileInfo::exists(path))
        return {GalleryState::empty(), false};
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        if (auto state = GalleryState::fromJsonBytes(file.readAll()))
            return {std::move(*state), false};
        file.close();
    }
    QFile::remove(path);
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
