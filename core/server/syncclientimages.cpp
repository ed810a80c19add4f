// The part of the server client that fills the photo cache.
#include "syncclient.h"

#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "model/atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QUrlQuery>

QUrl SyncClient::imageURL(const PhotoEntry &photo, std::optional<int> width) const
{
    QUrl result = url(QStringLiteral("api/gallery/photos/") + photo.id + QStringLiteral("/image"));
    if (width) {
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("w"), QString::number(*width));
        result.setQuery(query);
    }
    return result;
}

QCoro::Task<> SyncClient::downloadImageIfMissing(PhotoEntry photo, std::optional<int> width, QString file) const
{
    if (QFileInfo::exists(file))
        co_return;

    const QUrl requestURL = imageURL(photo, width);
    HttpSession *session = m_session;
    QNetworkRequest request(requestURL);
    request.setRawHeader("Authorization", "Bearer " + m_bearer.toUtf8());

    const HttpResponse response = co_await session->send(request, "GET");

    if (response.isHttp && response.statusCode >= 200 && response.statusCode <= 299) {
        AtomicFile::write(file, response.body);
        co_return;
    }
    QString context = QStringLiteral("cache photo ") + photo.id;
    if (width)
        context += QStringLiteral(" w=") + QString::number(*width);
    throw SyncError::http(SyncHTTPFailure{response.isHttp ? response.statusCode : -1, QStringLiteral("GET"),
                                          requestURL.toString(QUrl::FullyEncoded),
                                          QStringLiteral("image download failed"), std::nullopt, context});
}

QCoro::Task<> SyncClient::cachePhotoIfMissing(PhotoEntry photo) const
{
    return downloadImageIfMissing(photo, std::nullopt, AppConfig::cacheURL(photo.id));
}

QCoro::Task<> SyncClient::cacheThumbnailIfMissing(PhotoEntry photo, int width) const
{
    return downloadImageIfMissing(photo, width, AppConfig::thumbnailCacheURL(photo.id, width));
}

QCoro::Task<> SyncClient::downloadMissing(GalleryState state) const
{
    // The loop outlives the caller's client value; it works on its own copy.
    const SyncClient client = *this;
    const QList<PhotoEntry> photos = state.activePhotos();
    for (const PhotoEntry &photo : photos) {
        // cacheURL creates the folder when it is missing; a failure to
        // create it shows up as the write error below.
        const QString file = AppConfig::cacheURL(photo.id);
        try {
            co_await client.downloadImageIfMissing(photo, std::nullopt, file);
        } catch (const std::exception &error) {
            ActivityLogStore::shared().log(LogCategory::gallery, LogLevel::warning,
                                           QStringLiteral("Could not cache photo from server"),
                                           photo.id + QStringLiteral(": ") + QString::fromUtf8(error.what()));
        }
    }
}
