#include "decodedimagecache.h"

#include "rules/photocachejpeg.h"

#include <QCoreApplication>
#include <QThread>
#include <QtConcurrent/qtconcurrenttask.h>

#include <qcoro/qcorofuture.h>

#include <algorithm>

DecodedImageCache::DecodedImageCache(qint64 capacityBytes)
    : m_capacity(std::max<qint64>(capacityBytes, 0))
{
}

DecodedImageCache &DecodedImageCache::shared()
{
    static DecodedImageCache cache;
    return cache;
}

QString DecodedImageCache::key(const QString &file, int maxPixelSize)
{
    return key(file, QString::number(maxPixelSize));
}

QString DecodedImageCache::key(const QString &file, const QString &variant)
{
    return file + QLatin1Char('\n') + variant;
}

std::optional<QImage> DecodedImageCache::find(const QString &key)
{
    const auto found = m_index.constFind(key);
    if (found == m_index.constEnd())
        return std::nullopt;
    m_items.splice(m_items.begin(), m_items, *found);
    return m_items.front().image;
}

void DecodedImageCache::insert(const QString &key, const QImage &image)
{
    const qint64 bytes = image.sizeInBytes();
    if (const auto found = m_index.constFind(key); found != m_index.constEnd()) {
        m_size -= (*found)->bytes;
        m_items.erase(*found);
        m_index.remove(key);
    }
    if (image.isNull() || bytes > m_capacity)
        return;
    m_items.push_front(Item { key, image, bytes });
    m_index.insert(key, m_items.begin());
    m_size += bytes;
    trim();
}

void DecodedImageCache::clear()
{
    m_items.clear();
    m_index.clear();
    m_size = 0;
}

void DecodedImageCache::retainFiles(const std::function<bool(const QString &file)> &keep)
{
    for (auto it = m_items.begin(); it != m_items.end();) {
        if (keep(it->key.left(it->key.indexOf(QLatin1Char('\n'))))) {
            ++it;
            continue;
        }
        m_size -= it->bytes;
        m_index.remove(it->key);
        it = m_items.erase(it);
    }
}

void DecodedImageCache::setCapacityBytes(qint64 bytes)
{
    m_capacity = std::max<qint64>(bytes, 0);
    trim();
}

void DecodedImageCache::trim()
{
    while (m_size > m_capacity && !m_items.empty()) {
        const Item &last = m_items.back();
        m_size -= last.bytes;
        m_index.remove(last.key);
        m_items.pop_back();
    }
}

namespace ThumbnailDecoder {

namespace {

std::atomic<qint64> decodes { 0 };
std::atomic<qint64> mainThreadDecodes { 0 };
// Higher priorities run first; every request outranks the earlier ones.
std::atomic<int> nextPriority { 0 };

struct Decoded {
    std::optional<QImage> image;
    qint64 waitFor = 0; // as ImageDownsampler::Attempt::waitFor
};

Decoded decodeNow(const QString &file, int maxPixelSize, const std::shared_ptr<DecodeTicket> &ticket,
    std::optional<DecodeMemoryBudget::Share> held)
{
    if (ticket && ticket->cancelled.load())
        return {};
    ++decodes;
    if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
        ++mainThreadDecodes;
    ImageDownsampler::Attempt tried = ImageDownsampler::tryLoadThumbnail(file, maxPixelSize, std::move(held));
    if (!tried.image)
        return { std::nullopt, tried.waitFor };
    // Drawn as is: a format the raster painter blits without converting.
    QImage &image = *tried.image;
    const QImage::Format format = image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    if (image.format() != format)
        image.convertTo(format);
    return { std::move(tried.image), 0 };
}

} // namespace

QThreadPool &pool()
{
    static QThreadPool *threads = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(std::max(QThread::idealThreadCount(), 1));
        created->setExpiryTimeout(10000);
        return created;
    }();
    return *threads;
}

// A decode for which the memory budget has no room gives its worker back
// at once; the request waits for its share here, on the requesting thread,
// and runs again holding it, ahead of the requests made meanwhile.
QCoro::Task<std::optional<QImage>> decode(QString file, int maxPixelSize, std::shared_ptr<DecodeTicket> ticket)
{
    std::optional<DecodeMemoryBudget::Share> held;
    for (int round = 0; round < 4; ++round) {
        const int priority = nextPriority.fetch_add(1) & 0x3fffffff;
        auto share = std::make_shared<std::optional<DecodeMemoryBudget::Share>>(std::move(held));
        QFuture<Decoded> future
            = QtConcurrent::task([file, maxPixelSize, ticket, share] {
                  return decodeNow(file, maxPixelSize, ticket, std::move(*share));
              })
                  .onThreadPool(pool())
                  .withPriority(priority)
                  .spawn();
        Decoded decoded = co_await future;
        if (decoded.waitFor <= 0 || (ticket && ticket->cancelled.load()))
            co_return std::move(decoded.image);
        held = co_await DecodeMemoryBudget::shared().acquireAsync(decoded.waitFor);
        if (!held || (ticket && ticket->cancelled.load()))
            co_return std::nullopt;
    }
    co_return std::nullopt;
}

qint64 decodeCount()
{
    return decodes.load();
}

qint64 mainThreadDecodeCount()
{
    return mainThreadDecodes.load();
}

} // namespace ThumbnailDecoder
