// A D-Bus session bus of the test's own (dbus-daemon on a socket in a
// temporary folder, with a configuration that activates no services), for
// fake desktop services. Nothing reaches the user's session bus.
#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

class PrivateBus
{
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    // Whether dbus-daemon is installed.
    static bool available();
    // Starts the daemon; false (with errorText()) when it did not come up.
    bool start();
    QString errorText() const { return m_error; }
    QString address() const { return m_address; }

    // A connection of its own to the bus, named `name` in this process.
    QDBusConnection connect(const QString &name);
    // A connection named `name` that owns `service` and exports `object`'s
    // slots and signals at `path`; not connected when any of that failed.
    QDBusConnection serve(const QString &name, const QString &service, const QString &path, QObject *object);

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_error;
    QStringList m_connections;
};
