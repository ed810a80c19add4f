// One photo from the local cache, drawn through its own PhotoImageModel:
// the image, a spinner while it loads, a flat placeholder, or the "Image not
// in cache" notice. The grid draws its cells with the same painter.
#pragma once

#include "epaperrendermodel.h"
#include "photoimagemodel.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <optional>

class GalleryStore;
class QPainter;

enum class PhotoContentMode { fit, fill };

namespace PhotoImagePainter {

inline const QString notInCacheTitle = QStringLiteral("Image not in cache");
inline const QString notInCacheDescription = QStringLiteral("Sync or download this photo, then reopen.");

// Draws `image` into `rect` keeping its aspect ratio: whole (fit) or
// covering the rect and cropped (fill).
void drawImage(QPainter &painter, const QRectF &rect, const QImage &image, PhotoContentMode mode);

// What a photo view shows for `model`, in this order: the image; a spinner
// while loading (when `showsLoadingSpinner`); a flat gray placeholder while
// nothing failed; the "Image not in cache" notice.
void paint(QPainter &painter, const QRectF &rect, const PhotoImageModel *model, PhotoContentMode mode,
    bool showsLoadingSpinner, int spinnerStep, const QPalette &palette);

} // namespace PhotoImagePainter

class CachedPhotoImage : public QWidget
{
    Q_OBJECT
public:
    explicit CachedPhotoImage(GalleryStore &store, QWidget *parent = nullptr);

    const QString &photoID() const { return m_photoID; }
    int maxPixelSize() const { return m_maxPixelSize; }
    PhotoContentMode contentMode() const { return m_contentMode; }
    bool showsLoadingSpinner() const { return m_showsLoadingSpinner; }
    std::optional<int> thumbnailWidth() const { return m_thumbnailWidth; }

    // Changing the photo or the size loads again while the view is shown;
    // the first load starts when the view appears, and a failed one is
    // tried again each time the view is shown again.
    void setPhotoID(const QString &photoID);
    void setMaxPixelSize(int maxPixelSize);
    void setContentMode(PhotoContentMode mode);
    void setShowsLoadingSpinner(bool shows);
    // Read the server thumbnail of this width instead of the full-size file.
    void setThumbnailWidth(std::optional<int> width);

    // Show the photo as the e-paper frame renders it on a screen of this
    // many pixels (letterboxed to the screen's shape), or, with none, as it
    // is. The photo stays on show until the rendering is there.
    void setEpaperScreen(std::optional<QSize> screen);
    std::optional<QSize> epaperScreen() const { return m_epaperScreen; }
    // The e-paper rendering is what is drawn now.
    bool showsEpaperRendering() const;

    PhotoImageModel &model() { return m_model; }
    EpaperRenderModel &epaperModel() { return m_epaper; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void startLoad(PhotoImageModel::FailedLoad failedLoad = PhotoImageModel::FailedLoad::keep);
    void updateSpinner();
    void followEpaper();

    QPointer<GalleryStore> m_store;
    PhotoImageModel m_model;
    EpaperRenderModel m_epaper;
    std::optional<QSize> m_epaperScreen;
    QString m_photoID;
    int m_maxPixelSize = 1024;
    PhotoContentMode m_contentMode = PhotoContentMode::fit;
    bool m_showsLoadingSpinner = true;
    std::optional<int> m_thumbnailWidth;
    bool m_appeared = false;
    QTimer m_spinnerTimer;
    int m_spinnerStep = 0;
};
