#include "logentry.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
const char *const categoryNames[] = {"server", "device", "sync", "gallery", "system"};
const char *const levelNames[] = {"info", "success", "warning", "error"};
} // namespace

QString toRawValue(LogCategory category)
{
    return QString::fromLatin1(categoryNames[int(category)]);
}

QString toRawValue(LogLevel level)
{
    return QString::fromLatin1(levelNames[int(level)]);
}

std::optional<LogCategory> logCategoryFromRaw(const QString &raw)
{
    for (int i = 0; i < 5; ++i) {
        if (raw == QLatin1StringView(categoryNames[i]))
            return LogCategory(i);
    }
    return std::nullopt;
}

std::optional<LogLevel> logLevelFromRaw(const QString &raw)
{
    for (int i = 0; i < 4; ++i) {
        if (raw == QLatin1StringView(levelNames[i]))
            return LogLevel(i);
    }
    return std::nullopt;
}

QList<LogCategory> allLogCategories()
{
    return {LogCategory::server, LogCategory::device, LogCategory::sync, LogCategory::gallery, LogCategory::system};
}

QList<LogLevel> allLogLevels()
{
    return {LogLevel::info, LogLevel::success, LogLevel::warning, LogLevel::error};
}

QString logTimeText(const QDateTime &timestamp)
{
    if (!timestamp.isValid())
        return QString();
    // Written by hand: Qt's "yyyy" does not zero-pad years below 1000, and
    // the reader wants four digits.
    const QDateTime utc = timestamp.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02dZ", date.year(), date.month(), date.day(), time.hour(),
                             time.minute(), time.second());
}

std::optional<QDateTime> parseLogTime(const QString &text)
{
    // Full date and time, optional fraction, and a zone: Z or ±hh:mm.
    static const QRegularExpression shape(QStringLiteral(
        "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?(Z|[+-]\\d{2}:\\d{2})$"));
    if (!shape.match(text).hasMatch())
        return std::nullopt;
    const QDateTime parsed = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return std::nullopt;
    // A time whose UTC year has no four-digit form could not be written back.
    const QDateTime utc = parsed.toUTC();
    if (utc.date().year() < 1 || utc.date().year() > 9999)
        return std::nullopt;
    return utc;
}

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QByteArray LogEntry::toLine() const
{
    const QJsonObject object{
        {QLatin1StringView("id"), uuidText(id)},
        {QLatin1StringView("t"), logTimeText(timestamp)},
        {QLatin1StringView("c"), toRawValue(category)},
        {QLatin1StringView("l"), toRawValue(level)},
        {QLatin1StringView("m"), message},
        {QLatin1StringView("d"), detail.value_or(QString())},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<LogEntry> LogEntry::fromLine(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
    }

    static const QRegularExpression uuidShape(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    const QString idText = object.value(QLatin1StringView("id")).toString();
    if (!uuidShape.match(idText).hasMatch())
        return std::nullopt;
    const QUuid id = QUuid::fromString(idText);
    if (id.isNull() && idText != QStringLiteral("00000000-0000-0000-0000-000000000000"))
        return std::nullopt;

    const auto time = parseLogTime(object.value(QLatin1StringView("t")).toString());
    const auto category = logCategoryFromRaw(object.value(QLatin1StringView("c")).toString());
    const auto level = logLevelFromRaw(object.value(QLatin1StringView("l")).toString());
    if (!time || !category || !level || !object.contains(QLatin1StringView("m")))
        return std::nullopt;

    const QString detail = object.value(QLatin1StringView("d")).toString();
    return LogEntry{id,
                    *time,
                    *category,
                    *level,
                    object.value(QLatin1StringView("m")).toString(),
                    detail.isEmpty() ? std::nullopt : std::optional<QString>(detail)};
}
