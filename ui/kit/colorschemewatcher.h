// Follows the desktop's light or dark preference through the freedesktop
// settings portal (org.freedesktop.appearance color-scheme): reads it once
// and then listens for its change signal. Every call is asynchronous. No
// bus, no portal or an unreadable answer leaves the scheme at
// followDesktop (the platform's palette).
#pragma once

#include "style.h"

#include <QDBusConnection>
#include <QObject>

#include <chrono>

class QDBusPendingCallWatcher;
class QDBusVariant;

class ColorSchemeWatcher : public QObject
{
    Q_OBJECT
public:
    static inline const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
    static inline const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
    static inline const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
    static inline const QString appearanceNamespace = QStringLiteral("org.freedesktop.appearance");
    static inline const QString colorSchemeKey = QStringLiteral("color-scheme");

    // Starts reading the preference on `bus` (the session bus, or a test's).
    explicit ColorSchemeWatcher(const QDBusConnection &bus, QObject *parent = nullptr);

    AppStyle::Scheme scheme() const { return m_scheme; }
    // Turns the event loop until the first read is answered (or fails), at
    // most `timeout`: before the window first shows, so that a dark desktop
    // does not see it light for a moment.
    void waitForFirstAnswer(std::chrono::milliseconds timeout);
    // The portal's value: 1 prefers dark, 2 prefers light, anything else
    // (0, no preference) follows the desktop.
    static AppStyle::Scheme schemeFromPortalValue(const QVariant &value);

Q_SIGNALS:
    void schemeChanged();
    void firstAnswered();

private Q_SLOTS:
    void settingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value);

private:
    void read(const QString &method);
    void readFinished(QDBusPendingCallWatcher *call, const QString &method);
    void setScheme(AppStyle::Scheme scheme);
    void setAnswered();

    QDBusConnection m_bus;
    AppStyle::Scheme m_scheme = AppStyle::Scheme::followDesktop;
    // A change signal is newer than an answer to the first read still on
    // its way.
    bool m_heardChange = false;
    bool m_answered = false;
};
