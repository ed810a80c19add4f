#include "colorschemewatcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QTimer>

namespace {

// Read (the older method) wraps the value in one more variant than
// ReadOne; signals carry it once. Unwraps every layer.
QVariant unwrapped(QVariant value)
{
    for (int depth = 0; depth < 4 && value.metaType() == QMetaType::fromType<QDBusVariant>(); ++depth)
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

} // namespace

ColorSchemeWatcher::ColorSchemeWatcher(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    if (!m_bus.isConnected()) {
        m_answered = true;
        return;
    }
    // The slot's argument types are looked up by name.
    qRegisterMetaType<QDBusVariant>();
    m_bus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                  SLOT(settingChanged(QString,QString,QDBusVariant)));
    read(QStringLiteral("ReadOne"));
}

AppStyle::Scheme ColorSchemeWatcher::schemeFromPortalValue(const QVariant &value)
{
    bool ok = false;
    const uint preference = unwrapped(value).toUInt(&ok);
    if (!ok)
        return AppStyle::Scheme::followDesktop;
    switch (preference) {
    case 1:
        return AppStyle::Scheme::dark;
    case 2:
        return AppStyle::Scheme::light;
    default:
        return AppStyle::Scheme::followDesktop;
    }
}

void ColorSchemeWatcher::read(const QString &method)
{
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, method);
    message << appearanceNamespace << colorSchemeKey;
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher *finished) { readFinished(finished, method); });
}

void ColorSchemeWatcher::readFinished(QDBusPendingCallWatcher *call, const QString &method)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *call;
    if (reply.isError()) {
        // Portals before version 2 know only Read.
        if (method == QLatin1StringView("ReadOne") && reply.error().type() == QDBusError::UnknownMethod)
            read(QStringLiteral("Read"));
        else
            setAnswered();
        return;
    }
    if (!m_heardChange)
        setScheme(schemeFromPortalValue(reply.argumentAt(0)));
    setAnswered();
}

void ColorSchemeWatcher::setAnswered()
{
    if (m_answered)
        return;
    m_answered = true;
    Q_EMIT firstAnswered();
}

void ColorSchemeWatcher::waitForFirstAnswer(std::chrono::milliseconds timeout)
{
    if (m_answered)
        return;
    QEventLoop loop;
    connect(this, &ColorSchemeWatcher::firstAnswered, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void ColorSchemeWatcher::settingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value)
{
    if (nameSpace != appearanceNamespace || key != colorSchemeKey)
        return;
    m_heardChange = true;
    setScheme(schemeFromPortalValue(value.variant()));
    setAnswered();
}

void ColorSchemeWatcher::setScheme(AppStyle::Scheme scheme)
{
    if (scheme == m_scheme)
        return;
    m_scheme = scheme;
    Q_EMIT schemeChanged();
}
