#include "galleryphotogrid.h"

#include "decodedimagecache.h"

#include "cachedphotoimage.h"
#include "galleryfilepasteboard.h"
#include "uipainting.h"

#include "app/appui/appicons.h"
#include "clock.h"
#include "model/photomanifestreorder.h"
#include "store/gallerystore.h"
#include "store/photoformatters.h"

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

namespace {

const QString showingForToday = QStringLiteral("Showing for today");
constexpr double cornerRadius = 6;
constexpr double insertionLineWidth = 3;
constexpr int autoScrollMargin = 48;

} // namespace

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
    connect(m_selection, &GallerySelectionStore::selectedIDsChanged, viewport(), qOverload<>(&QWidget::update));

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
        tag = showingForToday;
    else if (m_plan && m_store)
        tag = m_store->showingTag(id, m_plan);
    m_tags.insert(id, tag);
    return tag;
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

// ---- Drawing -------------------------------------------------------------------

void GalleryPhotoGrid::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    painter.fillRect(event->rect(), palette().color(QPalette::Window));
    const GalleryGridGeometry geometry = layoutGeometry();
    const double top = scrollOffset();
    const QRectF dirty = QRectF(event->rect()).translated(0, top);
    const auto [first, end] = geometry.indexRange(dirty.top(), dirty.bottom() + 1, int(m_order.size()));
    painter.setRenderHint(QPainter::Antialiasing);
    for (int i = first; i < end; ++i) {
        // Cells sit on whole pixels, so their pictures are copied unscaled.
        const QRectF cell = geometry.cellRect(i).translated(0, -top);
        const QPoint topLeft(qRound(cell.left()), qRound(cell.top()));
        const QPoint bottomRight(qRound(cell.right()), qRound(cell.bottom()));
        paintCell(painter, i, QRect(topLeft, QSize(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y())));
    }
    paintInsertionLine(painter);
}

const QPixmap &GalleryPhotoGrid::cellPixmap(const QString &photoID, const QImage &image, QSize size) const
{
    const double ratio = devicePixelRatioF();
    const QSize deviceSize = (QSizeF(size) * ratio).toSize();
    CellPixmap &cell = m_cellPixmaps[photoID];
    if (cell.imageKey != image.cacheKey() || cell.deviceSize != deviceSize) {
        QPixmap pixmap(deviceSize);
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF area(QPointF(0, 0), QSizeF(size));
        painter.setClipPath(UiPaint::roundedRect(area, cornerRadius));
        PhotoImagePainter::drawImage(painter, area, image, PhotoContentMode::fill);
        painter.end();
        cell = CellPixmap { image.cacheKey(), deviceSize, pixmap };
    }
    return cell.pixmap;
}

void GalleryPhotoGrid::paintCell(QPainter &painter, int index, const QRect &cell) const
{
    const QRectF rect(cell);
    const QString &id = m_order.at(index);
    const bool selected = m_selection->selectedIDs().contains(id);
    const bool current = m_currentPhotoID == id;

    painter.save();
    const QPainterPath shape = UiPaint::roundedRect(rect, cornerRadius);
    const PhotoImageModel *model = m_models.value(id);
    const std::optional<QString> tag = cornerTag(index);
    if (model && !model->hasImage() && model->loadFailed()) {
        // The notice keeps clear of the tag in the corner.
        painter.fillPath(shape, palette().color(QPalette::Base));
        const double top = tag ? 30 : 0;
        UiPaint::unavailableContent(painter, rect.adjusted(0, top, 0, 0), AppIcons::icon(QStringLiteral("photo")),
            PhotoImagePainter::notInCacheTitle, PhotoImagePainter::notInCacheDescription, palette());
    } else if (model && model->hasImage()) {
        painter.drawPixmap(cell.topLeft(), cellPixmap(id, model->image(), cell.size()));
    } else {
        painter.setClipPath(shape);
        PhotoImagePainter::paint(painter, rect, model, PhotoContentMode::fill, false, 0, palette());
        painter.setClipping(false);
    }

    // Borders are drawn inside the cell's edge.
    double borderWidth = 0;
    QColor borderColor;
    if (selected) {
        borderWidth = current ? 2 : 3;
        borderColor = UiColors::accent();
    } else if (current) {
        borderWidth = 2;
        borderColor = Qt::black;
    }
    if (borderWidth > 0) {
        const double inset = borderWidth / 2;
        painter.setPen(QPen(borderColor, borderWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(
            rect.adjusted(inset, inset, -inset, -inset), cornerRadius - inset, cornerRadius - inset);
    }
    if (tag)
        paintTag(painter, rect, *tag);
    painter.restore();
}

QStringList GalleryPhotoGrid::cornerTagLines(const QString &tag, const QFont &font, double maxWidth)
{
    const QFontMetricsF metrics(font);
    if (metrics.horizontalAdvance(tag) <= maxWidth)
        return { tag };
    // Break at the last space that leaves a first line that fits.
    for (qsizetype space = tag.lastIndexOf(u' '); space > 0; space = tag.lastIndexOf(u' ', space - 1)) {
        const QString first = tag.left(space);
        const QString second = tag.mid(space + 1);
        if (metrics.horizontalAdvance(first) <= maxWidth) {
            if (metrics.horizontalAdvance(second) <= maxWidth)
                return { first, second };
            break;
        }
    }
    return { metrics.elidedText(tag, Qt::ElideRight, maxWidth) };
}

void GalleryPhotoGrid::paintTag(QPainter &painter, const QRectF &cell, const QString &tag) const
{
    // Measured on the layout's cell width, not the pixel-rounded one, so
    // every tag of a row gets the same type. Narrower cells take tighter labels.
    const double cellWidth = std::min(cell.width(), std::floor(layoutGeometry().cellWidth));
    const double tightness = cellWidth < 72 ? 3 : cellWidth < 140 ? 4 : 6;
    const double horizontalPadding = tightness;
    constexpr double verticalPadding = 4;
    const double inset = tightness;
    const double maxTextWidth = cellWidth - 2 * inset - 2 * horizontalPadding;
    if (maxTextWidth < 8)
        return;
    QFont font = painter.font();
    font.setPointSizeF(std::max(font.pointSizeF() * 0.82, 7.0));
    font.setWeight(QFont::DemiBold);
    // A little too wide: a slightly smaller type. Much too wide: two lines,
    // or else the smallest type that fits, cut short if even that is too wide.
    const double natural = QFontMetricsF(font).horizontalAdvance(tag);
    if (natural > maxTextWidth && natural * 0.85 <= maxTextWidth)
        font.setPointSizeF(font.pointSizeF() * maxTextWidth / natural);
    QStringList lines = cornerTagLines(tag, font, maxTextWidth);
    if (lines.size() == 1 && lines.first() != tag) {
        font.setPointSizeF(std::max(font.pointSizeF() * maxTextWidth / natural, 6.0));
        lines = cornerTagLines(tag, font, maxTextWidth);
    }
    const QFontMetricsF metrics(font);
    double textWidth = 0;
    for (const QString &line : lines)
        textWidth = std::max(textWidth, metrics.horizontalAdvance(line));
    const QRectF label(cell.left() + inset, cell.top() + inset, textWidth + 2 * horizontalPadding,
        metrics.height() + metrics.lineSpacing() * double(lines.size() - 1) + 2 * verticalPadding);
    painter.setPen(Qt::NoPen);
    painter.setBrush(tag == showingForToday ? QColor(Qt::black) : UiColors::accent());
    painter.drawRoundedRect(label, 5, 5);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(label, Qt::AlignCenter, lines.join(u'\n'));
}

void GalleryPhotoGrid::paintInsertionLine(QPainter &painter) const
{
    if (!m_dropInsertionIndex || m_order.isEmpty())
        return;
    const int gap = *m_dropInsertionIndex;
    const int count = int(m_order.size());
    const GalleryGridGeometry geometry = layoutGeometry();
    const double top = scrollOffset();
    const auto bar = [&](double x, const QRectF &cell) {
        painter.fillRect(
            QRectF(x - insertionLineWidth / 2, cell.top(), insertionLineWidth, cell.height()).translated(0, -top),
            UiColors::accent());
    };
    const bool hasBefore = gap < count;
    const bool hasAfter = gap > 0;
    const QRectF before = hasBefore ? geometry.cellRect(gap) : QRectF();
    const QRectF after = hasAfter ? geometry.cellRect(gap - 1) : QRectF();
    if (hasBefore && hasAfter && std::abs(before.top() - after.top()) < 0.5) {
        // Neighbours in one row share one line in the gap between them.
        bar((after.right() + before.left()) / 2, before);
        return;
    }
    if (hasBefore)
        bar(before.left() - GalleryGridGeometry::spacing / 2, before);
    if (hasAfter)
        bar(after.right() + GalleryGridGeometry::spacing / 2, after);
}

// ---- Actions ----------------------------------------------------------------------

void GalleryPhotoGrid::handleGridPhotoTap(const QString &photoID, GridTapModifiers modifiers)
{
    m_selection->selectPhoto(photoID, modifiers, m_order);
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

// ---- Mouse -------------------------------------------------------------------------

void GalleryPhotoGrid::mousePressEvent(QMouseEvent *event)
{
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
    painter.setClipPath(UiPaint::roundedRect(target, cornerRadius));
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
    if (GalleryOpenLightboxKeyboardHandling { enabled, m_order }.handleKeyPress(key, *m_selection)
        || GalleryClearSelectionKeyboardHandling { enabled }.handleKeyPress(key, *m_selection)) {
        event->accept();
        return;
    }
    if (GalleryArrowSelectionKeyboardHandling { enabled }.handleKeyPress(key, *m_selection, m_order, columns)) {
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
