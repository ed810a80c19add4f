#include "longworknotifier.h"

#include "clock.h"
#include "rules/rotationschedule.h"
#include "store/appsession.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>

#include <algorithm>

LongWorkNotifier::LongWorkNotifier(GalleryStore &store, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_bus(bus)
{
    connect(&store, &GalleryStore::uploadProgressChanged, this, &LongWorkNotifier::uploadProgressChanged);
    connect(&store, &GalleryStore::photoDownloadProgressChanged, this,
            &LongWorkNotifier::photoDownloadProgressChanged);
    connect(&store, &GalleryStore::frameStatusesChanged, this, &LongWorkNotifier::frameStatusesChanged);
    // A day is long for a coarse timer: it may be off by minutes.
    m_framesCheck.setSingleShot(true);
    m_framesCheck.setTimerType(Qt::PreciseTimer);
    connect(&m_framesCheck, &QTimer::timeout, this, &LongWorkNotifier::checkFramesAfterRotation);
    connect(&store, &GalleryStore::settingsChanged, this, &LongWorkNotifier::scheduleFramesCheck);
    scheduleFramesCheck();
}

void LongWorkNotifier::scheduleFramesCheck()
{
    const AppSettings &settings = m_store.settings();
    const GalleryRotationScheduleKind kind =
        GalleryRotationSchedule::kind(settings.debugMode, settings.debugAdvanceIntervalSeconds);
    const QTimeZone utc = GalleryRotationSchedule::utcCalendar();
    const QDateTime now = Clock::now();
    // A plan still ahead for the same rotation stands; only its timer is
    // started again.
    if (!m_framesCheckBoundary.isValid() || m_framesCheckKind != kind || m_nextFramesCheck <= now) {
        // The boundary after the last one checked; the first time, the next to come.
        QDateTime boundary = GalleryRotationSchedule::nextBoundary(
            m_checkedBoundary.isValid() ? m_checkedBoundary : now.addSecs(-framesCheckDelaySeconds), kind, utc);
        // Boundaries passed while the computer slept are not checked one by one.
        if (boundary.addSecs(framesCheckDelaySeconds) <= now)
            boundary = GalleryRotationSchedule::nextBoundary(now.addSecs(-framesCheckDelaySeconds), kind, utc);
        m_framesCheckBoundary = boundary;
        m_framesCheckKind = kind;
        m_nextFramesCheck = boundary.addSecs(framesCheckDelaySeconds);
    }
    // At most a day and a bit away; the bound keeps the wait an int.
    constexpr qint64 longestWaitMs = qint64(26) * 3600 * 1000;
    m_framesCheck.start(int(std::clamp<qint64>(now.msecsTo(m_nextFramesCheck), 0, longestWaitMs)));
}

void LongWorkNotifier::checkFramesAfterRotation()
{
    // Woken early (the wait was cut at its bound): wait on.
    if (Clock::now() < m_nextFramesCheck) {
        scheduleFramesCheck();
        return;
    }
    m_checkedBoundary = m_framesCheckBoundary;
    m_framesCheckBoundary = QDateTime();
    const AppSession *session = m_store.session();
    if (wantsNotifications() && session && session->isUnlocked())
        m_store.startBackground([](GalleryStore &store) { return store.updateDeviceStatus(); });
    scheduleFramesCheck();
}

bool LongWorkNotifier::wantsNotifications() const
{
    return m_store.settings().notifyWhenLongWorkEnds && !m_store.isApplicationActive() && m_bus.isConnected();
}

LongWorkNotifier::Message LongWorkNotifier::uploadEnded(int added, int total)
{
    const QString summary = added == 1 ? QStringLiteral("1 photo added to the gallery")
                                       : QStringLiteral("%1 photos added to the gallery").arg(added);
    if (added >= total)
        return {summary, {}};
    const QString body = QStringLiteral("%1 of %2 files could not be uploaded. The activity log says why.")
                             .arg(total - added)
                             .arg(total);
    if (added == 0)
        return {QStringLiteral("Upload failed"), body};
    return {summary, body};
}

LongWorkNotifier::Message LongWorkNotifier::photosDownloaded(int count)
{
    return {count == 1 ? QStringLiteral("1 new photo from the gallery")
                       : QStringLiteral("%1 new photos from the gallery").arg(count),
            {}};
}

LongWorkNotifier::Message LongWorkNotifier::framePushesFailed(const QList<DeviceLiveStatus> &frames)
{
    if (frames.size() == 1) {
        const DeviceLiveStatus &frame = frames.first();
        return {QStringLiteral("Today's photo did not reach %1").arg(frame.displayName),
                frame.lastPushError.value_or(QString())};
    }
    QStringList names;
    for (const DeviceLiveStatus &frame : frames)
        names.append(frame.displayName);
    return {QStringLiteral("Today's photo did not reach %1 frames").arg(frames.size()),
            names.join(QStringLiteral(", "))};
}

std::optional<TransferProgress> LongWorkNotifier::Tracked::follow(const TransferProgress &now, quint64 session)
{
    if (now.isRunning()) {
        if (!last)
            generation = session;
        last = now;
        return std::nullopt;
    }
    const std::optional<TransferProgress> ended = std::exchange(last, std::nullopt);
    return ended && generation == session ? ended : std::nullopt;
}

void LongWorkNotifier::uploadProgressChanged()
{
    if (const auto ended = m_upload.follow(m_store.uploadProgress(), m_store.sessionGeneration()))
        notify(uploadEnded(ended->done, ended->total));
}

void LongWorkNotifier::photoDownloadProgressChanged()
{
    const auto ended = m_download.follow(m_store.photoDownloadProgress(), m_store.sessionGeneration());
    // The photos an upload batch brings along are part of its own news.
    if (ended && ended->done > 0 && !m_store.uploadProgress().isRunning())
        notify(photosDownloaded(ended->done));
}

void LongWorkNotifier::frameStatusesChanged()
{
    const bool firstReport = m_pushes.isEmpty();
    QList<DeviceLiveStatus> failed;
    for (const DeviceLiveStatus &status : m_store.frameStatuses()) {
        const Push push{status.lastPushAt, status.lastPushError};
        const auto known = m_pushes.constFind(status.id);
        const bool isNew = !firstReport && known != m_pushes.constEnd() && !(*known == push);
        if (isNew && push.error && !push.error->trimmed().isEmpty())
            failed.append(status);
        m_pushes.insert(status.id, push);
    }
    if (!failed.isEmpty())
        notify(framePushesFailed(failed));
}

void LongWorkNotifier::notify(const Message &message)
{
    if (!wantsNotifications())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    const QString desktopEntry = QGuiApplication::desktopFileName();
    QVariantMap hints;
    if (!desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopEntry);
    call << QGuiApplication::applicationDisplayName() << uint(0) << QStringLiteral("lunvik-photos")
         << message.summary << message.body << QStringList() << hints << qint32(-1);
    // Sent without waiting: the answer (an id, or an error when no service
    // runs) is of no use here.
    m_bus.send(call);
}
