#include "photocachejpeg.h"

#include "heifimage.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>

namespace {

// Qt refuses to allocate any image above QImageReader::allocationLimit(),
// 128 MB by default in Qt 6.4: too little for an ordinary 48-megapixel
// phone photo (192 MB) wherever Qt decodes the whole image, as it does for
// WebP, TIFF and BMP whatever size is asked for, and for a PNG asked for at
// full size (JPEG and PNG otherwise decode straight into the smaller image).
// It is raised, once and for the whole process, to what maxSourcePixels
// needs at 4 bytes a pixel; the pixel limit, checked before every decode, is
// the one that matters. Sources at 8 bytes a pixel (16-bit PNG or TIFF)
// above about 134 megapixels stay refused by Qt. A limit already higher, or
// switched off (0), is left as it is.
constexpr int qtAllocationLimitMB = 1024;
static_assert(ImageDownsampler::maxSourcePixels * 4 <= qint64(qtAllocationLimitMB) * 1024 * 1024);

void raiseQtAllocationLimit()
{
    static const bool raised = [] {
        const int current = QImageReader::allocationLimit();
        if (current > 0 && current < qtAllocationLimitMB)
            QImageReader::setAllocationLimit(qtAllocationLimitMB);
        return true;
    }();
    Q_UNUSED(raised);
}

std::optional<QImage> readWithQt(QIODevice &device, int maxPixelSize)
{
    raiseQtAllocationLimit();
    QImageReader reader(&device);
    // Applies the stored orientation (EXIF and the like) after scaling, so
    // the scaled size below is in stored coordinates; the longer side is
    // the same either way.
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (stored.isEmpty() || qint64(stored.width()) * stored.height() > ImageDownsampler::maxSourcePixels)
        return std::nullopt;
    const QSize target = ImageDownsampler::boundedSize(stored, maxPixelSize);
    if (!target.isValid())
        return std::nullopt;
    // JPEGs are then decoded at a reduced DCT scale, so the decoder never
    // holds the full-size image; other formats are scaled smoothly.
    if (target != stored)
        reader.setScaledSize(target);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return std::nullopt;
    return image;
}

// Image 0 of the file read from `device`, upright, at boundedSize().
std::optional<QImage> decodeImage(QIODevice &device, int maxPixelSize)
{
    if (maxPixelSize < 1)
        return std::nullopt;
    if (HeifImage::isHEIF(device.peek(HeifImage::headerBytes)))
        return HeifImage::decode(device, maxPixelSize, ImageDownsampler::maxSourcePixels);
    return readWithQt(device, maxPixelSize);
}

// What goes into the JPEG: the pixels and their colour space, nothing else.
// QImageWriter writes an image's text entries into the JPEG (PNG comments,
// XMP packets with places and the like), so they are left behind. JPEG has
// no alpha and Qt's writer would turn transparent areas black, so they are
// laid over white instead.
QImage encodablePixels(const QImage &image)
{
    if (image.hasAlphaChannel()) {
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter painter(&flat);
        painter.drawImage(0, 0, image);
        painter.end();
        flat.setColorSpace(image.colorSpace());
        return flat;
    }
    // A view of the same pixels, valid while `image` lives.
    QImage bare(image.constBits(), image.width(), image.height(), image.bytesPerLine(), image.format());
    if (image.format() == QImage::Format_Indexed8 || image.format() == QImage::Format_Mono
        || image.format() == QImage::Format_MonoLSB)
        bare.setColorTable(image.colorTable());
    bare.setColorSpace(image.colorSpace());
    return bare;
}

std::optional<QByteArray> encodeAsJPEG(QIODevice &source, int maxPixelSize)
{
    const std::optional<QImage> image = decodeImage(source, maxPixelSize);
    if (!image)
        return std::nullopt;
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    if (!buffer.open(QIODevice::WriteOnly))
        return std::nullopt;
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(PhotoCacheJPEG::jpegQuality);
    if (!writer.write(encodablePixels(*image)))
        return std::nullopt;
    buffer.close();
    if (!PhotoCacheJPEG::isJPEG(jpeg))
        return std::nullopt;
    return jpeg;
}

std::optional<QByteArray> encodeAsJPEG(const QByteArray &bytes, int maxPixelSize)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return std::nullopt;
    return encodeAsJPEG(buffer, maxPixelSize);
}

} // namespace

PhotoCacheJPEGError::PhotoCacheJPEGError(Kind kind, QString fileName)
    : m_kind(kind)
    , m_fileName(std::move(fileName))
{
}

PhotoCacheJPEGError PhotoCacheJPEGError::unsupportedImageFile(QString fileName)
{
    return PhotoCacheJPEGError(Kind::unsupportedImageFile, std::move(fileName));
}

std::optional<QString> PhotoCacheJPEGError::errorDescription() const
{
    switch (m_kind) {
    case Kind::unsupportedImageFile:
        return QStringLiteral("Unsupported image: ") + m_fileName;
    }
    return std::nullopt;
}

Error::Record PhotoCacheJPEGError::record() const
{
    return Record { generalDomain, 0, errorDescription().value_or(QString()), {} };
}

namespace PhotoCacheJPEG {

bool isJPEG(const QByteArray &data)
{
    return data.size() >= 3 && uchar(data[0]) == 0xFF && uchar(data[1]) == 0xD8 && uchar(data[2]) == 0xFF;
}

QByteArray normalizedJPEGData(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        throw fileError(file.error(), file.errorString());
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw fileError(file.error(), file.errorString());
    file.close();

    if (isJPEG(data))
        return data;
    std::optional<QByteArray> jpeg = encodeAsJPEG(data, fullSizeMaxPixelSize);
    if (!jpeg)
        throw PhotoCacheJPEGError::unsupportedImageFile(QFileInfo(filePath).fileName());
    return std::move(*jpeg);
}

} // namespace PhotoCacheJPEG

namespace ImageDownsampler {

QSize boundedSize(QSize source, int maxPixelSize)
{
    if (source.isEmpty() || maxPixelSize < 1)
        return {};
    const int longer = std::max(source.width(), source.height());
    if (longer <= maxPixelSize)
        return source;
    auto scaled = [&](int side) {
        return int(std::clamp<qint64>(qRound64(double(side) * maxPixelSize / longer), 1, maxPixelSize));
    };
    return { scaled(source.width()), scaled(source.height()) };
}

std::optional<QImage> loadThumbnail(const QString &path, int maxPixelSize)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return decodeImage(file, maxPixelSize);
}

QCoro::Task<std::optional<QImage>> loadThumbnailAsync(QString path, int maxPixelSize)
{
    co_return co_await QtConcurrent::run(&loadThumbnail, std::move(path), maxPixelSize);
}

} // namespace ImageDownsampler
