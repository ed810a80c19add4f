// What the user sees of an update session. The updater controller tells the
// driver each stage; the user's answers come back through the callbacks,
// each of which is called at most once (a driver may also never call one,
// when the session is dismissed first). All on the main thread.
#pragma once

#include "appcast.h"

#include <functional>

class UpdaterError;

class UpdateUserDriver
{
public:
    enum class UpdateChoice { download, dismiss };

    virtual ~UpdateUserDriver() = default;

    // A check the user asked for runs; `cancel` stops it.
    virtual void showUserInitiatedUpdateCheck(std::function<void()> cancel) = 0;
    virtual void showUpdateFound(
        const AppcastItem &update, const QString &currentVersion, std::function<void(UpdateChoice)> reply)
        = 0;
    virtual void showUpdateNotFound(const QString &currentVersion, std::function<void()> acknowledgement) = 0;
    virtual void showUpdaterError(const UpdaterError &error, std::function<void()> acknowledgement) = 0;
    // The update is being downloaded and verified; `cancel` stops that.
    virtual void showDownloadInProgress(const AppcastItem &update, std::function<void()> cancel) = 0;
    // The verified update is at `file` for the user to install.
    virtual void showUpdateSaved(const AppcastItem &update, const QString &file, std::function<void()> acknowledgement)
        = 0;
    // The user asked for a check while this session is on show.
    virtual void showUpdateInFocus() = 0;
    // The session is over: close whatever is shown.
    virtual void dismissUpdateInstallation() = 0;
};
