#include "cachedphotoimage.h"

#include "uipainting.h"

#include "app/appui/appicons.h"
#include "app/appui/busyspinner.h"

#include "store/gallerystore.h"

#include <QPainter>
#include <QPainterPath>

namespace PhotoImagePainter {

void drawImage(QPainter &painter, const QRectF &rect, const QImage &image, PhotoContentMode mode)
{
    if (image.isNull() || rect.isEmpty())
        return;
    const QSizeF source = image.size();
    QSizeF scaled = source.scaled(
        rect.size(), mode == PhotoContentMode::fill ? Qt::KeepAspectRatioByExpanding : Qt::KeepAspectRatio);
    QRectF target(QPointF(), scaled);
    target.moveCenter(rect.center());
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (mode == PhotoContentMode::fill) {
        // Only the part of the image that lands inside `rect` is drawn.
        const double scale = scaled.width() / source.width();
        const QRectF visible = target.intersected(rect);
        const QRectF from((visible.left() - target.left()) / scale, (visible.top() - target.top()) / scale,
            visible.width() / scale, visible.height() / scale);
        painter.drawImage(visible, image, from);
    } else {
        painter.drawImage(target, image);
    }
    painter.restore();
}

void paint(QPainter &painter, const QRectF &rect, const PhotoImageModel *model, PhotoContentMode mode,
    bool showsLoadingSpinner, int spinnerStep, const QPalette &palette)
{
    if (model && model->hasImage()) {
        drawImage(painter, rect, model->image(), mode);
        return;
    }
    if (model && model->isLoading() && showsLoadingSpinner) {
        const double side = std::clamp(std::min(rect.width(), rect.height()) / 6, 14.0, 32.0);
        QRectF area(0, 0, side, side);
        area.moveCenter(rect.center());
        BusySpinner::paint(painter, area, UiColors::secondaryText(palette), spinnerStep);
        return;
    }
    if (!model || !model->loadFailed()) {
        QColor gray(Qt::gray);
        gray.setAlphaF(0.2f);
        painter.fillRect(rect, gray);
        return;
    }
    UiPaint::unavailableContent(
        painter, rect, AppIcons::icon(QStringLiteral("photo")), notInCacheTitle, notInCacheDescription, palette);
}

} // namespace PhotoImagePainter

CachedPhotoImage::CachedPhotoImage(GalleryStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(&store)
{
    connect(&m_model, &PhotoImageModel::changed, this, [this] {
        updateSpinner();
        update();
        followEpaper();
    });
    connect(&m_epaper, &EpaperRenderModel::changed, this, qOverload<>(&QWidget::update));
    m_spinnerTimer.setInterval(BusySpinner::stepMilliseconds);
    connect(&m_spinnerTimer, &QTimer::timeout, this, [this] {
        m_spinnerStep = (m_spinnerStep + 1) % BusySpinner::stepCount;
        update();
    });
}

void CachedPhotoImage::setPhotoID(const QString &photoID)
{
    if (photoID == m_photoID)
        return;
    m_photoID = photoID;
    if (m_appeared)
        startLoad();
}

void CachedPhotoImage::setMaxPixelSize(int maxPixelSize)
{
    if (maxPixelSize == m_maxPixelSize)
        return;
    m_maxPixelSize = maxPixelSize;
    if (m_appeared)
        startLoad();
}

void CachedPhotoImage::setContentMode(PhotoContentMode mode)
{
    m_contentMode = mode;
    update();
}

void CachedPhotoImage::setShowsLoadingSpinner(bool shows)
{
    m_showsLoadingSpinner = shows;
    updateSpinner();
    update();
}

void CachedPhotoImage::setThumbnailWidth(std::optional<int> width)
{
    m_thumbnailWidth = width;
}

void CachedPhotoImage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_appeared = true;
    // Shown again after a failed load (the photo reopened, say after a
    // sync): the file may be there by now.
    startLoad(PhotoImageModel::FailedLoad::retry);
}

void CachedPhotoImage::startLoad(PhotoImageModel::FailedLoad failedLoad)
{
    if (m_photoID.isEmpty() || !m_store)
        return;
    m_model.load(m_photoID, m_maxPixelSize, m_thumbnailWidth,
        PhotoImageModel::storeEnsureCached(*m_store, m_photoID, m_thumbnailWidth), failedLoad);
}

void CachedPhotoImage::setEpaperScreen(std::optional<QSize> screen)
{
    if (screen == m_epaperScreen)
        return;
    m_epaperScreen = screen;
    followEpaper();
    update();
}

bool CachedPhotoImage::showsEpaperRendering() const
{
    return m_epaperScreen && m_epaper.hasRendering() && m_epaper.photoID() == m_photoID
        && m_epaper.screen() == *m_epaperScreen;
}

void CachedPhotoImage::followEpaper()
{
    // Rendered from the full-size file, once the photo has loaded from it.
    if (!m_epaperScreen || m_thumbnailWidth || m_photoID.isEmpty() || m_model.loadedPhotoID() != m_photoID
        || !m_model.hasImage())
        return;
    m_epaper.request(m_photoID, *m_epaperScreen);
}

void CachedPhotoImage::updateSpinner()
{
    const bool spinning = m_showsLoadingSpinner && m_model.isLoading() && !m_model.hasImage();
    if (spinning && !m_spinnerTimer.isActive())
        m_spinnerTimer.start();
    else if (!spinning)
        m_spinnerTimer.stop();
}

void CachedPhotoImage::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (showsEpaperRendering()) {
        PhotoImagePainter::drawImage(painter, QRectF(rect()), m_epaper.rendering(), m_contentMode);
        return;
    }
    PhotoImagePainter::paint(
        painter, QRectF(rect()), &m_model, m_contentMode, m_showsLoadingSpinner, m_spinnerStep, palette());
}
