// The JPEG files of the photos: recognising one, telling from its header
// whether it can be decoded within this server's bounds, and the narrower
// copies the image endpoint answers for a requested width.
//
// Decoding is what costs: a progressive JPEG keeps the coefficients of the
// whole image while it decodes, and a small file can claim a huge image. So
// a photo is taken only when its header is within the bounds below and it
// decodes; copies are made at a few widths only, decoded at reduced scale,
// and at most two decodes run at a time.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <array>
#include <optional>

namespace PhotoImages {

// Widths beyond this are served as this one.
inline constexpr int maxRequestedWidth = 4096;
// The widths copies are made at: a request is served the narrowest of
// these that is at least as wide as it asked (the client asks for
// multiples of 256 up to 1024, which are served as asked).
inline constexpr std::array<int, 8> copyWidths{256, 512, 768, 1024, 1536, 2048, 3072, 4096};
inline constexpr qint64 maxPixels = 100'000'000;
// What one decode may take: the coefficient buffers of a multi-scan JPEG,
// the image as libjpeg scales it, and the scaled copy.
inline constexpr qint64 maxDecodeBytes = 384LL * 1024 * 1024;
inline constexpr int concurrentDecodes = 2;
inline constexpr int scaledQuality = 88;

// The file starts like every JPEG: FF D8 FF.
bool looksLikeJpeg(const QByteArray &bytes);

// The width a request for `width` pixels is served at (before the photo's
// own width is taken into account).
int copyWidth(int width);

// What the frame header of a JPEG says, up to its first scan.
struct JpegHeader {
    QSize size;
    // Horizontal and vertical sampling factors of each component.
    QList<std::pair<int, int>> sampling;
    // Progressive, or components in scans of their own: libjpeg then keeps
    // the coefficients of the whole image.
    bool multiScan = false;
};
// None when the bytes hold no well-formed header before the first scan.
std::optional<JpegHeader> readJpegHeader(const QByteArray &bytes);
// At most the bytes a decode of the image to `scaledSize` (in the file's
// own orientation) takes.
qint64 decodeBytes(const JpegHeader &header, QSize scaledSize);

// Why an upload cannot be taken as a photo; none when it decodes within
// the bounds above, at every width a copy can be made at.
std::optional<QString> refusalOf(const QByteArray &jpeg);

struct ScaleResult {
    enum class Kind { scaled, notWider, undecodable, tooLarge };
    Kind kind = Kind::undecodable;
    QByteArray jpeg; // for `scaled`
};

// The photo as a JPEG `width` pixels wide, its aspect kept, upright as its
// orientation tag says. `notWider` when the photo is no wider than that
// (it is never enlarged); `tooLarge` when the decode is beyond the bounds.
ScaleResult scaledJpeg(const QByteArray &jpeg, int width);

// A JPEG of the image at the given quality; empty when encoding failed.
QByteArray encodeJpeg(const QImage &image, int quality);

} // namespace PhotoImages
