#include "activitylogstore.h"

#include "activitylogfile.h"
#include "clock.h"
#include "safetext.h"
#include "secretmask.h"
#include "server/syncerror.h"

#include <QHash>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>

ActivityLogStore::ActivityLogStore()
{
    m_liveReload.setTimerType(Qt::CoarseTimer);
    connect(&m_liveReload, &QTimer::timeout, this, &ActivityLogStore::reload);
}

ActivityLogStore &ActivityLogStore::shared()
{
    // Deliberately never destroyed: records may still be written while the
    // process is shutting down.
    static ActivityLogStore *store = new ActivityLogStore;
    return *store;
}

void ActivityLogStore::log(LogCategory category, LogLevel level, const QString &rawMessage,
                           const std::optional<QString> &rawDetail)
{
    // A credential the client used never reaches the file, the list or
    // standard error, whatever text carried it here.
    const QString message = SecretMask::masked(rawMessage);
    const std::optional<QString> detail = rawDetail ? std::optional(SecretMask::masked(*rawDetail)) : std::nullopt;
    const LogEntry entry{QUuid::createUuid(), Clock::now(), category, level, message, detail};
    ActivityLogFile::append(entry);
    const bool known = std::any_of(m_entries.cbegin(), m_entries.cend(),
                                   [&entry](const LogEntry &e) { return e.id == entry.id; });
    if (!known) {
        m_entries.prepend(entry);
        if (m_entries.size() > maxEntries)
            m_entries.resize(maxEntries);
        Q_EMIT entriesChanged();
    }
    // Server texts (file names, error bodies) must not act on a terminal:
    // the record's own line breaks stay, everything else is made visible.
    writeToErrorStream((QLatin1Char('[') + toRawValue(category) + QStringLiteral("] ") + SafeText::visible(message)
                        + QLatin1Char('\n'))
                           .toUtf8());
    if (detail && !detail->isEmpty())
        writeToErrorStream((SafeText::visible(*detail, u"\n") + QLatin1Char('\n')).toUtf8());
}

void ActivityLogStore::log(const Error &error, LogCategory category, const QString &context)
{
    log(category, LogLevel::error, context, describe(error));
}

void ActivityLogStore::log(const std::exception_ptr &error, LogCategory category, const QString &context)
{
    log(category, LogLevel::error, context, describe(error));
}

void ActivityLogStore::reload()
{
    const QList<LogEntry> fromFile = ActivityLogFile::loadRecent(maxEntries);

    // Start from the list as shown, so records with equal timestamps keep
    // their place from one merge to the next; file records replace their
    // in-memory twins and new ones join newest first. A record listed twice
    // in the file takes its later line.
    QList<LogEntry> merged = m_entries;
    QHash<QUuid, qsizetype> position;
    position.reserve(merged.size() + fromFile.size());
    for (qsizetype i = 0; i < merged.size(); ++i)
        position.insert(merged.at(i).id, i);
    QSet<QUuid> takenFromFile;
    takenFromFile.reserve(fromFile.size());
    for (auto it = fromFile.crbegin(); it != fromFile.crend(); ++it) {
        if (takenFromFile.contains(it->id))
            continue;
        takenFromFile.insert(it->id);
        const auto found = position.constFind(it->id);
        if (found != position.cend()) {
            merged[*found] = *it;
        } else {
            position.insert(it->id, merged.size());
            merged.append(*it);
        }
    }
    std::stable_sort(merged.begin(), merged.end(),
                     [](const LogEntry &a, const LogEntry &b) { return a.timestamp > b.timestamp; });
    if (merged.size() > maxEntries)
        merged.resize(maxEntries);
    m_entries = std::move(merged);
    Q_EMIT entriesChanged();
}

void ActivityLogStore::startLiveReload(double intervalSeconds)
{
    stopLiveReload();
    if (m_entries.isEmpty())
        reload();
    const double seconds = std::isfinite(intervalSeconds) ? std::max(0.0, intervalSeconds) : 0.0;
    m_liveReload.start(int(std::min(seconds * 1000.0, double(std::numeric_limits<int>::max()))));
}

void ActivityLogStore::stopLiveReload()
{
    m_liveReload.stop();
}

void ActivityLogStore::clear()
{
    ActivityLogFile::clear();
    m_entries.clear();
    Q_EMIT entriesChanged();
}

QString ActivityLogStore::describe(const Error &error)
{
    if (const auto *sync = dynamic_cast<const SyncError *>(&error))
        return sync->activityLogDetail();

    QStringList lines;
    if (const auto description = error.errorDescription())
        lines << *description;
    if (const auto suggestion = error.recoverySuggestion())
        lines << QStringLiteral("Recovery: ") + *suggestion;
    const Error::Record record = error.record();
    if (!(record.domain == Error::generalDomain && record.code == 0))
        lines << QStringLiteral("Domain: %1 code=%2").arg(record.domain).arg(record.code);
    if (!record.localizedDescription.isEmpty() && !lines.contains(record.localizedDescription))
        lines << record.localizedDescription;
    if (record.underlying)
        lines << QStringLiteral("Underlying: ") + describe(*record.underlying);
    if (lines.isEmpty())
        lines << error.debugDescription();
    return lines.join(QLatin1Char('\n'));
}

QString ActivityLogStore::describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return describe(*own);
    return describe(PlatformError::general(QString::fromLocal8Bit(error.what())));
}

QString ActivityLogStore::describe(const std::exception_ptr &error)
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return describe(e);
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void ActivityLogStore::setErrorStreamForTesting(std::function<void(const QByteArray &)> sink)
{
    m_errorSink = std::move(sink);
}

void ActivityLogStore::writeToErrorStream(const QByteArray &bytes)
{
    if (m_errorSink) {
        m_errorSink(bytes);
        return;
    }
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
