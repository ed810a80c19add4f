// The server and frame link statuses, the connection check, and the frames
// registered on the server.
#include "gallerystore.h"

#include "appsession.h"
#include "clock.h"
#include "rules/bloomin8.h"
#include "rules/epaperrendering.h"
#include "server/reachability.h"

#include <qcoro/qcorosignal.h>

void GalleryStore::applyServerStatus(bool pingSucceeded)
{
    if (pingSucceeded) {
        m_lastServerOK = Clock::now();
        setServerLinkStatus(LinkStatus::up);
        return;
    }
    const bool withinGrace =
        m_lastServerOK && m_lastServerOK->secsTo(Clock::now()) < serverStatusGraceSeconds;
    setServerLinkStatus(withinGrace ? LinkStatus::up : LinkStatus::down);
}

QCoro::Task<> GalleryStore::updateConnectionStatus(bool showCheckingUI)
{
    if (m_connectionCheckRunning) {
        // Joins the running check: its answer is this one's too.
        const QPointer<GalleryStore> self(this);
        while (self && m_connectionCheckRunning)
            co_await qCoro(this, &GalleryStore::connectionCheckEnded);
        co_return;
    }
    const Live live(this);
    m_connectionCheckRunning = true;
    co_await runConnectionCheck(showCheckingUI);
    // A lock has already ended this check for those who joined it.
    if (!live)
        co_return;
    m_connectionCheckRunning = false;
    setCheckingConnection(false);
    Q_EMIT connectionCheckEnded();
}

QCoro::Task<> GalleryStore::runConnectionCheck(bool showCheckingUI)
{
    const Live live(this);
    const LinkStatus previous = m_serverLinkStatus;
    const quint64 pullSuccessesBefore = m_pullSuccesses;
    setCheckingConnection(true);
    if (showCheckingUI) {
        setServerLinkStatus(LinkStatus::checking);
        setDeviceLinkStatus(LinkStatus::checking);
    }
    m_log.log(LogCategory::system, LogLevel::info, QStringLiteral("Checking server and frames"));
    const QString healthAddress = m_settings.serverBaseURL + QStringLiteral("/api/health");
    const bool ok = co_await Reachability::pingServer(m_settings.serverBaseURL);
    if (!live)
        co_return;
    applyServerStatus(ok);
    if (!ok) {
        setDeviceLinkStatus(LinkStatus::down);
        m_log.log(LogCategory::server, LogLevel::error, QStringLiteral("Server unreachable"), healthAddress);
        co_return;
    }
    if (isSessionUnlocked()) {
        co_await reloadRegisteredFrames();
        if (!live)
            co_return;
        co_await updateDeviceStatus();
        if (!live)
            co_return;
    }
    m_log.log(LogCategory::server, LogLevel::success, QStringLiteral("Server reachable"), healthAddress);
    if (isSessionUnlocked()) {
        co_await m_session->revalidateIfUnlocked(*this);
        if (!live)
            co_return;
        // Only a server that is still up after the re-verification has come
        // back. A verification that finds it unreachable marks it down again;
        // catching up then would fail, start another check, and go round for
        // ever. A pull that succeeded meanwhile has caught up already.
        if (previous == LinkStatus::down && m_serverLinkStatus == LinkStatus::up
            && m_pullSuccesses == pullSuccessesBefore)
            startBackground([](GalleryStore &store) { return store.pullFromServer(PullKind::refresh); });
    }
}

QCoro::Task<> GalleryStore::updateDeviceStatus(std::optional<SyncClient> client)
{
    if (!isSessionUnlocked()) {
        setDeviceLinkStatus(LinkStatus::down);
        co_return;
    }
    if (!client) {
        try {
            client = makeClient();
        } catch (const Error &) {
            setDeviceLinkStatus(LinkStatus::down);
            co_return;
        }
    }
    const Live live(this);
    QList<DeviceLiveStatus> statuses;
    bool failed = false;
    try {
        statuses = co_await client->fetchDeviceStatus();
    } catch (...) {
        failed = true;
    }
    if (!live)
        co_return;
    if (failed) {
        setDeviceLinkStatus(LinkStatus::down);
        co_return;
    }
    m_frameStatuses = statuses;
    Q_EMIT frameStatusesChanged();
    applyDeviceScreenGeometryIfReachable(statuses);
    const bool anyReachable =
        std::any_of(statuses.begin(), statuses.end(), [](const DeviceLiveStatus &s) { return s.reachable; });
    setDeviceLinkStatus(anyReachable ? LinkStatus::up : LinkStatus::down);
    if (!statuses.isEmpty() && !anyReachable) {
        for (const DeviceLiveStatus &status : std::as_const(statuses))
            m_log.log(LogCategory::device, LogLevel::warning, QStringLiteral("Frame offline"),
                      status.displayName + QStringLiteral(": ")
                          + status.lastPushError.value_or(QStringLiteral("unreachable")));
    }
}

QSize GalleryStore::deviceScreenSize() const
{
    return EpaperRendering::screenSize(m_deviceScreenPortraitPixels.width(), m_deviceScreenPortraitPixels.height(),
                                       m_deviceScreenIsLandscape);
}

void GalleryStore::applyDeviceScreenGeometryIfReachable(const QList<DeviceLiveStatus> &statuses)
{
    for (const DeviceLiveStatus &status : statuses) {
        if (status.reachable) {
            applyDeviceScreenGeometry(status);
            return;
        }
    }
}

void GalleryStore::applyDeviceScreenGeometry(const DeviceLiveStatus &status)
{
    // Frames report plain integers; anything beyond int is no real screen.
    const auto side = [](const std::optional<qint64> &value) -> std::optional<int> {
        if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max())
            return std::nullopt;
        return int(*value);
    };
    const std::optional<int> width = side(status.width);
    const std::optional<int> height = side(status.height);
    if (width && height && *width >= 1 && *height >= 1) {
        setDeviceScreenAspectRatio(Bloomin8Screen::aspectRatio(*width, *height));
        const Bloomin8Screen::CanvasPixels canvas = Bloomin8Screen::portraitCanvasPixels(width, height);
        const QSize pixels(canvas.width, canvas.height);
        if (pixels != m_deviceScreenPortraitPixels) {
            m_deviceScreenPortraitPixels = pixels;
            Q_EMIT deviceScreenSizeChanged();
        }
    }
    const bool wasLandscape = m_deviceScreenIsLandscape;
    setDeviceScreenIsLandscape(Bloomin8Screen::isLandscapeDevice(status.orientation, width, height));
    if (wasLandscape != m_deviceScreenIsLandscape)
        Q_EMIT deviceScreenSizeChanged();
}

QCoro::Task<> GalleryStore::reloadRegisteredFrames()
{
    if (!isSessionUnlocked())
        co_return;
    const Live live(this);
    QList<RegisteredDevicePublic> frames;
    try {
        const SyncClient client = makeClient();
        frames = co_await client.listDevices();
    } catch (...) {
        frames.clear();
    }
    if (live)
        setRegisteredFrames(frames);
}

void GalleryStore::upsertRegisteredFrame(const RegisteredDevicePublic &frame)
{
    QList<RegisteredDevicePublic> frames = m_registeredFrames;
    const auto existing = std::find_if(frames.begin(), frames.end(),
                                       [&](const RegisteredDevicePublic &f) { return f.id == frame.id; });
    if (existing != frames.end())
        *existing = frame;
    else
        frames.append(frame);
    setRegisteredFrames(frames);
}

QCoro::Task<RegisteredDevicePublic> GalleryStore::registerFrame(QString setupText)
{
    const Live live(this);
    const SyncClient client = makeClient();
    const std::optional<QString> name = Bloomin8TokenParser::parseDeviceName(setupText);
    const RegisteredDevicePublic frame = co_await client.registerDevice(setupText, name, m_settings.displayName);
    if (!live)
        co_return frame;
    upsertRegisteredFrame(frame);
    m_log.log(LogCategory::device, LogLevel::success, QStringLiteral("Frame registered"), frame.displayName);
    startBackground([client](GalleryStore &store) { return store.updateDeviceStatus(client); });
    co_return frame;
}

QCoro::Task<> GalleryStore::unregisterFrame(QString id)
{
    const Live live(this);
    const SyncClient client = makeClient();
    const QList<RegisteredDevicePublic> remembered = m_registeredFrames;
    QList<RegisteredDevicePublic> remaining = remembered;
    remaining.removeIf([&](const RegisteredDevicePublic &f) { return f.id == id; });
    setRegisteredFrames(remaining);
    try {
        co_await client.deleteDevice(id);
    } catch (...) {
        if (live)
            setRegisteredFrames(remembered);
        throw;
    }
    if (!live)
        co_return;
    m_log.log(LogCategory::device, LogLevel::info, QStringLiteral("Frame removed"));
    startBackground([client](GalleryStore &store) { return store.updateDeviceStatus(client); });
}
