#include "devserverprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#include <csignal>

DevServerProcess::DevServerProcess(QString password)
    : m_password(std::move(password))
{
    m_process.setProgram(binaryPath());
    m_process.setStandardErrorFile(m_folder.path() + QStringLiteral("/server.log"), QIODevice::Append);
}

DevServerProcess::~DevServerProcess()
{
    if (isRunning())
        stop();
}

QString DevServerProcess::binaryPath()
{
    return QStringLiteral(LUNVIK_GALLERY_SERVER_BINARY);
}

QString DevServerProcess::serverLog() const
{
    QFile log(m_folder.path() + QStringLiteral("/server.log"));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

QString DevServerProcess::failure(const QString &what) const
{
    return QStringLiteral("%1; the server's log ends with:\n%2").arg(what, serverLog().right(2000));
}

bool DevServerProcess::start(const QStringList &extraArguments, int timeoutMs)
{
    m_errorText.clear();
    m_baseURL.clear();
    if (isRunning()) {
        m_errorText = QStringLiteral("already running");
        return false;
    }
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), dataFolder()};
    if (!m_password.isEmpty())
        arguments << QStringLiteral("--password") << m_password;
    m_process.setArguments(arguments + extraArguments);
    m_process.start();
    if (!m_process.waitForStarted(timeoutMs)) {
        m_errorText = m_process.errorString();
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("^Listening on (http://\\S+)$"));
    const QDeadlineTimer deadline(timeoutMs);
    // Ends when the server exits or the deadline passes (no wait at all then).
    while (m_process.canReadLine() || m_process.waitForReadyRead(int(deadline.remainingTime()))) {
        if (!m_process.canReadLine())
            continue;
        const auto match = listening.match(QString::fromUtf8(m_process.readLine()).trimmed());
        if (match.hasMatch()) {
            m_baseURL = QUrl(match.captured(1));
            return true;
        }
    }
    m_errorText
        = failure(QStringLiteral("the server did not start listening (exit code %1)").arg(m_process.exitCode()));
    if (isRunning()) {
        m_process.kill();
        m_process.waitForFinished();
    }
    return false;
}

bool DevServerProcess::stop(int timeoutMs)
{
    m_errorText.clear();
    if (!isRunning()) {
        m_errorText = QStringLiteral("not running");
        return false;
    }
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(timeoutMs)) {
        m_errorText = failure(QStringLiteral("the server did not stop within %1 ms").arg(timeoutMs));
        m_process.kill();
        m_process.waitForFinished();
        return false;
    }
    m_baseURL.clear();
    if (m_process.exitStatus() != QProcess::NormalExit || m_process.exitCode() != 0) {
        m_errorText = failure(QStringLiteral("the server exited with code %1").arg(m_process.exitCode()));
        return false;
    }
    return true;
}
