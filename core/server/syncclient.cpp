#include "syncclient.h"

#include "backgroundwork.h"
#include "log/secretmask.h"
#include "model/jsonfields.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QUuid>

#include <qcoro/qcorofuture.h>

namespace {

// The body of a 409 answer: the server's current manifest, with an
// optional explanation that the client does not use.
struct StaleGalleryPayload {
    std::optional<QString> error;
    GalleryState state;

    static std::optional<StaleGalleryPayload> fromJsonBytes(const QByteArray &body)
    {
        const auto object = parseJsonObject(body);
        if (!object)
            return std::nullopt;
        JsonFields fields(*object);
        StaleGalleryPayload payload;
        payload.error = fields.optionalString(QLatin1StringView("error"));
        const QJsonValue state = fields.required(QLatin1StringView("state"));
        if (!fields.ok())
            return std::nullopt;
        auto decoded = GalleryState::fromJson(state);
        if (!decoded)
            return std::nullopt;
        payload.state = std::move(*decoded);
        return payload;
    }
};

// Decodes a manifest answer on the worker thread: at thousands of photos
// the parse takes long enough to stall the screens.
QCoro::Task<GalleryResponse> decodeGalleryAnswer(QByteArray body)
{
    QFuture<std::optional<GalleryResponse>> decoding
        = BackgroundWork::run([body = std::move(body)] { return GalleryResponse::fromJsonBytes(body); });
    std::optional<GalleryResponse> decoded = co_await decoding;
    if (!decoded)
        throw SyncError::decode();
    co_return std::move(*decoded);
}

} // namespace

std::optional<QUrl> SyncClient::parseServerURL(const QString &trimmedAddress)
{
    if (trimmedAddress.isEmpty())
        return std::nullopt;
    const QUrl url(trimmedAddress, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if ((scheme == QLatin1StringView("http") || scheme == QLatin1StringView("https")) && url.host().isEmpty())
        return std::nullopt;
    return url;
}

SyncClient::SyncClient(const AppSettings &settings, HttpSession &session, std::shared_ptr<RequestGroup> group)
    : m_session(&session), m_group(std::move(group))
{
    const QString address = settings.serverBaseURL.trimmed();
    const auto url = parseServerURL(address);
    if (!url)
        throw SyncError::badURL(address);
    const auto bearer = settings.syncBearer();
    if (!bearer)
        throw SyncError::missingSyncAuth();
    m_baseURL = *url;
    m_bearer = *bearer;
    SecretMask::remember(m_bearer);
}

namespace {

// The base URL's path (in `format`) and `path` after it, one "/" between.
QString joinedPath(const QUrl &base, QString path, QUrl::ComponentFormattingOptions format)
{
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    QString joined = base.path(format);
    if (!joined.endsWith(QLatin1Char('/')))
        joined += QLatin1Char('/');
    return joined + path;
}

} // namespace

QUrl SyncClient::url(const QString &path) const
{
    QUrl result = m_baseURL;
    result.setPath(joinedPath(m_baseURL, path, QUrl::FullyDecoded), QUrl::DecodedMode);
    return result;
}

QUrl SyncClient::url(const QString &prefix, const QString &id, const QString &suffix) const
{
    // QUrl decodes "%2E" back to "." (an unreserved character), and a
    // server or proxy resolves "." and ".." segments: such an id would name
    // another endpoint, with our credential attached.
    if (id.isEmpty() || id == QLatin1StringView(".") || id == QLatin1StringView(".."))
        throw PlatformError::general(QStringLiteral("The id \"") + id
                                     + QStringLiteral("\" cannot be sent to the server safely"));
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(prefix, "/") + QUrl::toPercentEncoding(id)
                                                + QUrl::toPercentEncoding(suffix, "/"));
    QUrl result = m_baseURL;
    result.setPath(joinedPath(m_baseURL, encoded, QUrl::FullyEncoded), QUrl::TolerantMode);
    return result;
}

QCoro::Task<QByteArray> SyncClient::request(QString path, QString method, std::optional<QByteArray> body,
                                            std::optional<QString> contentType, std::optional<QString> context,
                                            qint64 maxResponseBytes) const
{
    return request(url(path), std::move(method), std::move(body), std::move(contentType), std::move(context),
                   maxResponseBytes);
}

QCoro::Task<QByteArray> SyncClient::request(QUrl requestURL, QString method, std::optional<QByteArray> body,
                                            std::optional<QString> contentType, std::optional<QString> context,
                                            qint64 maxResponseBytes) const
{
    // Everything needed after the wait is copied first: the client value
    // may be a temporary of the caller.
    HttpSession *session = m_session;

    QNetworkRequest request(requestURL);
    request.setRawHeader("Authorization", "Bearer " + m_bearer.toUtf8());
    if (contentType)
        request.setRawHeader("Content-Type", contentType->toUtf8());

    const QString absoluteURL = requestURL.toString(QUrl::FullyEncoded);
    const std::optional<qint64> requestBodyBytes = body ? std::optional<qint64>(body->size()) : std::nullopt;

    const HttpResponse response = co_await session->send(request, method.toUtf8(), body, maxResponseBytes, m_group);

    if (!response.isHttp)
        throw SyncError::http(
            SyncHTTPFailure{-1, method, absoluteURL, QStringLiteral("no response"), requestBodyBytes, context});
    if (response.statusCode == 409) {
        QFuture<std::optional<StaleGalleryPayload>> decoding
            = BackgroundWork::run([answer = response.body] { return StaleGalleryPayload::fromJsonBytes(answer); });
        std::optional<StaleGalleryPayload> payload = co_await decoding;
        if (payload)
            throw SyncError::stale(GalleryResponse{std::move(payload->state)});
    }
    if (response.statusCode >= 200 && response.statusCode <= 299)
        co_return response.body;
    throw SyncError::http(SyncHTTPFailure{response.statusCode, method, absoluteURL, decodeUtf8(response.body).value_or(QString()),
                                          requestBodyBytes, context});
}

QCoro::Task<SyncClient::GalleryFetch> SyncClient::fetchGallery(std::optional<QString> ifNoneMatch) const
{
    const QUrl requestURL = url(QStringLiteral("api/gallery"));
    HttpSession *session = m_session;

    QNetworkRequest request(requestURL);
    request.setRawHeader("Authorization", "Bearer " + m_bearer.toUtf8());
    if (ifNoneMatch && !ifNoneMatch->isEmpty())
        request.setRawHeader("If-None-Match", '"' + ifNoneMatch->toUtf8() + '"');

    const HttpResponse response = co_await session->send(request, "GET", std::nullopt, maxManifestBytes, m_group);

    if (!response.isHttp)
        throw SyncError::decode();
    if (response.statusCode == 304)
        co_return GalleryFetch{};
    if (response.statusCode >= 200 && response.statusCode <= 299) {
        GalleryResponse decoded = co_await decodeGalleryAnswer(response.body);
        co_return GalleryFetch{std::move(decoded)};
    }
    throw SyncError::http(SyncHTTPFailure{response.statusCode, QStringLiteral("GET"),
                                          requestURL.toString(QUrl::FullyEncoded),
                                          decodeUtf8(response.body).value_or(QString()), std::nullopt,
                                          QStringLiteral("fetch gallery")});
}

QCoro::Task<CurrentPhotoResponse> SyncClient::fetchCurrentPhoto() const
{
    const QByteArray body = co_await request(QStringLiteral("/api/gallery/current"), QStringLiteral("GET"),
                                             std::nullopt, std::nullopt, std::nullopt, maxSmallAnswerBytes);
    co_return decodeServerAnswer<CurrentPhotoResponse>(body);
}

QCoro::Task<GalleryResponse> SyncClient::sendGalleryChange(QString method, QUrl url, QJsonObject body,
                                                           std::optional<QString> context) const
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const QByteArray answer = co_await request(std::move(url), method, json, QStringLiteral("application/json"),
                                               context, maxManifestBytes);
    GalleryResponse decoded = co_await decodeGalleryAnswer(answer);
    co_return decoded;
}

QCoro::Task<GalleryResponse> SyncClient::deletePhoto(QString id, QString baseUpdatedAt) const
{
    return sendGalleryChange(QStringLiteral("DELETE"), url(QStringLiteral("/api/gallery/photos/"), id, QString()),
                             {{QLatin1StringView("baseUpdatedAt"), baseUpdatedAt}}, std::nullopt);
}

QCoro::Task<GalleryResponse> SyncClient::reorder(QList<QString> order, QString baseUpdatedAt) const
{
    const QString context = QStringLiteral("reorder ") + QString::number(order.size()) + QStringLiteral(" photos");
    return sendGalleryChange(QStringLiteral("PUT"), url(QStringLiteral("/api/gallery/order")),
                             {{QLatin1StringView("order"), QJsonArray::fromStringList(order)},
                              {QLatin1StringView("baseUpdatedAt"), baseUpdatedAt}},
                             context);
}

QCoro::Task<GalleryResponse> SyncClient::renameUploader(QString fromName, QString toName, QString baseUpdatedAt) const
{
    const QString context = QStringLiteral("rename uploader ") + fromName + QStringLiteral(" \u2192 ") + toName;
    return sendGalleryChange(QStringLiteral("PATCH"), url(QStringLiteral("/api/gallery/uploaders")),
                             {{QLatin1StringView("fromName"), fromName},
                              {QLatin1StringView("toName"), toName},
                              {QLatin1StringView("baseUpdatedAt"), baseUpdatedAt}},
                             context);
}

QCoro::Task<GalleryResponse> SyncClient::setCurrentPhoto(QString id, QString baseUpdatedAt) const
{
    return sendGalleryChange(QStringLiteral("PUT"), url(QStringLiteral("/api/gallery/current")),
                             {{QLatin1StringView("photoId"), id}, {QLatin1StringView("baseUpdatedAt"), baseUpdatedAt}},
                             std::nullopt);
}

QByteArray SyncClient::uploadBody(const QByteArray &jpegData, const QString &filename, const QString &uploadedBy,
                                  const QString &baseUpdatedAt, const QString &boundary)
{
    // In the header of the image part a quote or a line break would end the
    // header (or the part) early; they are written as browsers write them.
    // The plain "filename" field carries the name unchanged.
    QByteArray headerFilename = filename.toUtf8();
    headerFilename.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");

    const QByteArray delimiter = "--" + boundary.toUtf8() + "\r\n";
    QByteArray body;
    body.reserve(jpegData.size() + 512 + 2 * filename.size() + uploadedBy.size());
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"uploadedBy\"\r\n\r\n";
    body += uploadedBy.toUtf8() + "\r\n";
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"baseUpdatedAt\"\r\n\r\n";
    body += baseUpdatedAt.toUtf8() + "\r\n";
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"filename\"\r\n\r\n";
    body += filename.toUtf8() + "\r\n";
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"image\"; filename=\"" + headerFilename + "\"\r\n";
    body += "Content-Type: image/jpeg\r\n\r\n";
    body += jpegData;
    body += "\r\n--" + boundary.toUtf8() + "--\r\n";
    return body;
}

QCoro::Task<GalleryResponse> SyncClient::uploadPhoto(QByteArray jpegData, QString filename, QString uploadedBy,
                                                     QString baseUpdatedAt) const
{
    const QString boundary = QStringLiteral("lunvik-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QByteArray body = uploadBody(jpegData, filename, uploadedBy, baseUpdatedAt, boundary);
    const QString context =
        QStringLiteral("upload: ") + filename + QStringLiteral(" (JPEG ") + QString::number(body.size()) + QStringLiteral(" bytes)");
    const QByteArray answer = co_await request(QStringLiteral("/api/gallery/photos"), QStringLiteral("POST"), body,
                                               QStringLiteral("multipart/form-data; boundary=") + boundary, context);
    GalleryResponse decoded = co_await decodeGalleryAnswer(answer);
    co_return decoded;
}
