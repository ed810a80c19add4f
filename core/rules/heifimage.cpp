#include "heifimage.h"

#include "photocachejpeg.h"

#include <QColorSpace>
#include <QIODevice>
#include <QtEndian>

#include <libheif/heif.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace {

// libheif registers its codecs on first use; doing it once up front keeps
// that registration out of concurrent decodes. Left in place until the
// process ends, as decodes may run on pool threads until then.
void initialiseLibheif()
{
    static const bool initialised = [] {
        heif_init(nullptr);
        return true;
    }();
    Q_UNUSED(initialised);
}

// Releases a libheif object through `release` when its owner goes.
template<auto release> struct Released {
    template<typename T> void operator()(T *p) const { release(p); }
};

using ContextPtr = std::unique_ptr<heif_context, Released<heif_context_free>>;
using HandlePtr = std::unique_ptr<const heif_image_handle, Released<heif_image_handle_release>>;
using ImagePtr = std::unique_ptr<const heif_image, Released<heif_image_release>>;
using DecodingOptionsPtr = std::unique_ptr<heif_decoding_options, Released<heif_decoding_options_free>>;

bool ok(const heif_error &error)
{
    return error.code == heif_error_Ok;
}

// libheif reads the file through the device, so only the boxes and the
// coded image data it needs are read, never the whole file at once.
namespace deviceReader {

QIODevice &device(void *userdata)
{
    return *static_cast<QIODevice *>(userdata);
}

int64_t position(void *userdata)
{
    return device(userdata).pos();
}

int read(void *data, size_t size, void *userdata)
{
    QIODevice &d = device(userdata);
    auto *out = static_cast<char *>(data);
    size_t done = 0;
    while (done < size) {
        const qint64 n = d.read(out + done, qint64(size - done));
        if (n <= 0)
            return -1;
        done += size_t(n);
    }
    return 0;
}

int seek(int64_t position, void *userdata)
{
    return device(userdata).seek(position) ? 0 : -1;
}

heif_reader_grow_status waitForFileSize(int64_t targetSize, void *userdata)
{
    return targetSize <= device(userdata).size() ? heif_reader_grow_status_size_reached
                                                 : heif_reader_grow_status_size_beyond_eof;
}

} // namespace deviceReader

QColorSpace colorSpaceOf(const heif_image_handle *handle)
{
    const size_t size = heif_image_handle_get_raw_color_profile_size(handle);
    // An ICC profile is a few hundred bytes to a few hundred kilobytes.
    if (size == 0 || size > 16 * 1024 * 1024)
        return {};
    QByteArray icc(qsizetype(size), Qt::Uninitialized);
    if (!ok(heif_image_handle_get_raw_color_profile(handle, icc.data())))
        return {};
    return QColorSpace::fromIccProfile(icc);
}

} // namespace

namespace HeifImage {

bool isHEIF(const QByteArray &header)
{
    // size(4) "ftyp" major-brand(4) minor-version(4) compatible-brands(4 each)
    if (header.size() < 12 || std::memcmp(header.constData() + 4, "ftyp", 4) != 0)
        return false;
    const quint32 boxSize = qFromBigEndian<quint32>(header.constData());
    if (boxSize < 16)
        return false;
    static constexpr std::array<const char *, 12> brands { "heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
        "hevs", "mif1", "msf1", "avif", "avis" };
    auto known = [](const char *brand) {
        return std::any_of(
            brands.begin(), brands.end(), [brand](const char *b) { return std::memcmp(brand, b, 4) == 0; });
    };
    if (known(header.constData() + 8))
        return true;
    const qsizetype end = std::min<qsizetype>(header.size(), boxSize);
    for (qsizetype at = 16; at + 4 <= end; at += 4) {
        if (known(header.constData() + at))
            return true;
    }
    return false;
}

std::optional<QImage> decode(
    QIODevice &device, int maxPixelSize, qint64 maxPixels, const std::function<bool(qint64 bytes)> &admit)
{
    if (maxPixelSize < 1 || !device.isOpen() || device.isSequential())
        return std::nullopt;
    initialiseLibheif();

    // Declared before the context, which may refer to it until it is freed.
    heif_reader reader {};
    reader.reader_api_version = 1;
    reader.get_position = deviceReader::position;
    reader.read = deviceReader::read;
    reader.seek = deviceReader::seek;
    reader.wait_for_file_size = deviceReader::waitForFileSize;
    const ContextPtr context(heif_context_alloc());
    if (!context)
        return std::nullopt;
    if (!ok(heif_context_read_from_reader(context.get(), &reader, &device, nullptr)))
        return std::nullopt;

    heif_image_handle *rawHandle = nullptr;
    const heif_error gotHandle = heif_context_get_primary_image_handle(context.get(), &rawHandle);
    const HandlePtr handle(rawHandle);
    if (!ok(gotHandle) || !handle)
        return std::nullopt;

    // The displayed size, and the coded size before cropping and rotation:
    // the decoder holds the larger of the two.
    const qint64 width = heif_image_handle_get_width(handle.get());
    const qint64 height = heif_image_handle_get_height(handle.get());
    const qint64 codedPixels
        = qint64(heif_image_handle_get_ispe_width(handle.get())) * heif_image_handle_get_ispe_height(handle.get());
    if (width < 1 || height < 1 || std::max(width * height, codedPixels) > maxPixels)
        return std::nullopt;

    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    // libheif reads the coded data into memory; the output is scaled from
    // a 32-bit copy and may be turned once more by the caller.
    const QSize bounded = ImageDownsampler::boundedSize(QSize(int(width), int(height)), maxPixelSize);
    const qint64 estimate = std::max<qint64>(device.size(), 0)
        + std::max(width * height, codedPixels) * (decodeBytesPerPixel + (alpha ? alphaDecodeBytesPerPixel : 0))
        + 2 * 4 * qint64(bounded.width()) * bounded.height();
    if (!admit(estimate))
        return std::nullopt;
    const bool premultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle.get()) != 0;
    const DecodingOptionsPtr options(heif_decoding_options_alloc());
    if (!options)
        return std::nullopt;
    options->ignore_transformations = 0; // rotation (irot), mirroring (imir) and cropping applied
    options->convert_hdr_to_8bit = 1;

    heif_image *rawImage = nullptr;
    const heif_error decoded = heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get());
    const ImagePtr image(rawImage);
    if (!ok(decoded) || !image)
        return std::nullopt;
    if (heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8)
        return std::nullopt;

    int stride = 0;
    const uint8_t *pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int decodedWidth = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int decodedHeight = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || decodedWidth < 1 || decodedHeight < 1 || qint64(stride) < qint64(decodedWidth) * (alpha ? 4 : 3))
        return std::nullopt;

    // A view of libheif's buffer; everything returned below is a new image
    // that owns its pixels, so nothing refers to the buffer once it is released.
    const QImage view(pixels, decodedWidth, decodedHeight, stride,
        !alpha              ? QImage::Format_RGB888
            : premultiplied ? QImage::Format_RGBA8888_Premultiplied
                            : QImage::Format_RGBA8888);
    const QSize target = ImageDownsampler::boundedSize(view.size(), maxPixelSize);
    QImage result;
    if (target == view.size()) {
        // Always a different format from the view's, hence a deep copy.
        result = view.convertToFormat(!alpha ? QImage::Format_RGB32
                : premultiplied              ? QImage::Format_ARGB32_Premultiplied
                                             : QImage::Format_ARGB32);
    } else {
        result = view.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (result.isNull() || result.constBits() == view.constBits())
        return std::nullopt;
    const QColorSpace colorSpace = colorSpaceOf(handle.get());
    if (colorSpace.isValid())
        result.setColorSpace(colorSpace);
    return result;
}

} // namespace HeifImage
