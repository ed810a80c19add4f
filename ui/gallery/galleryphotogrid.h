// The thumbnail grid of the gallery: every active photo in display order,
// in the number of columns the user chose, with the tag that says when it is
// (or was) shown on the frames. Clicks select (Ctrl appends, Shift selects a
// range), a double click opens the lightbox, the keyboard moves the
// selection, dragging a thumbnail reorders the gallery, and image files
// dropped or pasted here are uploaded.
//
// Only the rows on screen are drawn, and only the photos on screen and
// about a screen around them have an image model; their images are decoded
// off the main thread at the cell's pixel size once the width has settled.
#pragma once

#include "gallerythumbsizing.h"
#include "ui/kit/photoimagemodel.h"

#include "rules/rotationschedule.h"
#include "store/galleryselectionstore.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QPixmap>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>

class GalleryStore;
class QMenu;
class QMimeData;

// What the grid's source files share of its look.
namespace GalleryGridLook {
inline constexpr double cornerRadius = 6;
inline const QString showingForToday = QStringLiteral("Showing for today");
} // namespace GalleryGridLook

// Registers the accessibility interfaces of the grid and its cells (once).
void installGalleryPhotoGridAccessibility();

class GalleryPhotoGrid : public QAbstractScrollArea
{
    Q_OBJECT
public:
    // Time the width must stay unchanged before thumbnails are decoded at
    // the new size.
    static constexpr int widthSettleMilliseconds = 220;
    // Distance (pixels) the pointer must travel with the button held before a
    // thumbnail is dragged.
    static constexpr double reorderDragDistance = 4.0;

    explicit GalleryPhotoGrid(GalleryStore &store, QWidget *parent = nullptr);
    ~GalleryPhotoGrid() override;

    GalleryStore *store() const;

    // ---- What is shown ----------------------------------------------------
    // Ids of the active photos in display order, as shown.
    const QList<QString> &photoOrder() const { return m_order; }
    int columnCount() const;
    // The layout at the current width.
    GalleryGridGeometry layoutGeometry() const;
    // The decode size and the server thumbnail width at the settled width.
    int thumbMaxPixelSize() const;
    int thumbnailDownloadWidth() const;
    double settledGridWidth() const { return m_settledWidth; }
    // The cell of `index` in viewport coordinates.
    QRect visualRect(int index) const;
    // The photo under a viewport position, or -1.
    int indexAt(QPoint viewportPosition) const;
    std::optional<QString> cornerTag(int index) const;
    // The lines of a corner tag set in `font` within `maxWidth`: one line
    // when it fits, else broken at spaces onto two, else one line cut short.
    static QStringList cornerTagLines(const QString &tag, const QFont &font, double maxWidth);
    std::optional<int> dropInsertionIndex() const { return m_dropInsertionIndex; }
    bool isFileDropTargeted() const { return m_isFileDropTargeted; }
    // The cell the keyboard stands on: where the arrows last moved, else the
    // selection's anchor or first photo, else the first photo; -1 when empty.
    int focusedIndex() const;
    // What assistive technology reads for a cell: the photo's file name,
    // then who added it, its tag and whether it is selected.
    QString cellAccessibleName(int index) const;
    QString cellAccessibleDescription(int index) const;
    bool isCellSelected(int index) const;
    // The image model of a photo near the screen, if it has one.
    PhotoImageModel *imageModel(const QString &photoID) const;
    int imageModelCount() const { return int(m_models.size()); }

    // The keyboard handlers act while no lightbox is open and the settings
    // popover is closed.
    bool isKeyboardHandlingEnabled() const;
    void setSettingsShown(bool shown);

    // ---- Actions ----------------------------------------------------------
    void handleGridPhotoTap(const QString &photoID, GridTapModifiers modifiers);
    // Moves the first of `draggedIDs` to the gap `insertionIndex`; false (and
    // nothing sent) when that changes nothing.
    bool handleReorderDrop(const QList<QString> &draggedIDs, int insertionIndex);
    void handleFileURLDrop(const QStringList &paths);
    void clearSelectionFromBackgroundTap();
    // Gives the grid the keyboard focus (soon) when it may act on keys.
    void syncGridKeyboardFocus();
    // Ctrl+V: uploads the image files or image data on the clipboard.
    void pasteFromClipboard();
    void scrollToIndex(int index);

    // ---- Hooks for the photo actions ------------------------------------
    // Fills the context menu of a thumbnail; the menu opens when it has items.
    void setContextMenuProvider(std::function<void(QMenu &menu, const QString &photoID)> provider);
    // The Delete key while the keyboard handlers act; true when handled.
    void setDeleteKeyHandler(std::function<bool()> handler);

Q_SIGNALS:
    void fileDropTargetedChanged(bool targeted);
    void dropInsertionIndexChanged();
    void contextMenuRequested(const QString &photoID, const QPoint &globalPosition);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool event(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    enum class DragKind { none, files, photo };

    void rebuildFromState();
    void relayout();
    void updateImageModels();
    void settleWidthNow();
    void scheduleTagRefresh();
    void setDropInsertionIndex(std::optional<int> index);
    void setFileDropTargeted(bool targeted);
    std::optional<int> insertionIndexAt(QPoint viewportPosition) const;
    void beginReorderDrag(int index);
    void reorderDragEnded();
    void updateAutoScroll(QPoint viewportPosition);
    int scrollOffset() const;
    double backingScale() const;
    double aspectRatio() const;
    QPixmap dragPixmap(int index) const;
    void paintCell(QPainter &painter, int index, const QRect &rect) const;
    const QPixmap &cellPixmap(const QString &photoID, const QImage &image, QSize size) const;
    void paintTag(QPainter &painter, const QRectF &cell, const QString &tag) const;
    void paintInsertionLine(QPainter &painter) const;
    void paintFocusRing(QPainter &painter) const;
    // Moves the keyboard's cell (and tells assistive technology).
    void setFocusedPhotoID(const QString &id);
    void followSelection();
    // Shift+arrow extends the selection from its anchor, Ctrl+arrow moves
    // only the keyboard's cell, Ctrl+Space toggles that cell's photo.
    bool handleExtendedSelectionKey(QKeyEvent *event, int columns);
    void notifyAccessibleFocus();

    QPointer<GalleryStore> m_store;
    GallerySelectionStore *m_selection = nullptr;
    QList<QString> m_order;
    std::optional<QString> m_currentPhotoID;
    std::optional<GalleryRotationPlan> m_plan;
    // Tags are worked out when a cell is first drawn.
    mutable QHash<QString, std::optional<QString>> m_tags;
    QTimer m_tagRefresh;

    int m_columns = 0;
    std::optional<GalleryGridGeometry> m_laidOut;
    double m_settledWidth = 0;
    QTimer m_widthSettle;
    QHash<QString, PhotoImageModel *> m_models;
    // Each photo near the screen drawn once at its cell's size, rounded
    // corners included, so scrolling only copies pixels.
    struct CellPixmap {
        qint64 imageKey = 0;
        QSize deviceSize;
        QPixmap pixmap;
    };
    mutable QHash<QString, CellPixmap> m_cellPixmaps;

    // The cell the keyboard stands on, by photo id, and whether its ring
    // shows: from the keyboard on, until the next click.
    QString m_focusedPhotoID;
    bool m_keyboardInUse = true;
    bool m_settingsShown = false;
    std::optional<int> m_dropInsertionIndex;
    std::optional<int> m_pendingInsertionIndex;
    bool m_isFileDropTargeted = false;
    DragKind m_dragKind = DragKind::none;
    QPoint m_lastDragPosition;
    QTimer m_autoScroll;
    int m_autoScrollStep = 0;

    std::optional<QPoint> m_dragDownLocation;
    QString m_pressedPhotoID;
    bool m_didBeginReorderDrag = false;

    std::function<void(QMenu &, const QString &)> m_contextMenuProvider;
    std::function<bool()> m_deleteKeyHandler;
};
