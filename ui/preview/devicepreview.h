// The device preview: the pane on the left of the gallery that draws a photo
// frame showing the photo the frames display today, in the frame's own
// aspect ratio. The framed device leans a few degrees towards the pointer
// (a perspective projection of the chrome state's hover tilt), a badge
// under it names who added the photo and until when it shows, a switch in
// the title line shows the photo as it is or as the e-paper panel will, and a
// thumbnail or image files dropped on it make the photo for today or are
// uploaded.
//
// Everything in the pane but the switch is painted: the device is drawn once into a
// picture whenever its content changes, and each tilt frame only projects
// that picture.
#pragma once

#include "ui/kit/epaperrendermodel.h"
#include "ui/kit/photoimagemodel.h"

#include "ui/kit/chromestate.h"

#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QTransform>
#include <QWidget>

#include <functional>
#include <optional>

class GalleryStore;
class PreviewAppearanceSwitch;
class QMimeData;
class SpringAnimation;

// Follows the pointer over a widget without taking any of its events:
// every move over a non-empty widget calls `onMove` (position in the
// widget, the widget's size), leaving it calls `onExit`.
class DevicePreviewTiltMouseTracker : public QObject
{
    Q_OBJECT
public:
    explicit DevicePreviewTiltMouseTracker(QWidget *target);

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);

    std::function<void(QPointF pointer, QSizeF size)> onMove;
    std::function<void()> onExit;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> m_target;
    const QObject *m_watched;
    bool m_enabled = true;
};

class DeviceCurrentPreview : public QWidget
{
    Q_OBJECT
public:
    // Room the pane keeps around the device: margins and the frame's bezel
    // (with its shadow), in points.
    static constexpr double margin = 20;
    static constexpr double bezelAllowance = 84;
    // Height of the title line above the device and of the badge line below.
    static constexpr double titleHeight = 27;
    static constexpr double badgeHeight = 27;
    // The full-size photo is decoded to fill the screen's device pixels
    // (sharp at 2x), in steps of photoPixelStep: at least photoMaxPixelSize
    // and at most photoPixelSizeCap pixels on its longer side.
    static constexpr int photoMaxPixelSize = 1200;
    static constexpr int photoPixelStep = 400;
    static constexpr int photoPixelSizeCap = 3200;

    DeviceCurrentPreview(GalleryStore &store, AppChromeState &chrome, QWidget *parent = nullptr);
    ~DeviceCurrentPreview() override;

    static QString title();
    static QString placeholderTitle();
    static QString placeholderDescription();

    // The screen's width over its height: the frame's reported ratio (the
    // default 13-inch screen when none is known), turned on its side for a
    // landscape frame, never wider than square for a portrait one.
    static double screenAspectRatio(double deviceScreenAspectRatio, bool isLandscape);
    double screenAspectRatio() const;
    // The screen's width in a device area of `size`: 20 points of margin and
    // the bezel's 84 taken off, whichever side binds first, never below 80.
    static double screenWidth(QSizeF size, double screenAspectRatio);

    // The 3D tilt about `centre`: `yaw` degrees about the vertical axis (the
    // right side moves away for positive angles) and `pitch` about the
    // horizontal one (the top moves away), seen from `distance` points.
    static QTransform tiltTransform(QPointF centre, DevicePreviewHoverTiltAngles angles, double distance);

    // ---- What is shown ----------------------------------------------------
    bool isDropTargeted() const { return m_isDropTargeted; }
    bool isPreviewHovered() const { return m_isPreviewHovered; }
    // The area of the device (between the title and the badge line), the
    // frame and its screen, untilted, in widget coordinates.
    QRectF deviceArea() const;
    QRectF screenRect() const;
    QRectF frameRect() const;
    // The photo on the screen; none shows the placeholder.
    std::optional<QString> shownPhotoID() const { return m_shownPhotoID; }
    // The longer side, in pixels, the shown photo is decoded to.
    int photoPixelSize() const;
    bool showsPlaceholder() const { return !m_shownPhotoID.has_value(); }
    // The badge under the device while the pointer is over the pane and
    // there is a current photo.
    std::optional<QString> hoverBadgeText() const;
    // The tilt drawn now (it springs towards the chrome's).
    DevicePreviewHoverTiltAngles shownTilt() const { return m_shownTilt; }
    QTransform deviceTransform() const;
    DevicePreviewTiltMouseTracker *tiltTracker() const { return m_tracker; }
    PhotoImageModel &imageModel() { return m_model; }
    EpaperRenderModel &epaperModel() { return m_epaper; }
    PreviewAppearanceSwitch *appearanceSwitch() const { return m_switch; }
    // The screen shows the e-paper rendering (the switch is on E-paper and
    // the rendering of the current photo is there); otherwise the photo.
    bool showsEpaperRendering() const;

    QSize sizeHint() const override { return {360, 600}; }
    // The pane may be squeezed to nothing while it slides in and out.
    QSize minimumSizeHint() const override { return {0, 0}; }

Q_SIGNALS:
    void dropTargetedChanged(bool targeted);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    enum class DropKind { none, photo, files };

    DropKind dropKind(const QMimeData *mime) const;
    void setDropTargeted(bool targeted);
    void setPreviewHovered(bool hovered);
    void followCurrentPhoto(PhotoImageModel::FailedLoad failedLoad = PhotoImageModel::FailedLoad::keep);
    void followTilt();
    // Asks for the e-paper rendering of the photo shown, once its file is
    // there (the photo has loaded) and while the switch is on E-paper.
    void followEpaper();
    void placeSwitch();
    void updateSpinner();
    void invalidateDevice();
    // The frame and its screen, untilted, as a picture of frameRect()
    // grown by the shadow's room.
    QPixmap renderDevice() const;
    void paintScreen(QPainter &painter, const QRectF &screen) const;

    QPointer<GalleryStore> m_store;
    QPointer<AppChromeState> m_chrome;
    PhotoImageModel m_model;
    EpaperRenderModel m_epaper;
    PreviewAppearanceSwitch *m_switch;
    DevicePreviewTiltMouseTracker *m_tracker;
    SpringAnimation *m_tiltAnimation;
    DevicePreviewHoverTiltAngles m_shownTilt;
    std::optional<QString> m_shownPhotoID;
    bool m_isDropTargeted = false;
    bool m_isPreviewHovered = false;
    bool m_appeared = false;
    // What the shown photo was last asked at; it is not asked smaller again.
    int m_requestedPixelSize = 0;
    QTimer m_spinnerTimer;
    int m_spinnerStep = 0;
    mutable QPixmap m_device;
    mutable bool m_deviceValid = false;
};
