#include "photocachejpeg.h"

#include "heifimage.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QScopeGuard>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// How a decode gets its share of the memory budget: asked once, with the
// estimate, before anything large is allocated. The share is held until
// the admission goes.
class Admission
{
public:
    enum class Mode {
        wait, // block until there is room
        noWait, // take it at once or give up, recording what was missing
    };

    explicit Admission(Mode mode, std::optional<DecodeMemoryBudget::Share> held = std::nullopt)
        : m_mode(mode)
        , m_share(std::move(held))
    {
    }

    bool admit(qint64 bytes)
    {
        DecodeMemoryBudget &budget = DecodeMemoryBudget::shared();
        if (bytes > budget.totalBytes())
            return false;
        if (m_share && m_share->bytes() >= bytes)
            return true;
        // A share held for an earlier estimate (the file has changed since)
        // is given back before more is asked for, so it never blocks itself.
        m_share.reset();
        m_share = m_mode == Mode::wait ? budget.acquire(bytes) : budget.tryAcquire(bytes);
        if (!m_share)
            m_waitFor = bytes;
        return m_share.has_value();
    }

    std::function<bool(qint64)> function()
    {
        return [this](qint64 bytes) { return admit(bytes); };
    }

    // What a noWait admission lacked; 0 when it was admitted or refused.
    qint64 waitFor() const { return m_mode == Mode::noWait ? m_waitFor : 0; }

private:
    Mode m_mode;
    std::optional<DecodeMemoryBudget::Share> m_share;
    qint64 m_waitFor = 0;
};

qint64 pixels(QSize size)
{
    return size.isValid() ? qint64(size.width()) * size.height() : 0;
}

// What libjpeg learns from a JPEG's markers before its first scan.
struct JpegFrame {
    qint64 width = 0;
    qint64 height = 0;
    // Per component: horizontal and vertical sampling factors.
    QList<std::pair<int, int>> sampling;
    // Progressive, lossless or hierarchical, or a first scan without every
    // component: libjpeg then keeps the DCT coefficients of the whole image
    // until the last scan, whatever scale it is asked to decode at.
    bool wholeCoefficients = false;
};

// Reads the markers of the JPEG at the device's position up to its first
// scan, tolerating stray bytes between markers as libjpeg does, and puts
// the position back. None when there is no frame header before the first
// scan, or when that takes more than a few thousand markers.
std::optional<JpegFrame> readJpegFrame(QIODevice &device)
{
    const qint64 start = device.pos();
    const auto restore = qScopeGuard([&] { device.seek(start); });
    auto byte = [&device]() -> int {
        char c = 0;
        return device.getChar(&c) ? int(uchar(c)) : -1;
    };
    auto word = [&byte]() -> int {
        const int high = byte();
        const int low = byte();
        return high < 0 || low < 0 ? -1 : (high << 8) | low;
    };
    if (byte() != 0xFF || byte() != 0xD8)
        return std::nullopt;
    std::optional<JpegFrame> frame;
    for (int markers = 0; markers < 4096; ++markers) {
        int marker = byte();
        for (qint64 stray = 0; marker >= 0 && marker != 0xFF; ++stray) {
            if (stray > 1024 * 1024)
                return std::nullopt;
            marker = byte();
        }
        while (marker == 0xFF)
            marker = byte();
        if (marker < 0 || marker == 0xD9)
            return std::nullopt;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // no length
        const int length = word();
        if (length < 2)
            return std::nullopt;
        const bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame && !frame) {
            JpegFrame read;
            byte(); // sample precision
            read.height = word();
            read.width = word();
            const int components = byte();
            if (read.height < 0 || read.width < 0 || components < 1 || length < 8 + 3 * components)
                return std::nullopt;
            for (int i = 0; i < components; ++i) {
                byte(); // identifier
                const int factors = byte();
                byte(); // quantisation table
                if (factors < 0)
                    return std::nullopt;
                read.sampling.append({ std::max(factors >> 4, 1), std::max(factors & 0x0F, 1) });
            }
            // Baseline, extended and arithmetic sequential decode one MCU row at a time.
            read.wholeCoefficients = marker != 0xC0 && marker != 0xC1 && marker != 0xC9;
            frame = read;
            if (!device.seek(device.pos() + length - 8 - 3 * components))
                return std::nullopt;
            continue;
        }
        if (marker == 0xDA) {
            const int inScan = byte();
            if (!frame || inScan < 1)
                return std::nullopt;
            if (inScan < frame->sampling.size())
                frame->wholeCoefficients = true;
            return frame;
        }
        if (!device.seek(device.pos() + length - 2))
            return std::nullopt;
    }
    return std::nullopt;
}

// What libjpeg and Qt's JPEG reader hold to decode `frame` at `target` (in
// stored coordinates), `target` being the image's `stored` size or less.
qint64 jpegDecodeBytes(const JpegFrame &frame, QSize stored, QSize target)
{
    int maxH = 1, maxV = 1;
    for (const auto &[h, v] : frame.sampling) {
        maxH = std::max(maxH, h);
        maxV = std::max(maxV, v);
    }
    auto roundUp = [](qint64 value, qint64 step) { return (value + step - 1) / step * step; };
    qint64 bytes = 0;
    if (frame.wholeCoefficients) {
        // One 64-coefficient block of 16-bit values per 8 x 8 samples of
        // each component, whole MCUs allocated.
        for (const auto &[h, v] : frame.sampling) {
            const qint64 across = roundUp((frame.width * h + 8 * maxH - 1) / (8 * maxH), h);
            const qint64 down = roundUp((frame.height * v + 8 * maxV - 1) / (8 * maxV), v);
            bytes += across * down * 64 * 2;
        }
    }
    // Qt asks libjpeg for the smallest scale of M/8 that is not below the
    // target, and scales the rest of the way itself.
    int eighths = 8;
    if (target != stored) {
        const double factor = std::min(double(stored.width()) / target.width(), double(stored.height()) / target.height());
        eighths = std::clamp(int(std::ceil(8 / factor)), 1, 8);
    }
    const QSize scaled(int((qint64(stored.width()) * eighths + 7) / 8), int((qint64(stored.height()) * eighths + 7) / 8));
    bytes += pixels(scaled) * 4;
    if (scaled != target)
        bytes += pixels(target) * 4;
    // Sample rows (a few MCU rows of every component at full width).
    bytes += frame.width * frame.sampling.size() * 16 * maxV * 4;
    return bytes;
}

// True when `header` starts a PNG whose rows come one after another, which
// Qt scales down row by row without holding the whole image.
bool isSequentialPNG(const QByteArray &header)
{
    return header.size() >= 29 && header.startsWith("\x89PNG\r\n\x1a\n") && header.mid(12, 4) == "IHDR"
        && header[28] == 0;
}

// The header facts the memory estimate for Qt's readers needs, read before
// the reader reads anything: it goes on from where it stopped.
struct QtHeader {
    QByteArray start;
    std::optional<JpegFrame> jpeg;
};

QtHeader readQtHeader(QIODevice &device)
{
    QtHeader header { device.peek(64), std::nullopt };
    if (PhotoCacheJPEG::isJPEG(header.start))
        header.jpeg = readJpegFrame(device);
    return header;
}

// What decoding with Qt's reader holds, estimated from the header.
qint64 qtDecodeBytes(const QtHeader &header, qint64 fileSize, QImage::Format format, QSize stored, QSize target)
{
    // Some readers (WebP) read the whole file, and libjpeg keeps the
    // markers it is asked to keep, which may fill a crafted file.
    qint64 bytes = std::max<qint64>(fileSize, 0);
    // Turned upright at the end, and converted to a 32-bit format by callers.
    bytes += pixels(target) * 4;

    if (PhotoCacheJPEG::isJPEG(header.start)) {
        if (header.jpeg)
            return bytes + jpegDecodeBytes(*header.jpeg, stored, target);
        // Markers not understood: as for a progressive CMYK image.
        return bytes + pixels(stored) * 8 + pixels(target) * 4;
    }
    if (target != stored && isSequentialPNG(header.start))
        return bytes + pixels(target) * 8 + qint64(stored.width()) * 8 * 4;

    // Decoded whole (WebP, TIFF, BMP, GIF, interlaced PNG, ...). Formats the
    // reader does not announce before reading are taken as 32-bit.
    const qint64 pixelBytes
        = format == QImage::Format_Invalid ? 4 : std::max<qint64>(QImage::toPixelFormat(format).bitsPerPixel() / 8, 1);
    bytes += pixels(stored) * pixelBytes;
    if (target != stored) {
        bytes += pixels(target) * 4;
        // Smooth scaling works on 32-bit (or premultiplied 64-bit) pixels
        // and converts anything else first.
        const bool scaledAsIs = format == QImage::Format_Invalid || format == QImage::Format_RGB32
            || format == QImage::Format_ARGB32_Premultiplied || format == QImage::Format_RGBX64
            || format == QImage::Format_RGBA64_Premultiplied;
        if (!scaledAsIs)
            bytes += pixels(stored) * (pixelBytes > 4 ? 8 : 4);
    }
    return bytes;
}

std::optional<QImage> readWithQt(QIODevice &device, int maxPixelSize, Admission &admission)
{
    raiseQtAllocationLimit();
    const QtHeader header = readQtHeader(device);
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
    if (!admission.admit(qtDecodeBytes(header, device.size(), reader.imageFormat(), stored, target)))
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
std::optional<QImage> decodeImage(QIODevice &device, int maxPixelSize, Admission &admission)
{
    if (maxPixelSize < 1)
        return std::nullopt;
    if (HeifImage::isHEIF(device.peek(HeifImage::headerBytes)))
        return HeifImage::decode(device, maxPixelSize, ImageDownsampler::maxSourcePixels, admission.function());
    return readWithQt(device, maxPixelSize, admission);
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

std::optional<QByteArray> encodeAsJPEG(QIODevice &source, int maxPixelSize, Admission &admission)
{
    const std::optional<QImage> image = decodeImage(source, maxPixelSize, admission);
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

std::optional<QByteArray> encodeAsJPEG(const QByteArray &bytes, int maxPixelSize, Admission &admission)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return std::nullopt;
    return encodeAsJPEG(buffer, maxPixelSize, admission);
}

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

// The file at `path` opened for reading when it is a regular file (symbolic
// links followed when `followLink`, else refused). Opened without blocking,
// so a FIFO or device put in its
// place after the directory entry was looked at is refused rather than
// waited on. A missing file or a folder throws the PlatformError QFile
// gives; a file of another kind, or one above `maxBytes`, the refusal.
std::unique_ptr<QFile> openRegularFile(const QString &path, qint64 maxBytes, bool followLink = true)
{
    const QFileInfo info(path);
    if (!followLink && info.isSymLink())
        throw PhotoCacheJPEGError::notRegularFile(info.fileName());
    auto file = std::make_unique<QFile>(path);
    if (!info.exists() || info.isDir()) {
        if (!file->open(QIODevice::ReadOnly))
            throw fileError(file->error(), file->errorString());
        throw fileError(QFileDevice::OpenError, QStringLiteral("Is a directory"));
    }
    if (!info.isFile())
        throw PhotoCacheJPEGError::notRegularFile(info.fileName());
    if (maxBytes >= 0 && info.size() > maxBytes)
        throw PhotoCacheJPEGError::fileTooLarge(info.fileName());
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0)
        throw fileError(QFileDevice::OpenError, qt_error_string(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw PhotoCacheJPEGError::notRegularFile(info.fileName());
    }
    // Reads of a regular file never wait, so the flag may stay.
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw fileError(file->error(), file->errorString());
    }
    return file;
}

// At most `maxBytes` of `file`; more is refused, however the file has grown
// since it was opened.
QByteArray readAtMost(QFile &file, qint64 maxBytes, const QString &path)
{
    QByteArray data;
    data.reserve(qsizetype(std::clamp<qint64>(file.size(), 0, maxBytes)) + 1);
    constexpr qint64 chunk = 1024 * 1024;
    for (;;) {
        const qsizetype at = data.size();
        const qint64 wanted = std::min(chunk, maxBytes + 1 - at);
        data.resize(at + qsizetype(wanted));
        const qint64 got = file.read(data.data() + at, wanted);
        if (got < 0)
            throw fileError(file.error(), file.errorString());
        data.resize(at + qsizetype(got));
        if (data.size() > maxBytes)
            throw PhotoCacheJPEGError::fileTooLarge(fileNameOf(path));
        if (got == 0)
            return data;
    }
}

// normalizedJPEGData() with its decode admitted by `admission`; none when
// a noWait admission found no room.
std::optional<QByteArray> normalize(const QString &filePath, Admission &admission)
{
    const std::unique_ptr<QFile> file = openRegularFile(filePath, PhotoCacheJPEG::maxSourceFileBytes);
    const QByteArray data = readAtMost(*file, PhotoCacheJPEG::maxSourceFileBytes, filePath);
    file->close();

    if (PhotoCacheJPEG::isJPEG(data))
        return data;
    std::optional<QByteArray> jpeg = encodeAsJPEG(data, PhotoCacheJPEG::fullSizeMaxPixelSize, admission);
    if (!jpeg && admission.waitFor() > 0)
        return std::nullopt;
    if (!jpeg)
        throw PhotoCacheJPEGError::unsupportedImageFile(fileNameOf(filePath));
    return jpeg;
}

ImageDownsampler::Attempt attemptThumbnail(const QString &path, int maxPixelSize, Admission &admission)
{
    std::unique_ptr<QFile> file;
    try {
        // Thumbnails are read from the cache, whose files are never links:
        // a link there would show a picture that is not the photo's.
        file = openRegularFile(path, -1, false);
    } catch (const Error &) {
        return {};
    }
    std::optional<QImage> image = decodeImage(*file, maxPixelSize, admission);
    return { std::move(image), image ? 0 : admission.waitFor() };
}

// The result of work on a pool thread, with what it threw.
template<typename T> struct Outcome {
    T value {};
    std::exception_ptr error;
};

// Runs `attempt` (taking the share it may use, returning what it came to
// and the bytes it lacked) on QtConcurrent's pool; when the budget had no
// room, waits for it here, on the caller's thread, and runs it again
// holding its share. A file that needs more each time it is looked at (it
// keeps changing) is given up after a few rounds with `giveUp`.
template<typename T, typename Attempt>
QCoro::Task<T> withBudget(Attempt attempt, T giveUp)
{
    std::optional<DecodeMemoryBudget::Share> held;
    for (int round = 0; round < 4; ++round) {
        auto share = std::make_shared<std::optional<DecodeMemoryBudget::Share>>(std::move(held));
        QFuture<Outcome<std::pair<T, qint64>>> running = QtConcurrent::run([attempt, share] {
            Outcome<std::pair<T, qint64>> result;
            try {
                result.value = attempt(std::move(*share));
            } catch (...) {
                result.error = std::current_exception();
            }
            return result;
        });
        Outcome<std::pair<T, qint64>> outcome = co_await running;
        if (outcome.error)
            std::rethrow_exception(outcome.error);
        if (outcome.value.second <= 0)
            co_return std::move(outcome.value.first);
        held = co_await DecodeMemoryBudget::shared().acquireAsync(outcome.value.second);
        if (!held)
            break;
    }
    co_return giveUp;
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

PhotoCacheJPEGError PhotoCacheJPEGError::notRegularFile(QString fileName)
{
    return PhotoCacheJPEGError(Kind::notRegularFile, std::move(fileName));
}

PhotoCacheJPEGError PhotoCacheJPEGError::fileTooLarge(QString fileName)
{
    return PhotoCacheJPEGError(Kind::fileTooLarge, std::move(fileName));
}

QString PhotoCacheJPEGError::reason() const
{
    switch (m_kind) {
    case Kind::unsupportedImageFile:
        return QStringLiteral("unsupported image");
    case Kind::notRegularFile:
        return QStringLiteral("not a regular file");
    case Kind::fileTooLarge:
        return QStringLiteral("larger than %1 MB").arg(PhotoCacheJPEG::maxSourceFileBytes / (1024 * 1024));
    }
    return QString();
}

std::optional<QString> PhotoCacheJPEGError::errorDescription() const
{
    QString text = reason();
    if (text.isEmpty())
        return std::nullopt;
    text[0] = text[0].toUpper();
    return text + QStringLiteral(": ") + m_fileName;
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
    Admission admission(Admission::Mode::wait);
    return *normalize(filePath, admission);
}

QCoro::Task<QByteArray> normalizedJPEGDataAsync(QString filePath)
{
    auto attempt = [filePath](std::optional<DecodeMemoryBudget::Share> held) {
        Admission admission(Admission::Mode::noWait, std::move(held));
        std::optional<QByteArray> jpeg = normalize(filePath, admission);
        return std::pair(jpeg.value_or(QByteArray()), jpeg ? qint64(0) : admission.waitFor());
    };
    QByteArray jpeg = co_await withBudget(attempt, QByteArray());
    if (jpeg.isEmpty())
        throw PhotoCacheJPEGError::unsupportedImageFile(fileNameOf(filePath));
    co_return jpeg;
}

std::optional<PhotoCacheJPEGError> sourceFileRefusal(const QString &filePath)
{
    const QFileInfo info(filePath);
    if (!info.exists() || info.isDir())
        return std::nullopt;
    if (!info.isFile())
        return PhotoCacheJPEGError::notRegularFile(info.fileName());
    if (info.size() > maxSourceFileBytes)
        return PhotoCacheJPEGError::fileTooLarge(info.fileName());
    return std::nullopt;
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
    Admission admission(Admission::Mode::wait);
    return attemptThumbnail(path, maxPixelSize, admission).image;
}

Attempt tryLoadThumbnail(const QString &path, int maxPixelSize, std::optional<DecodeMemoryBudget::Share> held)
{
    Admission admission(Admission::Mode::noWait, std::move(held));
    return attemptThumbnail(path, maxPixelSize, admission);
}

QCoro::Task<std::optional<QImage>> loadThumbnailAsync(QString path, int maxPixelSize)
{
    auto attempt = [path, maxPixelSize](std::optional<DecodeMemoryBudget::Share> held) {
        Attempt tried = tryLoadThumbnail(path, maxPixelSize, std::move(held));
        return std::pair(std::move(tried.image), tried.waitFor);
    };
    co_return co_await withBudget(attempt, std::optional<QImage>());
}

} // namespace ImageDownsampler
