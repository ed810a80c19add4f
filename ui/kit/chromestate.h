// Window-level view state shared by every screen: whether the activity pane
// and the device preview are shown, and the hover tilt of the preview.
#pragma once

#include <QColor>
#include <QObject>
#include <QPointF>
#include <QSizeF>

struct DevicePreviewHoverTiltAngles {
    double yaw = 0;
    double pitch = 0;
    bool operator==(const DevicePreviewHoverTiltAngles &) const = default;
};

// How the preview moves to newly published tilt angles: following the
// pointer (a quick spring), settling back when the pointer left (a softer
// spring), or at once.
enum class DevicePreviewTiltMotion { interactive, settle, immediate };

class AppChromeState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool showActivityInspector READ showActivityInspector WRITE setShowActivityInspector NOTIFY
                   showActivityInspectorChanged)
    Q_PROPERTY(bool showDevicePreview READ showDevicePreview WRITE setShowDevicePreview NOTIFY showDevicePreviewChanged)

public:
    static inline const QString activityInspectorSymbolName = QStringLiteral("sidebar.trailing");
    static inline const QString devicePreviewToggleSymbolName = QStringLiteral("sidebar.left");

    explicit AppChromeState(QObject *parent = nullptr) : QObject(parent) {}

    bool showActivityInspector() const { return m_showActivityInspector; }
    void setShowActivityInspector(bool show);
    bool showDevicePreview() const { return m_showDevicePreview; }
    void setShowDevicePreview(bool show);
    const DevicePreviewHoverTiltAngles &devicePreviewHoverTilt() const { return m_tilt; }
    // How the angles last published should be reached.
    DevicePreviewTiltMotion devicePreviewHoverTiltMotion() const { return m_tiltMotion; }
    // Publishes only a real change.
    void setDevicePreviewHoverTiltAngles(DevicePreviewHoverTiltAngles angles,
                                         DevicePreviewTiltMotion motion = DevicePreviewTiltMotion::immediate);
    // yaw in [-3, 3] and pitch in [-2.5, 2.5] degrees from the pointer's place
    // in the preview (pitch positive in the upper half); 0 for an empty size.
    void setDevicePreviewHoverTilt(QPointF pointer, QSizeF size);
    void resetDevicePreviewHoverTilt(bool animated);

Q_SIGNALS:
    void showActivityInspectorChanged();
    void showDevicePreviewChanged();
    void devicePreviewHoverTiltChanged();

private:
    bool m_showActivityInspector = false;
    bool m_showDevicePreview = true;
    DevicePreviewHoverTiltAngles m_tilt;
    DevicePreviewTiltMotion m_tiltMotion = DevicePreviewTiltMotion::immediate;
};

// Interface colours.
namespace AppBrandColor {
// sRGB (0.2745, 0.4922, 0.3804).
QColor accentGreen();
// The tint of translucent backgrounds for a dark or light colour scheme.
QColor glassTint(bool dark);
// The accent as the colour of text (links) on the scheme's backgrounds.
QColor accentText(bool dark);
} // namespace AppBrandColor
