#include "devicerecords.h"

#include "model/jsonfields.h"

#include <QJsonArray>

namespace {

template<typename T>
QJsonArray toJsonArray(const QList<T> &records)
{
    QJsonArray array;
    for (const T &record : records)
        array.append(record.toJson());
    return array;
}

// Every element must decode; one bad record fails the whole list.
template<typename T>
std::optional<QList<T>> fromJsonArray(const QJsonValue &value, QString *error)
{
    if (!value.isArray())
        return failWith<QList<T>>(error, QStringLiteral("expected an array"));
    QList<T> records;
    const QJsonArray array = value.toArray();
    records.reserve(array.size());
    for (const QJsonValue &element : array) {
        auto record = T::fromJson(element, error);
        if (!record)
            return std::nullopt;
        records.append(std::move(*record));
    }
    return records;
}

template<typename T>
std::optional<QList<T>> readList(const QJsonValue &value, QLatin1StringView key, QString *error)
{
    if (!value.isObject())
        return failWith<QList<T>>(error, QStringLiteral("response is not an object"));
    JsonFields f(value.toObject());
    const QJsonValue list = f.required(key);
    if (!f.ok())
        return failWith<QList<T>>(error, f.error());
    return fromJsonArray<T>(list, error);
}

} // namespace

QJsonObject RegisteredDevicePublic::toJson() const
{
    QJsonObject o{{QLatin1StringView("id"), id},
                  {QLatin1StringView("displayName"), displayName},
                  {QLatin1StringView("registeredBy"), registeredBy},
                  {QLatin1StringView("registeredAt"), registeredAt}};
    writeOptional(o, QLatin1StringView("lastPushAt"), lastPushAt);
    writeOptional(o, QLatin1StringView("lastPushError"), lastPushError);
    return o;
}

std::optional<RegisteredDevicePublic> RegisteredDevicePublic::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<RegisteredDevicePublic>(error, QStringLiteral("device is not an object"));
    JsonFields f(value.toObject());
    RegisteredDevicePublic d;
    d.id = f.string(QLatin1StringView("id"));
    d.displayName = f.string(QLatin1StringView("displayName"));
    d.registeredBy = f.string(QLatin1StringView("registeredBy"));
    d.registeredAt = f.string(QLatin1StringView("registeredAt"));
    d.lastPushAt = f.optionalString(QLatin1StringView("lastPushAt"));
    d.lastPushError = f.optionalString(QLatin1StringView("lastPushError"));
    if (!f.ok())
        return failWith<RegisteredDevicePublic>(error, f.error());
    return d;
}

QJsonObject DeviceLiveStatus::toJson() const
{
    QJsonObject o{{QLatin1StringView("id"), id},
                  {QLatin1StringView("displayName"), displayName},
                  {QLatin1StringView("reachable"), reachable}};
    writeOptional(o, QLatin1StringView("name"), name);
    writeOptional(o, QLatin1StringView("width"), width);
    writeOptional(o, QLatin1StringView("height"), height);
    writeOptional(o, QLatin1StringView("orientation"), orientation);
    writeOptional(o, QLatin1StringView("remoteImageOn"), remoteImageOn);
    writeOptional(o, QLatin1StringView("remoteImageInterval"), remoteImageInterval);
    writeOptional(o, QLatin1StringView("lastPushAt"), lastPushAt);
    writeOptional(o, QLatin1StringView("lastPushError"), lastPushError);
    return o;
}

std::optional<DeviceLiveStatus> DeviceLiveStatus::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<DeviceLiveStatus>(error, QStringLiteral("device status is not an object"));
    JsonFields f(value.toObject());
    DeviceLiveStatus s;
    s.id = f.string(QLatin1StringView("id"));
    s.displayName = f.string(QLatin1StringView("displayName"));
    const QJsonValue reachable = f.required(QLatin1StringView("reachable"));
    if (f.ok() && !reachable.isBool())
        f.fail(QStringLiteral("reachable is not a boolean"));
    s.reachable = reachable.toBool();
    s.name = f.optionalString(QLatin1StringView("name"));
    s.width = f.optionalInt64(QLatin1StringView("width"));
    s.height = f.optionalInt64(QLatin1StringView("height"));
    s.orientation = f.optionalString(QLatin1StringView("orientation"));
    s.remoteImageOn = f.optionalBool(QLatin1StringView("remoteImageOn"));
    s.remoteImageInterval = f.optionalString(QLatin1StringView("remoteImageInterval"));
    s.lastPushAt = f.optionalString(QLatin1StringView("lastPushAt"));
    s.lastPushError = f.optionalString(QLatin1StringView("lastPushError"));
    if (!f.ok())
        return failWith<DeviceLiveStatus>(error, f.error());
    return s;
}

QJsonObject DeviceListResponse::toJson() const
{
    return {{QLatin1StringView("devices"), toJsonArray(devices)}};
}

std::optional<DeviceListResponse> DeviceListResponse::fromJson(const QJsonValue &value, QString *error)
{
    auto devices = readList<RegisteredDevicePublic>(value, QLatin1StringView("devices"), error);
    if (!devices)
        return std::nullopt;
    return DeviceListResponse{std::move(*devices)};
}

QJsonObject DeviceStatusResponse::toJson() const
{
    return {{QLatin1StringView("devices"), toJsonArray(devices)}};
}

std::optional<DeviceStatusResponse> DeviceStatusResponse::fromJson(const QJsonValue &value, QString *error)
{
    auto devices = readList<DeviceLiveStatus>(value, QLatin1StringView("devices"), error);
    if (!devices)
        return std::nullopt;
    return DeviceStatusResponse{std::move(*devices)};
}

QJsonObject DeviceRegisterResponse::toJson() const
{
    return {{QLatin1StringView("device"), device.toJson()}};
}

std::optional<DeviceRegisterResponse> DeviceRegisterResponse::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<DeviceRegisterResponse>(error, QStringLiteral("response is not an object"));
    JsonFields f(value.toObject());
    const QJsonValue device = f.required(QLatin1StringView("device"));
    if (!f.ok())
        return failWith<DeviceRegisterResponse>(error, f.error());
    auto decoded = RegisteredDevicePublic::fromJson(device, error);
    if (!decoded)
        return std::nullopt;
    return DeviceRegisterResponse{std::move(*decoded)};
}

QJsonObject DeviceRegisterRequest::toJson() const
{
    QJsonObject o{{QLatin1StringView("setupText"), setupText}, {QLatin1StringView("registeredBy"), registeredBy}};
    writeOptional(o, QLatin1StringView("displayName"), displayName);
    return o;
}

std::optional<DeviceRegisterRequest> DeviceRegisterRequest::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<DeviceRegisterRequest>(error, QStringLiteral("request is not an object"));
    JsonFields f(value.toObject());
    DeviceRegisterRequest r;
    r.setupText = f.string(QLatin1StringView("setupText"));
    r.displayName = f.optionalString(QLatin1StringView("displayName"));
    r.registeredBy = f.string(QLatin1StringView("registeredBy"));
    if (!f.ok())
        return failWith<DeviceRegisterRequest>(error, f.error());
    return r;
}
