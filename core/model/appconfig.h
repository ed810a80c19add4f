// Where the client keeps its files, and loading and saving them.
//
// Everything lives in one per-user support folder: the XDG data directory
// (normally ~/.local/share) plus "LunvikPhotos".
#pragma once

#include "appsettings.h"
#include "gallerystate.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace AppConfig {

struct LocalStateLoad {
    GalleryState state;
    // True exactly when a local file existed but could not be used.
    bool needsServerPull = false;
};

// Created 0700 when missing (and narrowed to 0700 when found wider): the
// family's photos and log are nobody else's business.
QString supportFolder();
QString settingsURL();
QString localStateURL();
// Created (with parents) every time it is asked for. A "cache" that is a
// symbolic link is never used: the link is removed (its target is left as
// it is), a real folder takes its place, and a warning is logged.
QString cacheFolder();

// The cache file name stem of a photo id. Ordinary ids are used as they
// are; ids that could leave the cache folder or name a hidden file ("/",
// "\", NUL, a leading ".") are percent-encoded, "%" included, so the mapping
// stays one-to-one.
QString cacheFileStem(const QString &photoID);
QString cacheURL(const QString &photoID);
// The same inside a known cache folder, touching no file (any thread).
QString cacheURLIn(const QString &folder, const QString &photoID);
QString thumbnailCacheURL(const QString &photoID, int width);

// Removes the cache's own files from the cache folder: regular files named
// as cached images ("<stem>.jpg", "<stem>_w<width>.jpg") and the temporary
// files of their writes. Never a symbolic link's target, never a subfolder
// or anything in it. Never fails.
void clearPhotoCache();
// True when `path` names a cached image file: a regular file, not a link.
// A symbolic link there is removed (never followed: it would hand out or
// overwrite a file that is not ours), so the image is fetched again. Any
// thread.
bool cachedFileExists(const QString &path);
// The bytes of a cached image file, read without following a link and at
// most `maxBytes`; none when it is no regular file, is larger, or cannot be
// read. Any thread.
std::optional<QByteArray> readCacheFile(const QString &path, qint64 maxBytes);

// Writes one cache file whole (AtomicFile::write, throws PlatformError);
// a symbolic link in its place is removed first, never written through.
// Any thread. Every cache file is written through here, so that a pruning
// running meanwhile leaves it alone.
void writeCacheFile(const QString &path, const QByteArray &bytes);

// A pruning of the cache begins when its caller takes the list of photos to
// keep: a file written after that moment, or being written while the pruning
// looks at it, is never removed by it.
struct CachePruning {
    quint64 mark = 0;
};
CachePruning beginCachePruning();
// Removes the cached images, full size and thumbnails, of every photo not
// named in keptPhotoIDs; other files of the cache folder stay, and so do
// links and subfolders. Never fails.
// Ends `pruning`.
void removeCachedPhotosExcept(const QStringList &keptPhotoIDs, CachePruning pruning);
inline void removeCachedPhotosExcept(const QStringList &keptPhotoIDs)
{
    removeCachedPhotosExcept(keptPhotoIDs, beginCachePruning());
}

// The settings as the file holds them now, without corrections; none when
// it is missing or unusable.
std::optional<AppSettings> readSettingsFile();
// Never fails: a missing or corrupt file gives the defaults. The server
// address is always derived from the debug flag and is corrected on disk.
AppSettings loadSettings();

// The desktop app and any number of command-line clients share these files.
// Every read-modify-write of config.json and local-gallery.json happens
// under a lock file beside it ("<name>.lock"); a lock left by a process
// that is gone is taken over. Waiting longer than this for a live holder
// fails the save.
constexpr int fileLockTimeoutMs = 10000;

// Writes the whole record, replacing whatever the file holds. Throws
// PlatformError. The file is written with permissions 0600 since it holds
// the session token.
void saveSettings(const AppSettings &settings);
// `mine` differs from `base` (what this program last read or wrote) in the
// changes this program made; every other field is taken from `disk`, so a
// change another program saved meanwhile is kept.
AppSettings mergedSettings(const AppSettings &mine, const AppSettings &base, const AppSettings &disk);
// Under the lock: the file as it is now, with this program's changes
// (`mine` against `base`) written over it. Returns what was written.
// Throws PlatformError.
AppSettings saveSettingsChanges(const AppSettings &mine, const AppSettings &base);

// Never fails: a missing file gives an empty state; an unusable one is
// removed and reported through needsServerPull.
LocalStateLoad loadLocalState();

enum class LocalStateSaveMode {
    // A manifest of the same server with a later updatedAt already in the
    // file stays there.
    keepNewer,
    // The file is replaced whatever it holds (the empty state of a lock).
    replace,
};
// Under the lock. `serverBaseURL` is the server the manifest came from; it
// is written into the file beside the manifest (the manifest decoder
// ignores it), and a manifest of another server is always replaced.
// Returns the manifest the file keeps when that is a newer one than
// `state` (nothing was written); none when `state` was written. The
// server's updatedAt texts share one fixed-width format, so their text
// order is their time order. Throws PlatformError.
std::optional<GalleryState> saveLocalState(const GalleryState &state, const QString &serverBaseURL,
                                           LocalStateSaveMode mode = LocalStateSaveMode::keepNewer);
// Replaces the file with `state` as the manifest of the server the settings
// name (seeding a folder). Throws PlatformError.
void saveLocalState(const GalleryState &state);
// True when local-gallery.json is still the file this process wrote last.
bool localStateIsOwnLastWrite();
// The same for an already encoded manifest (GalleryState::toJsonBytes) whose
// updatedAt is `updatedAt`.
std::optional<GalleryState> saveLocalStateBytes(const QByteArray &bytes, const QString &updatedAt,
                                                const QString &serverBaseURL,
                                                LocalStateSaveMode mode = LocalStateSaveMode::keepNewer);

} // namespace AppConfig
