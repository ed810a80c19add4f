// The grid's drawing: cells, their pictures, tags, borders and the
// insertion line of a reorder.
#include "galleryphotogrid.h"

#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/painting.h"

#include "ui/kit/icons.h"
#include "store/gallerystore.h"
#include "store/photoformatters.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

using GalleryGridLook::cornerRadius;
using GalleryGridLook::showingForToday;
constexpr double insertionLineWidth = 3;

} // namespace

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
    paintFocusRing(painter);
}

void GalleryPhotoGrid::paintFocusRing(QPainter &painter) const
{
    // The keyboard's cell, outside its edge where the selection border is
    // not: in the text colour, so it shows on any photo and beside the accent.
    // Clicks leave it off; the selection border says enough to the pointer.
    const int index = focusedIndex();
    if (!hasFocus() || !m_keyboardInUse || index < 0)
        return;
    const double gap = 3;
    const QRectF ring = layoutGeometry().cellRect(index).translated(0, -scrollOffset()).adjusted(-gap, -gap, gap, gap);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(ring, cornerRadius + gap, cornerRadius + gap);
    painter.restore();
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
