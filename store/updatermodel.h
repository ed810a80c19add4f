// The application's side of the updater: starts it in a release-configured
// build (one given a feed address and a public key), mirrors whether a
// check may start now for the "Check for Updates…" command, runs the silent
// probe once after the main window first appears, and counts the open update
// interface sessions that keep the program alive when its window closes.
// Main thread only.
#pragma once

#include "updates/updatercontroller.h"

#include <QObject>

#include <memory>

// How many update interface sessions are open in this process. While one is,
// closing the last window does not end the program.
class UpdateSession : public QObject
{
    Q_OBJECT
public:
    static UpdateSession &shared();

    int nesting() const { return m_nesting; }
    void enter() { setNesting(m_nesting + 1); }
    void reset() { setNesting(0); }

Q_SIGNALS:
    void nestingChanged(int nesting);

private:
    UpdateSession() = default;
    void setNesting(int nesting);

    int m_nesting = 0;
};

// Turns a valid update found by the silent launch probe into the user's
// update interface, and logs installs and failures.
class UpdaterDelegate : public UpdaterController::Delegate
{
public:
    // True while the silent launch probe runs.
    bool launchProbeActive = false;

    void didFindValidUpdate(UpdaterController &updater, const AppcastItem &update) override;
    void didFinishUpdateCycle(
        UpdaterController &updater, UpdaterController::UpdateCheck check, const Error *error) override;
    void willInstallUpdate(UpdaterController &updater, const AppcastItem &update) override;
    void didAbortWithError(UpdaterController &updater, const Error &error) override;
};

class UpdateUserDriverDelegate : public UpdaterController::UserDriverDelegate
{
public:
    void standardUserDriverWillHandleShowingUpdate(const AppcastItem &update) override;
    void standardUserDriverWillFinishUpdateSession() override;
};

class AppUpdaterModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
public:
    // The updater starts at once when `configuration` is release-configured.
    AppUpdaterModel(
        UpdaterConfiguration configuration, std::unique_ptr<UpdateUserDriver> userDriver, QObject *parent = nullptr);
    ~AppUpdaterModel() override;

    UpdaterController &controller() { return *m_controller; }
    bool canCheckForUpdates() const { return m_canCheckForUpdates; }
    bool isReleaseConfigured() const { return m_isReleaseConfigured; }
    bool didCheckOnLaunch() const { return m_didCheckOnLaunch; }
    bool didScheduleLaunchCheck() const { return m_didScheduleLaunchCheck; }
    UpdaterDelegate &updaterDelegate() { return m_updaterDelegate; }
    UpdateUserDriverDelegate &userDriverDelegate() { return m_userDriverDelegate; }

    // Called once the main window's content is first shown: starts the
    // silent probe now, or as soon as a check may start. Does nothing in a
    // build that is not release-configured, and anything after the first call.
    void mainWindowDidAppear();
    // The user's check ("Check for Updates…").
    void checkForUpdates();

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheckForUpdates);

private:
    void setCanCheckForUpdates(bool value);
    void startLaunchProbe();

    const bool m_isReleaseConfigured;
    bool m_canCheckForUpdates = false;
    bool m_didCheckOnLaunch = false;
    bool m_didScheduleLaunchCheck = false;
    // Declared before the controller, which calls them until it is gone.
    UpdaterDelegate m_updaterDelegate;
    UpdateUserDriverDelegate m_userDriverDelegate;
    std::unique_ptr<UpdaterController> m_controller;
    // Waits for the updater to allow the launch probe.
    QMetaObject::Connection m_launchCheckConnection;
};
