// HEIF decoding through libheif, for the image decoding in photocachejpeg.cpp
// (Qt has no HEIF reader of its own on Linux).
#pragma once

#include <QByteArray>
#include <QImage>

#include <functional>
#include <optional>

class QIODevice;

namespace HeifImage {

// The number of leading bytes isHEIF() looks at.
inline constexpr int headerBytes = 256;

// What libheif holds while it decodes, for each pixel of the coded image:
// the HEVC or AV1 decoder's pictures, the decoded YCbCr planes and the
// interleaved RGB image made from them, then Qt's 32-bit copy for scaling.
// Measured at about 12.8 bytes for a 12-megapixel HEIC; an alpha plane adds
// a second decode and a fourth channel.
inline constexpr qint64 decodeBytesPerPixel = 13;
inline constexpr qint64 alphaDecodeBytesPerPixel = 2;

// True when `header`, the first bytes of a file, is an ISO base media file
// type box ("ftyp") naming a HEIF still-image brand (HEIC, generic HEIF or
// AVIF) as its major or a compatible brand.
bool isHEIF(const QByteArray &header);

// The primary image of the HEIF file read from `device` (from its current
// position, which must be the file's start; the device must allow seeking),
// with the file's rotation and mirroring applied, scaled with smooth
// scaling so its longer side is at most `maxPixelSize`. The file's ICC
// colour profile, if any, becomes the image's colour space.
// None on any failure, when the image has more than `maxPixels` pixels, and
// when `admit`, given the bytes the decode is estimated to hold (the file,
// the decode at decodeBytesPerPixel and the output), says no; both are
// asked once the header is read, before any pixel memory is allocated.
std::optional<QImage> decode(
    QIODevice &device, int maxPixelSize, qint64 maxPixels, const std::function<bool(qint64 bytes)> &admit);

} // namespace HeifImage
