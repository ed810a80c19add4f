// Tells the desktop when long work ends while the window is not active: an
// upload batch, a pull that downloaded photos, a frame push that failed. One
// notification per event, through org.freedesktop.Notifications, sent
// without waiting for an answer; without a notification service nothing
// happens. The user turns it off in the settings (notifyWhenLongWorkEnds).
#pragma once

#include "rules/rotationschedule.h"
#include "store/gallerystore.h"

#include <QDBusConnection>
#include <QHash>
#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <optional>

class LongWorkNotifier : public QObject
{
    Q_OBJECT
public:
    static inline const QString service = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString path = QStringLiteral("/org/freedesktop/Notifications");

    // Follows `store` (which must outlive it) and notifies on `bus`.
    LongWorkNotifier(GalleryStore &store, const QDBusConnection &bus, QObject *parent = nullptr);

    // The server pushes the day's photo to the frames at each rotation
    // boundary. While the window is in the background nothing else asks the
    // frames' status, so it is asked this long after each boundary: a push
    // that failed there is heard of.
    static constexpr int framesCheckDelaySeconds = 120;
    // When the next such check runs.
    QDateTime nextFramesCheck() const { return m_nextFramesCheck; }
    // Plans the next check from the clock; runs on every settings change
    // (the rotation's period may have changed) and after each check.
    void scheduleFramesCheck();

    // The texts: summary, then body (may be empty).
    struct Message {
        QString summary;
        QString body;
        bool operator==(const Message &) const = default;
    };
    // An upload batch that sent `added` of `total` files.
    static Message uploadEnded(int added, int total);
    // A pull that downloaded `count` photos the cache lacked.
    static Message photosDownloaded(int count);
    // Frames whose last push failed, with the error each reported.
    static Message framePushesFailed(const QList<DeviceLiveStatus> &frames);

private:
    void uploadProgressChanged();
    void photoDownloadProgressChanged();
    void frameStatusesChanged();
    void notify(const Message &message);
    bool wantsNotifications() const;
    void checkFramesAfterRotation();

    GalleryStore &m_store;
    QDBusConnection m_bus;
    // A transfer under way, as last published, and the session it began in:
    // a transfer cut short by a lock is the user's own doing, not news.
    struct Tracked {
        std::optional<TransferProgress> last;
        quint64 generation = 0;
        // Takes the newly published `now`; the transfer that it ends, when
        // it ended in the session it began in.
        std::optional<TransferProgress> follow(const TransferProgress &now, quint64 session);
    };
    Tracked m_upload;
    Tracked m_download;
    // Each frame's last push as last reported (time, error); empty until
    // the first report, which is what the user has already seen.
    struct Push {
        std::optional<QString> at;
        std::optional<QString> error;
        bool operator==(const Push &) const = default;
    };
    QHash<QString, Push> m_pushes;
    QTimer m_framesCheck;
    QDateTime m_nextFramesCheck;
    // The rotation boundary the planned check follows, and the last one
    // checked: a check is never planned twice for one boundary.
    QDateTime m_framesCheckBoundary;
    QDateTime m_checkedBoundary;
    GalleryRotationScheduleKind m_framesCheckKind;
};
