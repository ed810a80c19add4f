// The software updater: reads the update feed, picks the newest release
// above the running version, and on the user's word downloads it, checks
// its length and Ed25519 signature, and puts the verified file into the
// Downloads folder for the user to install with the system's installer.
//
// Two kinds of check:
//   - checkForUpdateInformation(): silent; a valid update is only reported
//     to the delegate (didFindValidUpdate);
//   - checkForUpdates(): the user's; every stage is shown through the
//     UpdateUserDriver, which also brings the user's choices back.
// One check or update session runs at a time; `canCheckForUpdates` is false
// while one runs and before the updater is started. A user check asked for
// during a silent one runs as soon as the silent one ends; asked for during
// another user session, it brings that session's interface forward.
//
// A downloaded file that is longer or shorter than announced, or whose
// signature does not verify, is deleted and never offered; the session ends
// with didAbortWithError. Main thread only.
#pragma once

#include "appcast.h"
#include "updateuserdriver.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

#include <qcoro/qcorotask.h>

class Error;
class HttpSession;
class UpdaterError;

// What a build needs to look for updates: the feed's address and the base64
// Ed25519 public key that signs releases, and the version it runs.
struct UpdaterConfiguration {
    QString feedURL;
    QString publicKey;
    QString currentVersion;

    // The values given to CMake (LUNVIK_UPDATE_FEED_URL, LUNVIK_UPDATE_PUBLIC_KEY)
    // and the project's version.
    static UpdaterConfiguration fromBuild();
    // A feed address and a public key were given (neither empty).
    bool isReleaseConfigured() const;
};

class UpdaterController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
public:
    enum class UpdateCheck { updates, updateInformation };

    // What happens to update sessions; every call on the main thread.
    class Delegate
    {
    public:
        virtual ~Delegate() = default;
        virtual void didFindValidUpdate(UpdaterController &, const AppcastItem &) { }
        // Every check ends here, after its interface (if any) has closed;
        // `error` is null when it did not fail.
        virtual void didFinishUpdateCycle(UpdaterController &, UpdateCheck, const Error *) { }
        virtual void didAbortWithError(UpdaterController &, const Error &) { }
        // The verified update is about to be handed to the user.
        virtual void willInstallUpdate(UpdaterController &, const AppcastItem &) { }
    };

    // What happens to the update interface.
    class UserDriverDelegate
    {
    public:
        virtual ~UserDriverDelegate() = default;
        virtual void standardUserDriverWillHandleShowingUpdate(const AppcastItem &) { }
        virtual void standardUserDriverWillFinishUpdateSession() { }
    };

    // Where downloads go: `staging` holds a file while it is verified;
    // `downloads` receives it once verified.
    struct Folders {
        QString staging;
        QString downloads;
        // A folder "updates" in the user's cache, and the Downloads folder.
        static Folders standard();
    };

    // The delegates must outlive the controller; the controller owns the
    // driver. With `startingUpdater` the updater starts at once.
    UpdaterController(UpdaterConfiguration configuration, bool startingUpdater, Delegate *delegate,
        UserDriverDelegate *userDriverDelegate, std::unique_ptr<UpdateUserDriver> userDriver,
        QObject *parent = nullptr);
    ~UpdaterController() override;

    // Checks the configuration and allows checks from now on. A feed address
    // that is neither https nor http to this machine, or a public key that
    // is not 32 bytes of base64, keeps it stopped: the delegate hears of it
    // through didAbortWithError and false is answered.
    bool startUpdater();
    bool isStarted() const { return m_started; }
    bool canCheckForUpdates() const { return m_canCheckForUpdates; }

    void checkForUpdateInformation();
    void checkForUpdates();

    const UpdaterConfiguration &configuration() const { return m_configuration; }
    const Folders &folders() const { return m_folders; }
    void setFolders(Folders folders) { m_folders = std::move(folders); }
    UpdateUserDriver *userDriver() const { return m_userDriver.get(); }

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheckForUpdates);

private:
    struct Session {
        int id = 0;
        UpdateCheck check = UpdateCheck::updates;
        std::optional<AppcastItem> update;
        // The download while it is verified; removed when the session ends.
        QString stagedFile;
        std::shared_ptr<const Error> error;
    };

    bool isCurrent(int sessionId) const { return m_session && m_session->id == sessionId; }
    bool isInteractive() const { return m_session && m_session->check == UpdateCheck::updates; }
    void setCanCheckForUpdates(bool value);
    HttpSession &http();
    void beginSession(UpdateCheck check);
    void finishSession(int sessionId);
    void cancelSession(int sessionId);
    void fail(int sessionId, const UpdaterError &error);
    void takeChoice(int sessionId, UpdateUserDriver::UpdateChoice choice);
    // Guards the driver's callbacks: they do nothing once the controller or
    // the session is gone.
    std::function<void()> sessionCallback(int sessionId, void (UpdaterController::*member)(int));

    QCoro::Task<> runCheck(int sessionId);
    QCoro::Task<> runDownload(int sessionId, AppcastItem update);
    // The verified file's place in Downloads; throws UpdaterError.
    QString handOver(const QString &stagedFile, const AppcastItem &update) const;

    UpdaterConfiguration m_configuration;
    Delegate *m_delegate;
    UserDriverDelegate *m_userDriverDelegate;
    std::unique_ptr<UpdateUserDriver> m_userDriver;
    Folders m_folders;
    QUrl m_feedURL;
    QByteArray m_publicKey;
    bool m_started = false;
    bool m_canCheckForUpdates = false;
    bool m_userCheckPending = false;
    std::optional<Session> m_session;
    int m_lastSessionId = 0;
    QPointer<HttpSession> m_http;
};
