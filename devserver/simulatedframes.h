// The registered photo frames. Real frames cannot be reached from here, so
// each one is simulated: whether it answers, and what it would report about
// itself. A push records its outcome on the registration. The frame tokens
// stay in this file of the data folder (owner-only) and are never answered.
// Not thread-safe: the gallery store guards it with its mutex.
#pragma once

#include "server/devicerecords.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

struct SimulatedFrame {
    RegisteredDevicePublic registration;
    QString token;
    bool reachable = true;
    QString name;
    qint64 width = 1200;
    qint64 height = 1600;
    QString orientation = QStringLiteral("P");
    bool remoteImageOn = true;
    QString remoteImageInterval = QStringLiteral("24h");

    DeviceLiveStatus liveStatus() const;
    QJsonObject toJson() const;
    static std::optional<SimulatedFrame> fromJson(const QJsonValue &value, QString *error);
};

class SimulatedFrames
{
public:
    static inline const QString unreachableError = QStringLiteral("Frame not reachable");

    explicit SimulatedFrames(QString path);

    // Reads the file when there is one; throws StartupError when it is corrupt.
    void load();

    QList<RegisteredDevicePublic> registrations() const;
    QList<DeviceLiveStatus> statuses() const;

    // Each change below is saved before it is kept: a failed write throws
    // its Error and leaves everything as it was.

    // Throws ApiError 400 when the setup text holds no frame token. The same
    // token registered again updates that registration instead of adding a
    // second one, so a frame is never pushed to twice.
    RegisteredDevicePublic add(const DeviceRegisterRequest &request, const QDateTime &now);
    // False when there is no such frame.
    bool remove(const QString &id);
    // Applies {"reachable", "name", "width", "height", "orientation",
    // "remoteImageOn", "remoteImageInterval"}; throws ApiError 404 for an
    // unknown frame and 400 for a bad or unknown member.
    DeviceLiveStatus simulate(const QString &id, const QJsonObject &changes);

    // Shows the current photo on every frame: a reachable one records the
    // time, an unreachable one the failure. The outcome is kept even when
    // saving it fails; that failure is returned as text.
    std::optional<QString> push(const QDateTime &now);

private:
    void save(const QList<SimulatedFrame> &frames) const;

    QString m_path;
    QList<SimulatedFrame> m_frames;
};
