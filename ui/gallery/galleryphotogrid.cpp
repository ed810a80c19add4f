#include "galleryphotogrid.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/decodedimagecache.h"

#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "ui/kit/painting.h"

#include "ui/kit/icons.h"
#include "clock.h"
#include "model/photomanifestreorder.h"
#include "store/gallerystore.h"
#include "store/photoformatters.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

GalleryPhotoGrid::GalleryPhotoGrid(GalleryStore &store, QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_store(&store)
    , m_selection(&store.selection())
{
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    installGalleryPhotoGridAccessibility();
    setAccessibleName(tr("Photos"));

    m_widthSettle.setSingleShot(true);
    m_widthSettle.setInterval(widthSettleMilliseconds);
    connect(&m_widthSettle, &QTimer::timeout, this, &GalleryPhotoGrid::settleWidthNow);

    m_tagRefresh.setSingleShot(true);
    connect(&m_tagRefresh, &QTimer::timeout, this, [this] {
        if (m_store)
            m_plan = m_store->rotationPlan();
        m_tags.clear();
        viewport()->update();
        scheduleTagRefresh();
    });

    m_autoScroll.setInterval(30);
    connect(&m_autoScroll, &QTimer::timeout, this, [this] {
        verticalScrollBar()->setValue(verticalScrollBar()->value() + m_autoScrollStep);
        if (m_dragKind == DragKind::photo)
            setDropInsertionIndex(m_pendingInsertionIndex = insertionIndexAt(m_lastDragPosition));
    });

    connect(&store, &GalleryStore::stateChanged, this, &GalleryPhotoGrid::rebuildFromState);
    connect(&store, &GalleryStore::settingsChanged, this, [this] {
        // A new column count decodes at the new cell size at once; the
        // rotation interval may have changed the tags.
        if (columnCount() != m_columns) {
            m_columns = columnCount();
            m_widthSettle.stop();
            m_settledWidth = viewport()->width();
        }
        m_plan = m_store->rotationPlan();
        m_tags.clear();
        scheduleTagRefresh();
        relayout();
    });
    connect(&store, &GalleryStore::deviceScreenAspectRatioChanged, this, &GalleryPhotoGrid::relayout);
    connect(m_selection, &GallerySelectionStore::selectedIDsChanged, this, &GalleryPhotoGrid::followSelection);

    m_columns = columnCount();
    rebuildFromState();
}

GalleryPhotoGrid::~GalleryPhotoGrid() = default;

// ---- What is shown ---------------------------------------------------------

int GalleryPhotoGrid::columnCount() const
{
    return GalleryThumbSizing::clampedColumnCount(m_store ? m_store->settings().galleryGridColumnCount : 5);
}

double GalleryPhotoGrid::aspectRatio() const
{
    return GalleryThumbSizing::thumbAspectRatio(m_store ? m_store->deviceScreenAspectRatio() : 0);
}

double GalleryPhotoGrid::backingScale() const
{
    const double scale = devicePixelRatioF();
    return scale > 0 ? scale : 2.0;
}

GalleryGridGeometry GalleryPhotoGrid::layoutGeometry() const
{
    return GalleryGridGeometry(viewport()->width(), columnCount(), aspectRatio());
}

int GalleryPhotoGrid::thumbMaxPixelSize() const
{
    const double width = m_settledWidth > 0 ? m_settledWidth : viewport()->width();
    const GalleryGridGeometry settled(width, columnCount(), aspectRatio());
    return GalleryThumbSizing::maxPixelSize(settled.cellWidth, settled.cellHeight, backingScale());
}

int GalleryPhotoGrid::thumbnailDownloadWidth() const
{
    return GalleryThumbSizing::thumbnailDownloadWidth(thumbMaxPixelSize());
}

int GalleryPhotoGrid::scrollOffset() const
{
    return verticalScrollBar()->value();
}

QRect GalleryPhotoGrid::visualRect(int index) const
{
    if (index < 0 || index >= m_order.size())
        return {};
    return layoutGeometry().cellRect(index).translated(0, -scrollOffset()).toAlignedRect();
}

int GalleryPhotoGrid::indexAt(QPoint viewportPosition) const
{
    return layoutGeometry().indexAt(QPointF(viewportPosition) + QPointF(0, scrollOffset()), int(m_order.size()));
}

std::optional<QString> GalleryPhotoGrid::cornerTag(int index) const
{
    if (index < 0 || index >= m_order.size())
        return std::nullopt;
    const QString &id = m_order.at(index);
    const auto known = m_tags.constFind(id);
    if (known != m_tags.constEnd())
        return *known;
    // The store's tag, with the plan worked out once for the whole grid
    // rather than once a photo.
    std::optional<QString> tag;
    if (m_currentPhotoID == id)
        tag = GalleryGridLook::showingForToday;
    else if (m_plan && m_store)
        tag = m_store->showingTag(id, m_plan);
    m_tags.insert(id, tag);
    return tag;
}

GalleryStore *GalleryPhotoGrid::store() const
{
    return m_store;
}

int GalleryPhotoGrid::focusedIndex() const
{
    if (!m_focusedPhotoID.isEmpty()) {
        if (const int index = int(m_order.indexOf(m_focusedPhotoID)); index >= 0)
            return index;
    }
    if (const std::optional<QString> id = m_selection->preferredLightboxPhotoID(m_order)) {
        if (const int index = int(m_order.indexOf(*id)); index >= 0)
            return index;
    }
    return m_order.isEmpty() ? -1 : 0;
}

bool GalleryPhotoGrid::isCellSelected(int index) const
{
    return index >= 0 && index < m_order.size() && m_selection->selectedIDs().contains(m_order.at(index));
}

QString GalleryPhotoGrid::cellAccessibleName(int index) const
{
    if (index < 0 || index >= m_order.size() || !m_store)
        return {};
    const QString &id = m_order.at(index);
    const auto entry = m_store->state().photos.constFind(id);
    if (entry == m_store->state().photos.constEnd() || entry->filename.trimmed().isEmpty())
        return id;
    return entry->filename;
}

QString GalleryPhotoGrid::cellAccessibleDescription(int index) const
{
    if (index < 0 || index >= m_order.size() || !m_store)
        return {};
    QStringList parts;
    const auto entry = m_store->state().photos.constFind(m_order.at(index));
    if (entry != m_store->state().photos.constEnd())
        parts.append(PhotoFormatters::addedBy(*entry, m_store->state().uploaders));
    if (const std::optional<QString> tag = cornerTag(index))
        parts.append(*tag);
    if (isCellSelected(index))
        parts.append(tr("Selected"));
    return parts.join(QStringLiteral(", "));
}

void GalleryPhotoGrid::setFocusedPhotoID(const QString &id)
{
    if (id == m_focusedPhotoID)
        return;
    m_focusedPhotoID = id;
    if (hasFocus())
        viewport()->update();
    notifyAccessibleFocus();
}

void GalleryPhotoGrid::followSelection()
{
    // The keyboard's cell goes where a click, an arrow or the lightbox left
    // a single selected photo.
    const QSet<QString> &selected = m_selection->selectedIDs();
    if (selected.size() == 1)
        setFocusedPhotoID(*selected.cbegin());
    viewport()->update();
    QAccessibleEvent event(this, QAccessible::SelectionWithin);
    UiAccessibility::post(event);
    // The focused cell's state may have changed without the focus moving.
    if (hasFocus() && focusedIndex() >= 0) {
        QAccessible::State changed;
        changed.selected = true;
        QAccessibleStateChangeEvent stateEvent(this, changed);
        stateEvent.setChild(focusedIndex());
        UiAccessibility::post(stateEvent);
    }
}

void GalleryPhotoGrid::notifyAccessibleFocus()
{
    const int index = focusedIndex();
    if (!hasFocus() || index < 0)
        return;
    QAccessibleEvent event(this, QAccessible::Focus);
    event.setChild(index);
    UiAccessibility::post(event);
}

PhotoImageModel *GalleryPhotoGrid::imageModel(const QString &photoID) const
{
    return m_models.value(photoID);
}

bool GalleryPhotoGrid::isKeyboardHandlingEnabled() const
{
    return !m_selection->isLightboxOpen() && !m_settingsShown;
}

void GalleryPhotoGrid::setSettingsShown(bool shown)
{
    m_settingsShown = shown;
}

// ---- Following the store -------------------------------------------------------

void GalleryPhotoGrid::rebuildFromState()
{
    if (!m_store)
        return;
    const GalleryState &state = m_store->state();
    const QList<PhotoEntry> active = state.activePhotos();
    QList<QString> order;
    order.reserve(active.size());
    for (const PhotoEntry &photo : active)
        order.append(photo.id);
    m_order = std::move(order);
    m_currentPhotoID = state.currentPhotoId;
    m_plan = m_store->rotationPlan();
    m_tags.clear();
    scheduleTagRefresh();
    if (m_dropInsertionIndex && *m_dropInsertionIndex > m_order.size())
        setDropInsertionIndex(std::nullopt);
    relayout();
    QAccessibleEvent event(this, QAccessible::ObjectReorder);
    UiAccessibility::post(event);
}

void GalleryPhotoGrid::scheduleTagRefresh()
{
    // The tags move on when the frames' photo changes at the next boundary,
    // even before the next pull brings the new current photo.
    m_tagRefresh.stop();
    if (!m_plan || !m_plan->nextCron.isValid())
        return;
    const qint64 untilBoundary = Clock::now().msecsTo(m_plan->nextCron) + 1000;
    m_tagRefresh.start(int(std::clamp<qint64>(untilBoundary, 1000, 6LL * 3600 * 1000)));
}

void GalleryPhotoGrid::relayout()
{
    const int count = int(m_order.size());
    const GalleryGridGeometry geometry = layoutGeometry();
    QScrollBar *bar = verticalScrollBar();
    // When the cells change size, the row at the top of the view stays there.
    std::optional<double> keptOffset;
    if (m_laidOut && count > 0
        && (m_laidOut->columns != geometry.columns || m_laidOut->cellHeight != geometry.cellHeight)
        && bar->value() > 0) {
        const int top = std::min(m_laidOut->indexRange(bar->value(), bar->value() + 1, count).first, count - 1);
        const double within = (bar->value() - m_laidOut->cellRect(top).top()) / m_laidOut->rowPitch();
        keptOffset = geometry.cellRect(top).top() + within * geometry.rowPitch();
    }
    m_laidOut = geometry;
    const int contentHeight = int(std::ceil(geometry.contentHeight(count)));
    bar->setRange(0, std::max(0, contentHeight - viewport()->height()));
    bar->setPageStep(viewport()->height());
    bar->setSingleStep(std::max(24, int(geometry.rowPitch() / 4)));
    if (keptOffset)
        bar->setValue(int(std::round(*keptOffset)));
    updateImageModels();
    viewport()->update();
}

void GalleryPhotoGrid::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (m_settledWidth <= 0)
        m_settledWidth = viewport()->width();
    else if (viewport()->width() != m_settledWidth)
        m_widthSettle.start();
    relayout();
}

void GalleryPhotoGrid::showEvent(QShowEvent *event)
{
    QAbstractScrollArea::showEvent(event);
    updateImageModels();
}

void GalleryPhotoGrid::settleWidthNow()
{
    m_widthSettle.stop();
    m_settledWidth = viewport()->width();
    updateImageModels();
}

void GalleryPhotoGrid::scrollContentsBy(int, int)
{
    updateImageModels();
    viewport()->update();
}

void GalleryPhotoGrid::updateImageModels()
{
    if (!m_store)
        return;
    const int count = int(m_order.size());
    const GalleryGridGeometry geometry = layoutGeometry();
    const double top = scrollOffset();
    const double height = std::max(viewport()->height(), 1);
    // Photos within three screens keep their model (and image); those
    // within one screen are loaded ahead of scrolling.
    const auto [keepFirst, keepEnd] = geometry.indexRange(top - 3 * height, top + 4 * height, count);
    const auto [aheadFirst, aheadEnd] = geometry.indexRange(top - height, top + 2 * height, count);
    const auto [shownFirst, shownEnd] = geometry.indexRange(top, top + height, count);

    QSet<QString> keep;
    for (int i = keepFirst; i < keepEnd; ++i)
        keep.insert(m_order.at(i));
    for (auto it = m_models.begin(); it != m_models.end();) {
        if (!keep.contains(it.key())) {
            delete it.value();
            it = m_models.erase(it);
        } else {
            ++it;
        }
    }
    QSet<QString> ahead;
    for (int i = aheadFirst; i < aheadEnd; ++i)
        ahead.insert(m_order.at(i));
    m_cellPixmaps.removeIf([&ahead](const auto &cell) { return !ahead.contains(cell.key()); });
    // Loads (and downloads) of photos that scrolled away make room for
    // those coming into view.
    for (auto it = m_models.cbegin(); it != m_models.cend(); ++it)
        if (!ahead.contains(it.key()))
            it.value()->abandonLoad();
    if (viewport()->width() <= 0 || !isVisible())
        return;

    const int maxPixelSize = thumbMaxPixelSize();
    const int thumbnailWidth = GalleryThumbSizing::thumbnailDownloadWidth(maxPixelSize);
    // A decoded thumbnail is at most maxPixelSize square, four bytes a pixel.
    const qint64 bytesPerScreen = qint64(shownEnd - shownFirst) * maxPixelSize * maxPixelSize * 4;
    DecodedImageCache &decoded = DecodedImageCache::shared();
    if (const qint64 capacity = DecodedImageCache::capacityForScreens(bytesPerScreen); capacity != decoded.capacityBytes())
        decoded.setCapacityBytes(capacity);
    const auto load = [&](int index) {
        const QString &id = m_order.at(index);
        PhotoImageModel *&model = m_models[id];
        if (!model) {
            model = new PhotoImageModel(this);
            connect(model, &PhotoImageModel::changed, viewport(), qOverload<>(&QWidget::update));
        }
        model->load(id, maxPixelSize, thumbnailWidth, PhotoImageModel::storeEnsureCached(*m_store, id, thumbnailWidth));
    };
    // The decoder takes the latest requests first: the rows ahead go in
    // first, the rows on screen last, bottom to top.
    for (int i = aheadFirst; i < aheadEnd; ++i)
        if (i < shownFirst || i >= shownEnd)
            load(i);
    for (int i = shownEnd - 1; i >= shownFirst; --i)
        load(i);
}

// ---- Actions ----------------------------------------------------------------------

void GalleryPhotoGrid::handleGridPhotoTap(const QString &photoID, GridTapModifiers modifiers)
{
    m_selection->selectPhoto(photoID, modifiers, m_order);
    setFocusedPhotoID(photoID);
    if (!m_selection->isLightboxOpen())
        syncGridKeyboardFocus();
}

bool GalleryPhotoGrid::handleReorderDrop(const QList<QString> &draggedIDs, int insertionIndex)
{
    if (draggedIDs.isEmpty() || !m_store)
        return false;
    const QList<QString> newOrder = PhotoManifestReorder::applyingMove(draggedIDs.first(), insertionIndex, m_order);
    if (newOrder == m_order)
        return false;
    setDropInsertionIndex(std::nullopt);
    m_store->startBackground([newOrder](GalleryStore &store) { return store.applyOrder(newOrder); });
    return true;
}

void GalleryPhotoGrid::handleFileURLDrop(const QStringList &paths)
{
    if (!m_store)
        return;
    const QList<QString> files(paths.begin(), paths.end());
    m_store->startBackground([files](GalleryStore &store) { return store.uploadFiles(files); });
}

void GalleryPhotoGrid::clearSelectionFromBackgroundTap()
{
    if (!m_selection->isLightboxOpen())
        m_selection->clearSelection();
}

void GalleryPhotoGrid::syncGridKeyboardFocus()
{
    if (!isKeyboardHandlingEnabled() || m_order.isEmpty())
        return;
    QTimer::singleShot(0, this, [this] {
        if (isKeyboardHandlingEnabled() && !m_order.isEmpty() && isVisible())
            setFocus(Qt::OtherFocusReason);
    });
}

void GalleryPhotoGrid::pasteFromClipboard()
{
    handleFileURLDrop(GalleryFilePasteboard::uploadURLs(QApplication::clipboard()->mimeData()));
}

void GalleryPhotoGrid::scrollToIndex(int index)
{
    if (index < 0 || index >= m_order.size())
        return;
    const QRectF cell = layoutGeometry().cellRect(index);
    QScrollBar *bar = verticalScrollBar();
    const double margin = GalleryGridGeometry::padding;
    if (cell.top() - margin < bar->value())
        bar->setValue(int(std::floor(cell.top() - margin)));
    else if (cell.bottom() + margin > bar->value() + viewport()->height())
        bar->setValue(int(std::ceil(cell.bottom() + margin - viewport()->height())));
}

void GalleryPhotoGrid::setContextMenuProvider(std::function<void(QMenu &, const QString &)> provider)
{
    m_contextMenuProvider = std::move(provider);
}

void GalleryPhotoGrid::setDeleteKeyHandler(std::function<bool()> handler)
{
    m_deleteKeyHandler = std::move(handler);
}
