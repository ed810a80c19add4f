#include "benchfixtures.h"

#include "log/logentry.h"
#include "model/appsettings.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <QUuid>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// xorshift32: fast, and the same sequence on every machine.
struct Random {
    quint32 state;
    explicit Random(quint32 seed) : state(seed ? seed : 0x9e3779b9u) {}
    quint32 next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

QString hexId(Random &random)
{
    QString id;
    for (int i = 0; i < 4; ++i)
        id += QStringLiteral("%1").arg(random.next(), 8, 16, QLatin1Char('0'));
    return id;
}

QString supportFolderOf(const QString &xdgDataHome)
{
    return xdgDataHome + QStringLiteral("/LunvikPhotos");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

void linkOrCopy(const QString &from, const QString &to)
{
    if (QFileInfo::exists(to))
        return;
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0 && !QFile::copy(from, to))
        throw std::runtime_error("cannot create " + to.toStdString());
}

} // namespace

namespace BenchFixtures {

QImage photoLikeImage(QSize size, quint32 seed)
{
    Random random(seed);
    // A coarse grid of colours blown up smoothly gives the soft light and
    // shapes of a scene; grain on top gives the detail a camera records.
    QImage coarse(16, 12, QImage::Format_RGB32);
    for (int y = 0; y < coarse.height(); ++y)
        for (int x = 0; x < coarse.width(); ++x)
            coarse.setPixel(x, y, qRgb(int(random.next() % 256), int(random.next() % 256), int(random.next() % 256)));
    QImage image = coarse.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int grain = int(random.next() % 25) - 12;
            const QRgb c = line[x];
            line[x] = qRgb(std::clamp(qRed(c) + grain, 0, 255), std::clamp(qGreen(c) + grain, 0, 255),
                           std::clamp(qBlue(c) + grain, 0, 255));
        }
    }
    return image;
}

QByteArray encodeJPEG(const QImage &image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(image))
        throw std::runtime_error("cannot encode a JPEG: " + writer.errorString().toStdString());
    return bytes;
}

QByteArray withExifOrientation(const QByteArray &jpeg, int orientation)
{
    if (jpeg.size() < 4 || uchar(jpeg[0]) != 0xFF || uchar(jpeg[1]) != 0xD8)
        throw std::runtime_error("not a JPEG");
    // Big-endian TIFF: header, then one IFD with one entry (0x0112, SHORT, 1).
    QByteArray tiff = QByteArray::fromHex("4d4d002a00000008" "0001" "011200030000000100000000" "00000000");
    tiff[8 + 2 + 8] = char(0);
    tiff[8 + 2 + 9] = char(orientation);
    const QByteArray payload = QByteArray("Exif", 4) + QByteArray(2, '\0') + tiff;
    const int length = int(payload.size()) + 2;
    QByteArray segment = QByteArray::fromHex("ffe1");
    segment += char((length >> 8) & 0xff);
    segment += char(length & 0xff);
    segment += payload;

    // After the JFIF (APP0) segment when there is one, else right after SOI.
    qsizetype at = 2;
    if (jpeg.size() > 6 && uchar(jpeg[2]) == 0xFF && uchar(jpeg[3]) == 0xE0)
        at = 4 + ((uchar(jpeg[4]) << 8) | uchar(jpeg[5]));
    QByteArray result = jpeg;
    result.insert(at, segment);
    return result;
}

GalleryState manifest(int photoCount, quint32 seed)
{
    Random random(seed);
    GalleryState state;
    state.updatedAt = QStringLiteral("2025-11-30T09:41:07.123Z");
    const QStringList names{QStringLiteral("Åsa"), QStringLiteral("Mia"), QStringLiteral("Jonas"),
                            QStringLiteral("Farmor"), QStringLiteral("Leo")};
    for (const QString &name : names)
        state.uploaders.insert(GalleryState::uploaderId(name), name);
    const QDateTime base(QDate(2023, 1, 1), QTime(8, 0), QTimeZone::utc());
    // About one photo in fifty was deleted and stays as a tombstone.
    const int total = photoCount + photoCount / 50;
    int visible = 0;
    for (int i = 0; i < total; ++i) {
        PhotoEntry photo;
        photo.id = hexId(random);
        photo.filename = QStringLiteral("IMG_%1.jpg").arg(1000 + i);
        photo.blobPath = QStringLiteral("photos/%1.jpg").arg(photo.id);
        photo.sizeBytes = 180000 + qint64(random.next() % 60000);
        const QString when = base.addSecs(qint64(i) * 3607).toString(Qt::ISODateWithMs);
        photo.updatedAt = when;
        photo.uploaderId = GalleryState::uploaderId(names.at(int(random.next() % names.size())));
        const bool deleted = visible >= photoCount || (i % 51 == 50);
        if (deleted)
            photo.deletedAt = when;
        else
            ++visible;
        state.order.append(photo.id);
        state.photos.insert(photo.id, photo);
    }
    state.currentPhotoId = state.order.value(std::min<int>(7, int(state.order.size()) - 1));
    state.currentPhotoUpdatedBy = CurrentPhotoUpdatedBy::cron;
    return state;
}

void writeClientFolder(const QString &xdgDataHome, const QString &token, const GalleryState *state)
{
    AppSettings settings;
    settings.debugMode = true;
    settings.serverBaseURL = AppSettings::syncServerBaseURL(true);
    settings.syncSessionToken = token;
    settings.displayName = QStringLiteral("Åsa");
    const QString folder = supportFolderOf(xdgDataHome);
    writeFile(folder + QStringLiteral("/config.json"), settings.toJsonBytes());
    if (state)
        writeFile(folder + QStringLiteral("/local-gallery.json"), state->toJsonBytes());
}

void writePhotoCache(const QString &xdgDataHome, const GalleryState &state, const QString &scratchFolder)
{
    constexpr int distinct = 8;
    const QList<int> widths{256, 512, 768, 1024};
    // The pictures the links point at, made once per scratch folder.
    QStringList fullSize;
    QHash<int, QStringList> thumbnails;
    for (int k = 0; k < distinct; ++k) {
        const QString full = QStringLiteral("%1/photo-%2.jpg").arg(scratchFolder).arg(k);
        if (!QFileInfo::exists(full))
            writeFileOnce(full, encodeJPEG(photoLikeImage(QSize(1200, 1600), 100 + k), 85));
        fullSize << full;
        for (const int width : widths) {
            const QString thumb = QStringLiteral("%1/photo-%2_w%3.jpg").arg(scratchFolder).arg(k).arg(width);
            if (!QFileInfo::exists(thumb)) {
                const QImage image = photoLikeImage(QSize(width, width * 4 / 3), 100 + k);
                writeFileOnce(thumb, encodeJPEG(image, 85));
            }
            thumbnails[width] << thumb;
        }
    }
    const QString cache = supportFolderOf(xdgDataHome) + QStringLiteral("/cache");
    QDir().mkpath(cache);
    int n = 0;
    for (const PhotoEntry &photo : state.activePhotos()) {
        const int k = n++ % distinct;
        linkOrCopy(fullSize.at(k), cache + QLatin1Char('/') + photo.id + QStringLiteral(".jpg"));
        for (const int width : widths)
            linkOrCopy(thumbnails[width].at(k),
                       cache + QLatin1Char('/') + photo.id + QStringLiteral("_w%1.jpg").arg(width));
    }
}

void writeActivityLog(const QString &xdgDataHome, int count)
{
    Random random(7);
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-qint64(count) * 60);
    const QList<std::pair<LogCategory, QString>> messages{
        {LogCategory::sync, QStringLiteral("Scheduled sync started")},
        {LogCategory::sync, QStringLiteral("Scheduled sync OK")},
        {LogCategory::server, QStringLiteral("Server sync OK")},
        {LogCategory::gallery, QStringLiteral("Gallery refreshed")},
        {LogCategory::device, QStringLiteral("Frame status updated")},
        {LogCategory::gallery, QStringLiteral("Could not cache photo from server")},
    };
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        const auto &[category, message] = messages.at(int(random.next() % messages.size()));
        LogEntry entry;
        entry.id = QUuid::createUuid();
        entry.timestamp = start.addSecs(qint64(i) * 60);
        entry.category = category;
        entry.level = LogLevel::info;
        entry.message = message;
        if (i % 2 == 0)
            entry.detail = QStringLiteral("updatedAt=2025-11-30T09:41:07.123Z photos=%1").arg(random.next() % 5000);
        bytes += entry.toLine() + '\n';
    }
    writeFile(supportFolderOf(xdgDataHome) + QStringLiteral("/activity.log"), bytes);
}

GalleryState writeServerFolder(const QString &folder, int photoCount, int photoBytes)
{
    GalleryState state = manifest(photoCount, 4242);
    // Drop the tombstones: every photo of the server gallery is downloaded.
    for (auto it = state.photos.begin(); it != state.photos.end();) {
        if (it->isDeleted()) {
            state.order.removeAll(it.key());
            it = state.photos.erase(it);
        } else {
            ++it;
        }
    }
    // A few distinct pictures of about the asked size, linked under every id.
    constexpr int distinct = 8;
    QStringList pictures;
    for (int k = 0; k < distinct; ++k) {
        const QString path = QStringLiteral("%1/source-%2.jpg").arg(folder).arg(k);
        if (!QFileInfo::exists(path)) {
            // Grainy pictures of this texture take about 0.27 bytes a pixel at quality 85.
            const double pixels = photoBytes / 0.27;
            const int width = int(std::sqrt(pixels * 4 / 3));
            writeFileOnce(path, encodeJPEG(photoLikeImage(QSize(width, width * 3 / 4), 900 + k), 85));
        }
        pictures << path;
    }
    QDir().mkpath(folder + QStringLiteral("/photos"));
    int n = 0;
    for (const QString &id : std::as_const(state.order)) {
        const QString target = QStringLiteral("%1/photos/%2.jpg").arg(folder, id);
        const QString &source = pictures.at(n++ % distinct);
        linkOrCopy(source, target);
        state.photos[id].sizeBytes = QFileInfo(source).size();
    }
    QJsonObject object = state.toJson();
    object.insert(QLatin1StringView("currentPhotoSetAt"), state.updatedAt);
    writeFile(folder + QStringLiteral("/gallery.json"), QJsonDocument(object).toJson(QJsonDocument::Compact));
    return state;
}

void writeFileOnce(const QString &path, const QByteArray &bytes)
{
    if (!QFileInfo::exists(path))
        writeFile(path, bytes);
}

} // namespace BenchFixtures
