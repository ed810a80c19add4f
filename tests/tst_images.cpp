// Image normalisation to JPEG and reduced-size decoding: JPEGs kept byte for
// byte, other formats re-encoded within the size bound without their
// metadata, stored orientations turned into upright pixels, HEIF through
// libheif, and every broken or oversized file refused without a crash.
// Every image is made by the test itself.
#include "support/testenvironment.h"

#include "error.h"
#include "rules/decodememorybudget.h"
#include "rules/epaperrendering.h"
#include "rules/photocachejpeg.h"
#include "taskwait.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QtEndian>

#include <libheif/heif.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/stat.h>

namespace {

enum Outcome { Unchanged, Encoded, Unsupported };

using namespace Qt::StringLiterals;

// `background` with a red top-left quarter, so any rotation or mirroring
// moves the red elsewhere.
QImage picture(QSize size, QColor background = Qt::blue)
{
    QImage image(size, background.alpha() == 255 ? QImage::Format_RGB32 : QImage::Format_ARGB32);
    image.fill(background);
    const QList<QRgb> red(size.width() / 2, qRgb(255, 0, 0));
    for (int y = 0; y < size.height() / 2; ++y)
        std::memcpy(image.scanLine(y), red.constData(), size_t(red.size()) * sizeof(QRgb));
    return image;
}

// Whether `image` has `size` and shows picture()'s quarters over
// `background`; the first difference is logged.
bool shows(const QImage &image, QSize size, QColor background)
{
    if (image.size() != size) {
        qWarning() << "size" << image.size() << "expected" << size;
        return false;
    }
    for (const auto &[x, y, expected] : { std::tuple(0.25, 0.25, QColor(Qt::red)), std::tuple(0.75, 0.25, background),
             std::tuple(0.25, 0.75, background), std::tuple(0.75, 0.75, background) }) {
        const QColor seen = image.pixelColor(int(x * size.width()), int(y * size.height()));
        const auto near = [](int a, int b) { return qAbs(a - b) <= 48; };
        if (!near(seen.red(), expected.red()) || !near(seen.green(), expected.green())
            || !near(seen.blue(), expected.blue()) || !near(seen.alpha(), expected.alpha())) {
            qWarning() << "at" << x << y << seen << "expected" << expected;
            return false;
        }
    }
    return true;
}

QByteArray encoded(const QImage &image, const char *format,
    QImageIOHandler::Transformations transformation = QImageIOHandler::TransformationNone, bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setTransformation(transformation);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image))
        qFatal("cannot write %s: %s", format, qPrintable(writer.errorString()));
    return bytes;
}

// The relative luminance (0 to 1) of an sRGB colour.
double luminance(QRgb color)
{
    const auto linear = [](int v) {
        const double c = v / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(color)) + 0.7152 * linear(qGreen(color)) + 0.0722 * linear(qBlue(color));
}

// A photo-like test picture: smooth hues across, lightness down, and a few
// hard edges, so every ink and the diffusion between them come into play.
QImage colourfulPicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const QColor c = QColor::fromHsvF(float(x) / size.width(), 0.8f, 1.0f - float(y) / size.height());
            row[x] = (x / 37 + y / 29) % 7 == 0 ? qRgb(255, 255, 255) : c.rgb();
        }
    }
    return image;
}

// Whether every pixel of `image` is one of the inks; the first stray one is logged.
bool onlyInks(const QImage &image)
{
    QSet<QRgb> inks;
    for (const EpaperRendering::Ink &ink : EpaperRendering::inks())
        inks.insert(ink.color);
    for (int y = 0; y < image.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (!inks.contains(row[x] | 0xff000000)) {
                qWarning() << "pixel" << x << y << Qt::hex << row[x];
                return false;
            }
        }
    }
    return true;
}

// An ordinary 48-megapixel phone photo, made once.
const QByteArray &bigJpeg()
{
    static const QByteArray jpeg = encoded(picture({ 8000, 6000 }), "jpeg");
    return jpeg;
}

// `jpeg` with an APP1 Exif segment right after its start-of-image marker
// whose IFD0 holds only the orientation.
QByteArray withExif(const QByteArray &jpeg, int orientation)
{
    // Big-endian TIFF header, IFD0 at 8 with one SHORT entry, no next IFD.
    QByteArray tiff("MM\0\x2A\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\0\0\0\0\0\0\0", 26);
    tiff[19] = char(orientation);
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment("\xFF\xE1\0\0", 4);
    qToBigEndian<quint16>(quint16(payload.size() + 2), segment.data() + 2);
    return jpeg.left(2) + segment + payload + jpeg.mid(2);
}

// A portrait picture() as a camera stores it, turned on its side, with the
// turn recorded as EXIF 6 in a JPEG, and as orientation 8 in a TIFF.
QByteArray portraitJpeg()
{
    return withExif(encoded(picture({ 120, 200 }).transformed(QTransform().rotate(-90)), "jpeg"), 6);
}

QByteArray portraitTiff()
{
    return encoded(picture({ 120, 200 }).transformed(QTransform().rotate(90)), "tiff",
        QImageIOHandler::TransformationRotate270);
}

// The markers of a JPEG up to a few bytes into its first scan, for a frame
// header `marker` (C0 baseline, C2 progressive) claiming `size` with three
// components, the first sampled `lumaSampling` (0x22: 4:2:0, 0x11: 4:4:4),
// and a first scan of `inScan` components whose few bytes of coded data
// decode, the rest of the image left blank.
QByteArray jpegHeader(int marker, QSize size, int lumaSampling, int inScan)
{
    QByteArray jpeg("\xFF\xD8\xFF\xDB\x00\x43\x00", 7);
    jpeg += QByteArray(64, '\x01'); // one quantisation table
    // DC and AC Huffman tables of one 1-bit code each, for a difference of
    // 0 and the end of the block: the zero bytes of the scan decode.
    const QByteArray oneCode = QByteArray("\x01", 1) + QByteArray(16, '\0');
    jpeg += QByteArray("\xFF\xC4\x00\x26\x00", 5) + oneCode + QByteArray("\x10", 1) + oneCode;
    jpeg += QByteArray("\xFF", 1) + char(marker) + QByteArray("\x00\x11\x08", 3);
    char dimensions[4];
    qToBigEndian<quint16>(quint16(size.height()), dimensions);
    qToBigEndian<quint16>(quint16(size.width()), dimensions + 2);
    jpeg += QByteArray(dimensions, 4) + '\x03';
    jpeg += QByteArray("\x01", 1) + char(lumaSampling) + QByteArray("\x00\x02\x11\x00\x03\x11\x00", 7);
    jpeg += QByteArray("\xFF\xDA\x00", 3) + char(6 + 2 * inScan) + char(inScan);
    for (int component = 1; component <= inScan; ++component)
        jpeg += char(component) + QByteArray(1, '\0');
    jpeg += QByteArray("\x00", 1) + char(marker == 0xC2 ? 0 : 63) + QByteArray(1, '\0');
    return jpeg + QByteArray(16, '\0') + QByteArray("\xFF\xD9", 2);
}

// A 24-bit BMP header claiming `size`, followed by a few bytes of pixels.
QByteArray bmpClaiming(QSize size)
{
    QByteArray bmp;
    QDataStream out(&bmp, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0x4D42) << quint32(70) << quint32(0) << quint32(54) << quint32(40) << qint32(size.width())
        << qint32(size.height()) << quint16(1) << quint16(24);
    bmp.resize(70, '\0');
    return bmp;
}

template<auto release> struct Released {
    template<typename T> void operator()(T *p) const { release(p); }
};

// A HEIF file of `stored` coded with `format`, with `orientation` (EXIF
// numbering) written as an irot box and `icc` as its colour profile.
// None when libheif has no encoder for the format.
std::optional<QByteArray> heifFile(
    const QImage &stored, heif_compression_format format, int orientation, const QByteArray &icc)
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
    options->image_orientation = heif_orientation(orientation);
    if (heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), nullptr).code
        != heif_error_Ok)
        qFatal("HEIF encoding failed");

    QByteArray bytes;
    heif_writer writer { 1, [](heif_context *, const void *data, size_t size, void *into) {
        static_cast<QByteArray *>(into)->append(static_cast<const char *>(data), qsizetype(size));
        return heif_error { heif_error_Ok, heif_suberror_Unspecified, "" };
    } };
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
            try {
                PhotoCacheJPEG::normalizedJPEGData(path);
                QFAIL("an unsupported file was turned into a JPEG");
            } catch (const PhotoCacheJPEGError &e) {
                QCOMPARE(e.fileName(), fileName);
                QCOMPARE(e.record().localizedDescription, u"Unsupported image: "_s + fileName);
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
        QTest::newRow("one over") << QSize(4097, 4097) << 4096 << QSize(4096, 4096);
        QTest::newRow("rounded") << QSize(1000, 333) << 100 << QSize(100, 33);
        QTest::newRow("thin side kept at 1") << QSize(100000, 1) << 4096 << QSize(4096, 1);
        QTest::newRow("limit 0") << QSize(5, 5) << 0 << QSize();
    }
    void boundedSize()
    {
        QFETCH(QSize, source); QFETCH(int, limit); QFETCH(QSize, bounded);
        QCOMPARE(ImageDownsampler::boundedSize(source, limit), bounded);
    }

    void normalizedJPEGData_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QColor>("background");

        const QColor blue(Qt::blue), white(Qt::white);
        QTest::newRow("wide png, bounded")
            << encoded(picture({ 8000, 2000 }), "png") << u"wide.png"_s << Encoded << QSize(4096, 1024) << blue;
        QImage commented = picture({ 80, 60 });
        commented.setText(u"Comment"_s, u"secret place"_s);
        commented.setText(u"XML:com.adobe.xmp"_s, u"<x>secret gps</x>"_s);
        QTest::newRow("png named .jpg, not enlarged, text dropped")
            << encoded(commented, "png") << u"misnamed.jpg"_s << Encoded << QSize(80, 60) << blue;
        QTest::newRow("transparency laid over white") << encoded(picture({ 100, 80 }, Qt::transparent), "png")
                                                      << u"sticker.png"_s << Encoded << QSize(100, 80) << white;
        QTest::newRow("palette png") << encoded(picture({ 64, 48 }).convertToFormat(QImage::Format_Indexed8), "png")
                                     << u"palette.png"_s << Encoded << QSize(64, 48) << blue;
        // Sideways-stored portraits: a JPEG keeps its bytes and orientation
        // tag, others are re-encoded upright with no orientation left.
        QTest::newRow("jpeg, exif 6") << portraitJpeg() << u"portrait.jpg"_s << Unchanged << QSize() << blue;
        QTest::newRow("tiff, orientation 8") << portraitTiff() << u"up.tif"_s << Encoded << QSize(120, 200) << blue;
        QTest::newRow("48 MP jpeg kept byte for byte") << bigJpeg() << u"big.jpg"_s << Unchanged << QSize() << blue;
        QTest::newRow("just FF D8 FF") << QByteArray("\xFF\xD8\xFF") << u"three.jpg"_s << Unchanged << QSize() << blue;
        QTest::newRow("just FF D8") << QByteArray("\xFF\xD8") << u"two.jpg"_s << Unsupported << QSize() << blue;
        QTest::newRow("empty") << QByteArray() << u"empty.png"_s << Unsupported << QSize() << blue;
        QTest::newRow("png cut after its header")
            << encoded(picture({ 64, 48 }), "png").left(40) << u"cut.png"_s << Unsupported << QSize() << blue;
        QTest::newRow("bmp claiming 100000x100000")
            << bmpClaiming({ 100000, 100000 }) << u"huge.bmp"_s << Unsupported << QSize() << blue;
        QTest::newRow("bmp of width 0") << bmpClaiming({ 0, 10 }) << u"zero.bmp"_s << Unsupported << QSize() << blue;
    }
    void normalizedJPEGData()
    {
        QFETCH(QByteArray, bytes); QFETCH(QString, fileName); QFETCH(Outcome, outcome); QFETCH(QSize, size);
        QFETCH(QColor, background);
        QImage image;
        normalize(bytes, fileName, outcome, &image);
        if (QTest::currentTestFailed() || outcome != Encoded)
            return;
        QVERIFY(shows(image, size, background));
    }

    // Bounded by `limit`, upright, never enlarged. Each decode's memory is
    // estimated from the header and refused, before anything large is
    // allocated, when it could never fit the budget: libjpeg holds the
    // coefficients of a whole progressive or multi-scan image (2 bytes a
    // sample) whatever scale it decodes at.
    void loadThumbnail_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QSize>("size"); // invalid: none
        QTest::newRow("48 MP jpeg") << bigJpeg() << 480 << QSize(480, 360);
        // Decoded whole: 192 MB, more than Qt allows by default.
        QTest::newRow("48 MP png, full size") << encoded(picture({ 8000, 6000 }), "png") << 8000 << QSize(8000, 6000);
        QTest::newRow("jpeg, exif 6") << portraitJpeg() << 100 << QSize(60, 100);
        QTest::newRow("limit 0") << encoded(picture({ 80, 60 }), "png") << 0 << QSize();
        QTest::newRow("jpeg claiming 20000x20000") << jpegHeader(0xC0, { 20000, 20000 }, 0x22, 3) << 256 << QSize();
        QTest::newRow("progressive 15000x15000 4:4:4, 1.35 GB")
            << jpegHeader(0xC2, { 15000, 15000 }, 0x11, 1) << 400 << QSize();
        QTest::newRow("progressive 15000x15000 4:2:0, 675 MB")
            << jpegHeader(0xC2, { 15000, 15000 }, 0x22, 1) << 400 << QSize();
        QTest::newRow("baseline 15000x15000, a scan per component")
            << jpegHeader(0xC0, { 15000, 15000 }, 0x11, 1) << 400 << QSize();
        QTest::newRow("progressive 4000x3000")
            << encoded(picture({ 4000, 3000 }), "jpeg", QImageIOHandler::TransformationNone, true) << 400
            << QSize(400, 300);
    }
    void loadThumbnail()
    {
        QFETCH(QByteArray, bytes); QFETCH(int, limit); QFETCH(QSize, size);
        QElapsedTimer timer;
        timer.start();
        const std::optional<QImage> image = ImageDownsampler::loadThumbnail(write(u"thumb"_s, bytes), limit);
        QCOMPARE(image.has_value(), size.isValid());
        if (image)
            QVERIFY(shows(*image, size, Qt::blue));
        else
            QVERIFY2(timer.elapsed() < 2000, "refused only after decoding");
        QCOMPARE(DecodeMemoryBudget::shared().heldBytes(), 0);
    }

    void heif_data()
    {
        QTest::addColumn<heif_compression_format>("format");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<bool>("displayP3");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("heic irot 90, named .jpg") << heif_compression_HEVC << 6 << QColor(Qt::blue) << false
                                                  << u"photo.jpg"_s;
        QTest::newRow("heic with alpha and a colour profile")
            << heif_compression_HEVC << 1 << QColor(Qt::transparent) << true << u"IMG_0001.HEIC"_s;
        QTest::newRow("avif") << heif_compression_AV1 << 1 << QColor(Qt::blue) << false << u"a.avif"_s;
    }
    void heif()
    {
        QFETCH(heif_compression_format, format); QFETCH(int, orientation); QFETCH(QColor, background);
        QFETCH(bool, displayP3); QFETCH(QString, fileName);
        const QByteArray icc = displayP3 ? QColorSpace(QColorSpace::DisplayP3).iccProfile() : QByteArray();
        const QImage upright = picture({ 120, 200 }, background);
        const std::optional<QByteArray> file = heifFile(
            orientation == 6 ? upright.transformed(QTransform().rotate(-90)) : upright, format, orientation, icc);
        if (!file)
            QSKIP("libheif has no encoder for this format here");
        QImage normalized;
        normalize(*file, fileName, Encoded, &normalized);
        if (QTest::currentTestFailed())
            return;
        // JPEG has no alpha: transparent areas come out white.
        QVERIFY(shows(normalized, QSize(120, 200), background.alpha() ? background : QColor(Qt::white)));
        const std::optional<QImage> thumbnail = ImageDownsampler::loadThumbnail(m_dir.filePath(fileName), 100);
        QVERIFY(thumbnail && shows(*thumbnail, QSize(60, 100), background));
        if (displayP3) {
            QCOMPARE(thumbnail->colorSpace(), QColorSpace(QColorSpace::DisplayP3));
            QCOMPARE(normalized.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
        }
        // Cut short, it is refused like any broken file.
        normalize(file->left(file->size() / 2), fileName, Unsupported);
        QVERIFY(!ImageDownsampler::loadThumbnail(m_dir.filePath(fileName), 100));
    }

    void memoryBudgetLimits()
    {
        DecodeMemoryBudget budget(100);
        QVERIFY(!budget.acquire(101)); // refused at once, never waited for
        QVERIFY(!TaskWait::run(budget.acquireAsync(101)));
        std::optional<DecodeMemoryBudget::Share> most = budget.acquire(70);
        QVERIFY(most && budget.tryAcquire(30));
        QCOMPARE(budget.heldBytes(), 70);
        QVERIFY(!budget.tryAcquire(31));

        // Concurrent acquirers wait their turn and never hold more than all.
        std::atomic<qint64> inUse { 0 }, mostInUse { 0 };
        std::vector<std::thread> threads;
        for (int i = 0; i < 6; ++i) {
            threads.emplace_back([&] {
                for (int round = 0; round < 20; ++round) {
                    std::optional<DecodeMemoryBudget::Share> share = budget.acquire(40);
                    for (qint64 now = inUse += 40, seen = mostInUse; now > seen;)
                        mostInUse.compare_exchange_weak(seen, now);
                    std::this_thread::yield();
                    inUse -= 40;
                }
            });
        }
        QTRY_VERIFY(budget.waitingCount() > 0); // all wait behind `most`
        // A request that would fit does not pass those waiting before it.
        QVERIFY(!budget.tryAcquire(10));
        most.reset();
        for (std::thread &thread : threads)
            thread.join();
        QVERIFY(mostInUse > 0 && mostInUse <= 80);
        QCOMPARE(budget.heldBytes(), 0);
        QCOMPARE(budget.waitingCount(), 0);
    }

    // The asynchronous callers wait for their share on their own thread,
    // tying up no worker of the pool meanwhile, and resume there; the
    // blocking one waits where it is called.
    void decodesWaitForMemory_data()
    {
        QTest::addColumn<QString>("caller");
        QTest::newRow("loadThumbnailAsync") << u"thumbnail async"_s;
        QTest::newRow("normalizedJPEGDataAsync") << u"upload async"_s;
        QTest::newRow("loadThumbnail on a thread") << u"thumbnail blocking"_s;
    }
    void decodesWaitForMemory()
    {
        QFETCH(QString, caller);
        const QString path = write(u"wait.png"_s, encoded(picture({ 800, 600 }), "png"));
        DecodeMemoryBudget &budget = DecodeMemoryBudget::shared();
        std::optional<DecodeMemoryBudget::Share> all = budget.acquire(budget.totalBytes());
        QVERIFY(all);

        std::optional<QImage> image;
        QThread *resumedOn = nullptr;
        // Outlives the coroutine it makes, which refers to it.
        auto load = [&](QString file) -> QCoro::Task<> {
            if (caller == u"thumbnail async"_s)
                image = co_await ImageDownsampler::loadThumbnailAsync(file, 100);
            else
                image = QImage::fromData(co_await PhotoCacheJPEG::normalizedJPEGDataAsync(file));
            resumedOn = QThread::currentThread();
        };
        std::thread blocking;
        QCoro::Task<> waiting;
        if (caller == u"thumbnail blocking"_s)
            blocking = std::thread([&] { image = ImageDownsampler::loadThumbnail(path, 100); });
        else
            waiting = load(path);
        QTRY_COMPARE(budget.waitingCount(), 1);
        QTest::qWait(20);
        QVERIFY(!resumedOn && !image);
        if (!blocking.joinable())
            QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
        all.reset();
        if (blocking.joinable())
            blocking.join();
        else
            QTRY_COMPARE(resumedOn, QThread::currentThread());
        QVERIFY(image && shows(*image, caller == u"upload async"_s ? QSize(800, 600) : QSize(100, 75), Qt::blue));
        QCOMPARE(budget.heldBytes(), 0);
    }

    // Only regular files are read, and picked files only up to the limit:
    // a FIFO would block the open, and a huge file would be read whole.
    // Missing files and folders fail to open.
    void refusedSourceFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason"); // "open": an open error
        QTest::newRow("fifo") << u"fifo"_s << u"not a regular file"_s;
        QTest::newRow("one byte over the limit") << u"large"_s << u"larger than 200 MB"_s;
        QTest::newRow("link to a png") << u"link"_s << QString();
        QTest::newRow("missing") << u"missing"_s << u"open"_s;
        QTest::newRow("folder") << u"folder"_s << u"open"_s;
    }
    void refusedSourceFiles()
    {
        QFETCH(QString, kind); QFETCH(QString, reason);
        const QString path = m_dir.filePath(kind + u".jpg"_s);
        QFile::remove(path);
        if (kind == u"folder"_s) {
            QVERIFY(QDir(m_dir.path()).mkpath(kind + u".jpg"_s));
        } else if (kind == u"fifo"_s) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == u"large"_s) {
            QFile sparse(path);
            QVERIFY(sparse.open(QIODevice::WriteOnly));
            QVERIFY(sparse.resize(PhotoCacheJPEG::maxSourceFileBytes + 1));
        } else if (kind == u"link"_s) {
            QVERIFY(QFile::link(write(u"linked.png"_s, encoded(picture({ 80, 60 }), "png")), path));
        }
        const std::optional<PhotoCacheJPEGError> refusal = PhotoCacheJPEG::sourceFileRefusal(path);
        QCOMPARE(refusal ? refusal->reason() : QString(), reason == u"open"_s ? QString() : reason);
        try {
            const QByteArray jpeg = PhotoCacheJPEG::normalizedJPEGData(path);
            QVERIFY(reason.isEmpty() && PhotoCacheJPEG::isJPEG(jpeg));
        } catch (const PhotoCacheJPEGError &e) {
            QCOMPARE(e.reason(), reason);
            QCOMPARE(e.fileName(), kind + u".jpg"_s);
        } catch (const PlatformError &e) {
            QCOMPARE(reason, u"open"_s);
            QCOMPARE(e.record().domain, u"QFileDevice"_s);
            QCOMPARE(e.record().code, qint64(QFileDevice::OpenError));
        }
        // Thumbnails come from the cache, where not even a link is followed.
        QVERIFY(!ImageDownsampler::loadThumbnail(path, 100));
        if (kind == u"link"_s)
            QVERIFY(ImageDownsampler::loadThumbnail(m_dir.filePath(u"linked.png"_s), 100));
    }

    void epaperScreenSize_data()
    {
        QTest::addColumn<int>("width"); // 0: not reported
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("landscape");
        QTest::addColumn<QSize>("size");
        QTest::newRow("nothing reported") << 0 << 0 << false << QSize(1200, 1600);
        QTest::newRow("reported on its side, portrait") << 1600 << 1200 << false << QSize(1200, 1600);
        QTest::newRow("landscape") << 1200 << 1600 << true << QSize(1600, 1200);
        QTest::newRow("absurd size bounded") << 100000 << 50000 << true << QSize(4096, 2048);
    }
    void epaperScreenSize()
    {
        QFETCH(int, width); QFETCH(int, height); QFETCH(bool, landscape); QFETCH(QSize, size);
        const auto reported = [](int side) { return side > 0 ? std::optional(side) : std::nullopt; };
        QCOMPARE(EpaperRendering::screenSize(reported(width), reported(height), landscape), size);
    }

    // Every pixel an ink, the screen's size, the photo letterboxed in black,
    // and the same pixels every time.
    void epaperRendering_data()
    {
        QTest::addColumn<QSize>("photo");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QRect>("placed");
        QTest::newRow("landscape photo, portrait frame") << QSize(800, 600) << QSize(1200, 1600) << QRect(0, 350, 1200, 900);
        QTest::newRow("portrait photo, landscape frame") << QSize(300, 400) << QSize(1600, 1200) << QRect(350, 0, 900, 1200);
        QTest::newRow("one-pixel-high strip") << QSize(4000, 1) << QSize(400, 300) << QRect(0, 149, 400, 1);
    }
    void epaperRendering()
    {
        QFETCH(QSize, photo); QFETCH(QSize, screen); QFETCH(QRect, placed);
        const QImage source = colourfulPicture(photo);
        const QImage rendered = EpaperRendering::render(source, screen);
        QCOMPARE(rendered.size(), screen);
        QVERIFY(onlyInks(rendered));
        QCOMPARE(EpaperRendering::fittedRect(photo, screen), placed);
        // Outside the photo the screen is black; the photo's white stays light.
        const QRgb black = EpaperRendering::inks()[0].color;
        for (int y = 0; y < screen.height(); y += 7) {
            for (int x = 0; x < screen.width(); x += 7) {
                if (!placed.contains(x, y))
                    QCOMPARE(rendered.pixel(x, y), black);
            }
        }
        QCOMPARE(EpaperRendering::render(source, screen), rendered);
    }

    // An ink's own colour, at the screen's aspect, is that ink alone.
    void epaperFlatInk_data()
    {
        QTest::addColumn<QRgb>("color");
        for (const EpaperRendering::Ink &ink : EpaperRendering::inks())
            QTest::newRow(ink.name) << ink.color;
    }
    void epaperFlatInk()
    {
        QFETCH(QRgb, color);
        for (const QSize photo : {QSize(1200, 1600), QSize(300, 400)}) {
            QImage flat(photo, QImage::Format_RGB32);
            flat.fill(color);
            const QImage rendered = EpaperRendering::render(flat, QSize(1200, 1600));
            QImage ink(QSize(1200, 1600), QImage::Format_RGB32);
            ink.fill(color);
            ink.setColorSpace(rendered.colorSpace());
            QCOMPARE(rendered, ink);
        }
    }

    // A grey ramp gets lighter from left to right, band by band, up to the
    // panel's white; within the panel's range the dots mix to the grey's own
    // light (the error is carried in linear light, not in sRGB steps).
    void epaperGreyRamp()
    {
        QImage ramp(1200, 1, QImage::Format_RGB32);
        for (int x = 0; x < ramp.width(); ++x)
            ramp.setPixel(x, 0, qRgb(x * 256 / 1200, x * 256 / 1200, x * 256 / 1200));
        ramp = ramp.scaled(1200, 1600);
        const QImage rendered = EpaperRendering::render(ramp, ramp.size());
        const double whiteInk = luminance(EpaperRendering::inks()[1].color);
        double previous = 0;
        for (int band = 0; band < rendered.width() / 16; ++band) {
            double light = 0;
            for (int y = 0; y < rendered.height(); ++y) {
                for (int x = band * 16; x < band * 16 + 16; ++x)
                    light += luminance(rendered.pixel(x, y)) / (16.0 * rendered.height());
            }
            QVERIFY2(light >= previous * 0.98,
                qPrintable(u"band %1: %2 after %3"_s.arg(band).arg(light).arg(previous)));
            previous = light;
            const double grey = luminance(ramp.pixel(band * 16 + 8, 0));
            if (grey < whiteInk * 0.9)
                QVERIFY2(std::abs(light - grey) < 0.02, qPrintable(u"band %1: light %2 for %3"_s.arg(band).arg(light).arg(grey)));
        }
        QVERIFY(previous > whiteInk * 0.97);
    }

    // From a cached file: decoded upright (a camera's sideways portrait
    // fills a portrait frame), on a worker thread, the same as at once.
    void epaperRenderFile()
    {
        const QString path = write(u"sideways.jpg"_s, portraitJpeg());
        const std::optional<QImage> rendered = EpaperRendering::renderFile(path, QSize(1200, 1600));
        QVERIFY(rendered);
        QCOMPARE(rendered->size(), QSize(1200, 1600));
        // 120 x 200 upright fills 960 x 1600, from x = 120.
        const QRgb black = EpaperRendering::inks()[0].color;
        QCOMPARE(rendered->pixel(60, 800), black);
        int light = 0;
        for (int y = 0; y < 1600; y += 10)
            light += rendered->pixel(600, y) != black;
        QVERIFY2(light > 120, qPrintable(QString::number(light)));
        const std::optional<QImage> later = TaskWait::run(EpaperRendering::renderFileAsync(path, QSize(1200, 1600)));
        QVERIFY(later && *later == *rendered);
        QVERIFY(!EpaperRendering::renderFile(m_dir.filePath(u"missing.jpg"_s), QSize(1200, 1600)));
    }
};

LUNVIK_TEST_MAIN(TestImages)
#include "tst_images.moc"
