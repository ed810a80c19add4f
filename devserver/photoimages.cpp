#include "photoimages.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
#include <cmath>

namespace PhotoImages {

bool looksLikeJpeg(const QByteArray &bytes)
{
    return bytes.startsWith("\xFF\xD8\xFF");
}

ScaleResult scaledJpeg(const QByteArray &jpeg, int width)
{
    QByteArray source = jpeg;
    QBuffer buffer(&source);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(true);

    // The header is enough to tell whether there is anything to do.
    QSize size = reader.size();
    if (!size.isValid())
        return {ScaleResult::Kind::undecodable, {}};
    if (reader.transformation() & QImageIOHandler::TransformationRotate90)
        size.transpose();
    if (width >= size.width())
        return {ScaleResult::Kind::notWider, {}};

    const QImage image = reader.read();
    if (image.isNull())
        return {ScaleResult::Kind::undecodable, {}};
    if (width >= image.width())
        return {ScaleResult::Kind::notWider, {}};
    const int height = std::max(1, int(std::lround(double(image.height()) * width / image.width())));
    const QByteArray scaled
        = encodeJpeg(image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), scaledQuality);
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
