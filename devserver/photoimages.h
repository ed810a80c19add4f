// The JPEG files of the photos: recognising one, and the narrower copies
// the image endpoint answers for a requested width.
#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

namespace PhotoImages {

// Widths beyond this are served as this one.
inline constexpr int maxRequestedWidth = 4096;
inline constexpr int scaledQuality = 88;

// The file starts like every JPEG: FF D8 FF.
bool looksLikeJpeg(const QByteArray &bytes);

struct ScaleResult {
    enum class Kind { scaled, notWider, undecodable };
    Kind kind = Kind::undecodable;
    QByteArray jpeg; // for `scaled`
};

// The photo as a JPEG `width` pixels wide, its aspect kept, upright as its
// orientation tag says. `notWider` when the photo is no wider than that
// (it is never enlarged).
ScaleResult scaledJpeg(const QByteArray &jpeg, int width);

// A JPEG of the image at the given quality; empty when encoding failed.
QByteArray encodeJpeg(const QImage &image, int quality);

} // namespace PhotoImages
