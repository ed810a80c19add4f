// Decoded photos kept in memory, so a thumbnail that scrolls back into view
// is drawn again without decoding its file a second time, and the decoding
// itself, on a pool of worker threads.
#pragma once

#include <QHash>
#include <QImage>
#include <QString>
#include <QThreadPool>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <optional>

// A least-recently-used cache of decoded images, bounded by their bytes.
// Keyed by the file and the decode size. Main thread only.
class DecodedImageCache
{
public:
    static constexpr qint64 defaultCapacityBytes = 256LL * 1024 * 1024;
    // The grid sizes the cache from what it shows: this many screens of
    // thumbnails, so scrolling back a screen or two decodes nothing, while
    // a long scroll through thousands of photos does not pile them up.
    static constexpr int screensKept = 4;
    // Room for the lightbox's and the preview's large images all the same.
    static constexpr qint64 minimumCapacityBytes = 64LL * 1024 * 1024;
    // The capacity for screens of `bytesPerScreen` decoded bytes.
    static qint64 capacityForScreens(qint64 bytesPerScreen)
    {
        return std::clamp(bytesPerScreen * screensKept, minimumCapacityBytes, defaultCapacityBytes);
    }

    explicit DecodedImageCache(qint64 capacityBytes = defaultCapacityBytes);

    // The one cache of the process.
    static DecodedImageCache &shared();

    // Every key starts with the file's path and a line break.
    static QString key(const QString &file, int maxPixelSize);
    static QString key(const QString &file, const QString &variant);

    // The image, which becomes the most recently used one.
    std::optional<QImage> find(const QString &key);
    // Keeps `image`, dropping the least recently used ones beyond the
    // capacity. An image larger than the whole capacity is not kept.
    void insert(const QString &key, const QImage &image);
    void clear();
    // Drops the images decoded from the files `keep` refuses.
    void retainFiles(const std::function<bool(const QString &file)> &keep);

    void setCapacityBytes(qint64 bytes);
    qint64 capacityBytes() const { return m_capacity; }
    qint64 sizeBytes() const { return m_size; }
    int count() const { return int(m_index.size()); }

private:
    struct Item {
        QString key;
        QImage image;
        qint64 bytes = 0;
    };
    void trim();

    qint64 m_capacity;
    qint64 m_size = 0;
    std::list<Item> m_items; // most recently used first
    QHash<QString, std::list<Item>::iterator> m_index;
};

// A decode request that its owner no longer needs. A request cancelled
// before a worker picks it up is skipped without opening the file.
struct DecodeTicket {
    std::atomic<bool> cancelled { false };
};

// Decodes image files at a reduced size on worker threads. The most recent
// requests run first, so the photos that just scrolled into view are decoded
// before those requested a moment ago. The awaiting coroutine resumes on its
// own (main) thread.
namespace ThumbnailDecoder {

QCoro::Task<std::optional<QImage>> decode(QString file, int maxPixelSize, std::shared_ptr<DecodeTicket> ticket);

QThreadPool &pool();

// Decodes that really ran (opened the file), and those that ran on the
// main thread (always 0; counted to prove it in tests).
qint64 decodeCount();
qint64 mainThreadDecodeCount();

} // namespace ThumbnailDecoder
