// The grid's mouse and keyboard: selection by click, opening, the context
// menu, starting a reorder drag, and the keys of the gallery.
#include "galleryphotogrid.h"

#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "ui/kit/painting.h"

#include "clock.h"
#include "store/gallerystore.h"

#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

// ---- Mouse -------------------------------------------------------------------------

void GalleryPhotoGrid::mousePressEvent(QMouseEvent *event)
{
    m_keyboardInUse = false;
    if (event->button() != Qt::LeftButton) {
        // Right clicks open the context menu and leave the selection alone.
        event->accept();
        return;
    }
    const int index = indexAt(event->position().toPoint());
    m_didBeginReorderDrag = false;
    if (index < 0) {
        m_dragDownLocation.reset();
        m_pressedPhotoID.clear();
        clearSelectionFromBackgroundTap();
        setFocus(Qt::MouseFocusReason);
        event->accept();
        return;
    }
    m_dragDownLocation = event->position().toPoint();
    m_pressedPhotoID = m_order.at(index);
    handleGridPhotoTap(m_pressedPhotoID, GridTapModifiers::fromKeyboardModifiers(event->modifiers()));
    event->accept();
}

void GalleryPhotoGrid::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    const int index = indexAt(event->position().toPoint());
    m_dragDownLocation = event->position().toPoint();
    m_didBeginReorderDrag = false;
    if (index >= 0) {
        m_pressedPhotoID = m_order.at(index);
        m_selection->openLightbox(m_pressedPhotoID);
    }
    event->accept();
}

void GalleryPhotoGrid::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || !m_dragDownLocation || m_didBeginReorderDrag
        || m_pressedPhotoID.isEmpty()) {
        event->accept();
        return;
    }
    const QPointF moved = event->position() - QPointF(*m_dragDownLocation);
    if (std::hypot(moved.x(), moved.y()) < reorderDragDistance)
        return;
    const int index = int(m_order.indexOf(m_pressedPhotoID));
    if (index >= 0)
        beginReorderDrag(index);
    event->accept();
}

void GalleryPhotoGrid::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragDownLocation.reset();
    m_didBeginReorderDrag = false;
    event->accept();
}

void GalleryPhotoGrid::beginReorderDrag(int index)
{
    m_didBeginReorderDrag = true;
    const QString id = m_order.at(index);
    auto *drag = new QDrag(this);
    drag->setMimeData(PhotoDragPasteboard::mimeData(id));
    const QPixmap pixmap = dragPixmap(index);
    drag->setPixmap(pixmap);
    const QRect cell = visualRect(index);
    const QPointF offset = QPointF(*m_dragDownLocation - cell.topLeft());
    const double scale = cell.width() > 0 ? pixmap.width() / pixmap.devicePixelRatioF() / cell.width() : 1;
    drag->setHotSpot((offset * scale).toPoint());
    // The drag runs its own event loop; the grid may be gone when it ends.
    const QPointer<GalleryPhotoGrid> self(this);
    drag->exec(Qt::MoveAction, Qt::MoveAction);
    if (self)
        reorderDragEnded();
}

void GalleryPhotoGrid::reorderDragEnded()
{
    m_dragDownLocation.reset();
    m_didBeginReorderDrag = false;
    m_pendingInsertionIndex.reset();
    m_autoScroll.stop();
    setDropInsertionIndex(std::nullopt);
}

QPixmap GalleryPhotoGrid::dragPixmap(int index) const
{
    const QRectF cell = layoutGeometry().cellRect(index);
    const double scale = std::min(1.0, 150.0 / std::max(cell.width(), 1.0));
    const QSizeF size = cell.size() * scale;
    const double ratio = devicePixelRatioF();
    QPixmap pixmap((size * ratio).toSize());
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(0.85);
    const QRectF target(QPointF(), size);
    painter.setClipPath(UiPaint::roundedRect(target, GalleryGridLook::cornerRadius));
    PhotoImagePainter::paint(
        painter, target, m_models.value(m_order.at(index)), PhotoContentMode::fill, false, 0, palette());
    return pixmap;
}

void GalleryPhotoGrid::contextMenuEvent(QContextMenuEvent *event)
{
    int index = -1;
    QPoint global = event->globalPos();
    if (event->reason() == QContextMenuEvent::Keyboard) {
        if (const std::optional<QString> id = m_selection->preferredLightboxPhotoID(m_order)) {
            index = int(m_order.indexOf(*id));
            if (index >= 0)
                global = viewport()->mapToGlobal(visualRect(index).center());
        }
    } else {
        index = indexAt(viewport()->mapFromGlobal(event->globalPos()));
    }
    if (index < 0) {
        event->ignore();
        return;
    }
    const QString id = m_order.at(index);
    Q_EMIT contextMenuRequested(id, global);
    if (m_contextMenuProvider) {
        auto *menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        m_contextMenuProvider(*menu, id);
        if (menu->isEmpty())
            delete menu;
        else
            menu->popup(global);
    }
    event->accept();
}

// ---- Keyboard --------------------------------------------------------------------

bool GalleryPhotoGrid::event(QEvent *event)
{
    // Ctrl+V reaches the grid even when a menu item carries the same shortcut.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Paste)) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void GalleryPhotoGrid::keyPressEvent(QKeyEvent *event)
{
    if (!m_keyboardInUse) {
        m_keyboardInUse = true;
        viewport()->update();
    }
    if (event->matches(QKeySequence::Paste)) {
        pasteFromClipboard();
        event->accept();
        return;
    }
    const int key = event->key();
    const bool enabled = isKeyboardHandlingEnabled();
    const int columns = m_store ? m_store->settings().galleryGridColumnCount : columnCount();
    const auto selectedIndex = [this] {
        const std::optional<QString> id = m_selection->preferredLightboxPhotoID(m_order);
        return id ? int(m_order.indexOf(*id)) : -1;
    };

    if (m_selection->isLightboxOpen()) {
        // Until the lightbox page holds the focus, its keys work from here.
        if (GalleryLightboxArrowKeyboardHandling().handleKeyPress(key, *m_selection, m_order)) {
            scrollToIndex(selectedIndex());
            event->accept();
            return;
        }
        if (key == Qt::Key_Escape) {
            m_selection->closeLightbox();
            event->accept();
            return;
        }
    }
    // Ctrl+Space and the arrows with Shift or Ctrl come first: the plain
    // handlers look at the key alone.
    if (enabled && handleExtendedSelectionKey(event, columns)) {
        event->accept();
        return;
    }
    if (GalleryOpenLightboxKeyboardHandling { enabled, m_order }.handleKeyPress(key, *m_selection)
        || GalleryClearSelectionKeyboardHandling { enabled }.handleKeyPress(key, *m_selection)) {
        event->accept();
        return;
    }
    if (GalleryArrowSelectionKeyboardHandling { enabled }.handleKeyPress(key, *m_selection, m_order, columns)) {
        if (const std::optional<QString> anchor = m_selection->selectionAnchor())
            setFocusedPhotoID(*anchor);
        scrollToIndex(selectedIndex());
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::SelectAll) && enabled) {
        m_selection->selectAll(m_order);
        event->accept();
        return;
    }
    if ((key == Qt::Key_Delete || key == Qt::Key_Backspace) && enabled && m_deleteKeyHandler && m_deleteKeyHandler()) {
        event->accept();
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

bool GalleryPhotoGrid::handleExtendedSelectionKey(QKeyEvent *event, int columns)
{
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (m_order.isEmpty() || (modifiers != Qt::ShiftModifier && modifiers != Qt::ControlModifier))
        return false;
    if (event->key() == Qt::Key_Space && modifiers == Qt::ControlModifier) {
        const int index = focusedIndex();
        const QString id = m_order.at(index);
        m_selection->selectPhoto(id, true, false, m_order);
        setFocusedPhotoID(id);
        return true;
    }
    int delta = 0;
    switch (event->key()) {
    case Qt::Key_Left:
        delta = -1;
        break;
    case Qt::Key_Right:
        delta = 1;
        break;
    case Qt::Key_Up:
        delta = -std::max(columns, 1);
        break;
    case Qt::Key_Down:
        delta = std::max(columns, 1);
        break;
    default:
        return false;
    }
    // From the keyboard's cell, or into the grid as a plain arrow would
    // enter it; these stop at the ends rather than wrap.
    const int count = int(m_order.size());
    const bool placed = (!m_focusedPhotoID.isEmpty() && m_order.contains(m_focusedPhotoID))
        || !m_selection->selectedIDs().isEmpty();
    const int start = placed ? focusedIndex() + delta : (delta > 0 ? delta - 1 : count + delta);
    const int target = std::clamp(start, 0, count - 1);
    const QString id = m_order.at(target);
    if (modifiers == Qt::ShiftModifier)
        m_selection->selectPhoto(id, false, true, m_order);
    setFocusedPhotoID(id);
    scrollToIndex(target);
    viewport()->update();
    return true;
}

void GalleryPhotoGrid::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    if (event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason)
        m_keyboardInUse = true;
    viewport()->update();
    notifyAccessibleFocus();
}

void GalleryPhotoGrid::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}
