#include "galleryselectionstore.h"

#include <algorithm>

namespace {

// Position of `id` in the order (its first occurrence), or -1.
qsizetype positionIn(const QList<QString> &photoOrder, const QString &id)
{
    return photoOrder.indexOf(id);
}

// A stable pick among ids that no order ranks.
std::optional<QString> smallestID(const QSet<QString> &ids)
{
    if (ids.isEmpty())
        return std::nullopt;
    return *std::min_element(ids.cbegin(), ids.cend());
}

// ((value mod n) + n) mod n: always a valid position of a list of n > 0.
qsizetype wrapped(qint64 value, qsizetype n)
{
    return qsizetype(((value % n) + n) % n);
}

} // namespace

GridTapModifiers GridTapModifiers::fromKeyboardModifiers(Qt::KeyboardModifiers modifiers)
{
    return {modifiers.testFlag(Qt::ControlModifier), modifiers.testFlag(Qt::ShiftModifier)};
}

GallerySelectionStore::GallerySelectionStore(QObject *parent)
    : QObject(parent)
{
}

std::optional<QString> GallerySelectionStore::lightboxOpenPhotoID() const
{
    return m_state.lightboxNavigationPhotoID ? m_state.lightboxNavigationPhotoID : m_state.lightboxPhotoID;
}

void GallerySelectionStore::setSelectedIDs(const QSet<QString> &ids)
{
    const State before = m_state;
    m_state.selectedIDs = ids;
    publishChanges(before);
}

void GallerySelectionStore::setLightboxNavigationPhotoID(const std::optional<QString> &id)
{
    const State before = m_state;
    m_state.lightboxNavigationPhotoID = id;
    publishChanges(before);
}

void GallerySelectionStore::setLightboxPhotoID(const std::optional<QString> &id)
{
    const State before = m_state;
    m_state.lightboxPhotoID = id;
    publishChanges(before);
}

void GallerySelectionStore::setSelectionAnchor(const std::optional<QString> &id)
{
    const State before = m_state;
    m_state.selectionAnchor = id;
    publishChanges(before);
}

void GallerySelectionStore::selectPhoto(const QString &id, bool append, bool rangeSelect,
                                        const QList<QString> &photoOrder)
{
    if (rangeSelect && !photoOrder.isEmpty()) {
        applyRangeSelection(id, photoOrder);
        return;
    }
    const State before = m_state;
    if (append) {
        if (!m_state.selectedIDs.remove(id))
            m_state.selectedIDs.insert(id);
    } else {
        selectOnly(id);
    }
    publishChanges(before);
}

void GallerySelectionStore::applyRangeSelection(const QString &target, const QList<QString> &photoOrder)
{
    const State before = m_state;

    QString anchor = target;
    if (m_state.selectionAnchor) {
        anchor = *m_state.selectionAnchor;
    } else {
        qsizetype earliest = -1;
        for (const QString &id : std::as_const(m_state.selectedIDs)) {
            const qsizetype position = positionIn(photoOrder, id);
            if (position >= 0 && (earliest < 0 || position < earliest))
                earliest = position;
        }
        if (earliest >= 0)
            anchor = photoOrder.at(earliest);
    }

    const qsizetype a = positionIn(photoOrder, anchor);
    const qsizetype t = positionIn(photoOrder, target);
    if (a < 0 || t < 0) {
        selectOnly(target);
    } else {
        const qsizetype from = std::min(a, t);
        const qsizetype to = std::max(a, t);
        QSet<QString> range;
        range.reserve(to - from + 1);
        for (qsizetype i = from; i <= to; ++i)
            range.insert(photoOrder.at(i));
        m_state.selectedIDs = range;
    }
    publishChanges(before);
}

void GallerySelectionStore::clearSelection()
{
    const State before = m_state;
    m_state.selectedIDs.clear();
    m_state.selectionAnchor.reset();
    publishChanges(before);
}

void GallerySelectionStore::selectAll(const QList<QString> &photoOrder)
{
    const State before = m_state;
    m_state.selectedIDs = QSet<QString>(photoOrder.cbegin(), photoOrder.cend());
    // A range started later still runs from the anchor, when it is one of
    // the photos; else from the first photo, as the earliest selected one.
    if (m_state.selectionAnchor && !m_state.selectedIDs.contains(*m_state.selectionAnchor))
        m_state.selectionAnchor.reset();
    publishChanges(before);
}

void GallerySelectionStore::openLightbox(const QString &id)
{
    const State before = m_state;
    m_state.lightboxNavigationPhotoID = id;
    m_state.lightboxPhotoID.reset();
    selectOnly(id);
    publishChanges(before);
}

void GallerySelectionStore::closeLightbox()
{
    const State before = m_state;
    m_state.lightboxPhotoID.reset();
    m_state.lightboxNavigationPhotoID.reset();
    publishChanges(before);
}

bool GallerySelectionStore::closeLightboxIfShowingAny(const QSet<QString> &ids)
{
    const std::optional<QString> open = lightboxOpenPhotoID();
    if (!open || !ids.contains(*open))
        return false;
    closeLightbox();
    return true;
}

void GallerySelectionStore::noteLightboxPageAppeared(const QString &id)
{
    if (m_state.lightboxNavigationPhotoID == id)
        setLightboxPhotoID(id);
}

bool GallerySelectionStore::navigateGridSelection(int horizontalDelta, int verticalDelta,
                                                  const QList<QString> &photoOrder, int columnCount)
{
    if (isLightboxOpen())
        return false;
    const qsizetype n = photoOrder.size();
    if (n == 0)
        return false;
    // 64-bit, so no delta the caller passes can overflow.
    const qint64 delta = qint64(horizontalDelta) + qint64(verticalDelta) * std::max(columnCount, 1);
    if (delta == 0)
        return false;

    qint64 target = 0;
    const std::optional<QString> current = preferredLightboxPhotoID(photoOrder);
    const qsizetype i = current ? positionIn(photoOrder, *current) : -1;
    if (i >= 0)
        target = i + delta;
    else
        target = delta > 0 ? delta - 1 : n + delta; // Right/Down start at the front, Left/Up at the end.

    const QString &id = photoOrder.at(wrapped(target, n));
    const State before = m_state;
    selectOnly(id);
    publishChanges(before);
    return true;
}

bool GallerySelectionStore::navigateLightbox(int delta, const QList<QString> &photoOrder)
{
    if (!m_state.lightboxNavigationPhotoID)
        return false;
    const qsizetype n = photoOrder.size();
    if (n < 2)
        return false;
    const QString current = *lightboxOpenPhotoID();
    const qsizetype i = positionIn(photoOrder, current);
    if (i < 0)
        return false;
    const QString &id = photoOrder.at(wrapped(qint64(i) + delta, n));
    if (id == current)
        return false;

    const State before = m_state;
    m_state.lightboxNavigationPhotoID = id;
    m_state.lightboxPhotoID.reset();
    selectOnly(id);
    publishChanges(before);
    return true;
}

std::optional<QString> GallerySelectionStore::preferredLightboxPhotoID(const QList<QString> &photoOrder) const
{
    const QSet<QString> &selected = m_state.selectedIDs;
    if (selected.isEmpty())
        return std::nullopt;
    if (m_state.selectionAnchor && selected.contains(*m_state.selectionAnchor))
        return m_state.selectionAnchor;
    for (const QString &id : photoOrder) {
        if (selected.contains(id))
            return id;
    }
    return smallestID(selected);
}

void GallerySelectionStore::subtractSelection(const QSet<QString> &ids)
{
    const State before = m_state;
    m_state.selectedIDs.subtract(ids);
    const std::optional<QString> open = lightboxOpenPhotoID();
    if (open && ids.contains(*open)) {
        m_state.lightboxPhotoID.reset();
        m_state.lightboxNavigationPhotoID.reset();
    }
    if (m_state.selectionAnchor && ids.contains(*m_state.selectionAnchor))
        m_state.selectionAnchor = smallestID(m_state.selectedIDs);
    publishChanges(before);
}

void GallerySelectionStore::selectOnly(const QString &id)
{
    m_state.selectedIDs = QSet<QString>{id};
    m_state.selectionAnchor = id;
}

void GallerySelectionStore::publishChanges(const State &before)
{
    // A listener may call back into the store; announce against a snapshot so
    // every emission here describes this operation's own change.
    const State after = m_state;
    if (before.lightboxPhotoID != after.lightboxPhotoID)
        Q_EMIT lightboxPhotoIDChanged();
    if (before.lightboxNavigationPhotoID != after.lightboxNavigationPhotoID)
        Q_EMIT lightboxNavigationPhotoIDChanged();
    if (before.selectedIDs != after.selectedIDs)
        Q_EMIT selectedIDsChanged();
    if (before.selectionAnchor != after.selectionAnchor)
        Q_EMIT selectionAnchorChanged();
}

bool GalleryOpenLightboxKeyboardHandling::handleKeyPress(int key, GallerySelectionStore &selection) const
{
    if (!isEnabled || (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Space))
        return false;
    if (selection.selectedIDs().isEmpty())
        return false;
    if (!selection.isLightboxOpen()) {
        if (const std::optional<QString> id = selection.preferredLightboxPhotoID(photoOrder))
            selection.openLightbox(*id);
    }
    return selection.isLightboxOpen();
}

bool GalleryClearSelectionKeyboardHandling::handleKeyPress(int key, GallerySelectionStore &selection) const
{
    return key == Qt::Key_Escape && handleCancelCommand(selection);
}

bool GalleryClearSelectionKeyboardHandling::handleCancelCommand(GallerySelectionStore &selection) const
{
    if (!isEnabled || selection.selectedIDs().isEmpty())
        return false;
    selection.clearSelection();
    return true;
}

bool GalleryArrowSelectionKeyboardHandling::handleKeyPress(int key, GallerySelectionStore &selection,
                                                           const QList<QString> &photoOrder, int columnCount) const
{
    if (!isEnabled)
        return false;
    switch (key) {
    case Qt::Key_Left:
        return selection.navigateGridSelection(-1, 0, photoOrder, columnCount);
    case Qt::Key_Right:
        return selection.navigateGridSelection(1, 0, photoOrder, columnCount);
    case Qt::Key_Up:
        return selection.navigateGridSelection(0, -1, photoOrder, columnCount);
    case Qt::Key_Down:
        return selection.navigateGridSelection(0, 1, photoOrder, columnCount);
    default:
        return false;
    }
}

bool GalleryLightboxArrowKeyboardHandling::handleKeyPress(int key, GallerySelectionStore &selection,
                                                          const QList<QString> &photoOrder) const
{
    if (!selection.isLightboxOpen())
        return false;
    switch (key) {
    case Qt::Key_Left:
        return selection.navigateLightbox(-1, photoOrder);
    case Qt::Key_Right:
        return selection.navigateLightbox(1, photoOrder);
    default:
        return false;
    }
}
