#include "syncclient.h"

#include "model/jsonfields.h"

#include <QNetworkRequest>

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

SyncClient::SyncClient(const AppSettings &settings, HttpSession &session) : m_session(&session)
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
}

QUrl SyncClient::url(const QString &path) const
{
    QString relative = path;
    if (relative.startsWith(QLatin1Char('/')))
        relative.remove(0, 1);
    QString joined = m_baseURL.path(QUrl::FullyDecoded);
    if (!joined.endsWith(QLatin1Char('/')))
        joined += QLatin1Char('/');
    joined += relative;
    QUrl result = m_baseURL;
    result.setPath(joined, QUrl::DecodedMode);
    return result;
}

QCoro::Task<QByteArray> SyncClient::request(QString path, QString method, std::optional<QByteArray> body,
                                            std::optional<QString> contentType,
                                            std::optional<QString> context) const
{
    // Everything needed after the wait is copied first: the client value
    // may be a temporary of the caller.
    const QUrl requestURL = url(path);
    HttpSession *session = m_session;

    QNetworkRequest request(requestURL);
    request.setRawHeader("Authorization", "Bearer " + m_bearer.toUtf8());
    if (contentType)
        request.setRawHeader("Content-Type", contentType->toUtf8());

    const QString absoluteURL = requestURL.toString(QUrl::FullyEncoded);
    const std::optional<qint64> requestBodyBytes = body ? std::optional<qint64>(body->size()) : std::nullopt;

    const HttpResponse response = co_await session->send(request, method.toUtf8(), body);

    if (!response.isHttp)
        throw SyncError::http(
            SyncHTTPFailure{-1, method, absoluteURL, QStringLiteral("no response"), requestBodyBytes, context});
    if (response.statusCode == 409) {
        if (auto payload = StaleGalleryPayload::fromJsonBytes(response.body))
            throw SyncError::stale(GalleryResponse{std::move(payload->state)});
    }
    if (response.statusCode >= 200 && response.statusCode <= 299)
        co_return response.body;
    throw SyncError::http(SyncHTTPFailure{response.statusCode, method, absoluteURL, decodeUtf8(response.body).value_or(QString()),
                                          requestBodyBytes, context});
}
