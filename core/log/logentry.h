// One activity record, and its form as one line of the log file: a compact
// JSON object of six strings ("id", "t", "c", "l", "m", "d").
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

enum class LogCategory { server, device, sync, gallery, system };
enum class LogLevel { info, success, warning, error };

QString toRawValue(LogCategory category);
QString toRawValue(LogLevel level);
std::optional<LogCategory> logCategoryFromRaw(const QString &raw);
std::optional<LogLevel> logLevelFromRaw(const QString &raw);
// Every case, in declaration order.
QList<LogCategory> allLogCategories();
QList<LogLevel> allLogLevels();

struct LogEntry {
    QUuid id;
    QDateTime timestamp;
    LogCategory category = LogCategory::system;
    LogLevel level = LogLevel::info;
    QString message;
    std::optional<QString> detail;

    // The file line without its line feed. The time is written in UTC
    // without fractional seconds; no detail is written as "".
    QByteArray toLine() const;
    // Any line that breaks a rule of the format gives none.
    static std::optional<LogEntry> fromLine(const QByteArray &line);

    bool operator==(const LogEntry &) const = default;
};

// "2026-03-01T07:05:09Z"
QString logTimeText(const QDateTime &timestamp);
// ISO 8601 internet date-time, with or without fractional seconds.
std::optional<QDateTime> parseLogTime(const QString &text);
// Canonical upper-case 8-4-4-4-12 form.
QString uuidText(const QUuid &id);
