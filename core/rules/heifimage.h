// HEIF decoding through libheif, for the image decoding in photocachejpeg.cpp
// (Qt has no HEIF reader of its own on Linux).
#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

class QIODevice;

namespace HeifImage {

// The number of leading bytes isHEIF() looks at.
inline constexpr int headerBytes = 256;

// True when `header`, the first bytes of a file, is an ISO base media file
// type box ("ftyp") naming a HEIF still-image brand (HEIC, generic HEIF or
// AVIF) as its major or a compatible brand.
bool isHEIF(const QByteArray &header);

// The primary image of the HEIF file read from `device` (from its current
// position, which must be the file's start; the device must allow seeking),
// with the file's rotation and mirroring applied, scaled with smooth
// scaling so its longer side is at most `maxPixelSize`. The file's ICC
// colour profile, if any, becomes the image's colour space.
// None on any failure, and when the image has more than `maxPixels` pixels
// (checked before decoding).
std::optional<QImage> decode(QIODevice &device, int maxPixelSize, qint64 maxPixels);

} // namespace HeifImage
