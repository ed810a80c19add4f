#include "galleryfilepasteboard.h"

#include "error.h"
#include "model/atomicfile.h"
#include "rules/heifimage.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QUrl>
#include <QUuid>

#include <algorithm>

namespace GalleryFilePasteboard {

namespace {

const QString uriListType = QStringLiteral("text/uri-list");
const QString plainTextType = QStringLiteral("text/plain");
const QString qtImageType = QStringLiteral("application/x-qt-image");

// Raw image types, most preferred first.
const QStringList &rawTypes()
{
    static const QStringList types { QStringLiteral("image/jpeg"), QStringLiteral("image/png"),
        QStringLiteral("image/heic"), QStringLiteral("image/tiff"), qtImageType };
    return types;
}

// Plain text this long is no list of paths.
constexpr qsizetype maxPathListBytes = 1 << 20;

QStringList plainTextPaths(const QMimeData *mime)
{
    QStringList paths;
    if (!mime->hasFormat(plainTextType))
        return paths;
    const QByteArray bytes = mime->data(plainTextType);
    if (bytes.size() > maxPathListBytes)
        return paths;
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (trimmed.startsWith(QLatin1StringView("file://"))) {
            const QUrl url(trimmed);
            if (url.isLocalFile())
                paths.append(url.toLocalFile());
        } else if (QDir::isAbsolutePath(trimmed)) {
            paths.append(QDir::cleanPath(trimmed));
        }
    }
    return paths;
}

QString writeRawImage(const QMimeData *mime, const QString &type, const QString &folder)
{
    QByteArray bytes;
    bool png = type == QLatin1StringView("image/png");
    if (type == qtImageType) {
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        if (image.isNull())
            return {};
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG"))
            return {};
        png = true;
    } else {
        bytes = mime->data(type);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        // HEIC is read by the upload's own decoder; Qt may have no plugin for it.
        if (bytes.isEmpty() || (type != QLatin1StringView("image/heic") && !QImageReader(&buffer).canRead()))
            return {};
    }
    const QString path = QDir(folder).filePath(QStringLiteral("gallery-drop-")
        + QUuid::createUuid().toString(QUuid::WithoutBraces) + (png ? QStringLiteral(".png") : QStringLiteral(".jpg")));
    try {
        if (!AtomicFile::writeNew(path, bytes))
            return {};
    } catch (const Error &) {
        return {};
    }
    return path;
}

} // namespace

QStringList draggedTypes()
{
    return QStringList { uriListType, plainTextType } + rawTypes();
}

const QStringList &uploadExtensions()
{
    static const QStringList extensions { QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("heic"),
        QStringLiteral("heif"), QStringLiteral("png"), QStringLiteral("tif"), QStringLiteral("tiff"),
        QStringLiteral("gif"), QStringLiteral("webp") };
    return extensions;
}

bool isUploadableFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    if (!info.suffix().isEmpty())
        return uploadExtensions().contains(info.suffix().toLower());
    // Without an extension the first bytes tell, as they do for the upload,
    // which reads HEIF itself and everything else through Qt's readers.
    // Only the header is read, so this may run on every drag move.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (HeifImage::isHEIF(file.peek(HeifImage::headerBytes)))
        return true;
    QImageReader reader(&file);
    return reader.canRead();
}

QStringList fileLocations(const QMimeData *mime)
{
    QStringList paths;
    if (!mime)
        return paths;
    if (mime->hasFormat(uriListType)) {
        for (const QUrl &url : mime->urls())
            if (url.isLocalFile())
                paths.append(url.toLocalFile());
        if (!paths.isEmpty())
            return paths;
    }
    return plainTextPaths(mime);
}

std::optional<QString> rawImageType(const QMimeData *mime)
{
    if (!mime)
        return std::nullopt;
    for (const QString &type : rawTypes())
        if (mime->hasFormat(type) || (type == qtImageType && mime->hasImage()))
            return type;
    return std::nullopt;
}

bool wouldUpload(const QMimeData *mime)
{
    const QStringList locations = fileLocations(mime);
    if (!locations.isEmpty())
        return std::any_of(locations.begin(), locations.end(), isUploadableFile);
    return rawImageType(mime).has_value();
}

QStringList urls(const QMimeData *mime, const QString &temporaryFolder)
{
    QStringList locations = fileLocations(mime);
    if (!locations.isEmpty())
        return locations;
    if (const std::optional<QString> type = rawImageType(mime)) {
        const QString written = writeRawImage(mime, *type, temporaryFolder);
        if (!written.isEmpty())
            locations.append(written);
    }
    return locations;
}

QStringList uploadURLs(const QMimeData *mime, const QString &temporaryFolder)
{
    QStringList uploadable;
    for (const QString &path : urls(mime, temporaryFolder))
        if (isUploadableFile(path))
            uploadable.append(path);
    return uploadable;
}

} // namespace GalleryFilePasteboard

namespace PhotoDragPasteboard {

QStringList draggedTypes()
{
    return { mimeType, QStringLiteral("text/plain") };
}

QMimeData *mimeData(const QString &photoID)
{
    auto *mime = new QMimeData;
    mime->setData(mimeType, photoID.toUtf8());
    mime->setText(photoID);
    return mime;
}

std::optional<QString> photoID(const QMimeData *mime)
{
    if (!mime)
        return std::nullopt;
    const QString own = QString::fromUtf8(mime->data(mimeType)).trimmed();
    if (!own.isEmpty())
        return own;
    // Text that comes with file locations names files, not a photo.
    if (!mime->hasFormat(QStringLiteral("text/plain")) || mime->hasUrls())
        return std::nullopt;
    const QString text = mime->text().section(QLatin1Char('\n'), 0, 0).trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

} // namespace PhotoDragPasteboard
