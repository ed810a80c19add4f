// Image normalisation to JPEG and reduced-size decoding: JPEGs kept byte for
// byte, other formats re-encoded within the size bound without their
// metadata, stored orientations turned into upright pixels, HEIF through
// libheif, and every broken or oversized file refused without a crash.
// Every image is made by the test itself.
#include "support/testenvironment.h"

#include "error.h"
#include "rules/photocachejpeg.h"
#include "taskwait.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <libheif/heif.h>

#include <cstring>
#include <memory>

namespace {

enum Outcome { Unchanged, Encoded, Unsupported };

QImage twoTone(QSize size, QColor left, QColor right, QImage::Format format = QImage::Format_ARGB32)
{
    QImage image(size, format);
    auto *row = reinterpret_cast<QRgb *>(image.scanLine(0));
    for (int x = 0; x < size.width(); ++x)
        row[x] = (x < size.width() / 2 ? left : right).rgba();
    for (int y = 1; y < size.height(); ++y)
        std::memcpy(image.scanLine(y), row, size_t(image.bytesPerLine()));
    return image;
}

QImage opaque(const QImage &image)
{
    return image.convertToFormat(QImage::Format_RGB32);
}

using namespace Qt::StringLiterals;

QByteArray encoded(const QImage &image, const char *format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (!writer.write(image))
        qFatal("cannot write %s: %s", format, qPrintable(writer.errorString()));
    return bytes;
}

// A portrait picture as it should be seen: `background` with a red top-left
// quarter, so any rotation or mirroring moves the red elsewhere.
const QSize uprightSize(120, 200);

QImage uprightPicture(QColor background)
{
    QImage image(uprightSize, QImage::Format_ARGB32);
    image.fill(background);
    for (int y = 0; y < uprightSize.height() / 2; ++y)
        for (int x = 0; x < uprightSize.width() / 2; ++x)
            image.setPixelColor(x, y, Qt::red);
    return image;
}

// The pixels a camera stores for `upright` when it records EXIF
// `orientation` (1 as is, 2 mirrored, 6 and 8 turned on their side).
QImage storedPixels(const QImage &upright, int orientation)
{
    switch (orientation) {
    case 2:
        return upright.mirrored(true, false);
    case 6: // shown turned 90° clockwise
        return upright.transformed(QTransform().rotate(-90));
    case 8: // shown turned 90° anticlockwise
        return upright.transformed(QTransform().rotate(90));
    default:
        return upright;
    }
}

bool near(QColor actual, QColor expected)
{
    const int tolerance = 48;
    return qAbs(actual.red() - expected.red()) <= tolerance && qAbs(actual.green() - expected.green()) <= tolerance
        && qAbs(actual.blue() - expected.blue()) <= tolerance && qAbs(actual.alpha() - expected.alpha()) <= tolerance;
}

// Empty when `image` has `size` and shows `points` in their colours; the
// points are given as fractions of the width and height.
QString mismatch(const QImage &image, QSize size, const QList<std::pair<QPointF, QColor>> &points)
{
    if (image.size() != size)
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(image.width())
            .arg(image.height())
            .arg(size.width())
            .arg(size.height());
    for (const auto &[at, colour] : points) {
        const QColor seen = image.pixelColor(int(at.x() * size.width()), int(at.y() * size.height()));
        if (!near(seen, colour))
            return QStringLiteral("at (%1, %2): %3, expected %4")
                .arg(at.x())
                .arg(at.y())
                .arg(seen.name(QColor::HexArgb), colour.name(QColor::HexArgb));
    }
    return {};
}

QString twoToneMismatch(const QImage &image, QSize size, QColor left, QColor right)
{
    return mismatch(image, size, { { { 0.2, 0.5 }, left }, { { 0.8, 0.5 }, right } });
}

QString uprightMismatch(const QImage &image, QSize size, QColor background)
{
    return mismatch(image, size,
        { { { 0.25, 0.25 }, Qt::red }, { { 0.75, 0.25 }, background }, { { 0.25, 0.75 }, background },
            { { 0.75, 0.75 }, background } });
}

// `jpeg` with an APP1 Exif segment right after its start-of-image marker:
// IFD0 holds the orientation, IFD1 an embedded JPEG thumbnail.
QByteArray withExif(const QByteArray &jpeg, int orientation, const QByteArray &thumbnail)
{
    QByteArray tiff("MM\0\x2A\0\0\0\x08", 8); // big-endian, IFD0 at offset 8
    auto u16 = [&tiff](quint16 v) { tiff.append(char(v >> 8)).append(char(v & 0xFF)); };
    auto u32 = [&](quint32 v) {
        u16(quint16(v >> 16));
        u16(quint16(v & 0xFFFF));
    };
    // One IFD entry: tag, type (3 SHORT, 4 LONG), count 1, the value.
    auto entry = [&](quint16 tag, quint16 type, quint32 value) {
        u16(tag);
        u16(type);
        u32(1);
        if (type == 3) {
            u16(quint16(value));
            u16(0);
        } else {
            u32(value);
        }
    };
    // IFD0 at 8: the orientation, then where IFD1 starts.
    u16(1);
    entry(0x0112, 3, quint32(orientation));
    u32(26);
    // IFD1 at 26: where the thumbnail starts (56) and its length.
    u16(2);
    entry(0x0201, 4, 56);
    entry(0x0202, 4, quint32(thumbnail.size()));
    u32(0);
    Q_ASSERT(tiff.size() == 56);
    tiff.append(thumbnail);

    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment("\xFF\xE1");
    segment.append(char((payload.size() + 2) >> 8)).append(char((payload.size() + 2) & 0xFF)).append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// A JPEG whose frame header claims `size`, with the entropy-coded data of a
// small image behind it.
QByteArray jpegClaiming(QSize size)
{
    QByteArray jpeg = encoded(twoTone({ 64, 48 }, Qt::red, Qt::blue, QImage::Format_RGB32), "jpeg");
    const qsizetype sof = jpeg.indexOf("\xFF\xC0");
    Q_ASSERT(sof > 0);
    qToBigEndian<quint16>(quint16(size.height()), jpeg.data() + sof + 5);
    qToBigEndian<quint16>(quint16(size.width()), jpeg.data() + sof + 7);
    return jpeg;
}

// A 24-bit BMP header claiming `size`, followed by a few bytes of pixels.
QByteArray bmpClaiming(QSize size)
{
    QByteArray bmp(54 + 16, '\0');
    char *d = bmp.data();
    d[0] = 'B';
    d[1] = 'M';
    qToLittleEndian<quint32>(quint32(bmp.size()), d + 2);
    qToLittleEndian<quint32>(54, d + 10);
    qToLittleEndian<quint32>(40, d + 14);
    qToLittleEndian<qint32>(size.width(), d + 18);
    qToLittleEndian<qint32>(size.height(), d + 22);
    qToLittleEndian<quint16>(1, d + 26);
    qToLittleEndian<quint16>(24, d + 28);
    return bmp;
}

// A GIF (Qt writes none) of `size`, left half `left`, right half `right`.
// Each pixel is coded as a clear code followed by its colour index, so the
// LZW code width stays at 3 bits and no dictionary is needed.
QByteArray twoToneGif(QSize size, QColor left, QColor right)
{
    QByteArray gif("GIF89a");
    auto le16 = [&gif](int v) { gif.append(char(v & 0xFF)).append(char(v >> 8)); };
    le16(size.width());
    le16(size.height());
    gif.append(char(0x80)).append('\0').append('\0'); // a global colour table of 2 entries
    for (const QColor &c : { left, right })
        gif.append(char(c.red())).append(char(c.green())).append(char(c.blue()));
    gif.append(char(0x2C));
    le16(0);
    le16(0);
    le16(size.width());
    le16(size.height());
    gif.append('\0');
    gif.append(char(2)); // minimum code size: clear = 4, end = 5

    QByteArray codes;
    quint32 pending = 0;
    int bits = 0;
    auto put = [&](quint32 code) {
        pending |= code << bits;
        for (bits += 3; bits >= 8; bits -= 8, pending >>= 8)
            codes.append(char(pending & 0xFF));
    };
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            put(4);
            put(x < size.width() / 2 ? 0 : 1);
        }
    }
    put(5);
    if (bits > 0)
        codes.append(char(pending & 0xFF));
    for (qsizetype at = 0; at < codes.size(); at += 255) {
        const QByteArray block = codes.mid(at, 255);
        gif.append(char(block.size())).append(block);
    }
    gif.append('\0').append(char(0x3B));
    return gif;
}

QByteArray tiffWithOrientation(const QImage &stored, int orientation)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "tiff");
    writer.setTransformation(orientation == 6 ? QImageIOHandler::TransformationRotate90
            : orientation == 8                ? QImageIOHandler::TransformationRotate270
                                              : QImageIOHandler::TransformationNone);
    if (!writer.write(stored))
        qFatal("cannot write tiff: %s", qPrintable(writer.errorString()));
    return bytes;
}

template<auto release> struct Released {
    template<typename T> void operator()(T *p) const { release(p); }
};

// A HEIF file of `stored` coded with `format`, with `orientation` (EXIF
// numbering) written as irot/imir boxes and `icc` as its colour profile.
// None when libheif has no encoder for the format.
std::optional<QByteArray> heifFile(
    const QImage &stored, heif_compression_format format, heif_orientation orientation, const QByteArray &icc = {})
{
    const std::unique_ptr<heif_context, Released<heif_context_free>> context(heif_context_alloc());
    heif_encoder *rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), format, &rawEncoder).code != heif_error_Ok)
        return std::nullopt;
    const std::unique_ptr<heif_encoder, Released<heif_encoder_release>> encoder(rawEncoder);
    heif_encoder_set_lossy_quality(encoder.get(), 90);

    const bool alpha = stored.hasAlphaChannel();
    const QImage rgb = stored.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    heif_image *rawImage = nullptr;
    heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB,
        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage);
    const std::unique_ptr<heif_image, Released<heif_image_release>> image(rawImage);
    heif_image_add_plane(image.get(), heif_channel_interleaved, rgb.width(), rgb.height(), 8);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width() * (alpha ? 4 : 3)));
    if (!icc.isEmpty())
        heif_image_set_raw_color_profile(image.get(), "prof", icc.constData(), size_t(icc.size()));

    const std::unique_ptr<heif_encoding_options, Released<heif_encoding_options_free>> options(
        heif_encoding_options_alloc());
    options->image_orientation = orientation;
    if (heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), nullptr).code
        != heif_error_Ok)
        qFatal("HEIF encoding failed");

    QByteArray bytes;
    heif_writer writer {};
    writer.writer_api_version = 1;
    writer.write = [](heif_context *, const void *data, size_t size, void *out) {
        static_cast<QByteArray *>(out)->append(static_cast<const char *>(data), qsizetype(size));
        return heif_error { heif_error_Ok, heif_suberror_Unspecified, "ok" };
    };
    if (heif_context_write(context.get(), &writer, &bytes).code != heif_error_Ok)
        qFatal("HEIF writing failed");
    return bytes;
}

} // namespace

// x265 3.5 leaks a little in every x265_encoder_open(); only this test
// encodes HEIF, to make its sample files.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libx265.so\n";
}

Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(heif_compression_format)

class TestImages : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // Runs normalizedJPEGData on `bytes` saved as `fileName` and checks the
    // outcome; for Encoded, `decoded` receives the new JPEG's pixels.
    void normalize(const QByteArray &bytes, const QString &fileName, Outcome outcome, QImage *decoded = nullptr)
    {
        const QString path = write(fileName, bytes);
        if (outcome == Unsupported) {
            const QString message = u"Unsupported image: "_s + fileName;
            try {
                PhotoCacheJPEG::normalizedJPEGData(path);
                QFAIL("an unsupported file was turned into a JPEG");
            } catch (const PhotoCacheJPEGError &e) {
                QCOMPARE(e.fileName(), fileName);
                QCOMPARE(e.errorDescription().value_or(QString()), message);
                QCOMPARE(QString::fromUtf8(e.what()), message);
                const Error::Record record = e.record();
                QCOMPARE(record.domain, Error::generalDomain);
                QCOMPARE(record.code, qint64(0));
                QCOMPARE(record.localizedDescription, message);
            }
            return;
        }
        QByteArray jpeg;
        try {
            jpeg = PhotoCacheJPEG::normalizedJPEGData(path);
        } catch (const Error &e) {
            QFAIL(e.what());
        }
        if (outcome == Unchanged) {
            QVERIFY2(jpeg == bytes, "a JPEG was not returned byte for byte");
            return;
        }
        QVERIFY(PhotoCacheJPEG::isJPEG(jpeg));
        // Nothing of the source's metadata travels along.
        QVERIFY(!jpeg.contains("Exif"));
        QVERIFY(!jpeg.contains("secret"));
        if (decoded)
            *decoded = QImage::fromData(jpeg, "jpeg");
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void boundedSize_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QSize>("bounded");
        QTest::newRow("wide") << QSize(8000, 2000) << 4096 << QSize(4096, 1024);
        QTest::newRow("within") << QSize(800, 600) << 4096 << QSize(800, 600);
        QTest::newRow("one over") << QSize(4097, 4097) << 4096 << QSize(4096, 4096);
        QTest::newRow("rounded") << QSize(1000, 333) << 100 << QSize(100, 33);
        QTest::newRow("thin side kept at 1") << QSize(100000, 1) << 4096 << QSize(4096, 1);
        QTest::newRow("limit 0") << QSize(5, 5) << 0 << QSize();
    }
    void boundedSize()
    {
        QFETCH(QSize, source);
        QFETCH(int, limit);
        QFETCH(QSize, bounded);
        QCOMPARE(ImageDownsampler::boundedSize(source, limit), bounded);
    }

    void normalizedJPEGData_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QColor>("left");
        QTest::addColumn<QColor>("right");

        const QColor red(Qt::red), blue(Qt::blue), white(Qt::white);
        QTest::newRow("wide png, bounded") << encoded(twoTone({ 8000, 2000 }, red, blue), "png") << u"wide.png"_s
                                           << Encoded << QSize(4096, 1024) << red << blue;
        QImage commented = twoTone({ 800, 600 }, red, blue, QImage::Format_RGB32);
        commented.setText(QStringLiteral("Comment"), QStringLiteral("secret place"));
        commented.setText(QStringLiteral("XML:com.adobe.xmp"), QStringLiteral("<x>secret gps</x>"));
        QTest::newRow("png with text, not enlarged, text dropped")
            << encoded(commented, "png") << u"small.png"_s << Encoded << QSize(800, 600) << red << blue;
        QTest::newRow("transparency laid over white") << encoded(twoTone({ 100, 80 }, red, Qt::transparent), "png")
                                                      << u"sticker.png"_s << Encoded << QSize(100, 80) << red << white;
        QTest::newRow("png named .jpg") << encoded(twoTone({ 64, 48 }, red, blue), "png") << u"misnamed.jpg"_s
                                        << Encoded << QSize(64, 48) << red << blue;
        QTest::newRow("webp") << encoded(twoTone({ 64, 48 }, red, blue), "webp", 100) << u"a.webp"_s << Encoded
                              << QSize(64, 48) << red << blue;
        QTest::newRow("16-bit png") << encoded(
            twoTone({ 64, 48 }, red, blue, QImage::Format_RGB32).convertToFormat(QImage::Format_RGBX64), "png")
                                    << u"deep.png"_s << Encoded << QSize(64, 48) << red << blue;
        QTest::newRow("palette png") << encoded(
            twoTone({ 64, 48 }, red, blue, QImage::Format_RGB32).convertToFormat(QImage::Format_Indexed8), "png")
                                     << u"palette.png"_s << Encoded << QSize(64, 48) << red << blue;
        QTest::newRow("48 MP jpeg kept byte for byte")
            << encoded(twoTone({ 8000, 6000 }, red, blue, QImage::Format_RGB32), "jpeg", 50) << u"big.jpg"_s
            << Unchanged << QSize() << QColor() << QColor();
        QTest::newRow("just FF D8 FF") << QByteArray("\xFF\xD8\xFF") << u"three.jpg"_s << Unchanged << QSize()
                                       << QColor() << QColor();
        QTest::newRow("just FF D8") << QByteArray("\xFF\xD8") << u"two.jpg"_s << Unsupported << QSize() << QColor()
                                    << QColor();
        QTest::newRow("text") << QByteArray("shopping list\n") << u"notes.txt"_s << Unsupported << QSize() << QColor()
                              << QColor();
        QTest::newRow("empty") << QByteArray() << u"empty.png"_s << Unsupported << QSize() << QColor() << QColor();
        QTest::newRow("png cut after its header") << encoded(twoTone({ 64, 48 }, red, blue), "png").left(40)
                                                  << u"cut.png"_s << Unsupported << QSize() << QColor() << QColor();
        QTest::newRow("bmp claiming 100000x100000")
            << bmpClaiming({ 100000, 100000 }) << u"huge.bmp"_s << Unsupported << QSize() << QColor() << QColor();
        QTest::newRow("bmp of width 0") << bmpClaiming({ 0, 10 }) << u"zero.bmp"_s << Unsupported << QSize() << QColor()
                                        << QColor();
    }
    void normalizedJPEGData()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, fileName);
        QFETCH(Outcome, outcome);
        QFETCH(QSize, size);
        QFETCH(QColor, left);
        QFETCH(QColor, right);
        QImage image;
        normalize(bytes, fileName, outcome, &image);
        if (QTest::currentTestFailed() || outcome != Encoded)
            return;
        const QString wrong = twoToneMismatch(image, size, left, right);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }

    void unreadableFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing") << QStringLiteral("missing.png");
        QTest::newRow("folder") << QStringLiteral("folder.png");
    }
    void unreadableFiles()
    {
        QFETCH(QString, path);
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder.png")));
        const QString full = m_dir.filePath(path);
        try {
            PhotoCacheJPEG::normalizedJPEGData(full);
            QFAIL("no error for an unreadable file");
        } catch (const PlatformError &e) {
            QCOMPARE(e.record().domain, QStringLiteral("QFileDevice"));
            QCOMPARE(e.record().code, qint64(QFileDevice::OpenError));
        }
        QVERIFY(!ImageDownsampler::loadThumbnail(full, 100));
    }

    void loadThumbnail_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QSize>("size"); // invalid: none
        const QColor red(Qt::red), blue(Qt::blue);
        QTest::newRow("48 MP jpeg") << encoded(twoTone({ 8000, 6000 }, red, blue, QImage::Format_RGB32), "jpeg", 50)
                                    << 480 << QSize(480, 360);
        // Decoded whole: 192 MB, more than Qt allows by default.
        QTest::newRow("48 MP png, full size")
            << encoded(twoTone({ 8000, 6000 }, red, blue, QImage::Format_RGB32), "png") << 8000 << QSize(8000, 6000);
        QTest::newRow("png not enlarged") << encoded(twoTone({ 80, 60 }, red, blue), "png") << 4096 << QSize(80, 60);
        QTest::newRow("webp") << encoded(twoTone({ 64, 48 }, red, blue), "webp", 100) << 32 << QSize(32, 24);
        QTest::newRow("tiff") << encoded(twoTone({ 64, 48 }, red, blue), "tiff") << 16 << QSize(16, 12);
        QTest::newRow("gif") << twoToneGif({ 64, 48 }, red, blue) << 64 << QSize(64, 48);
        QTest::newRow("limit 0") << encoded(twoTone({ 80, 60 }, red, blue), "png") << 0 << QSize();
        QTest::newRow("jpeg claiming 20000x20000") << jpegClaiming({ 20000, 20000 }) << 256 << QSize();
        QTest::newRow("bmp claiming 100000x100000") << bmpClaiming({ 100000, 100000 }) << 256 << QSize();
        QTest::newRow("png cut after its header")
            << encoded(twoTone({ 64, 48 }, red, blue), "png").left(40) << 256 << QSize();
        QTest::newRow("text") << QByteArray("shopping list\n") << 256 << QSize();
    }
    void loadThumbnail()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, limit);
        QFETCH(QSize, size);
        const std::optional<QImage> image
            = ImageDownsampler::loadThumbnail(write(QStringLiteral("thumb"), bytes), limit);
        QCOMPARE(image.has_value(), size.isValid());
        if (image) {
            const QString wrong = twoToneMismatch(*image, size, Qt::red, Qt::blue);
            QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        }
    }

    // Sideways-stored portraits come out upright, bounded by their upright
    // size. JPEGs keep their bytes (and orientation tag) when normalised;
    // other formats are re-encoded upright with no orientation left.
    void storedOrientation_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QImage upright = uprightPicture(Qt::blue);
        // The embedded thumbnail is a green square: seeing it means it was used.
        const QByteArray thumbnail = encoded(twoTone({ 32, 32 }, Qt::green, Qt::green, QImage::Format_RGB32), "jpeg");
        for (int orientation : { 6, 8 }) {
            const QImage stored = opaque(storedPixels(upright, orientation));
            QTest::addRow("jpeg, exif %d", orientation)
                << withExif(encoded(stored, "jpeg", 95), orientation, thumbnail);
            QTest::addRow("tiff, orientation %d", orientation) << tiffWithOrientation(stored, orientation);
        }
    }
    void storedOrientation()
    {
        QFETCH(QByteArray, bytes);
        const bool jpeg = PhotoCacheJPEG::isJPEG(bytes);
        QImage normalized;
        normalize(bytes, u"portrait"_s, jpeg ? Unchanged : Encoded, &normalized);
        if (QTest::currentTestFailed())
            return;
        QString wrong;
        if (!jpeg) {
            wrong = uprightMismatch(normalized, uprightSize, Qt::blue);
            QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        }
        const QString path = m_dir.filePath(QStringLiteral("portrait"));
        for (int limit : { 100, 4096 }) {
            const std::optional<QImage> thumbnail = ImageDownsampler::loadThumbnail(path, limit);
            QVERIFY(thumbnail);
            wrong = uprightMismatch(*thumbnail, ImageDownsampler::boundedSize(uprightSize, limit), Qt::blue);
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("limit %1: ").arg(limit) + wrong));
        }
    }

    void heif_data()
    {
        QTest::addColumn<heif_compression_format>("format");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<bool>("displayP3");
        QTest::addColumn<QString>("fileName");
        const QColor blue(Qt::blue), transparent(Qt::transparent);
        QTest::newRow("heic") << heif_compression_HEVC << 1 << blue << false << u"IMG_0001.HEIC"_s;
        QTest::newRow("heic named .jpg") << heif_compression_HEVC << 1 << blue << false << u"photo.jpg"_s;
        QTest::newRow("heic irot 90") << heif_compression_HEVC << 6 << blue << false << u"a.heic"_s;
        QTest::newRow("heic irot 270") << heif_compression_HEVC << 8 << blue << false << u"b.heic"_s;
        QTest::newRow("heic imir") << heif_compression_HEVC << 2 << blue << false << u"c.heic"_s;
        QTest::newRow("heic with alpha") << heif_compression_HEVC << 1 << transparent << false << u"d.heic"_s;
        QTest::newRow("heic display p3") << heif_compression_HEVC << 1 << blue << true << u"e.heic"_s;
        QTest::newRow("avif irot 90") << heif_compression_AV1 << 6 << blue << false << u"f.avif"_s;
    }
    void heif()
    {
        QFETCH(heif_compression_format, format);
        QFETCH(int, orientation);
        QFETCH(QColor, background);
        QFETCH(bool, displayP3);
        QFETCH(QString, fileName);
        const QByteArray icc = displayP3 ? QColorSpace(QColorSpace::DisplayP3).iccProfile() : QByteArray();
        const std::optional<QByteArray> file = heifFile(
            storedPixels(uprightPicture(background), orientation), format, heif_orientation(orientation), icc);
        if (!file)
            QSKIP("libheif has no encoder for this format here");

        QImage normalized;
        normalize(*file, fileName, Encoded, &normalized);
        if (QTest::currentTestFailed())
            return;
        // JPEG has no alpha: transparent areas come out white.
        QString wrong = uprightMismatch(normalized, uprightSize, background.alpha() ? background : QColor(Qt::white));
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));

        const std::optional<QImage> thumbnail = ImageDownsampler::loadThumbnail(m_dir.filePath(fileName), 100);
        QVERIFY(thumbnail);
        wrong = uprightMismatch(*thumbnail, QSize(60, 100), background);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        if (displayP3) {
            QCOMPARE(thumbnail->colorSpace(), QColorSpace(QColorSpace::DisplayP3));
            QCOMPARE(normalized.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
        }

        // Cut short, it is refused like any broken file.
        const QByteArray cut = file->left(file->size() / 2);
        normalize(cut, fileName, Unsupported);
        QVERIFY(!ImageDownsampler::loadThumbnail(m_dir.filePath(fileName), 100));
    }

    void loadThumbnailAsync()
    {
        const QString path
            = write(QStringLiteral("async.png"), encoded(twoTone({ 800, 600 }, Qt::red, Qt::blue), "png"));
        QThread *resumedOn = nullptr;
        auto load = [&resumedOn](QString file) -> QCoro::Task<std::optional<QImage>> {
            std::optional<QImage> image = co_await ImageDownsampler::loadThumbnailAsync(file, 100);
            resumedOn = QThread::currentThread();
            co_return image;
        };
        const std::optional<QImage> image = TaskWait::run(load(path));
        QCOMPARE(resumedOn, QThread::currentThread());
        QVERIFY(image);
        const QString wrong = twoToneMismatch(*image, QSize(100, 75), Qt::red, Qt::blue);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QVERIFY(!TaskWait::run(load(m_dir.filePath(u"missing.png"_s))));
    }
};

LUNVIK_TEST_MAIN(TestImages)
#include "tst_images.moc"
