// One running program per data folder: the first launch holds a lock and
// listens on a local socket; a later launch finds the lock taken, asks the
// running one to raise its window and ends. So two processes never write the
// same files.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // `key` names what the instance guards: the support folder's path.
    explicit SingleInstance(const QString &key, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process runs the program: it holds the lock and
    // listens for later launches.
    bool isPrimary() const { return m_primary; }
    // From a later launch: asks the running one to come to the front. False
    // when it could not be reached within `timeoutMs`.
    bool askPrimaryToRaise(int timeoutMs = 3000);

    // Per user and per key; the socket lives in the user's runtime folder.
    static QString socketName(const QString &key);
    static QString lockPath(const QString &key);

Q_SIGNALS:
    void raiseRequested();

private:
    void listen();

    QString m_key;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
    bool m_primary = false;
};
