// Runs the development gallery server (lunvik-gallery-server) as a child
// process for end-to-end tests, on a free port of 127.0.0.1 with its own
// temporary data folder. The data folder lives as long as the object, so
// stop() followed by start() restarts the server on the same gallery (the
// port may change). The destructor stops a server that is still running.
// The server's standard error (one line per request) goes to a file,
// serverLog(), so a busy test never blocks it on a full pipe.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

class DevServerProcess
{
public:
    explicit DevServerProcess(QString password = QStringLiteral("family-secret"));
    ~DevServerProcess();

    DevServerProcess(const DevServerProcess &) = delete;
    DevServerProcess &operator=(const DevServerProcess &) = delete;

    // The built server binary.
    static QString binaryPath();

    // Starts the server with --port 0 --data <dataFolder()> --password
    // <password()> and `extraArguments`, and waits up to `timeoutMs` for its
    // "Listening on" line. False (see errorText()) when it did not get there.
    // With an empty password() no --password is passed, so the server takes
    // it from LUNVIK_FAMILY_PASSWORD in this process's environment.
    bool start(const QStringList &extraArguments = {}, int timeoutMs = 15000);
    // Sends SIGTERM and waits; true when the server exited with status 0.
    bool stop(int timeoutMs = 10000);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    // Valid while the server runs: http://127.0.0.1:<port>.
    QUrl baseURL() const { return m_baseURL; }
    QString dataFolder() const { return m_folder.path() + QStringLiteral("/data"); }
    QString password() const { return m_password; }
    // What went wrong, with the end of the server's log.
    QString errorText() const { return m_errorText; }
    // Everything the server wrote to standard error, over all its runs.
    QString serverLog() const;

private:
    QString failure(const QString &what) const;

    QString m_password;
    QTemporaryDir m_folder;
    QProcess m_process;
    QUrl m_baseURL;
    QString m_errorText;
};
