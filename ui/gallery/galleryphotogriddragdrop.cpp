// Drops on the grid: photos dragged to a new place (with auto-scroll near
// the edges) and files dropped from outside.
#include "galleryphotogrid.h"

#include "ui/kit/galleryfilepasteboard.h"

#include "model/photomanifestreorder.h"
#include "store/gallerystore.h"

#include <QDrag>
#include <QDropEvent>
#include <QMimeData>
#include <QScrollBar>

#include <algorithm>

namespace {

constexpr int autoScrollMargin = 48;

} // namespace

// ---- Drag and drop ---------------------------------------------------------------

void GalleryPhotoGrid::setDropInsertionIndex(std::optional<int> index)
{
    if (index == m_dropInsertionIndex)
        return;
    m_dropInsertionIndex = index;
    viewport()->update();
    Q_EMIT dropInsertionIndexChanged();
}

void GalleryPhotoGrid::setFileDropTargeted(bool targeted)
{
    if (targeted == m_isFileDropTargeted)
        return;
    m_isFileDropTargeted = targeted;
    Q_EMIT fileDropTargetedChanged(targeted);
}

std::optional<int> GalleryPhotoGrid::insertionIndexAt(QPoint viewportPosition) const
{
    const int count = int(m_order.size());
    const GalleryGridGeometry geometry = layoutGeometry();
    const QPointF point = QPointF(viewportPosition) + QPointF(0, scrollOffset());
    const int slot = geometry.slotIndexAt(point, count);
    if (slot < 0)
        return std::nullopt;
    const QRectF cell = geometry.cellRect(slot);
    const double fraction = cell.width() > 0 ? (point.x() - cell.left()) / cell.width() : 1.0;
    return PhotoManifestReorder::insertionIndex(fraction, slot, count);
}

void GalleryPhotoGrid::updateAutoScroll(QPoint viewportPosition)
{
    m_lastDragPosition = viewportPosition;
    const int height = viewport()->height();
    if (viewportPosition.y() < autoScrollMargin)
        m_autoScrollStep = -std::max(4, (autoScrollMargin - viewportPosition.y()) / 2);
    else if (viewportPosition.y() > height - autoScrollMargin)
        m_autoScrollStep = std::max(4, (viewportPosition.y() - (height - autoScrollMargin)) / 2);
    else
        m_autoScrollStep = 0;
    if (m_autoScrollStep != 0 && !m_autoScroll.isActive())
        m_autoScroll.start();
    else if (m_autoScrollStep == 0)
        m_autoScroll.stop();
}

void GalleryPhotoGrid::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *mime = event->mimeData();
    if (GalleryFilePasteboard::wouldUpload(mime))
        m_dragKind = DragKind::files;
    else if (const std::optional<QString> id = PhotoDragPasteboard::photoID(mime); id && m_order.contains(*id))
        m_dragKind = DragKind::photo;
    else
        m_dragKind = DragKind::none;
    dragMoveEvent(event);
}

void GalleryPhotoGrid::dragMoveEvent(QDragMoveEvent *event)
{
    const QPoint position = event->position().toPoint();
    switch (m_dragKind) {
    case DragKind::files:
        setFileDropTargeted(true);
        updateAutoScroll(position);
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    case DragKind::photo:
        updateAutoScroll(position);
        m_pendingInsertionIndex = insertionIndexAt(position);
        setDropInsertionIndex(m_pendingInsertionIndex);
        if (m_pendingInsertionIndex) {
            event->setDropAction(Qt::MoveAction);
            event->accept();
        } else {
            event->ignore();
        }
        return;
    case DragKind::none:
        event->ignore();
        return;
    }
}

void GalleryPhotoGrid::dragLeaveEvent(QDragLeaveEvent *event)
{
    setFileDropTargeted(false);
    m_pendingInsertionIndex.reset();
    setDropInsertionIndex(std::nullopt);
    m_autoScroll.stop();
    m_dragKind = DragKind::none;
    event->accept();
}

void GalleryPhotoGrid::dropEvent(QDropEvent *event)
{
    m_autoScroll.stop();
    const QMimeData *mime = event->mimeData();
    const DragKind kind = m_dragKind;
    m_dragKind = DragKind::none;
    if (kind == DragKind::files || (kind == DragKind::none && GalleryFilePasteboard::wouldUpload(mime))) {
        setFileDropTargeted(false);
        const QStringList paths = GalleryFilePasteboard::uploadURLs(mime);
        if (paths.isEmpty()) {
            event->ignore();
            return;
        }
        handleFileURLDrop(paths);
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    const std::optional<QString> id = PhotoDragPasteboard::photoID(mime);
    std::optional<int> index = m_pendingInsertionIndex;
    if (!index)
        index = insertionIndexAt(event->position().toPoint());
    m_pendingInsertionIndex.reset();
    setDropInsertionIndex(std::nullopt);
    if (id && index && handleReorderDrop({ *id }, *index)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
        return;
    }
    event->ignore();
}
