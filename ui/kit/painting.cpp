#include "painting.h"

#include "chromestate.h"
#include "style.h"

#include <QPainter>

namespace UiColors {

QColor accent()
{
    return AppBrandColor::accentGreen();
}

QColor secondaryText(const QPalette &palette)
{
    return AppStyle::secondaryText(palette);
}

QColor errorText(const QPalette &palette)
{
    return AppStyle::errorText(palette);
}

} // namespace UiColors

namespace UiPaint {

QPainterPath roundedRect(const QRectF &rect, double radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

void unavailableContent(QPainter &painter, const QRectF &area, const QIcon &icon, const QString &title,
    const QString &description, const QPalette &palette)
{
    painter.save();
    QFont titleFont = painter.font();
    titleFont.setBold(true);
    QFont captionFont = painter.font();
    captionFont.setPointSizeF(std::max(captionFont.pointSizeF() * 0.88, 7.0));
    const double margin = std::min(12.0, area.width() / 10);
    const QRectF inner = area.adjusted(margin, margin, -margin, -margin);
    const int textFlags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;

    const QFontMetricsF titleMetrics(titleFont);
    const QFontMetricsF captionMetrics(captionFont);
    const QRectF titleBox = titleMetrics.boundingRect(inner, textFlags, title);
    const QRectF captionBox = captionMetrics.boundingRect(inner, textFlags, description);
    const double iconSide = std::clamp(inner.width() / 4, 16.0, 40.0);
    const double gap = 6;

    bool showCaption = true;
    bool showIcon = true;
    auto height = [&] {
        return titleBox.height() + (showCaption ? gap + captionBox.height() : 0) + (showIcon ? iconSide + gap : 0);
    };
    if (height() > inner.height())
        showCaption = false;
    if (height() > inner.height())
        showIcon = false;

    double y = inner.center().y() - height() / 2;
    const QColor secondary = UiColors::secondaryText(palette);
    if (showIcon) {
        const QRectF iconRect(inner.center().x() - iconSide / 2, y, iconSide, iconSide);
        icon.paint(&painter, iconRect.toAlignedRect(), Qt::AlignCenter, QIcon::Disabled);
        y += iconSide + gap;
    }
    painter.setFont(titleFont);
    painter.setPen(secondary);
    painter.drawText(QRectF(inner.left(), y, inner.width(), titleBox.height()), textFlags, title);
    y += titleBox.height() + gap;
    if (showCaption) {
        painter.setFont(captionFont);
        painter.drawText(QRectF(inner.left(), y, inner.width(), captionBox.height()), textFlags, description);
    }
    painter.restore();
}

} // namespace UiPaint
