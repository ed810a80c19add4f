#include "serverutil.h"

#include "model/jsonfields.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <cstdio>

namespace {

QByteArray randomBytes(int byteCount)
{
    QByteArray bytes(((byteCount + 3) / 4) * 4, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.truncate(byteCount);
    return bytes;
}

} // namespace

namespace ServerUtil {

QString isoText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime parseIsoText(const QString &text)
{
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : QDateTime();
}

QString randomHexId(int byteCount)
{
    return QString::fromLatin1(randomBytes(byteCount).toHex());
}

QString randomToken(int byteCount)
{
    return QString::fromLatin1(
        randomBytes(byteCount).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool isSafeId(const QString &id)
{
    if (id.isEmpty() || id.size() > 64)
        return false;
    for (const QChar c : id) {
        const bool ok
            = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
              || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_') || c == QLatin1Char('-');
        if (!ok)
            return false;
    }
    return true;
}

QByteArray jsonBytes(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString escapedForLog(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (code == u'\n')
            escaped += QStringLiteral("\\n");
        else if (code == u'\r')
            escaped += QStringLiteral("\\r");
        else if (code == u'\t')
            escaped += QStringLiteral("\\t");
        else if (code < 0x20 || code == 0x7F)
            escaped += QStringLiteral("\\x%1").arg(unsigned(code), 2, 16, QLatin1Char('0'));
        else if ((code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E)
                 || (code >= 0x2066 && code <= 0x2069))
            escaped += QStringLiteral("\\u%1").arg(unsigned(code), 4, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

void logLine(const QString &text)
{
    // One write of the whole line: stdio locks the stream for each call.
    const QByteArray line = "lunvik-gallery-server: " + escapedForLog(text).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
}

std::optional<QJsonObject> readDataFile(const QString &path, const QString &hint)
{
    QFile file(path);
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly))
        throw StartupError(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    QString error;
    auto object = parseJsonObject(file.readAll(), &error);
    if (!object)
        failCorruptDataFile(path, error, hint);
    return object;
}

void failCorruptDataFile(const QString &path, const QString &reason, const QString &hint)
{
    throw StartupError(QStringLiteral("%1 is corrupt (%2). Nothing was changed; %3.").arg(path, reason, hint));
}

} // namespace ServerUtil
