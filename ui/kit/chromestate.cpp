#include "chromestate.h"

void AppChromeState::setShowActivityInspector(bool show)
{
    m_showActivityInspector = show;
    Q_EMIT showActivityInspectorChanged();
}

void AppChromeState::setShowDevicePreview(bool show)
{
    m_showDevicePreview = show;
    Q_EMIT showDevicePreviewChanged();
}

void AppChromeState::setDevicePreviewHoverTiltAngles(DevicePreviewHoverTiltAngles angles,
                                                     DevicePreviewTiltMotion motion)
{
    if (angles == m_tilt)
        return;
    m_tilt = angles;
    m_tiltMotion = motion;
    Q_EMIT devicePreviewHoverTiltChanged();
}

void AppChromeState::setDevicePreviewHoverTilt(QPointF pointer, QSizeF size)
{
    if (size.width() <= 0 || size.height() <= 0) {
        setDevicePreviewHoverTiltAngles({}, DevicePreviewTiltMotion::interactive);
        return;
    }
    setDevicePreviewHoverTiltAngles({(pointer.x() / size.width() - 0.5) * 2 * 3.0,
                                     (pointer.y() / size.height() - 0.5) * -2 * 2.5},
                                    DevicePreviewTiltMotion::interactive);
}

void AppChromeState::resetDevicePreviewHoverTilt(bool animated)
{
    setDevicePreviewHoverTiltAngles({}, animated ? DevicePreviewTiltMotion::settle
                                                 : DevicePreviewTiltMotion::immediate);
}

namespace AppBrandColor {

QColor accentGreen()
{
    return QColor::fromRgbF(0.2745f, 0.4922f, 0.3804f);
}

QColor glassTint(bool dark)
{
    const QColor accent = accentGreen();
    const double base = dark ? 0.08 : 0.95;
    const double amount = dark ? 0.28 : 0.18;
    const auto blend = [&](double b, double a) { return float(b + amount * (a - b)); };
    const double baseRed = base;
    const double baseGreen = base;
    const double baseBlue = dark ? 0.09 : 0.94;
    return QColor::fromRgbF(blend(baseRed, accent.redF()), blend(baseGreen, accent.greenF()),
                            blend(baseBlue, accent.blueF()));
}

QColor accentText(bool dark)
{
    return dark ? accentGreen().lighter(150) : accentGreen().darker(110);
}

} // namespace AppBrandColor
