#include "painting.h"

#include "chromestate.h"
#include "style.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QWidget>

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

namespace {

// Lives on the widget it watches; runs its work on every palette change of
// that widget, but not on the change its own work makes.
class PaletteFollower : public QObject
{
public:
    PaletteFollower(QWidget *widget, std::function<void()> work) : QObject(widget), m_work(std::move(work))
    {
        widget->installEventFilter(this);
        m_work();
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::PaletteChange && watched == parent() && !m_working) {
            m_working = true;
            m_work();
            m_working = false;
        }
        return false;
    }

private:
    std::function<void()> m_work;
    bool m_working = false;
};

} // namespace

void followPalette(QWidget *widget, QPalette::ColorRole role, std::function<QColor(const QPalette &)> colour)
{
    new PaletteFollower(widget, [widget, role, colour = std::move(colour)] {
        const QPalette natural
            = widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette(widget);
        QPalette palette = widget->palette();
        palette.setColor(role, colour(natural));
        if (palette != widget->palette())
            widget->setPalette(palette);
    });
}

void onPaletteChange(QWidget *widget, std::function<void()> restyle)
{
    new PaletteFollower(widget, std::move(restyle));
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
