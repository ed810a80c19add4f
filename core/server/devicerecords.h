// Photo frames as the gallery server describes them: their registrations and
// what the server currently knows of each one. The client never talks to a
// frame itself.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

struct RegisteredDevicePublic {
    QString id;
    QString displayName;
    QString registeredBy;
    // As the server writes it (ISO 8601 text, kept as text).
    QString registeredAt;
    std::optional<QString> lastPushAt;
    std::optional<QString> lastPushError;

    QJsonObject toJson() const;
    static std::optional<RegisteredDevicePublic> fromJson(const QJsonValue &value, QString *error = nullptr);

    bool operator==(const RegisteredDevicePublic &) const = default;
};

struct DeviceLiveStatus {
    QString id;
    QString displayName;
    bool reachable = false;
    // Everything below is passed on as the frame reported it.
    std::optional<QString> name;
    std::optional<qint64> width;
    std::optional<qint64> height;
    std::optional<QString> orientation;
    std::optional<bool> remoteImageOn;
    std::optional<QString> remoteImageInterval;
    std::optional<QString> lastPushAt;
    std::optional<QString> lastPushError;

    QJsonObject toJson() const;
    static std::optional<DeviceLiveStatus> fromJson(const QJsonValue &value, QString *error = nullptr);

    bool operator==(const DeviceLiveStatus &) const = default;
};

// {"devices": [...]}
struct DeviceListResponse {
    QList<RegisteredDevicePublic> devices;

    QJsonObject toJson() const;
    static std::optional<DeviceListResponse> fromJson(const QJsonValue &value, QString *error = nullptr);
};

// {"device": {...}}
struct DeviceRegisterResponse {
    RegisteredDevicePublic device;

    QJsonObject toJson() const;
    static std::optional<DeviceRegisterResponse> fromJson(const QJsonValue &value, QString *error = nullptr);
};

// {"devices": [...]}
struct DeviceStatusResponse {
    QList<DeviceLiveStatus> devices;

    QJsonObject toJson() const;
    static std::optional<DeviceStatusResponse> fromJson(const QJsonValue &value, QString *error = nullptr);
};

// The body of a registration; displayName is left out when there is none.
struct DeviceRegisterRequest {
    QString setupText;
    std::optional<QString> displayName;
    QString registeredBy;

    QJsonObject toJson() const;
    static std::optional<DeviceRegisterRequest> fromJson(const QJsonValue &value, QString *error = nullptr);
};
