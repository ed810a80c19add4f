#include "synchttpfailure.h"

#include "model/jsonfields.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTextBoundaryFinder>

#include <cmath>

namespace {
constexpr qsizetype htmlSummaryLimit = 400;
constexpr qsizetype textSummaryLimit = 600;
const QString ellipsis = QStringLiteral("\u2026");

QString truncated(const QString &text, qsizetype limit)
{
    if (graphemeCount(text) <= limit)
        return text;
    return graphemePrefix(text, limit) + ellipsis;
}
} // namespace

QString ServerConnectivityCopy::serverDown(const QString &address)
{
    QString shown = address.trimmed();
    if (shown.isEmpty())
        shown = QStringLiteral("your server");
    return QStringLiteral("Looks like the server is down (%1). Please try again.").arg(shown);
}

qsizetype graphemeCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QString graphemePrefix(const QString &text, qsizetype count)
{
    if (count <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype seen = 0;
    qsizetype position = 0;
    while (seen < count) {
        const qsizetype next = finder.toNextBoundary();
        if (next == -1)
            return text;
        position = next;
        ++seen;
    }
    return text.left(position);
}

QString formatByteCount(qint64 bytes)
{
    if (bytes < 1000)
        return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);
    // KB without decimals, MB with one, larger units with two; a value that
    // rounds up to 1000 moves on to the next unit.
    static const char *const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    static const int decimals[] = {0, 1, 2, 2, 2, 2};
    double value = double(bytes);
    for (int i = 0; i < 6; ++i) {
        value /= 1000.0;
        const double scale = std::pow(10.0, decimals[i]);
        const double rounded = std::round(value * scale) / scale;
        if (rounded < 1000.0 || i == 5) {
            QString number = QString::number(rounded, 'f', decimals[i]);
            if (number.contains(QLatin1Char('.'))) {
                while (number.endsWith(QLatin1Char('0')))
                    number.chop(1);
                if (number.endsWith(QLatin1Char('.')))
                    number.chop(1);
            }
            return number + QLatin1Char(' ') + QLatin1StringView(units[i]);
        }
    }
    return {};
}

QString SyncHTTPFailure::shortSummary() const
{
    if (statusCode < 0)
        return ServerConnectivityCopy::serverDown(url);
    const QString digest = summarizeResponseBody(responseBody);
    if (!digest.isEmpty())
        return QStringLiteral("HTTP %1: %2").arg(statusCode).arg(digest);
    return QStringLiteral("HTTP %1").arg(statusCode);
}

QString SyncHTTPFailure::activityLogDetail() const
{
    QStringList lines;
    lines << (statusCode < 0 ? ServerConnectivityCopy::serverDown(url) : QStringLiteral("HTTP %1").arg(statusCode));
    lines << method + QLatin1Char(' ') + url;
    if (context && !context->isEmpty())
        lines << *context;
    if (requestBodyBytes)
        lines << QStringLiteral("Request size: ") + formatByteCount(*requestBodyBytes);
    const QString digest = summarizeResponseBody(responseBody);
    if (!digest.isEmpty())
        lines << QStringLiteral("Response: ") + digest;
    else if (responseBody.isEmpty())
        lines << QStringLiteral("Response: (empty body)");
    else
        // A body of white space only has no digest; say what it was rather
        // than calling it empty.
        lines << QStringLiteral("Response: (%1 characters of white space)").arg(graphemeCount(responseBody));
    return lines.join(QLatin1Char('\n'));
}

QString SyncHTTPFailure::summarizeResponseBody(const QString &body)
{
    const QString t = body.trimmed();
    if (t.isEmpty())
        return {};
    if (const auto message = extractJSONErrorMessage(t))
        return redactSecrets(*message);
    const QString lower = t.left(16).toLower();
    if (lower.startsWith(QLatin1StringView("<!doctype")) || lower.startsWith(QLatin1StringView("<html"))
        || t.startsWith(QLatin1Char('<'))) {
        const QString h = redactSecrets(stripHTMLTags(t));
        if (h.isEmpty())
            return QStringLiteral("(HTML error page, %1 bytes)").arg(graphemeCount(t));
        return truncated(h, htmlSummaryLimit);
    }
    return truncated(redactSecrets(t), textSummaryLimit);
}

std::optional<QString> SyncHTTPFailure::extractJSONErrorMessage(const QString &text)
{
    const auto object = parseJsonObject(text.toUtf8());
    if (!object)
        return std::nullopt;
    for (const char *key : {"error", "message", "detail", "title", "description"}) {
        const QJsonValue value = object->value(QLatin1StringView(key));
        if (value.isString() && !value.toString().isEmpty())
            return value.toString();
    }
    const QJsonValue error = object->value(QLatin1StringView("error"));
    if (error.isObject()) {
        const QJsonObject nested = error.toObject();
        for (const char *key : {"message", "detail"}) {
            const QJsonValue value = nested.value(QLatin1StringView(key));
            if (value.isString() && !value.toString().isEmpty())
                return value.toString();
        }
    }
    return std::nullopt;
}

QString SyncHTTPFailure::redactSecrets(const QString &text)
{
    // A credential after "Bearer"; then the value after a key word such as
    // "password=" or "token:". The key word may be the end of a longer name
    // and may be followed by a closing quote, so JSON members such as
    // "sessionToken":"..." are masked too; a "Basic"/"Digest" scheme word
    // after "Authorization:" is masked together with its credential.
    static const QRegularExpression bearer(QStringLiteral("(?i)Bearer\\s+\\S+"),
                                           QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression keyed(
        QStringLiteral("(?i)(authorization|token|password|secret)[\"']?\\s*[:=]\\s*(?:(?:Basic|Digest)\\s+)?\\S+"),
        QRegularExpression::UseUnicodePropertiesOption);
    QString result = text;
    result.replace(bearer, QStringLiteral("Bearer [redacted]"));
    result.replace(keyed, QStringLiteral("\\1 [redacted]"));
    return result;
}

QString SyncHTTPFailure::stripHTMLTags(const QString &text)
{
    static const QRegularExpression tags(QStringLiteral("<[^>]+>"));
    static const QRegularExpression space(QStringLiteral("\\s+"), QRegularExpression::UseUnicodePropertiesOption);
    QString result = text;
    result.replace(tags, QStringLiteral(" "));
    result.replace(space, QStringLiteral(" "));
    return result.trimmed();
}
