// The part of the server client that lists, registers and removes photo
// frames and reads their live status.
#include "syncclient.h"

#include "model/jsonfields.h"

#include <QJsonDocument>

QCoro::Task<QList<RegisteredDevicePublic>> SyncClient::listDevices() const
{
    const QByteArray body = co_await request(QStringLiteral("/api/devices"), QStringLiteral("GET"), std::nullopt,
                                             std::nullopt, std::nullopt, maxFramesBytes);
    co_return decodeServerAnswer<DeviceListResponse>(body).devices;
}

QCoro::Task<RegisteredDevicePublic> SyncClient::registerDevice(QString setupText, std::optional<QString> displayName,
                                                               QString registeredBy) const
{
    const DeviceRegisterRequest registration{setupText, displayName, registeredBy};
    const QByteArray json = QJsonDocument(registration.toJson()).toJson(QJsonDocument::Compact);
    const QByteArray body = co_await request(QStringLiteral("/api/devices"), QStringLiteral("POST"), json,
                                             QStringLiteral("application/json"), std::nullopt, maxFramesBytes);
    co_return decodeServerAnswer<DeviceRegisterResponse>(body).device;
}

QCoro::Task<> SyncClient::deleteDevice(QString id) const
{
    const QUrl target = url(QStringLiteral("/api/devices/"), id, QString());
    co_await request(target, QStringLiteral("DELETE"), std::nullopt, std::nullopt, std::nullopt, maxSmallAnswerBytes);
}

QCoro::Task<QList<DeviceLiveStatus>> SyncClient::fetchDeviceStatus() const
{
    const QByteArray body = co_await request(QStringLiteral("/api/devices/status"), QStringLiteral("GET"),
                                             std::nullopt, std::nullopt, std::nullopt, maxFramesBytes);
    co_return decodeServerAnswer<DeviceStatusResponse>(body).devices;
}
