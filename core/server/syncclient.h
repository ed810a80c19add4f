// The client of the gallery server's HTTP API, made afresh from the settings
// for each piece of work. It is a plain value: no state, no cache.
#pragma once

#include "httpsession.h"
#include "model/appsettings.h"
#include "syncerror.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>

class SyncClient
{
public:
    // Throws SyncError::badURL when the address is not a URL (checked first),
    // SyncError::missingSyncAuth when there is no session token.
    explicit SyncClient(const AppSettings &settings, HttpSession &session = HttpSession::shared());

    const QUrl &baseURL() const { return m_baseURL; }
    const QString &bearer() const { return m_bearer; }
    HttpSession &session() const { return *m_session; }

    // The base URL with `path` appended as path segments ("/api/x" and
    // "api/x" are the same), characters a path cannot hold percent-encoded.
    QUrl url(const QString &path) const;

    // Parses a server address as the client accepts it; none when it is not
    // an absolute URL (or an http(s) URL without a host).
    static std::optional<QUrl> parseServerURL(const QString &trimmedAddress);

    // The one request routine of the JSON endpoints: sends the bearer
    // credential and returns the body of a 2xx answer. Throws SyncError::stale
    // for a 409 carrying a manifest, SyncError::http for any other status or
    // a non-HTTP answer, and TransportError unchanged.
    QCoro::Task<QByteArray> request(QString path, QString method, std::optional<QByteArray> body = std::nullopt,
                                    std::optional<QString> contentType = std::nullopt,
                                    std::optional<QString> context = std::nullopt) const;

private:
    QUrl m_baseURL;
    QString m_bearer;
    HttpSession *m_session;
};
