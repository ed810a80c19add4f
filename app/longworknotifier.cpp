#include "longworknotifier.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>

LongWorkNotifier::LongWorkNotifier(GalleryStore &store, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_bus(bus)
{
    connect(&store, &GalleryStore::uploadProgressChanged, this, &LongWorkNotifier::uploadProgressChanged);
    connect(&store, &GalleryStore::photoDownloadProgressChanged, this,
            &LongWorkNotifier::photoDownloadProgressChanged);
    connect(&store, &GalleryStore::frameStatusesChanged, this, &LongWorkNotifier::frameStatusesChanged);
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
    if (!m_store.settings().notifyWhenLongWorkEnds || m_store.isApplicationActive() || !m_bus.isConnected())
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
