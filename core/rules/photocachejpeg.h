// Turning picked and downloaded image files into the JPEG the photo cache
// keeps, and decoding reduced-size images for thumbnails.
//
// Every decode is bounded three times: by the size asked for (the longer
// side, aspect kept, never enlarged), by the size of the source, and by the
// memory all decodes of the process share (DecodeMemoryBudget). A source
// with more than ImageDownsampler::maxSourcePixels pixels is refused from
// its header, before any pixel memory is allocated, and counts as an
// unsupported image: a decoder (or libjpeg's coefficient buffers for a
// progressive JPEG) may have to hold the whole source, and a crafted header
// can claim any size. Within that, each decode estimates from the header
// what it will hold (progressive or multi-scan JPEGs their coefficient
// buffers, formats Qt decodes whole and HEIF their full size, all of them
// their output) and waits for that share of the budget before it starts;
// a decode that could never fit the whole budget is refused the same way.
//
// Decoding goes through QImageReader for every format Qt reads (with the EXIF
// orientation applied, and JPEGs decoded at a reduced DCT scale rather than
// decoded whole and scaled), and through libheif for HEIF files (HEIC,
// AVIF), recognised by their content whatever their name. Never from an
// embedded thumbnail or preview.
//
// Only regular files are read (symbolic links followed): a FIFO, socket or
// device is refused before it is opened, as opening a FIFO blocks.
//
// All of it is safe to call from any thread; none of it touches anything
// that needs a QGuiApplication.
#pragma once

#include "error.h"
#include "decodememorybudget.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

class PhotoCacheJPEGError : public Error
{
public:
    enum class Kind { unsupportedImageFile, notRegularFile, fileTooLarge };

    // The file could not be turned into a JPEG. `fileName` is the last path
    // component of the file, as shown to the user.
    static PhotoCacheJPEGError unsupportedImageFile(QString fileName);
    // The file was not read at all: a FIFO, socket or device.
    static PhotoCacheJPEGError notRegularFile(QString fileName);
    // The file was not read, or not beyond PhotoCacheJPEG::maxSourceFileBytes.
    static PhotoCacheJPEGError fileTooLarge(QString fileName);

    Kind kind() const { return m_kind; }
    const QString &fileName() const { return m_fileName; }
    // What is wrong with the file, in lower case: "unsupported image",
    // "not a regular file" or "larger than 200 MB".
    QString reason() const;

    // The reason, capitalised, followed by ": " and the file name, e.g.
    // "Unsupported image: a.png".
    std::optional<QString> errorDescription() const override;
    // General domain, code 0, the same description.
    Record record() const override;

private:
    PhotoCacheJPEGError(Kind kind, QString fileName);

    Kind m_kind;
    QString m_fileName;
};

namespace PhotoCacheJPEG {

// Files that are not JPEG are re-encoded at most this many pixels on the
// longer side.
inline constexpr int fullSizeMaxPixelSize = 4096;
// QImageWriter's quality for re-encoded files (0.88 on a 0..1 scale).
inline constexpr int jpegQuality = 88;
// Picked files larger than this are not read: 200 MB, well above what any
// camera or phone writes as a JPEG, HEIF, PNG or TIFF photo (a 200-megapixel
// phone JPEG is about 50 MB), and small enough that holding it in memory
// for the upload does no harm.
inline constexpr qint64 maxSourceFileBytes = 200LL * 1024 * 1024;

// True when `data` starts with the JPEG start-of-image marker and the first
// byte of the next marker (FF D8 FF). Nothing else is checked.
bool isJPEG(const QByteArray &data);

// The bytes the photo cache keeps for the image file at `filePath`:
// - a file that passes isJPEG() comes back unchanged (no re-encoding, no
//   resizing, its metadata kept);
// - anything else is decoded upright, bounded to fullSizeMaxPixelSize and
//   encoded as a new JPEG that carries no metadata of the source (apart
//   from its colour profile); transparent areas become white.
// Throws PhotoCacheJPEGError::notRegularFile or fileTooLarge for a file that
// is not read (checked before opening it, and again on the opened file,
// which is never read beyond maxSourceFileBytes though it grows meanwhile),
// PlatformError (domain "QFileDevice") when the file cannot be read (a
// missing file, a folder), and PhotoCacheJPEGError::unsupportedImageFile
// when it cannot be decoded, its decode included in the memory budget.
// Blocks while the memory budget has no room for the decode.
QByteArray normalizedJPEGData(const QString &filePath);

// normalizedJPEGData() on QtConcurrent's thread pool, waiting for memory
// before the work is dispatched rather than on a pool thread. The awaiting
// coroutine resumes on its own thread (which must run an event loop) and
// receives what normalizedJPEGData() throws.
QCoro::Task<QByteArray> normalizedJPEGDataAsync(QString filePath);

// The PhotoCacheJPEGError (notRegularFile or fileTooLarge) that
// normalizedJPEGData() would throw for `filePath` from its directory entry
// alone, without opening the file. None for a regular file within the limit,
// and for a missing file or a folder (opening it tells).
std::optional<PhotoCacheJPEGError> sourceFileRefusal(const QString &filePath);

} // namespace PhotoCacheJPEG

namespace ImageDownsampler {

// The most pixels a source image may have (stored width × height): 250
// megapixels, above the largest phone sensors (200 MP) and well above
// ordinary panoramas. At 4 bytes a pixel a decoder holds at most about
// 1 GB for such an image.
inline constexpr qint64 maxSourcePixels = 250'000'000;

// The size an image of `source` size is decoded at: the longer side at most
// `maxPixelSize`, the aspect ratio kept (no side below 1), never enlarged.
// An invalid or empty `source`, or a `maxPixelSize` below 1, gives an
// invalid size.
QSize boundedSize(QSize source, int maxPixelSize);

// The first image of the file at `path`, decoded upright at boundedSize().
// None when there is no regular file there (a symbolic link is not
// followed: thumbnails come from the cache), when `maxPixelSize` is below 1,
// or when the file cannot be decoded (unknown format, corrupt or truncated
// header, zero or excessive dimensions, a decode that could never fit the
// memory budget). Blocks while the memory budget has no room for the decode.
std::optional<QImage> loadThumbnail(const QString &path, int maxPixelSize);

// What one decode that must not wait for memory came to.
struct Attempt {
    std::optional<QImage> image;
    // Above 0 when nothing was decoded because the memory budget had no room
    // for the decode now: this many bytes are to be waited for
    // (DecodeMemoryBudget::acquireAsync), and the decode tried again
    // holding them.
    qint64 waitFor = 0;
};

// loadThumbnail() that never waits for memory, for thread-pool workers.
// With `held`, the decode uses that share when its estimate fits in it.
Attempt tryLoadThumbnail(const QString &path, int maxPixelSize,
    std::optional<DecodeMemoryBudget::Share> held = std::nullopt);

// loadThumbnail() on QtConcurrent's thread pool, waiting for memory before
// the decode is dispatched rather than on a pool thread. The awaiting
// coroutine resumes on its own thread, which must run an event loop.
QCoro::Task<std::optional<QImage>> loadThumbnailAsync(QString path, int maxPixelSize);

} // namespace ImageDownsampler
