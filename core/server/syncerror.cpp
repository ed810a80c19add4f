#include "syncerror.h"

SyncError SyncError::badURL(const QString &address)
{
    SyncError e(Kind::badURL);
    e.m_address = address;
    return e;
}

SyncError SyncError::http(SyncHTTPFailure failure)
{
    SyncError e(Kind::http);
    e.m_failure = std::move(failure);
    return e;
}

SyncError SyncError::stale(GalleryResponse response)
{
    SyncError e(Kind::stale);
    e.m_stale = std::move(response);
    return e;
}

SyncError SyncError::decode()
{
    return SyncError(Kind::decode);
}

SyncError SyncError::missingSyncAuth()
{
    return SyncError(Kind::missingSyncAuth);
}

std::optional<QString> SyncError::errorDescription() const
{
    switch (m_kind) {
    case Kind::badURL:
        return ServerConnectivityCopy::serverDown(m_address);
    case Kind::http:
        return m_failure.shortSummary();
    case Kind::stale:
        return QStringLiteral("Gallery changed on server; refreshing and retrying");
    case Kind::decode:
        return QStringLiteral("Could not decode server response");
    case Kind::missingSyncAuth:
        return QStringLiteral("Unlock the gallery to sync (session not set)");
    }
    return std::nullopt;
}

QString SyncError::activityLogDetail() const
{
    switch (m_kind) {
    case Kind::http:
        return m_failure.activityLogDetail();
    case Kind::stale:
        return QStringLiteral("HTTP 409 gallery stale");
    case Kind::badURL:
    case Kind::decode:
    case Kind::missingSyncAuth:
        break;
    }
    return errorDescription().value_or(QString());
}

Error::Record SyncError::record() const
{
    return Record{QStringLiteral("SyncError"), qint64(m_kind), errorDescription().value_or(QString()), {}};
}

bool SyncError::operator==(const SyncError &other) const
{
    return m_kind == other.m_kind && m_address == other.m_address && m_failure == other.m_failure
        && m_stale == other.m_stale;
}
