// The desktop application: the long-lived objects (chrome state, session,
// gallery store, unlock form, updater), the main window, start-up and
// shutdown.
#pragma once

#include "ui/kit/chromestate.h"
#include "store/appsession.h"

#include "store/gallerystore.h"
#include "updates/updatercontroller.h"

#include <QDBusConnection>
#include <QEventLoopLocker>
#include <QObject>

#include <chrono>
#include <memory>
#include <optional>

class ActivityLogStore;
class AppUpdaterModel;
class ColorSchemeWatcher;
class LongWorkNotifier;
class MainWindow;

class LunvikPhotosApp : public QObject
{
    Q_OBJECT
public:
    // The platform facts the store asks for: whether the application is the
    // active one of the desktop.
    static GalleryStore::Environment desktopEnvironment();

    // `updates` is the build's own update configuration unless a test
    // gives one.
    explicit LunvikPhotosApp(GalleryStore::Environment environment = desktopEnvironment(),
                             UpdaterConfiguration updates = UpdaterConfiguration::fromBuild(),
                             QObject *parent = nullptr);
    ~LunvikPhotosApp() override;

    // Shows the main window, lets the updater run its launch probe and
    // starts the start-up check of the stored session; on the next turn of the event loop the activity log is read,
    // "Lunvik Photos started" is recorded and the log's live reload starts.
    // Without `verifySession` the session stays in its checking phase.
    void launch(bool verifySession = true);
    // Stops the work that runs on its own (the log's live reload, the
    // periodic pull) and closes idle network connections. Called once the
    // event loop has ended; safe to call twice.
    void shutdown();

    // Follows the desktop's light or dark preference as the settings portal
    // on `bus` tells it, applying the style (AppStyle::apply, with
    // `styleChosen`) at once and again on every change. Waits up to
    // `firstAnswerWait` for the portal's first answer.
    void followColorScheme(const QDBusConnection &bus, bool styleChosen = false,
                           std::chrono::milliseconds firstAnswerWait = std::chrono::milliseconds(300));
    // Tells the desktop on `bus` when long work ends while the window is not
    // active (LongWorkNotifier).
    void notifyOn(const QDBusConnection &bus);
    LongWorkNotifier *notifier() const { return m_notifier; }

    AppChromeState &chrome() { return m_chrome; }
    AppSession &session() { return m_session; }
    GalleryStore &store() { return m_store; }
    UnlockForm &unlockForm() { return m_unlockForm; }
    ActivityLogStore &activityLog() { return m_log; }
    AppUpdaterModel &updater() { return *m_updater; }
    MainWindow &window() { return *m_window; }

    // Closing the last window ends the program, except while an update
    // session is open: then it ends when that session does (unless a window
    // has been shown again meanwhile).
    static bool applicationShouldTerminateAfterLastWindowClosed();

    static constexpr double logLiveReloadSeconds = 4;

private:
    void noteUnlockErrorWhileUnlocked();
    void holdEventLoopDuringUpdateSession();

    AppChromeState m_chrome;
    AppSession m_session;
    GalleryStore m_store;
    UnlockForm m_unlockForm;
    ActivityLogStore &m_log;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<AppUpdaterModel> m_updater;
    ColorSchemeWatcher *m_colorScheme = nullptr;
    LongWorkNotifier *m_notifier = nullptr;
    // Held while an update session is open: Qt's quit on the last window
    // closed waits for it to be released.
    std::optional<QEventLoopLocker> m_updateSessionLock;
    bool m_shutDown = false;
};
