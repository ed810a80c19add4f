#include "photoimages.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <semaphore>

namespace PhotoImages {

namespace {

std::counting_semaphore<concurrentDecodes> decodeSlots(concurrentDecodes);

// Holds one of the decode slots while it lives.
class DecodeSlot
{
public:
    DecodeSlot() { decodeSlots.acquire(); }
    ~DecodeSlot() { decodeSlots.release(); }
    DecodeSlot(const DecodeSlot &) = delete;
    DecodeSlot &operator=(const DecodeSlot &) = delete;
};

// Qt refuses to allocate images beyond its own limit (128 MB by default),
// which is lower than what a photo within this server's bounds may need.
void allowBoundedImages()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const int megabytes = int(maxDecodeBytes / (1024 * 1024));
        if (QImageReader::allocationLimit() < megabytes)
            QImageReader::setAllocationLimit(megabytes);
    });
}

bool isFrameMarker(uchar marker)
{
    // SOF0-SOF15 but DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool isProgressive(uchar marker)
{
    return marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
}

qint64 ceilDiv(qint64 a, qint64 b)
{
    return (a + b - 1) / b;
}

// The upright size of the image the reader reads (its orientation tag
// applied), and whether that turns it.
struct Orientation {
    QSize upright;
    bool turned = false;
};

Orientation orientationOf(QImageReader &reader, QSize stored)
{
    const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
    return {turned ? stored.transposed() : stored, turned};
}

// The size, in the file's orientation, of a copy `width` wide of an image
// that is upright `upright`.
QSize scaledSizeFor(const Orientation &orientation, int width)
{
    const int height
        = std::max(1, int(std::lround(double(orientation.upright.height()) * width / orientation.upright.width())));
    return orientation.turned ? QSize(height, width) : QSize(width, height);
}

} // namespace

bool looksLikeJpeg(const QByteArray &bytes)
{
    return bytes.startsWith("\xFF\xD8\xFF");
}

int copyWidth(int width)
{
    for (const int step : copyWidths) {
        if (width <= step)
            return step;
    }
    return copyWidths.back();
}

std::optional<JpegHeader> readJpegHeader(const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return std::nullopt;
    std::optional<JpegHeader> frame;
    int frameComponents = 0;
    qsizetype at = 2;
    while (at < size) {
        if (data[at] != 0xFF)
            return std::nullopt;
        while (at < size && data[at] == 0xFF)
            ++at; // fill bytes
        if (at >= size)
            return std::nullopt;
        const uchar marker = data[at++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // no length
        if (marker == 0xD8 || marker == 0xD9 || at + 2 > size)
            return std::nullopt;
        const int length = (data[at] << 8) | data[at + 1];
        if (length < 2 || at + length > size)
            return std::nullopt;
        const uchar *segment = data + at + 2;
        const int segmentSize = length - 2;
        if (isFrameMarker(marker)) {
            if (frame || segmentSize < 6)
                return std::nullopt;
            JpegHeader header;
            header.size = QSize((segment[3] << 8) | segment[4], (segment[1] << 8) | segment[2]);
            frameComponents = segment[5];
            if (header.size.isEmpty() || frameComponents < 1 || segmentSize < 6 + 3 * frameComponents)
                return std::nullopt;
            for (int i = 0; i < frameComponents; ++i) {
                const int factors = segment[6 + 3 * i + 1];
                const int horizontal = factors >> 4;
                const int vertical = factors & 0x0F;
                if (horizontal < 1 || horizontal > 4 || vertical < 1 || vertical > 4)
                    return std::nullopt;
                header.sampling.append({horizontal, vertical});
            }
            header.multiScan = isProgressive(marker);
            frame = header;
        } else if (marker == 0xDA) { // start of scan
            if (!frame || segmentSize < 1)
                return std::nullopt;
            frame->multiScan = frame->multiScan || segment[0] < frameComponents;
            return frame;
        }
        at += length;
    }
    return std::nullopt;
}

qint64 decodeBytes(const JpegHeader &header, QSize scaledSize)
{
    const qint64 width = header.size.width();
    const qint64 height = header.size.height();
    int maxHorizontal = 1;
    int maxVertical = 1;
    for (const auto &[horizontal, vertical] : header.sampling) {
        maxHorizontal = std::max(maxHorizontal, horizontal);
        maxVertical = std::max(maxVertical, vertical);
    }
    // 64 coefficients of two bytes for each 8x8 block of each component,
    // in whole rows and columns of blocks of its sampling.
    qint64 coefficients = 0;
    if (header.multiScan) {
        for (const auto &[horizontal, vertical] : header.sampling) {
            const qint64 columns
                = ceilDiv(ceilDiv(ceilDiv(width * horizontal, maxHorizontal), 8), horizontal) * horizontal;
            const qint64 rows = ceilDiv(ceilDiv(ceilDiv(height * vertical, maxVertical), 8), vertical) * vertical;
            coefficients += columns * rows * 128;
        }
    }
    // libjpeg scales by 1/2, 1/4 or 1/8 on the way (or by M/8, never to
    // more than this), then the image is scaled to the size asked, and
    // turned upright in another copy.
    const qint64 ratio = scaledSize.isEmpty() ? 1 : std::min(width / scaledSize.width(), height / scaledSize.height());
    const qint64 denominator = ratio >= 8 ? 8 : ratio >= 4 ? 4 : ratio >= 2 ? 2 : 1;
    const qint64 decoded = ceilDiv(width, denominator) * ceilDiv(height, denominator) * 4;
    const qint64 scaled = scaledSize.isEmpty() ? 0 : qint64(scaledSize.width()) * scaledSize.height() * 4;
    return coefficients + decoded + 2 * scaled;
}

std::optional<QString> refusalOf(const QByteArray &jpeg)
{
    const std::optional<JpegHeader> header = readJpegHeader(jpeg);
    if (!header)
        return QStringLiteral("The image is not a JPEG file that can be decoded");
    const QSize stored = header->size;
    if (qint64(stored.width()) * stored.height() > maxPixels)
        return QStringLiteral("The photo has more than %1 megapixels").arg(maxPixels / 1'000'000);

    QByteArray source = jpeg;
    QBuffer buffer(&source);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    if (reader.size() != stored)
        return QStringLiteral("The image is not a JPEG file that can be decoded");
    const Orientation orientation = orientationOf(reader, stored);
    const QSize checkSize(int(ceilDiv(stored.width(), 8)), int(ceilDiv(stored.height(), 8)));
    qint64 needed = decodeBytes(*header, checkSize);
    for (const int width : copyWidths) {
        if (width < orientation.upright.width())
            needed = std::max(needed, decodeBytes(*header, scaledSizeFor(orientation, width)));
    }
    if (needed > maxDecodeBytes)
        return QStringLiteral("The photo needs more memory to decode than this server allows (%1 MB)")
            .arg(maxDecodeBytes / (1024 * 1024));

    // Decoded at an eighth of its size, which reads every scan all the same.
    allowBoundedImages();
    reader.setAutoTransform(false);
    reader.setScaledSize(checkSize);
    const DecodeSlot slot;
    if (reader.read().isNull())
        return QStringLiteral("The image cannot be decoded (%1)").arg(reader.errorString());
    return std::nullopt;
}

ScaleResult scaledJpeg(const QByteArray &jpeg, int width)
{
    QByteArray source = jpeg;
    QBuffer buffer(&source);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(true);

    // The header is enough to tell whether there is anything to do, and
    // whether it can be done.
    const QSize stored = reader.size();
    if (!stored.isValid())
        return {ScaleResult::Kind::undecodable, {}};
    const Orientation orientation = orientationOf(reader, stored);
    if (width >= orientation.upright.width())
        return {ScaleResult::Kind::notWider, {}};
    const std::optional<JpegHeader> header = readJpegHeader(jpeg);
    if (!header || header->size != stored)
        return {ScaleResult::Kind::undecodable, {}};
    const QSize scaledSize = scaledSizeFor(orientation, width);
    if (qint64(stored.width()) * stored.height() > maxPixels || decodeBytes(*header, scaledSize) > maxDecodeBytes)
        return {ScaleResult::Kind::tooLarge, {}};

    allowBoundedImages();
    reader.setScaledSize(scaledSize);
    QByteArray scaled;
    {
        // The copy is encoded in the slot too: only then is its memory freed.
        const DecodeSlot slot;
        const QImage image = reader.read();
        if (image.isNull())
            return {ScaleResult::Kind::undecodable, {}};
        scaled = encodeJpeg(image, scaledQuality);
    }
    if (scaled.isEmpty())
        return {ScaleResult::Kind::undecodable, {}};
    return {ScaleResult::Kind::scaled, scaled};
}

QByteArray encodeJpeg(const QImage &image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(image.convertToFormat(QImage::Format_RGB32)))
        return {};
    return bytes;
}

} // namespace PhotoImages
