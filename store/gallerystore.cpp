// The store's state, settings and the three building blocks of every
// operation: the run wrapper, the optimistic-concurrency mutation and the
// adoption of a server answer.
#include "gallerystore.h"

#include "photoformatters.h"

#include "appsession.h"
#include "backgroundwork.h"
#include "clock.h"
#include "datafolderwatcher.h"
#include "model/appconfig.h"
#include "model/machineserveraddress.h"
#include "rules/bloomin8.h"

#include <QFile>
#include <QStandardPaths>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>

GalleryStore::GalleryStore(QObject *parent) : GalleryStore(Environment{}, parent) {}

GalleryStore::GalleryStore(Environment environment, QObject *parent)
    : QObject(parent)
    , m_environment(std::move(environment))
    , m_settings(AppConfig::loadSettings())
    , m_deviceScreenAspectRatio(
          Bloomin8Screen::aspectRatio(Bloomin8Screen::default13Width, Bloomin8Screen::default13Height))
    , m_deviceScreenPortraitPixels(Bloomin8Screen::default13Width, Bloomin8Screen::default13Height)
    , m_log(ActivityLogStore::shared())
    , m_requests(std::make_shared<RequestGroup>())
{
    if (!m_environment.isApplicationActive)
        m_environment.isApplicationActive = [] { return true; };
    if (!m_environment.pause)
        m_environment.pause = timerPause;
    if (!m_environment.downloadsFolder) {
        m_environment.downloadsFolder = []() -> std::optional<QString> {
            const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
            return folder.isEmpty() ? std::nullopt : std::optional(folder);
        };
    }
    m_settingsOnDisk = m_settings;
    reportRefusedMachineServerAddress();
    const AppConfig::LocalStateLoad local = AppConfig::loadLocalState();
    m_state = local.state.withResolvedCurrentPhoto();
    if (local.needsServerPull)
        m_isAwaitingInitialGalleryPull = true;
}

void GalleryStore::reportRefusedMachineServerAddress()
{
    // Once per process: the file is read once, and the desktop app and the
    // command-line client each make one store.
    static bool reported = false;
    const MachineServerAddress &machine = MachineServerAddress::machine();
    if (reported || machine.problem.isEmpty())
        return;
    reported = true;
    m_log.log(LogCategory::system, LogLevel::warning, MachineServerAddress::refusedMessage,
              machine.refusedDetail(SyncServerURLs::builtInBaseURL()));
}

GalleryStore::~GalleryStore()
{
    // The loop holds the store weakly and would end at its next round; ending
    // its pause now lets it finish instead of waiting half an hour.
    cancelPeriodicPull();
}

// ---- Observed fields ----------------------------------------------------

void GalleryStore::setSettings(const AppSettings &settings)
{
    m_settings = settings;
    Q_EMIT settingsChanged();
}

void GalleryStore::setState(GalleryState state)
{
    m_state = std::move(state);
    ++m_stateGeneration;
    Q_EMIT stateChanged();
}

void GalleryStore::setServerLinkStatus(LinkStatus status)
{
    m_serverLinkStatus = status;
    Q_EMIT serverLinkStatusChanged();
}

void GalleryStore::setDeviceLinkStatus(LinkStatus status)
{
    m_deviceLinkStatus = status;
    Q_EMIT deviceLinkStatusChanged();
}

void GalleryStore::setCheckingConnection(bool checking)
{
    m_isCheckingConnection = checking;
    Q_EMIT isCheckingConnectionChanged();
}

void GalleryStore::setRegisteredFrames(QList<RegisteredDevicePublic> frames)
{
    m_registeredFrames = std::move(frames);
    Q_EMIT registeredFramesChanged();
}

void GalleryStore::setDeviceScreenAspectRatio(double ratio)
{
    m_deviceScreenAspectRatio = ratio;
    Q_EMIT deviceScreenAspectRatioChanged();
}

void GalleryStore::setDeviceScreenIsLandscape(bool landscape)
{
    m_deviceScreenIsLandscape = landscape;
    Q_EMIT deviceScreenIsLandscapeChanged();
}

void GalleryStore::setBusy(bool busy)
{
    m_isBusy = busy;
    Q_EMIT isBusyChanged();
}

void GalleryStore::setSyncing(bool syncing)
{
    m_isSyncing = syncing;
    Q_EMIT isSyncingChanged();
}

void GalleryStore::setUploadProgress(TransferProgress progress)
{
    m_uploadProgress = progress;
    Q_EMIT uploadProgressChanged();
}

void GalleryStore::setPhotoDownloadProgress(TransferProgress progress)
{
    m_photoDownloadProgress = progress;
    Q_EMIT photoDownloadProgressChanged();
}

void GalleryStore::beginBusy()
{
    if (++m_busyCount == 1)
        setBusy(true);
}

void GalleryStore::endBusy()
{
    if (m_busyCount > 0 && --m_busyCount == 0)
        setBusy(false);
}

void GalleryStore::setAwaitingInitialGalleryPull(bool awaiting)
{
    m_isAwaitingInitialGalleryPull = awaiting;
    Q_EMIT isAwaitingInitialGalleryPullChanged();
}

// ---- Derived values -----------------------------------------------------

bool GalleryStore::isBootstrappingGallery() const
{
    if (m_isBusy && m_state.activePhotos().isEmpty())
        return true;
    return m_isAwaitingInitialGalleryPull;
}

std::optional<GalleryRotationPlan> GalleryStore::rotationPlan() const
{
    const QList<PhotoEntry> active = m_state.activePhotos();
    if (active.isEmpty())
        return std::nullopt;
    QList<QString> order;
    order.reserve(active.size());
    for (const PhotoEntry &photo : active)
        order.append(photo.id);
    const auto kind = m_settings.debugMode
        ? GalleryRotationScheduleKind::debugInterval(m_settings.debugAdvanceIntervalSeconds)
        : GalleryRotationScheduleKind::productionDailyUTC();
    return GalleryRotationSchedule::plan(order, m_state.currentPhotoId, Clock::now(), kind,
                                         GalleryRotationSchedule::utcCalendar());
}

QString GalleryStore::devicePreviewCaption(const PhotoEntry &photo) const
{
    const QString addedBy = PhotoFormatters::addedBy(photo, m_state.uploaders);
    if (m_state.currentPhotoId != photo.id)
        return addedBy;
    const auto plan = rotationPlan();
    if (!plan || !plan->currentShowingUntil)
        return addedBy;
    return addedBy + QStringLiteral(" / ") + PhotoFormatters::untilFriendlyPhrase(*plan->currentShowingUntil);
}

std::optional<QString> GalleryStore::showingTag(const QString &photoID) const
{
    if (m_state.currentPhotoId == photoID)
        return QStringLiteral("Showing for today");
    return showingTag(photoID, rotationPlan());
}

std::optional<QString> GalleryStore::showingTag(const QString &photoID,
                                                const std::optional<GalleryRotationPlan> &plan) const
{
    if (m_state.currentPhotoId == photoID)
        return QStringLiteral("Showing for today");
    if (!plan)
        return std::nullopt;
    const auto start = plan->showingStartByPhotoID.constFind(photoID);
    if (start == plan->showingStartByPhotoID.constEnd())
        return std::nullopt;
    // Photos that change more than once a day (the debug intervals) would
    // all read the same date: they show the time of their showing.
    const auto kind = GalleryRotationSchedule::kind(m_settings.debugMode, m_settings.debugAdvanceIntervalSeconds);
    if (GalleryRotationSchedule::periodDuration(kind) < 24 * 3600)
        return PhotoFormatters::showingTime(*start);
    return PhotoFormatters::showingShort(*start);
}

std::optional<QString> GalleryStore::lightboxShowingUntilCaption(const PhotoEntry &photo) const
{
    if (m_state.currentPhotoId != photo.id)
        return std::nullopt;
    const auto plan = rotationPlan();
    if (!plan || !plan->currentShowingUntil)
        return std::nullopt;
    return PhotoFormatters::showingUntil(*plan->currentShowingUntil);
}

// ---- Settings -------------------------------------------------------------

void GalleryStore::writeSettingsOver()
{
    const AppSettings written = AppConfig::saveSettingsChanges(m_settings, m_settingsOnDisk);
    m_settingsOnDisk = written;
    if (!(written == m_settings))
        setSettings(written);
}

void GalleryStore::reloadSettings()
{
    m_settingsOnDisk = AppConfig::loadSettings();
    setSettings(m_settingsOnDisk);
}

bool GalleryStore::writeSettings()
{
    try {
        writeSettingsOver();
        return true;
    } catch (const Error &error) {
        // The in-memory settings stay changed; the next save tries again.
        m_log.log(error, LogCategory::system, QStringLiteral("Save settings"));
        return false;
    }
}

bool GalleryStore::saveSettings()
{
    std::optional<QString> previousName;
    if (const auto saved = AppConfig::readSettingsFile()) {
        const QString name = saved->displayName.trimmed();
        if (!name.isEmpty())
            previousName = name;
    }
    const QString previousServerURL = m_settings.serverBaseURL;

    AppSettings normalized = m_settings;
    normalized.serverBaseURL = AppSettings::syncServerBaseURL(normalized.debugMode);
    normalized.galleryName = QStringLiteral("default");
    const QString newName = normalized.displayName.trimmed();
    // A rename already owed starts from the name the server last accepted,
    // not from the one saved since; going back to that name settles it.
    const std::optional<QString> from = normalized.uploaderNameOnServer ? normalized.uploaderNameOnServer : previousName;
    if (from && *from == newName)
        normalized.uploaderNameOnServer.reset();
    else if (from && !newName.isEmpty() && (normalized.uploaderNameOnServer || isSessionUnlocked()))
        normalized.uploaderNameOnServer = from;
    setSettings(normalized);
    const bool saved = writeSettings();

    if (m_session)
        m_session->noteSettingsChanged(*this, previousServerURL);
    if (saved)
        m_log.log(LogCategory::system, LogLevel::info, QStringLiteral("Settings saved"), m_settings.serverBaseURL);
    settleOwedUploaderRename();
    startBackground([](GalleryStore &store) { return store.updateConnectionStatus(false); });
    return saved;
}

bool GalleryStore::setDebugMode(bool on)
{
    if (on == m_settings.debugMode)
        return true;
    const QString previousServerURL = m_settings.serverBaseURL;
    AppSettings changed = m_settings;
    changed.debugMode = on;
    changed.serverBaseURL = AppSettings::syncServerBaseURL(on);
    setSettings(changed);
    const bool saved = writeSettings();
    if (m_session)
        m_session->noteSettingsChanged(*this, previousServerURL);
    m_log.log(LogCategory::system, LogLevel::info, on ? QStringLiteral("Debug mode on") : QStringLiteral("Debug mode off"),
              m_settings.serverBaseURL);
    startBackground([](GalleryStore &store) { return store.updateConnectionStatus(false); });
    return saved;
}

bool GalleryStore::setDebugAdvanceIntervalSeconds(int seconds)
{
    const int clamped = GalleryRotationSchedule::clampedDebugInterval(seconds);
    if (clamped == m_settings.debugAdvanceIntervalSeconds)
        return true;
    AppSettings changed = m_settings;
    changed.debugAdvanceIntervalSeconds = clamped;
    setSettings(changed);
    const bool saved = writeSettings();
    m_log.log(LogCategory::system, LogLevel::info, QStringLiteral("Debug advance interval"),
              QString::number(clamped) + QLatin1Char('s'));
    return saved;
}

template <typename T>
bool GalleryStore::changeSetting(T AppSettings::*field, const T &value)
{
    if (m_settings.*field == value)
        return true;
    AppSettings changed = m_settings;
    changed.*field = value;
    setSettings(changed);
    return writeSettings();
}

bool GalleryStore::setPreviewAppearance(PreviewAppearance appearance)
{
    return changeSetting(&AppSettings::previewAppearance, appearance);
}

bool GalleryStore::setNotifyWhenLongWorkEnds(bool notify)
{
    return changeSetting(&AppSettings::notifyWhenLongWorkEnds, notify);
}

void GalleryStore::endSessionGeneration()
{
    // The generation ends before the requests are aborted: an operation that
    // resumes inside abort() must already find itself stale.
    ++m_sessionGeneration;
    std::exchange(m_requests, std::make_shared<RequestGroup>())->abort();
    m_busyCount = 0;
    if (m_isBusy)
        setBusy(false);
    if (m_isSyncing)
        setSyncing(false);
    if (m_uploadProgress.isRunning())
        setUploadProgress({});
    if (m_photoDownloadProgress.isRunning())
        setPhotoDownloadProgress({});
    if (m_isCheckingConnection)
        setCheckingConnection(false);
    m_setAsCurrentInFlight.reset();
    m_uploadedAwaitingAdoption.clear();
    m_uploaderRenameRunning = false;
    // Those who joined the ended work stop waiting; they are stale too.
    if (std::exchange(m_runningPull, std::nullopt))
        Q_EMIT pullEnded();
    if (std::exchange(m_connectionCheckRunning, false))
        Q_EMIT connectionCheckEnded();
}

void GalleryStore::clearLockedGalleryData()
{
    endSessionGeneration();
    setState(GalleryState::empty());
    m_selection.clearSelection();
    m_selection.setLightboxPhotoID(std::nullopt);
    m_selection.setLightboxNavigationPhotoID(std::nullopt);
    try {
        AppConfig::saveLocalState(GalleryState::empty(), m_settings.serverBaseURL,
                                  AppConfig::LocalStateSaveMode::replace);
    } catch (const Error &error) {
        m_log.log(error, LogCategory::system, QStringLiteral("Save gallery"));
    }
    AppConfig::clearPhotoCache();
    markServerDown();
    setDeviceLinkStatus(LinkStatus::down);
    m_pullRetryNotBefore.reset();
    m_pullFailureStreak = 0;
}

// ---- Building blocks ------------------------------------------------------

bool GalleryStore::isSessionUnlocked() const
{
    return m_session && m_session->isUnlocked();
}

SyncClient GalleryStore::makeClient() const
{
    return SyncClient(m_settings, HttpSession::shared(), m_requests);
}

QCoro::Task<> GalleryStore::adoptAndSave(GalleryState state)
{
    const Live live(this);
    setState(state.withResolvedCurrentPhoto());
    const quint64 generation = m_stateGeneration;
    QFuture<QByteArray> encoding = BackgroundWork::run([adopted = m_state] { return adopted.toJsonBytes(); });
    QByteArray bytes = co_await encoding;
    if (!live)
        co_return;
    if (generation != m_stateGeneration)
        bytes = m_state.toJsonBytes();
    saveLocalState(bytes, m_state.updatedAt);
}

void GalleryStore::saveLocalState(const QByteArray &bytes, const QString &updatedAt)
{
    if (auto newer = AppConfig::saveLocalStateBytes(bytes, updatedAt, m_settings.serverBaseURL)) {
        // Another program got a later manifest of this server first.
        setState(newer->withResolvedCurrentPhoto());
    }
}

// ---- Other programs on the same folder ----------------------------------

void GalleryStore::watchDataFolder()
{
    if (m_dataFolderWatcher)
        return;
    m_dataFolderWatcher = new DataFolderWatcher(
        AppConfig::supportFolder(), {AppConfig::settingsURL(), AppConfig::localStateURL()}, this);
    connect(m_dataFolderWatcher, &DataFolderWatcher::filesChanged, this, &GalleryStore::adoptFilesChangedElsewhere);
}

void GalleryStore::adoptFilesChangedElsewhere()
{
    adoptSettingsChangedElsewhere();
    adoptLocalStateChangedElsewhere();
    Q_EMIT filesChangedElsewhereAdopted();
}

void GalleryStore::adoptSettingsChangedElsewhere()
{
    const auto disk = AppConfig::readSettingsFile();
    if (!disk || *disk == m_settingsOnDisk)
        return; // our own save, or nothing usable to take up
    const AppSettings before = m_settings;
    const AppSettings base = std::exchange(m_settingsOnDisk, *disk);
    const AppSettings merged = AppConfig::mergedSettings(m_settings, base, *disk);
    if (merged == m_settings)
        return;
    setSettings(merged);
    m_log.log(LogCategory::system, LogLevel::info, QStringLiteral("Settings changed by another program"));
    if (!m_session)
        return;
    const bool hadToken = before.syncBearer().has_value();
    const bool hasToken = m_settings.syncBearer().has_value();
    if (hadToken && !hasToken) {
        if (m_session->sessionPhase() == SessionPhase::unlocked)
            m_session->lock(*this);
        return;
    }
    if (hasToken && m_settings.syncSessionToken != before.syncSessionToken
        && m_session->sessionPhase() == SessionPhase::locked) {
        QPointer<AppSession> session = m_session;
        startBackground([session](GalleryStore &store) -> QCoro::Task<> {
            if (session)
                co_await session->adoptSignInMadeElsewhere(store);
        });
        return;
    }
    m_session->noteSettingsChanged(*this, before.serverBaseURL);
}

void GalleryStore::adoptLocalStateChangedElsewhere()
{
    // A locked gallery shows nothing; the manifest comes back with the session.
    if (!isSessionUnlocked() || AppConfig::localStateIsOwnLastWrite())
        return;
    const AppConfig::LocalStateLoad local = AppConfig::loadLocalState();
    if (local.needsServerPull)
        return;
    const GalleryState state = local.state.withResolvedCurrentPhoto();
    // The server's updatedAt texts order as their times do. A manifest of
    // the same version with another current photo is the server's rotation
    // seen by the other program first.
    if (state.updatedAt > m_state.updatedAt || (state.updatedAt == m_state.updatedAt && !(state == m_state)))
        setState(state);
}

void GalleryStore::startBackground(std::function<QCoro::Task<>(GalleryStore &)> work)
{
    ++m_backgroundTasks;
    [](QPointer<GalleryStore> self, std::function<QCoro::Task<>(GalleryStore &)> task) -> QCoro::Task<> {
        co_await task(*self);
        if (self && --self->m_backgroundTasks == 0)
            Q_EMIT self->backgroundTasksFinished();
    }(QPointer<GalleryStore>(this), std::move(work));
}

QCoro::Task<> GalleryStore::waitForBackgroundTasks()
{
    const QPointer<GalleryStore> self(this);
    while (self && self->m_backgroundTasks > 0)
        co_await qCoro(this, &GalleryStore::backgroundTasksFinished);
}

QCoro::Task<> GalleryStore::run(QString label, LogCategory category, Body body)
{
    const Live live(this);
    beginBusy();
    std::exception_ptr failure;
    try {
        co_await body();
    } catch (...) {
        failure = std::current_exception();
    }
    // Ended by a lock: its aborted request is no failure to report, and the
    // lock has lowered the flag.
    if (!live)
        co_return;
    if (failure) {
        m_log.log(failure, category, label + QStringLiteral(" failed"));
        handleWrappedFailure(failure);
    }
    endBusy();
}

bool GalleryStore::lockIfUnauthorized(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const SyncError &e) {
        if (e.kind() == SyncError::Kind::http && e.failure().statusCode == 401) {
            if (m_session)
                m_session->lock(*this);
            return true;
        }
    } catch (...) {
    }
    return false;
}

bool GalleryStore::markDownIfUnreachable(const std::exception_ptr &error)
{
    if (!isTransientServerConnectionError(error))
        return false;
    markServerDown();
    return true;
}

void GalleryStore::markServerDown()
{
    m_lastServerOK.reset();
    setServerLinkStatus(LinkStatus::down);
}

void GalleryStore::handleWrappedFailure(const std::exception_ptr &error)
{
    if (lockIfUnauthorized(error))
        return;
    markDownIfUnreachable(error);
    startBackground([](GalleryStore &store) { return store.updateConnectionStatus(false); });
}

QCoro::Task<> GalleryStore::mutateGallery(SyncClient client, bool downloadMissing, GalleryCall call,
                                          MutationHooks hooks)
{
    const Live live(this);
    int retries = 0;
    QString base = m_state.updatedAt;
    for (;;) {
        std::optional<SyncError> stale;
        try {
            GalleryResponse response = co_await call(base);
            if (!live)
                co_return;
            if (hooks.beforeCommit)
                co_await hooks.beforeCommit(response.state);
            if (!live)
                co_return;
            co_await commit(std::move(response), client, downloadMissing);
            co_return;
        } catch (const SyncError &e) {
            if (e.kind() != SyncError::Kind::stale)
                throw;
            stale = e;
        }
        if (!live)
            co_return;
        co_await adoptAndSave(stale->staleResponse().state);
        if (!live)
            co_return;
        if (hooks.afterStaleAdopted)
            hooks.afterStaleAdopted(m_state);
        if (retries == 2)
            throw *stale;
        ++retries;
        base = m_state.updatedAt;
    }
}

QCoro::Task<> GalleryStore::commit(GalleryResponse response, std::optional<SyncClient> client, bool downloadMissing)
{
    const Live live(this);
    if (downloadMissing) {
        const SyncClient downloader = client ? *client : makeClient();
        SyncClient::DownloadProgress progress = [this, live](int done, int total) {
            if (live)
                setPhotoDownloadProgress({done, total});
        };
        co_await downloader.downloadMissing(response.state, std::move(progress));
        if (!live)
            co_return;
        if (m_photoDownloadProgress.isRunning())
            setPhotoDownloadProgress({});
    }
    co_await adoptAndSave(std::move(response.state));
}
