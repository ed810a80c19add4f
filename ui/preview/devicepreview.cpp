#include "devicepreview.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "appearanceswitch.h"
#include "ui/kit/painting.h"

#include "ui/kit/animation.h"
#include "ui/kit/icons.h"
#include "ui/kit/style.h"
#include "ui/kit/busyspinner.h"
#include "rules/bloomin8.h"
#include "store/gallerystore.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <limits>
#include <numbers>

namespace {

// The picture frame: a graphite moulding around a warm white mat, the
// screen set into the mat. Together they make the 30 points of bezel on
// each side; the rest of the bezel allowance is room for the shadow.
constexpr double mouldingWidth = 11;
constexpr double matWidth = 19;
constexpr double bezelWidth = mouldingWidth + matWidth;
// Room around the frame in the device picture for the shadow and the drop outline.
constexpr double pictureRoom = 26;

// Springs of the tilt: quick while following the pointer, softer when it
// settles back.
constexpr AppAnimation::Spring followSpring{0.28, 0.82};
constexpr AppAnimation::Spring settleSpring{0.4, 0.9};

// What paints on the black screen reads light.
QPalette screenPalette(const QPalette &base)
{
    QPalette palette = base;
    palette.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xea));
    palette.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xea));
    palette.setColor(QPalette::Window, Qt::black);
    return palette;
}

} // namespace

// ---- Tilt tracker ---------------------------------------------------------------------

DevicePreviewTiltMouseTracker::DevicePreviewTiltMouseTracker(QWidget *target)
    : QObject(target), m_target(target), m_watched(target)
{
    target->setMouseTracking(true);
    target->installEventFilter(this);
}

void DevicePreviewTiltMouseTracker::setEnabled(bool enabled)
{
    m_enabled = enabled;
}

bool DevicePreviewTiltMouseTracker::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_enabled || (event->type() != QEvent::MouseMove && event->type() != QEvent::Leave))
        return false;
    // Compared by address: the widget may be half destroyed when it sends
    // its last events.
    if (watched != m_watched || !m_target)
        return false;
    switch (event->type()) {
    case QEvent::MouseMove: {
        const QSizeF size = m_target->size();
        if (!size.isEmpty() && onMove)
            onMove(static_cast<QMouseEvent *>(event)->position(), size);
        break;
    }
    case QEvent::Leave:
        if (onExit)
            onExit();
        break;
    default:
        break;
    }
    // Only watching: clicks, drags and moves go on to the widget.
    return false;
}

// ---- Geometry ---------------------------------------------------------------------------

double DeviceCurrentPreview::screenAspectRatio(double deviceScreenAspectRatio, bool isLandscape)
{
    const double ratio = deviceScreenAspectRatio > 0
        ? deviceScreenAspectRatio
        : Bloomin8Screen::aspectRatio(Bloomin8Screen::default13Width, Bloomin8Screen::default13Height);
    return isLandscape ? 1.0 / ratio : std::min(ratio, 1.0);
}

double DeviceCurrentPreview::screenAspectRatio() const
{
    if (!m_store)
        return screenAspectRatio(0, false);
    return screenAspectRatio(m_store->deviceScreenAspectRatio(), m_store->deviceScreenIsLandscape());
}

double DeviceCurrentPreview::screenWidth(QSizeF size, double aspectRatio)
{
    const double usableWidth = std::max(std::max(size.width() - margin, 0.0) - bezelAllowance, 0.0);
    const double height = size.height() - margin;
    const double usableHeight = height > 1 ? std::max(height - bezelAllowance, 0.0)
                                           : std::numeric_limits<double>::infinity();
    return std::max(std::min(aspectRatio * usableHeight, usableWidth), 80.0);
}

QTransform DeviceCurrentPreview::tiltTransform(QPointF centre, DevicePreviewHoverTiltAngles angles, double distance)
{
    // A point (x, y) of the flat device, relative to its centre, is turned
    // about the vertical axis by the yaw, then about the horizontal axis by
    // the pitch, and projected from `distance` in front of it: what comes
    // nearer (z > 0) grows by distance / (distance - z). The projection of
    // a plane is a projective map of (x, y), which QTransform holds.
    const double yaw = angles.yaw * std::numbers::pi / 180;
    const double pitch = angles.pitch * std::numbers::pi / 180;
    const double d = std::max(distance, 1.0);
    // x'' = x cos(yaw); y'' = y cos(pitch) + x sin(yaw) sin(pitch);
    // z'' = y sin(pitch) - x sin(yaw) cos(pitch); w = 1 - z'' / d.
    const QTransform projection(std::cos(yaw), std::sin(yaw) * std::sin(pitch), std::sin(yaw) * std::cos(pitch) / d,
                                0, std::cos(pitch), -std::sin(pitch) / d, 0, 0, 1);
    return QTransform::fromTranslate(-centre.x(), -centre.y()) * projection
        * QTransform::fromTranslate(centre.x(), centre.y());
}

QRectF DeviceCurrentPreview::deviceArea() const
{
    const double top = margin / 2 + titleHeight;
    return QRectF(0, top, width(), std::max(height() - margin - titleHeight - badgeHeight, 0.0));
}

QRectF DeviceCurrentPreview::screenRect() const
{
    const QRectF area = deviceArea();
    const double aspect = screenAspectRatio();
    const double screenWide = screenWidth(area.size(), aspect);
    QRectF screen(0, 0, screenWide, screenWide / aspect);
    screen.moveCenter(area.center());
    return screen;
}

QRectF DeviceCurrentPreview::frameRect() const
{
    return screenRect().adjusted(-bezelWidth, -bezelWidth, bezelWidth, bezelWidth);
}

QTransform DeviceCurrentPreview::deviceTransform() const
{
    const QRectF frame = frameRect();
    return tiltTransform(frame.center(), m_shownTilt, 2.2 * std::max(frame.width(), frame.height()));
}

// ---- Pane ------------------------------------------------------------------------------

QString DeviceCurrentPreview::title()
{
    return tr("Lunvik Photos");
}

QString DeviceCurrentPreview::placeholderTitle()
{
    return tr("No current photo");
}

QString DeviceCurrentPreview::placeholderDescription()
{
    return tr("Select a photo and choose Show for today, or drag a thumbnail or image file here.");
}

DeviceCurrentPreview::DeviceCurrentPreview(GalleryStore &store, AppChromeState &chrome, QWidget *parent)
    : QWidget(parent), m_store(&store), m_chrome(&chrome)
{
    setObjectName(QStringLiteral("devicePreview"));
    setAcceptDrops(true);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);

    m_tracker = new DevicePreviewTiltMouseTracker(this);
    m_tracker->onMove = [this](QPointF pointer, QSizeF size) {
        if (m_chrome)
            m_chrome->setDevicePreviewHoverTilt(pointer, size);
    };
    m_tracker->onExit = [this] {
        if (m_chrome)
            m_chrome->resetDevicePreviewHoverTilt(true);
    };

    m_tiltAnimation = new SpringAnimation(followSpring, this);
    connect(m_tiltAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        const QPointF angles = value.toPointF();
        m_shownTilt = {angles.x(), angles.y()};
        update();
    });

    m_switch = new PreviewAppearanceSwitch(store, this);
    connect(&m_model, &PhotoImageModel::changed, this, [this] {
        updateSpinner();
        invalidateDevice();
        followEpaper();
    });
    connect(&m_epaper, &EpaperRenderModel::changed, this, &DeviceCurrentPreview::invalidateDevice);
    m_spinnerTimer.setInterval(BusySpinner::stepMilliseconds);
    connect(&m_spinnerTimer, &QTimer::timeout, this, [this] {
        m_spinnerStep = (m_spinnerStep + 1) % BusySpinner::stepCount;
        invalidateDevice();
    });

    connect(&store, &GalleryStore::stateChanged, this, [this] { followCurrentPhoto(); });
    connect(&store, &GalleryStore::deviceScreenAspectRatioChanged, this, &DeviceCurrentPreview::invalidateDevice);
    connect(&store, &GalleryStore::deviceScreenIsLandscapeChanged, this, &DeviceCurrentPreview::invalidateDevice);
    // The badge says until when the photo shows, which follows the settings'
    // rotation interval.
    connect(&store, &GalleryStore::settingsChanged, this, qOverload<>(&QWidget::update));
    connect(&store, &GalleryStore::settingsChanged, this, [this] {
        followEpaper();
        invalidateDevice();
    });
    connect(&store, &GalleryStore::deviceScreenSizeChanged, this, &DeviceCurrentPreview::followEpaper);
    connect(&chrome, &AppChromeState::devicePreviewHoverTiltChanged, this, &DeviceCurrentPreview::followTilt);
    m_shownTilt = chrome.devicePreviewHoverTilt();
    followCurrentPhoto();
}

DeviceCurrentPreview::~DeviceCurrentPreview() = default;

std::optional<QString> DeviceCurrentPreview::hoverBadgeText() const
{
    if (!m_isPreviewHovered || !m_store)
        return std::nullopt;
    const std::optional<PhotoEntry> photo = m_store->state().currentPhoto();
    if (!photo)
        return std::nullopt;
    return m_store->devicePreviewCaption(*photo);
}

void DeviceCurrentPreview::followCurrentPhoto(PhotoImageModel::FailedLoad failedLoad)
{
    if (!m_store)
        return;
    const std::optional<PhotoEntry> current = m_store->state().currentPhoto();
    const std::optional<QString> id = current ? std::optional<QString>(current->id) : std::nullopt;
    if (id != m_shownPhotoID) {
        m_shownPhotoID = id;
        m_requestedPixelSize = 0;
        invalidateDevice();
    }
    if (m_shownPhotoID && m_appeared) {
        // A repeated request for the same photo is ignored by the model.
        m_requestedPixelSize = std::max(m_requestedPixelSize, photoPixelSize());
        m_model.load(*m_shownPhotoID, m_requestedPixelSize, std::nullopt,
            PhotoImageModel::storeEnsureCached(*m_store, *m_shownPhotoID, std::nullopt), failedLoad);
    }
    followEpaper();
    // The badge's caption follows the state too, and so does what a screen
    // reader says of the pane: the photo on the frames, or the placeholder.
    setAccessibleName(tr("Device preview"));
    UiAccessibility::setDescription(this, current
            ? current->filename + QStringLiteral(", ") + m_store->devicePreviewCaption(*current)
            : placeholderTitle());
    update();
}

bool DeviceCurrentPreview::showsEpaperRendering() const
{
    return m_store && m_store->settings().previewAppearance == PreviewAppearance::epaper && m_shownPhotoID
        && m_epaper.hasRendering() && m_epaper.photoID() == m_shownPhotoID;
}

int DeviceCurrentPreview::photoPixelSize() const
{
    const QRectF screen = screenRect();
    const double needed = std::max(screen.width(), screen.height()) * devicePixelRatioF();
    if (!std::isfinite(needed) || needed <= photoMaxPixelSize)
        return photoMaxPixelSize;
    const int stepped = int(std::ceil(needed / photoPixelStep)) * photoPixelStep;
    return std::min(stepped, photoPixelSizeCap);
}

void DeviceCurrentPreview::followEpaper()
{
    if (!m_store)
        return;
    if (!m_shownPhotoID) {
        m_epaper.clear();
        return;
    }
    // Only once the photo is on screen: it stays there while the rendering
    // is computed, and its file is known to be in the cache.
    if (m_store->settings().previewAppearance != PreviewAppearance::epaper || m_model.loadedPhotoID() != m_shownPhotoID
        || !m_model.hasImage())
        return;
    m_epaper.request(*m_shownPhotoID, m_store->deviceScreenSize());
}

void DeviceCurrentPreview::placeSwitch()
{
    // In the title line, at its right end; the title gives way.
    const QSize hint = m_switch->sizeHint();
    const double top = margin / 2 + (titleHeight - hint.height()) / 2;
    m_switch->setGeometry(QRect(QPoint(int(std::round(width() - margin / 2 - hint.width())), int(std::round(top))), hint));
}

void DeviceCurrentPreview::followTilt()
{
    if (!m_chrome)
        return;
    const DevicePreviewHoverTiltAngles target = m_chrome->devicePreviewHoverTilt();
    m_tiltAnimation->stop();
    const DevicePreviewTiltMotion motion = m_chrome->devicePreviewHoverTiltMotion();
    if (motion == DevicePreviewTiltMotion::immediate || !isVisible()) {
        m_shownTilt = target;
        update();
        return;
    }
    m_tiltAnimation->setSpring(motion == DevicePreviewTiltMotion::interactive ? followSpring : settleSpring);
    m_tiltAnimation->setStartValue(QPointF(m_shownTilt.yaw, m_shownTilt.pitch));
    m_tiltAnimation->setEndValue(QPointF(target.yaw, target.pitch));
    m_tiltAnimation->start();
}

void DeviceCurrentPreview::updateSpinner()
{
    const bool spinning = m_shownPhotoID && m_model.isLoading() && !m_model.hasImage();
    if (spinning && !m_spinnerTimer.isActive())
        m_spinnerTimer.start();
    else if (!spinning)
        m_spinnerTimer.stop();
}

void DeviceCurrentPreview::invalidateDevice()
{
    m_deviceValid = false;
    update();
}

void DeviceCurrentPreview::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_appeared = true;
    m_tracker->setEnabled(true);
    // The pane shown again (or the window restored) tries a failed photo
    // once more; the file may have arrived meanwhile.
    followCurrentPhoto(PhotoImageModel::FailedLoad::retry);
}

void DeviceCurrentPreview::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeSwitch();
    invalidateDevice();
}

void DeviceCurrentPreview::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        invalidateDevice();
}

void DeviceCurrentPreview::setPreviewHovered(bool hovered)
{
    if (hovered == m_isPreviewHovered)
        return;
    m_isPreviewHovered = hovered;
    update();
}

void DeviceCurrentPreview::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    setPreviewHovered(true);
}

void DeviceCurrentPreview::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    setPreviewHovered(false);
}

// ---- Drops --------------------------------------------------------------------------------

DeviceCurrentPreview::DropKind DeviceCurrentPreview::dropKind(const QMimeData *mime) const
{
    if (!mime || !m_store)
        return DropKind::none;
    // A thumbnail of the grid carries its id under the private type.
    if (mime->hasFormat(PhotoDragPasteboard::mimeType))
        return DropKind::photo;
    if (GalleryFilePasteboard::wouldUpload(mime))
        return DropKind::files;
    // Plain text counts as a thumbnail only when it names a photo of the gallery.
    if (const std::optional<QString> id = PhotoDragPasteboard::photoID(mime)) {
        const auto photo = m_store->state().photos.constFind(*id);
        if (photo != m_store->state().photos.constEnd() && !photo->isDeleted())
            return DropKind::photo;
    }
    return DropKind::none;
}

void DeviceCurrentPreview::setDropTargeted(bool targeted)
{
    if (targeted == m_isDropTargeted)
        return;
    m_isDropTargeted = targeted;
    invalidateDevice();
    Q_EMIT dropTargetedChanged(targeted);
}

void DeviceCurrentPreview::dragEnterEvent(QDragEnterEvent *event)
{
    const DropKind kind = dropKind(event->mimeData());
    if (kind == DropKind::none) {
        // Left to the gallery screen behind, which reports what it cannot upload.
        event->ignore();
        return;
    }
    setDropTargeted(true);
    if (kind == DropKind::files && (event->possibleActions() & Qt::CopyAction)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
}

void DeviceCurrentPreview::dragMoveEvent(QDragMoveEvent *event)
{
    const DropKind kind = dropKind(event->mimeData());
    if (kind == DropKind::none) {
        event->ignore();
        return;
    }
    if (kind == DropKind::files && (event->possibleActions() & Qt::CopyAction)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
}

void DeviceCurrentPreview::dragLeaveEvent(QDragLeaveEvent *event)
{
    setDropTargeted(false);
    event->accept();
}

void DeviceCurrentPreview::dropEvent(QDropEvent *event)
{
    setDropTargeted(false);
    const QMimeData *mime = event->mimeData();
    const DropKind kind = dropKind(mime);
    if (kind == DropKind::none || !m_store) {
        event->ignore();
        return;
    }
    if (kind == DropKind::photo) {
        // The store decides whether the photo may become current and logs
        // what happened; the preview follows its state.
        const QString id = PhotoDragPasteboard::photoID(mime).value_or(QString());
        m_store->startBackground([id](GalleryStore &store) { return store.setAsCurrent(id); });
        event->acceptProposedAction();
        return;
    }
    const QStringList paths = GalleryFilePasteboard::uploadURLs(mime);
    const QList<QString> files(paths.begin(), paths.end());
    m_store->startBackground([files](GalleryStore &store) { return store.uploadFiles(files); });
    if (event->possibleActions() & Qt::CopyAction) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
}

// ---- Painting -----------------------------------------------------------------------------

void DeviceCurrentPreview::paintScreen(QPainter &painter, const QRectF &screen) const
{
    painter.fillRect(screen, Qt::black);
    const QPalette colors = screenPalette(palette());
    if (showsEpaperRendering()) {
        painter.save();
        painter.setClipRect(screen);
        PhotoImagePainter::drawImage(painter, screen, m_epaper.rendering(), PhotoContentMode::fit);
        painter.restore();
    } else if (m_shownPhotoID) {
        painter.save();
        painter.setClipRect(screen);
        PhotoImagePainter::paint(painter, screen, &m_model, PhotoContentMode::fit, true, m_spinnerStep, colors);
        painter.restore();
    } else {
        // The placeholder: a display symbol, the title and how to choose a photo.
        painter.save();
        const double inset = std::clamp(screen.width() * 0.1, 8.0, 28.0);
        const QRectF inner = screen.adjusted(inset, inset, -inset, -inset);
        QFont titleFont = font();
        titleFont.setWeight(QFont::DemiBold);
        titleFont.setPointSizeF(std::clamp(screen.width() / 18, 8.0, 15.0));
        QFont captionFont = font();
        captionFont.setPointSizeF(std::clamp(screen.width() / 26, 7.0, 11.5));
        const int flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
        const QRectF titleBox = QFontMetricsF(titleFont).boundingRect(inner, flags, placeholderTitle());
        const QRectF captionBox = QFontMetricsF(captionFont).boundingRect(inner, flags, placeholderDescription());
        const double iconSide = std::clamp(screen.width() / 6, 18.0, 54.0);
        const double gap = 10;
        const double total = iconSide + gap + titleBox.height() + gap / 2 + captionBox.height();
        double y = inner.center().y() - total / 2;
        const QColor light(0xd8, 0xd8, 0xdc);
        const QRectF iconRect(inner.center().x() - iconSide / 2, y, iconSide, iconSide);
        AppIcons::tintedIcon(QStringLiteral("display"), QColor(0x9a, 0x9a, 0xa0))
            .paint(&painter, iconRect.toAlignedRect());
        y += iconSide + gap;
        painter.setPen(light);
        painter.setFont(titleFont);
        painter.drawText(QRectF(inner.left(), y, inner.width(), titleBox.height()), flags, placeholderTitle());
        y += titleBox.height() + gap / 2;
        painter.setFont(captionFont);
        painter.setPen(QColor(0xa8, 0xa8, 0xae));
        painter.drawText(QRectF(inner.left(), y, inner.width(), captionBox.height()), flags,
                         placeholderDescription());
        painter.restore();
    }
    // A soft vignette and the sheen of the glass.
    QRadialGradient vignette(screen.center(), std::hypot(screen.width(), screen.height()) / 2);
    vignette.setColorAt(0.6, QColor(0, 0, 0, 0));
    vignette.setColorAt(1.0, QColor(0, 0, 0, 70));
    painter.fillRect(screen, vignette);
    QLinearGradient sheen(screen.topLeft(), screen.bottomRight());
    sheen.setColorAt(0.0, QColor(255, 255, 255, 26));
    sheen.setColorAt(0.42, QColor(255, 255, 255, 0));
    painter.fillRect(screen, sheen);
}

QPixmap DeviceCurrentPreview::renderDevice() const
{
    const QRectF frame = frameRect();
    const QRectF screen = screenRect();
    const qreal dpr = devicePixelRatioF();
    const QSizeF logical = frame.size() + QSizeF(2 * pictureRoom, 2 * pictureRoom);
    QPixmap picture((logical * dpr).toSize());
    picture.setDevicePixelRatio(dpr);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.translate(pictureRoom - frame.left(), pictureRoom - frame.top());

    // The shadow: layers that grow and fade, a little below the frame.
    painter.setPen(Qt::NoPen);
    for (int i = 14; i >= 1; --i) {
        const double spread = i * 1.3;
        painter.setBrush(QColor(0, 0, 0, int(std::round(11 * (1 - i / 15.0)))));
        painter.drawRoundedRect(frame.adjusted(-spread, -spread + 6, spread, spread + 6), 6 + spread, 6 + spread);
    }

    // The moulding.
    QLinearGradient moulding(frame.topLeft(), frame.bottomRight());
    moulding.setColorAt(0, QColor(0x3b, 0x3b, 0x3f));
    moulding.setColorAt(1, QColor(0x17, 0x17, 0x1a));
    painter.setBrush(moulding);
    painter.drawRoundedRect(frame, 6, 6);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 38), 1));
    painter.drawRoundedRect(frame.adjusted(1.5, 1.5, -1.5, -1.5), 5, 5);

    // The mat, with its bevel catching the light.
    const QRectF mat = frame.adjusted(mouldingWidth, mouldingWidth, -mouldingWidth, -mouldingWidth);
    painter.setPen(Qt::NoPen);
    QLinearGradient matShade(mat.topLeft(), mat.bottomLeft());
    matShade.setColorAt(0, QColor(0xf6, 0xf4, 0xef));
    matShade.setColorAt(1, QColor(0xe9, 0xe6, 0xdf));
    painter.setBrush(matShade);
    painter.drawRect(mat);
    painter.setPen(QPen(QColor(0, 0, 0, 60), 1.2));
    painter.drawLine(mat.topLeft() + QPointF(0, 0.6), mat.topRight() + QPointF(0, 0.6));
    const QRectF bevel = screen.adjusted(-2, -2, 2, 2);
    painter.setPen(QPen(QColor(0xff, 0xff, 0xff), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(bevel);

    paintScreen(painter, screen);

    if (m_isDropTargeted) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(UiColors::accent(), 3));
        painter.drawRoundedRect(frame.adjusted(-6, -6, 6, 6), 11, 11);
    }
    painter.end();
    return picture;
}

void DeviceCurrentPreview::paintEvent(QPaintEvent *)
{
    // A larger pane, or a screen of higher density, asks for more pixels.
    if (m_shownPhotoID && m_appeared && photoPixelSize() > m_requestedPixelSize)
        QTimer::singleShot(0, this, [this] { followCurrentPhoto(); });

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF area = deviceArea();

    // The title.
    QFont titleFont = font();
    titleFont.setWeight(QFont::DemiBold);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.1);
    painter.setFont(titleFont);
    painter.setPen(AppStyle::secondaryText(palette()));
    // Centred, unless the switch at the line's end would cover it: then
    // leading, elided before the switch.
    const QFontMetricsF titleMetrics(titleFont);
    const double switchLeft = m_switch->geometry().left() - 8;
    const double titleWidth = titleMetrics.horizontalAdvance(title());
    const bool centred = width() / 2.0 + titleWidth / 2 <= switchLeft;
    const double titleRoom = std::max((centred ? width() - margin : switchLeft - margin / 2), 0.0);
    painter.drawText(QRectF(margin / 2, margin / 2, titleRoom, titleHeight),
                     (centred ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter),
                     titleMetrics.elidedText(title(), Qt::ElideRight, titleRoom));

    if (area.height() <= 0 || width() <= 0)
        return;

    // The device, projected with the tilt.
    if (!m_deviceValid) {
        m_device = renderDevice();
        m_deviceValid = true;
    }
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setTransform(deviceTransform(), true);
    painter.drawPixmap(frameRect().topLeft() - QPointF(pictureRoom, pictureRoom), m_device);
    painter.restore();

    // The badge under the device.
    if (const std::optional<QString> caption = hoverBadgeText()) {
        QFont badgeFont = font();
        badgeFont.setPointSizeF(badgeFont.pointSizeF() * 0.92);
        badgeFont.setWeight(QFont::Medium);
        const QFontMetricsF metrics(badgeFont);
        const double room = std::max(width() - margin, 40.0);
        const QString text = metrics.elidedText(*caption, Qt::ElideMiddle, room - 28);
        const QSizeF size(metrics.horizontalAdvance(text) + 28, metrics.height() + 10);
        const double top = std::min(frameRect().bottom() + 12, height() - badgeHeight + (badgeHeight - size.height()) / 2);
        const QRectF badge(width() / 2.0 - size.width() / 2, top, size.width(), size.height());
        const bool dark = AppStyle::isDark(palette());
        painter.setPen(Qt::NoPen);
        painter.setBrush(dark ? QColor(255, 255, 255, 30) : QColor(0, 0, 0, 18));
        painter.drawRoundedRect(badge, badge.height() / 2, badge.height() / 2);
        painter.setFont(badgeFont);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(badge, Qt::AlignCenter, text);
    }
}
