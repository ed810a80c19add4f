// The commands of lunvik-photos-cli. Each one drives the same gallery store
// and session as the desktop app, and learns how an operation went from
// what the store publishes: its state and the activity log records it
// writes (the store's operations never throw).
#pragma once

#include "arguments.h"

#include "app/appsession.h"
#include "gallerystore.h"

#include <QString>

#include <qcoro/qcorotask.h>

namespace ExitStatus {
constexpr int done = 0;
// The operation failed (as logged) or was refused.
constexpr int failed = 1;
constexpr int usage = 2;
// No valid session, or the session locked during the command.
constexpr int locked = 3;
} // namespace ExitStatus

// `log`: needs neither the store nor the session.
int printLog(int count);

class LogWatch;

class CommandRunner
{
public:
    CommandRunner();
    ~CommandRunner();
    CommandRunner(const CommandRunner &) = delete;
    CommandRunner &operator=(const CommandRunner &) = delete;

    // Runs the command and the follow-up tasks it started (connection
    // checks, frame status, a catch-up refresh) to their end, so that the
    // activity log is complete when the process exits; returns the exit
    // status.
    int run(const Invocation &invocation);

private:
    QCoro::Task<int> execute(Invocation invocation);
    // Not a coroutine: each command's coroutine takes copies of what it needs.
    QCoro::Task<int> dispatch(const Invocation &invocation);
    // Waits for the store's follow-up tasks; true when the session locked
    // since the command began.
    QCoro::Task<bool> settle();
    int reportLocked();
    // A settings change that could not be written: exit status failed.
    int reportUnsaved();

    QCoro::Task<int> unlock(QString name, std::optional<QString> frameSetupFile);
    QCoro::Task<int> lock();
    QCoro::Task<int> status();
    QCoro::Task<int> sync();
    QCoro::Task<int> list(bool json, bool offline);
    QCoro::Task<int> upload(QStringList files);
    QCoro::Task<int> deletePhotos(QStringList ids);
    QCoro::Task<int> reorder(QStringList ids);
    QCoro::Task<int> showToday(QString id);
    QCoro::Task<int> download(QStringList ids);
    QCoro::Task<int> preview(QString id, std::optional<QSize> size, std::optional<QString> outputFile);
    QCoro::Task<int> frames();
    QCoro::Task<int> addFrame();
    QCoro::Task<int> removeFrame(QString id);
    QCoro::Task<int> setName(QString name);
    QCoro::Task<int> setDebugMode(bool on);
    QCoro::Task<int> setDebugInterval(int seconds);

    QString m_downloadsFolder;
    GalleryStore m_store;
    AppSession m_session;
    std::unique_ptr<LogWatch> m_log;
    bool m_lockedDuringCommand = false;
};
