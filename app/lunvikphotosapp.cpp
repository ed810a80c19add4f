#include "lunvikphotosapp.h"

#include "longworknotifier.h"
#include "mainwindow.h"
#include "ui/kit/colorschemewatcher.h"
#include "ui/kit/style.h"
#include "ui/updates/updatedialog.h"
#include "store/updatermodel.h"

#include "log/activitylogstore.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QNetworkAccessManager>
#include <QTimer>

GalleryStore::Environment LunvikPhotosApp::desktopEnvironment()
{
    GalleryStore::Environment environment;
    environment.isApplicationActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; };
    // Hidden, for long-running tests: pulls every few seconds instead of
    // every half hour, and also when no window is active (offscreen).
    bool valid = false;
    const int seconds = qEnvironmentVariableIntValue("LUNVIK_TEST_PULL_INTERVAL_SECONDS", &valid);
    if (valid && seconds > 0) {
        environment.periodicPullInterval = std::chrono::seconds(seconds);
        environment.isApplicationActive = [] { return true; };
    }
    return environment;
}

LunvikPhotosApp::LunvikPhotosApp(GalleryStore::Environment environment, UpdaterConfiguration updates,
                                 QObject *parent)
    : QObject(parent)
    , m_store(std::move(environment))
    , m_unlockForm(m_session, m_store)
    , m_log(ActivityLogStore::shared())
{
    m_store.setSession(&m_session);
    m_window = std::make_unique<MainWindow>(m_chrome, m_session, m_store, m_log, m_unlockForm);
    m_updater = std::make_unique<AppUpdaterModel>(std::move(updates),
                                                  std::make_unique<StandardUpdateUserDriver>(m_window.get()));
    m_window->attachUpdater(*m_updater);
    connect(&m_session, &AppSession::unlockErrorChanged, this, &LunvikPhotosApp::noteUnlockErrorWhileUnlocked);
    connect(&UpdateSession::shared(), &UpdateSession::nestingChanged, this,
            &LunvikPhotosApp::holdEventLoopDuringUpdateSession);
    holdEventLoopDuringUpdateSession();
}

LunvikPhotosApp::~LunvikPhotosApp()
{
    shutdown();
    // The update window is a child of the main window.
    m_updater.reset();
    // The window's screens refer to the store and the session.
    m_window.reset();
}

bool LunvikPhotosApp::applicationShouldTerminateAfterLastWindowClosed()
{
    return UpdateSession::shared().nesting() < 1;
}

void LunvikPhotosApp::holdEventLoopDuringUpdateSession()
{
    if (applicationShouldTerminateAfterLastWindowClosed())
        m_updateSessionLock.reset();
    else if (!m_updateSessionLock)
        m_updateSessionLock.emplace();
}

void LunvikPhotosApp::launch(bool verifySession)
{
    m_window->show();
    m_updater->mainWindowDidAppear();
    m_store.watchDataFolder();
    if (verifySession)
        m_session.tryAutoUnlock(m_store);
    QTimer::singleShot(0, this, [this] {
        m_log.reload();
        m_log.log(LogCategory::system, LogLevel::info, QStringLiteral("Lunvik Photos started"));
        m_log.startLiveReload(logLiveReloadSeconds);
    });
}

void LunvikPhotosApp::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    m_log.stopLiveReload();
    m_store.cancelPeriodicPull();
    // Idle keep-alive connections live on Qt's HTTP thread; closing them
    // while an event loop still turns ends them cleanly.
    if (QCoreApplication *application = QCoreApplication::instance()) {
        for (auto *manager : application->findChildren<QNetworkAccessManager *>())
            manager->clearConnectionCache();
        QEventLoop loop;
        QTimer::singleShot(0, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

void LunvikPhotosApp::followColorScheme(const QDBusConnection &bus, bool styleChosen,
                                        std::chrono::milliseconds firstAnswerWait)
{
    delete m_colorScheme;
    m_colorScheme = new ColorSchemeWatcher(bus, this);
    const auto applyScheme = [this, styleChosen] {
        if (auto *application = qobject_cast<QApplication *>(QCoreApplication::instance()))
            AppStyle::apply(*application, styleChosen, m_colorScheme->scheme());
    };
    connect(m_colorScheme, &ColorSchemeWatcher::schemeChanged, this, applyScheme);
    m_colorScheme->waitForFirstAnswer(firstAnswerWait);
    applyScheme();
}

void LunvikPhotosApp::notifyOn(const QDBusConnection &bus)
{
    delete m_notifier;
    m_notifier = new LongWorkNotifier(m_store, bus, this);
}

void LunvikPhotosApp::noteUnlockErrorWhileUnlocked()
{
    // A frame registration that fails right after a successful sign-in sets
    // the form's message, but the gallery has replaced the form by then.
    // The activity log is where failures outside the forms are shown.
    const std::optional<QString> &error = m_session.unlockError();
    if (!m_session.isUnlocked() || !error || error->isEmpty())
        return;
    m_log.log(LogCategory::device, LogLevel::error, *error);
}
