#include "error.h"

QString Error::debugDescription() const
{
    const Record r = record();
    return QStringLiteral("%1 error %2").arg(r.domain).arg(r.code);
}

const char *Error::what() const noexcept
{
    try {
        if (m_what.isEmpty()) {
            const auto description = errorDescription();
            m_what = (description ? *description : record().localizedDescription).toUtf8();
            if (m_what.isEmpty())
                m_what = debugDescription().toUtf8();
        }
        return m_what.constData();
    } catch (...) {
        return "error";
    }
}

PlatformError::PlatformError(QString domain, qint64 code, QString description,
                             std::shared_ptr<const Error> underlying)
    : m_record{std::move(domain), code, std::move(description), std::move(underlying)}
{
}

PlatformError PlatformError::general(const QString &description)
{
    return PlatformError(generalDomain, 0, description);
}

PlatformError fileError(int qfileError, const QString &description)
{
    return PlatformError(QStringLiteral("QFileDevice"), qfileError, description);
}
