// The process-wide activity log: every part of the client records events
// here. Each record goes to the log file at once, to the front of `entries`
// (newest first, for the activity pane) and to standard error. While live
// reload runs, the file is merged back in periodically so the list also
// shows what other writers put there. Main thread only.
#pragma once

#include "error.h"
#include "logentry.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <exception>
#include <functional>

Q_DECLARE_METATYPE(LogEntry)

class ActivityLogStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<LogEntry> entries READ entries NOTIFY entriesChanged)
public:
    // The most records kept, newest first: the list a fresh start shows
    // (its reload reads as many of the file's), whether the process runs
    // for a minute or for weeks.
    static constexpr int maxEntries = 2000;

    // Created on first use; lives until the process ends.
    static ActivityLogStore &shared();

    const QList<LogEntry> &entries() const { return m_entries; }

    void log(LogCategory category, LogLevel level, const QString &message,
             const std::optional<QString> &detail = std::nullopt);
    // Logs at level error with `context` as the message and describe(error) as the detail.
    void log(const Error &error, LogCategory category, const QString &context);
    void log(const std::exception_ptr &error, LogCategory category, const QString &context);

    // Merges the file into `entries` now.
    void reload();
    void startLiveReload(double intervalSeconds);
    void stopLiveReload();
    bool isLiveReloadRunning() const { return m_liveReload.isActive(); }
    void clear();

    // The detail text of an error, as the log shows it.
    static QString describe(const Error &error);
    static QString describe(const std::exception &error);
    static QString describe(const std::exception_ptr &error);

    // Where the standard-error mirror goes; tests capture it. Empty restores stderr.
    void setErrorStreamForTesting(std::function<void(const QByteArray &)> sink);

Q_SIGNALS:
    void entriesChanged();

private:
    ActivityLogStore();
    void writeToErrorStream(const QByteArray &bytes);

    QList<LogEntry> m_entries;
    QTimer m_liveReload;
    std::function<void(const QByteArray &)> m_errorSink;
};
