#include "simulatedframes.h"

#include "serverutil.h"

#include "model/atomicfile.h"
#include "model/gallerystate.h"
#include "model/jsonfields.h"
#include "rules/bloomin8.h"

#include <QFile>
#include <QJsonArray>

#include <algorithm>
#include <utility>

namespace {

constexpr qint64 maxScreenSide = 100000;

bool validOrientation(const QString &orientation)
{
    return orientation == QLatin1StringView("P") || orientation == QLatin1StringView("L");
}

void readSimulation(JsonFields &fields, SimulatedFrame &frame)
{
    if (const auto reachable = fields.optionalBool(QLatin1StringView("reachable")))
        frame.reachable = *reachable;
    if (const auto name = fields.optionalString(QLatin1StringView("name")))
        frame.name = name->trimmed();
    for (const auto &[key, side] :
         {std::pair{QLatin1StringView("width"), &frame.width}, std::pair{QLatin1StringView("height"), &frame.height}}) {
        const auto value = fields.optionalInt64(key);
        if (value && (*value < 1 || *value > maxScreenSide))
            fields.fail(QStringLiteral("\"%1\" must be between 1 and %2").arg(key, QString::number(maxScreenSide)));
        else if (value)
            *side = *value;
    }
    if (const auto orientation = fields.optionalString(QLatin1StringView("orientation"))) {
        if (validOrientation(*orientation))
            frame.orientation = *orientation;
        else
            fields.fail(QStringLiteral("\"orientation\" must be \"P\" or \"L\""));
    }
    if (const auto on = fields.optionalBool(QLatin1StringView("remoteImageOn")))
        frame.remoteImageOn = *on;
    if (const auto interval = fields.optionalString(QLatin1StringView("remoteImageInterval")))
        frame.remoteImageInterval = *interval;
}

QJsonObject simulationJson(const SimulatedFrame &frame)
{
    return {{QLatin1StringView("reachable"), frame.reachable},
            {QLatin1StringView("name"), frame.name},
            {QLatin1StringView("width"), frame.width},
            {QLatin1StringView("height"), frame.height},
            {QLatin1StringView("orientation"), frame.orientation},
            {QLatin1StringView("remoteImageOn"), frame.remoteImageOn},
            {QLatin1StringView("remoteImageInterval"), frame.remoteImageInterval}};
}

} // namespace

DeviceLiveStatus SimulatedFrame::liveStatus() const
{
    DeviceLiveStatus status;
    status.id = registration.id;
    status.displayName = registration.displayName;
    status.reachable = reachable;
    // An unreachable frame reports nothing about itself.
    if (reachable) {
        status.name = name;
        status.width = width;
        status.height = height;
        status.orientation = orientation;
        status.remoteImageOn = remoteImageOn;
        status.remoteImageInterval = remoteImageInterval;
    }
    status.lastPushAt = registration.lastPushAt;
    status.lastPushError = registration.lastPushError;
    return status;
}

QJsonObject SimulatedFrame::toJson() const
{
    QJsonObject object = registration.toJson();
    object.insert(QLatin1StringView("token"), token);
    object.insert(QLatin1StringView("simulation"), simulationJson(*this));
    return object;
}

std::optional<SimulatedFrame> SimulatedFrame::fromJson(const QJsonValue &value, QString *error)
{
    auto registration = RegisteredDevicePublic::fromJson(value, error);
    if (!registration)
        return std::nullopt;
    SimulatedFrame frame;
    frame.registration = std::move(*registration);
    JsonFields fields(value.toObject());
    frame.token = fields.string(QLatin1StringView("token"));
    const QJsonValue simulation = fields.required(QLatin1StringView("simulation"));
    if (fields.ok() && !simulation.isObject())
        fields.fail(QStringLiteral("\"simulation\" is not an object"));
    if (fields.ok()) {
        JsonFields simulationFields(simulation.toObject());
        readSimulation(simulationFields, frame);
        if (!simulationFields.ok())
            fields.fail(simulationFields.error());
    }
    if (!fields.ok()) {
        if (error)
            *error = fields.error();
        return std::nullopt;
    }
    return frame;
}

SimulatedFrames::SimulatedFrames(QString path)
    : m_path(std::move(path))
{
}

void SimulatedFrames::load()
{
    const QString hint = QStringLiteral("move it aside to start without registered frames");
    const auto object = ServerUtil::readDataFile(m_path, hint);
    if (!object)
        return;
    QString error;
    QList<SimulatedFrame> frames;
    const QJsonValue list = object->value(QLatin1StringView("devices"));
    if (!list.isArray())
        error = QStringLiteral("\"devices\" is not a list");
    for (const QJsonValue &value : list.toArray()) {
        auto frame = SimulatedFrame::fromJson(value, &error);
        if (!frame)
            break;
        frames.append(std::move(*frame));
    }
    if (!error.isEmpty())
        ServerUtil::failCorruptDataFile(m_path, error, hint);
    m_frames = std::move(frames);
}

QList<RegisteredDevicePublic> SimulatedFrames::registrations() const
{
    QList<RegisteredDevicePublic> result;
    for (const SimulatedFrame &frame : m_frames)
        result.append(frame.registration);
    return result;
}

QList<DeviceLiveStatus> SimulatedFrames::statuses() const
{
    QList<DeviceLiveStatus> result;
    for (const SimulatedFrame &frame : m_frames)
        result.append(frame.liveStatus());
    return result;
}

RegisteredDevicePublic SimulatedFrames::add(const DeviceRegisterRequest &request, const QDateTime &now)
{
    const auto token = Bloomin8TokenParser::parseToken(request.setupText);
    if (!token)
        throw ApiError::badRequest(QStringLiteral("No frame token found in the setup text"));
    const auto parsedName = Bloomin8TokenParser::parseDeviceName(request.setupText);
    QString displayName = request.displayName.value_or(QString()).trimmed();
    if (displayName.isEmpty())
        displayName = parsedName.value_or(QStringLiteral("Photo frame"));
    QString registeredBy = request.registeredBy.trimmed();
    if (registeredBy.isEmpty())
        registeredBy = defaultUploaderDisplayName;

    QList<SimulatedFrame> frames = m_frames;
    auto existing = std::find_if(frames.begin(), frames.end(),
                                 [&](const SimulatedFrame &frame) { return frame.token == *token; });
    if (existing == frames.end()) {
        SimulatedFrame frame;
        frame.registration.id = ServerUtil::randomHexId();
        frame.registration.registeredAt = ServerUtil::isoText(now);
        frame.token = *token;
        frame.name = parsedName.value_or(displayName);
        frames.append(frame);
        existing = frames.end() - 1;
    }
    existing->registration.displayName = displayName;
    existing->registration.registeredBy = registeredBy;
    const RegisteredDevicePublic registration = existing->registration;
    save(frames);
    m_frames = std::move(frames);
    return registration;
}

bool SimulatedFrames::remove(const QString &id)
{
    QList<SimulatedFrame> frames = m_frames;
    const auto removed = frames.removeIf([&](const SimulatedFrame &frame) { return frame.registration.id == id; });
    if (removed == 0)
        return false;
    save(frames);
    m_frames = std::move(frames);
    return true;
}

DeviceLiveStatus SimulatedFrames::simulate(const QString &id, const QJsonObject &changes)
{
    static const QStringList known{QStringLiteral("reachable"),
                                   QStringLiteral("name"),
                                   QStringLiteral("width"),
                                   QStringLiteral("height"),
                                   QStringLiteral("orientation"),
                                   QStringLiteral("remoteImageOn"),
                                   QStringLiteral("remoteImageInterval")};
    QList<SimulatedFrame> frames = m_frames;
    const auto frame
        = std::find_if(frames.begin(), frames.end(), [&](const SimulatedFrame &f) { return f.registration.id == id; });
    if (frame == frames.end())
        throw ApiError::notFound(QStringLiteral("No such frame"));
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (!known.contains(it.key()))
            throw ApiError::badRequest(QStringLiteral("Unknown frame setting \"%1\"").arg(it.key()));
    }
    JsonFields fields(changes);
    readSimulation(fields, *frame);
    if (!fields.ok())
        throw ApiError::badRequest(QStringLiteral("Invalid request: %1").arg(fields.error()));
    const DeviceLiveStatus status = frame->liveStatus();
    save(frames);
    m_frames = std::move(frames);
    return status;
}

std::optional<QString> SimulatedFrames::push(const QDateTime &now)
{
    if (m_frames.isEmpty())
        return std::nullopt;
    for (SimulatedFrame &frame : m_frames) {
        if (frame.reachable) {
            frame.registration.lastPushAt = ServerUtil::isoText(now);
            frame.registration.lastPushError.reset();
        } else {
            frame.registration.lastPushError = unreachableError;
        }
    }
    try {
        save(m_frames);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return std::nullopt;
}

void SimulatedFrames::save(const QList<SimulatedFrame> &frames) const
{
    QJsonArray list;
    for (const SimulatedFrame &frame : frames)
        list.append(frame.toJson());
    AtomicFile::write(m_path, ServerUtil::jsonBytes({{QLatin1StringView("devices"), list}}),
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}
