#include "updatererror.h"

UpdaterError::UpdaterError(Kind kind, QString detail, std::shared_ptr<const Error> underlying)
    : m_kind(kind)
    , m_detail(std::move(detail))
    , m_underlying(std::move(underlying))
{
}

std::optional<QString> UpdaterError::errorDescription() const
{
    switch (m_kind) {
    case Kind::configurationInvalid:
        return QStringLiteral("The update feed address or public key of this build cannot be used.");
    case Kind::feedUnavailable:
        return QStringLiteral("The update feed could not be fetched.");
    case Kind::feedInvalid:
        return QStringLiteral("The update feed could not be read.");
    case Kind::downloadFailed:
        return QStringLiteral("The update could not be downloaded.");
    case Kind::lengthMismatch:
        return QStringLiteral("The downloaded update does not have the announced size; it was deleted.");
    case Kind::signatureInvalid:
        return QStringLiteral("The downloaded update's signature is not valid; it was deleted.");
    case Kind::saveFailed:
        return QStringLiteral("The update could not be saved to the Downloads folder.");
    }
    return std::nullopt;
}

Error::Record UpdaterError::record() const
{
    return Record { domain, qint64(m_kind) + 1, m_detail, m_underlying };
}
