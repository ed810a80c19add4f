#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

namespace {

constexpr QByteArrayView raiseMessage = "raise\n";

// The user's private runtime folder when the session has one, else the
// temporary folder (the names carry the user id).
QString runtimeFolder()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (!runtime.isEmpty())
            return runtime;
    }
    return QDir::tempPath();
}

QString instanceName(const QString &key)
{
    const QByteArray digest = QCryptographicHash::hash(QDir::cleanPath(key).toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("lunvik-photos-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest.toHex().left(16)));
}

} // namespace

QString SingleInstance::socketName(const QString &key)
{
    return QDir(runtimeFolder()).filePath(instanceName(key) + QStringLiteral(".socket"));
}

QString SingleInstance::lockPath(const QString &key)
{
    return QDir(runtimeFolder()).filePath(instanceName(key) + QStringLiteral(".lock"));
}

SingleInstance::SingleInstance(const QString &key, QObject *parent)
    : QObject(parent), m_key(key), m_lock(lockPath(key))
{
    // The lock is only ever stale when its process is gone, however old.
    m_lock.setStaleLockTime(0);
    m_primary = m_lock.tryLock(0);
    if (m_primary)
        listen();
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
    if (m_primary)
        m_lock.unlock();
}

void SingleInstance::listen()
{
    const QString name = socketName(m_key);
    // Holding the lock proves that a socket left there belongs to a process
    // that is gone.
    QLocalServer::removeServer(name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        qWarning("Lunvik Photos: cannot listen for later launches on %s: %s", qPrintable(name),
                 qPrintable(m_server->errorString()));
        return;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine() == QByteArray(raiseMessage.data(), raiseMessage.size()))
                    Q_EMIT raiseRequested();
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::askPrimaryToRaise(int timeoutMs)
{
    // The running program may still be starting and not listen yet.
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        QLocalSocket socket;
        socket.connectToServer(socketName(m_key));
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            socket.write(raiseMessage.data(), raiseMessage.size());
            const bool sent = socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())));
            socket.disconnectFromServer();
            return sent;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}
