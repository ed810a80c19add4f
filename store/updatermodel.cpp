#include "updatermodel.h"

#include "log/activitylogstore.h"

UpdateSession &UpdateSession::shared()
{
    static UpdateSession *session = new UpdateSession;
    return *session;
}

void UpdateSession::setNesting(int nesting)
{
    if (m_nesting == nesting)
        return;
    m_nesting = nesting;
    Q_EMIT nestingChanged(nesting);
}

void UpdaterDelegate::didFindValidUpdate(UpdaterController &updater, const AppcastItem &)
{
    // An update found by the launch probe is shown once; one found by the
    // user's own check is shown by that check.
    if (!launchProbeActive)
        return;
    launchProbeActive = false;
    updater.checkForUpdates();
}

void UpdaterDelegate::didFinishUpdateCycle(UpdaterController &, UpdaterController::UpdateCheck, const Error *)
{
    launchProbeActive = false;
}

void UpdaterDelegate::willInstallUpdate(UpdaterController &, const AppcastItem &update)
{
    UpdateSession::shared().enter();
    ActivityLogStore::shared().log(
        LogCategory::system, LogLevel::info, QStringLiteral("Installing update"), update.displayVersionString);
}

void UpdaterDelegate::didAbortWithError(UpdaterController &, const Error &error)
{
    UpdateSession::shared().reset();
    ActivityLogStore::shared().log(error, LogCategory::system, QStringLiteral("Sparkle update failed"));
}

void UpdateUserDriverDelegate::standardUserDriverWillHandleShowingUpdate(const AppcastItem &)
{
    UpdateSession::shared().enter();
}

void UpdateUserDriverDelegate::standardUserDriverWillFinishUpdateSession()
{
    UpdateSession::shared().reset();
}

AppUpdaterModel::AppUpdaterModel(
    UpdaterConfiguration configuration, std::unique_ptr<UpdateUserDriver> userDriver, QObject *parent)
    : QObject(parent)
    , m_isReleaseConfigured(configuration.isReleaseConfigured())
{
    m_controller = std::make_unique<UpdaterController>(std::move(configuration), m_isReleaseConfigured,
        &m_updaterDelegate, &m_userDriverDelegate, std::move(userDriver));
    connect(m_controller.get(), &UpdaterController::canCheckForUpdatesChanged, this,
        &AppUpdaterModel::setCanCheckForUpdates);
    setCanCheckForUpdates(m_controller->canCheckForUpdates());
}

AppUpdaterModel::~AppUpdaterModel()
{
    disconnect(m_launchCheckConnection);
    m_controller.reset();
}

void AppUpdaterModel::setCanCheckForUpdates(bool value)
{
    if (m_canCheckForUpdates == value)
        return;
    m_canCheckForUpdates = value;
    Q_EMIT canCheckForUpdatesChanged(value);
}

void AppUpdaterModel::mainWindowDidAppear()
{
    if (!m_isReleaseConfigured || m_didScheduleLaunchCheck)
        return;
    m_didScheduleLaunchCheck = true;
    if (m_controller->canCheckForUpdates()) {
        if (!m_didCheckOnLaunch)
            startLaunchProbe();
        return;
    }
    // Not yet (a check runs already): the first time the updater allows
    // one, delivered from the event loop.
    m_launchCheckConnection = connect(
        m_controller.get(), &UpdaterController::canCheckForUpdatesChanged, this,
        [this](bool canCheck) {
            if (!canCheck)
                return;
            disconnect(m_launchCheckConnection);
            if (m_isReleaseConfigured && !m_didCheckOnLaunch)
                startLaunchProbe();
        },
        Qt::QueuedConnection);
}

void AppUpdaterModel::startLaunchProbe()
{
    m_didCheckOnLaunch = true;
    m_updaterDelegate.launchProbeActive = true;
    m_controller->checkForUpdateInformation();
}

void AppUpdaterModel::checkForUpdates()
{
    m_controller->checkForUpdates();
}
