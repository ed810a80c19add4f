// The part of the server client that fills the photo cache.
#include "syncclient.h"

#include "backgroundwork.h"
#include "log/activitylogstore.h"
#include "model/appconfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QNetworkRequest>
#include <QSet>
#include <QThreadPool>
#include <QUrlQuery>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <QScopeGuard>

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace {

// Cache files are written on these threads, never on the caller's (main)
// thread: an atomic write ends with a flush to disk that can take
// milliseconds on a busy disk. A few writes may be in flight at once, so
// the disk can commit them together.
constexpr int maxWritesInFlight = 16;

QThreadPool &writePool()
{
    static QThreadPool *pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(maxWritesInFlight);
        created->setExpiryTimeout(10000);
        return created;
    }();
    return *pool;
}

// AppConfig::writeCacheFile on the pool; the error it threw, if any. Once `group`
// is aborted (the session ended and its cache is being wiped), nothing is
// written, and a file that landed while the abort happened is taken back.
QFuture<std::exception_ptr> writeInBackground(QString file, QByteArray bytes, std::shared_ptr<RequestGroup> group)
{
    return QtConcurrent::run(&writePool(), [file = std::move(file), bytes = std::move(bytes),
                                            group = std::move(group)]() -> std::exception_ptr {
        const auto ended = [&group] { return group && group->isAborted(); };
        if (ended())
            return nullptr;
        try {
            AppConfig::writeCacheFile(file, bytes);
        } catch (...) {
            return std::current_exception();
        }
        if (ended())
            QFile::remove(file);
        return nullptr;
    });
}

bool startsLikeJPEG(const QByteArray &bytes)
{
    return bytes.size() >= 3 && uchar(bytes[0]) == 0xFF && uchar(bytes[1]) == 0xD8 && uchar(bytes[2]) == 0xFF;
}

struct Inflated {
    // None when the stream is corrupt, cut short or too large.
    std::optional<QByteArray> bytes;
    bool tooLarge = false;
};

// A gzip body decompressed whole: the stream must end properly (its length
// and checksum checked by zlib), and it may not inflate past `maxBytes`.
Inflated inflateGzip(const QByteArray &compressed, qint64 maxBytes)
{
    z_stream stream{};
    // 15 + 16: a gzip wrapper, the largest window.
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return {};
    const auto end = qScopeGuard([&stream] { inflateEnd(&stream); });
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.constData()));
    stream.avail_in = uInt(compressed.size());
    QByteArray out;
    constexpr qsizetype chunk = 256 * 1024;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (out.size() >= maxBytes)
            return {std::nullopt, true};
        const qsizetype before = out.size();
        out.resize(before + std::min<qsizetype>(chunk, maxBytes + 1 - before));
        stream.next_out = reinterpret_cast<Bytef *>(out.data() + before);
        stream.avail_out = uInt(out.size() - before);
        status = inflate(&stream, Z_NO_FLUSH);
        out.resize(out.size() - qsizetype(stream.avail_out));
        if (status == Z_STREAM_END)
            break;
        // Z_BUF_ERROR with input left means no progress; with none left,
        // the stream was cut short.
        if (status != Z_OK)
            return {};
    }
    if (out.size() > maxBytes)
        return {std::nullopt, true};
    return {std::move(out), false};
}

QString describeFailure(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void logCacheFailure(const QString &photoID, const std::exception_ptr &error)
{
    ActivityLogStore::shared().log(LogCategory::gallery, LogLevel::warning,
                                   QStringLiteral("Could not cache photo from server"),
                                   photoID + QStringLiteral(": ") + describeFailure(error));
}

} // namespace

QUrl SyncClient::imageURL(const PhotoEntry &photo, std::optional<int> width) const
{
    QUrl result = url(QStringLiteral("api/gallery/photos/"), photo.id, QStringLiteral("/image"));
    if (width) {
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("w"), QString::number(*width));
        result.setQuery(query);
    }
    return result;
}

QCoro::Task<QByteArray> SyncClient::fetchImage(PhotoEntry photo, std::optional<int> width,
                                               QNetworkRequest::Priority priority) const
{
    const QUrl requestURL = imageURL(photo, width);
    HttpSession *session = m_session;
    QNetworkRequest request(requestURL);
    request.setPriority(priority);
    request.setRawHeader("Authorization", "Bearer " + m_bearer.toUtf8());
    // Asked for here, so that Qt leaves a compressed body to us: its own
    // decompression passes a corrupt or cut-off stream on as a whole image.
    request.setRawHeader("Accept-Encoding", "gzip");

    const HttpResponse response = co_await session->send(request, "GET", std::nullopt, maxImageBytes, m_group);

    if (response.isHttp && response.statusCode >= 200 && response.statusCode <= 299) {
        const QByteArray encoding = response.header("Content-Encoding").trimmed().toLower();
        QByteArray body = response.body;
        if (encoding == "gzip" || encoding == "x-gzip") {
            QFuture<Inflated> inflating = BackgroundWork::run([compressed = std::move(body)] {
                return inflateGzip(compressed, maxImageBytes);
            });
            Inflated inflated = co_await inflating;
            if (inflated.tooLarge)
                throw TransportError(QNetworkReply::UnknownContentError,
                                     QStringLiteral("The server's answer is larger than %1, the most taken for it.")
                                         .arg(formatByteCount(maxImageBytes)),
                                     requestURL);
            if (!inflated.bytes)
                throw PlatformError::general(
                    QStringLiteral("The image from the server is damaged: its compressed data is corrupt or cut short"));
            body = std::move(*inflated.bytes);
        } else if (!encoding.isEmpty() && encoding != "identity") {
            throw PlatformError::general(QStringLiteral("The image from the server has an encoding the client does not read: ")
                                         + QString::fromLatin1(encoding.left(40)));
        }
        // Whatever the server says it is, only a JPEG goes into the cache.
        if (!startsLikeJPEG(body))
            throw PlatformError::general(QStringLiteral("The answer for the image is not a JPEG"));
        co_return body;
    }
    QString context = QStringLiteral("cache photo ") + photo.id;
    if (width)
        context += QStringLiteral(" w=") + QString::number(*width);
    throw SyncError::http(SyncHTTPFailure{response.isHttp ? response.statusCode : -1, QStringLiteral("GET"),
                                          requestURL.toString(QUrl::FullyEncoded),
                                          QStringLiteral("image download failed"), std::nullopt, context});
}

QCoro::Task<> SyncClient::downloadImageIfMissing(PhotoEntry photo, std::optional<int> width, QString file) const
{
    if (AppConfig::cachedFileExists(file))
        co_return;
    const SyncClient client = *this;
    const QNetworkRequest::Priority priority = width ? QNetworkRequest::HighPriority : QNetworkRequest::NormalPriority;
    QByteArray bytes = co_await client.fetchImage(photo, width, priority);
    const QFuture<std::exception_ptr> written = writeInBackground(file, std::move(bytes), client.m_group);
    const std::exception_ptr failure = co_await written;
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<> SyncClient::writeCacheFiles(QStringList files, QByteArray bytes) const
{
    QList<QFuture<std::exception_ptr>> writes;
    for (const QString &file : std::as_const(files))
        writes.append(writeInBackground(file, bytes, m_group));
    std::exception_ptr firstFailure;
    for (const QFuture<std::exception_ptr> &write : std::as_const(writes)) {
        const std::exception_ptr failure = co_await write;
        if (failure && !firstFailure)
            firstFailure = failure;
    }
    if (firstFailure)
        std::rethrow_exception(firstFailure);
}

QCoro::Task<> SyncClient::cachePhotoIfMissing(PhotoEntry photo) const
{
    return downloadImageIfMissing(photo, std::nullopt, AppConfig::cacheURL(photo.id));
}

QCoro::Task<> SyncClient::cacheThumbnailIfMissing(PhotoEntry photo, int width) const
{
    return downloadImageIfMissing(photo, width, AppConfig::thumbnailCacheURL(photo.id, width));
}

// What the downloaders of one pass share. Main thread only.
struct SyncClient::DownloadPass {
    struct Outcome {
        bool finished = false;
        std::exception_ptr failure;
    };

    // The photos found missing, in the manifest's order, each id once.
    QList<PhotoEntry> photos;
    std::vector<Outcome> outcomes;
    DownloadProgress progress;
    // The next photo a downloader takes.
    qsizetype next = 0;
    // Photos finished, and the first whose failure (if any) is not logged yet.
    int finished = 0;
    qsizetype reported = 0;

    // Answers arrive in any order; the warnings go out in the manifest's, as
    // soon as every photo before theirs has finished.
    void finish(qsizetype index, std::exception_ptr failure)
    {
        outcomes[size_t(index)] = Outcome{true, std::move(failure)};
        ++finished;
        while (reported < photos.size() && outcomes[size_t(reported)].finished) {
            if (const std::exception_ptr &error = outcomes[size_t(reported)].failure)
                logCacheFailure(photos.at(reported).id, error);
            ++reported;
        }
        if (progress)
            progress(finished, int(photos.size()));
    }
};

QCoro::Task<> SyncClient::downloadInTurn(SyncClient client, std::shared_ptr<DownloadPass> pass)
{
    while (pass->next < pass->photos.size() && !client.isAborted()) {
        const qsizetype index = pass->next++;
        const PhotoEntry photo = pass->photos.at(index);
        // cacheURL creates the folder when it is missing; a failure to
        // create it shows up as the write error. The image may have been
        // cached meanwhile (the screens fetch what they show).
        const QString file = AppConfig::cacheURL(photo.id);
        std::exception_ptr failure;
        if (!AppConfig::cachedFileExists(file)) {
            try {
                QByteArray bytes = co_await client.fetchImage(photo, std::nullopt, QNetworkRequest::LowPriority);
                const QFuture<std::exception_ptr> written =
                    writeInBackground(file, std::move(bytes), client.m_group);
                failure = co_await written;
            } catch (...) {
                failure = std::current_exception();
            }
        }
        // Ended by a lock: what was cut short is no failure of the photo.
        if (client.isAborted())
            co_return;
        pass->finish(index, std::move(failure));
    }
}

QCoro::Task<> SyncClient::downloadMissing(GalleryState state, DownloadProgress progress) const
{
    // The pass outlives the caller's client value; it works on its own copy.
    const SyncClient client = *this;

    // Which photos have no cached image: one file check per photo, on the
    // worker thread since a large gallery means thousands of them. An id the
    // order lists twice is fetched once.
    const QString folder = AppConfig::cacheFolder();
    QFuture<QList<PhotoEntry>> checking = BackgroundWork::run([photos = state.activePhotos(), folder] {
        QList<PhotoEntry> missing;
        QSet<QString> seen;
        for (const PhotoEntry &photo : photos) {
            if (seen.contains(photo.id))
                continue;
            seen.insert(photo.id);
            if (!AppConfig::cachedFileExists(AppConfig::cacheURLIn(folder, photo.id)))
                missing.append(photo);
        }
        return missing;
    });
    QList<PhotoEntry> missing = co_await checking;
    if (missing.isEmpty() || client.isAborted())
        co_return;

    auto pass = std::make_shared<DownloadPass>();
    pass->photos = std::move(missing);
    pass->outcomes.resize(size_t(pass->photos.size()));
    pass->progress = std::move(progress);
    if (pass->progress)
        pass->progress(0, int(pass->photos.size()));
    // Each downloader takes the next photo as soon as its own one is
    // written, so a slow answer holds up one place only.
    std::vector<QCoro::Task<>> downloaders;
    const qsizetype count = std::min<qsizetype>(maxDownloadsInFlight, pass->photos.size());
    for (qsizetype i = 0; i < count; ++i)
        downloaders.push_back(downloadInTurn(client, pass));
    for (QCoro::Task<> &downloader : downloaders)
        co_await downloader;
}
