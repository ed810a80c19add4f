// The desktop application: the long-lived objects (chrome state, session,
// gallery store, unlock form), the main window, start-up and shutdown.
#pragma once

#include "appchromestate.h"
#include "appsession.h"

#include "store/gallerystore.h"

#include <QObject>

#include <memory>

class ActivityLogStore;
class MainWindow;

class LunvikPhotosApp : public QObject
{
    Q_OBJECT
public:
    // The platform facts the store asks for: whether the application is the
    // active one of the desktop.
    static GalleryStore::Environment desktopEnvironment();

    explicit LunvikPhotosApp(GalleryStore::Environment environment = desktopEnvironment(), QObject *parent = nullptr);
    ~LunvikPhotosApp() override;

    // Shows the main window and starts the start-up check of the stored
    // session; on the next turn of the event loop the activity log is read,
    // "Lunvik Photos started" is recorded and the log's live reload starts.
    // Without `verifySession` the session stays in its checking phase.
    void launch(bool verifySession = true);
    // Stops the work that runs on its own (the log's live reload, the
    // periodic pull) and closes idle network connections. Called once the
    // event loop has ended; safe to call twice.
    void shutdown();

    AppChromeState &chrome() { return m_chrome; }
    AppSession &session() { return m_session; }
    GalleryStore &store() { return m_store; }
    UnlockForm &unlockForm() { return m_unlockForm; }
    ActivityLogStore &activityLog() { return m_log; }
    MainWindow &window() { return *m_window; }

    static constexpr double logLiveReloadSeconds = 4;

private:
    void noteUnlockErrorWhileUnlocked();

    AppChromeState m_chrome;
    AppSession m_session;
    GalleryStore m_store;
    UnlockForm m_unlockForm;
    ActivityLogStore &m_log;
    std::unique_ptr<MainWindow> m_window;
    bool m_shutDown = false;
};
