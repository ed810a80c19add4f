// What the command source files share: following the activity log during a
// command, and the text of table rows.
#pragma once

#include "log/activitylogstore.h"
#include "model/gallerystate.h"

#include <QList>
#include <QMetaObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <algorithm>
#include <functional>

// The activity log records written while it lives, in the order they were
// written; a listener may follow them as they come.
class LogWatch
{
public:
    using Listener = std::function<void(const LogEntry &)>;

    LogWatch()
    {
        m_connection = QObject::connect(&ActivityLogStore::shared(), &ActivityLogStore::entriesChanged,
                                        [this] { takeNewest(); });
    }
    ~LogWatch() { QObject::disconnect(m_connection); }
    LogWatch(const LogWatch &) = delete;
    LogWatch &operator=(const LogWatch &) = delete;

    void setListener(Listener listener) { m_listener = std::move(listener); }

    bool has(const QString &message) const
    {
        return std::any_of(m_records.cbegin(), m_records.cend(),
                           [&](const LogEntry &entry) { return entry.message == message; });
    }
    bool hasFailure(const std::function<bool(const QString &message)> &matches) const
    {
        return std::any_of(m_records.cbegin(), m_records.cend(), [&](const LogEntry &entry) {
            return entry.level == LogLevel::error && matches(entry.message);
        });
    }

private:
    // A record is put at the front of the store's list before the signal.
    void takeNewest()
    {
        const QList<LogEntry> &entries = ActivityLogStore::shared().entries();
        if (entries.isEmpty() || m_seen.contains(entries.first().id))
            return;
        const LogEntry entry = entries.first();
        m_seen.insert(entry.id);
        m_records.append(entry);
        if (m_listener)
            m_listener(entry);
    }

    QMetaObject::Connection m_connection;
    QList<LogEntry> m_records;
    QSet<QUuid> m_seen;
    Listener m_listener;
};

// Follows the log for the scope of one operation.
class ListenerScope
{
public:
    ListenerScope(LogWatch &watch, LogWatch::Listener listener) : m_watch(watch)
    {
        m_watch.setListener(std::move(listener));
    }
    ~ListenerScope() { m_watch.setListener({}); }
    ListenerScope(const ListenerScope &) = delete;
    ListenerScope &operator=(const ListenerScope &) = delete;

private:
    LogWatch &m_watch;
};

namespace CommandText {

// One field of a tab-separated row. A tab or a line break inside a file or
// frame name would split the row, and escape sequences and direction
// overrides would act on the terminal, so they become blanks.
QString field(const QString &text);
QString row(const QStringList &fields);
QString uploaderName(const PhotoEntry &photo, const UploaderMap &uploaders);

} // namespace CommandText
