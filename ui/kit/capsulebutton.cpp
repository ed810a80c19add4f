#include "capsulebutton.h"

#include "painting.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int horizontalPadding = 14;
constexpr int verticalPadding = 6;
constexpr int iconTextGap = 6;

} // namespace

CapsuleButton::CapsuleButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setIconSize(QSize(16, 16));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void CapsuleButton::setDestructive(bool destructive)
{
    m_destructive = destructive;
    update();
}

void CapsuleButton::setOpacityOverride(std::optional<double> opacity)
{
    m_opacityOverride = opacity;
    update();
}

double CapsuleButton::drawnOpacity() const
{
    if (m_opacityOverride)
        return *m_opacityOverride;
    return isEnabled() ? 1.0 : disabledOpacity;
}

QSize CapsuleButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    int width = metrics.horizontalAdvance(text()) + 2 * horizontalPadding;
    if (!icon().isNull())
        width += iconSize().width() + iconTextGap;
    const int height = std::max(metrics.height(), iconSize().height()) + 2 * verticalPadding;
    return { std::max(width, height * 2), height };
}

QSize CapsuleButton::minimumSizeHint() const
{
    return sizeHint();
}

void CapsuleButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QPushButton::enterEvent(event);
}

void CapsuleButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QPushButton::leaveEvent(event);
}

void CapsuleButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(drawnOpacity());

    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = area.height() / 2;
    const QPalette &colours = palette();
    QColor fill = colours.color(QPalette::Active, QPalette::Button);
    if (isEnabled() && isDown())
        fill = fill.darker(112);
    else if (isEnabled() && m_hovered)
        fill = fill.darker(104);
    QColor border = colours.color(QPalette::Active, QPalette::WindowText);
    border.setAlphaF(0.22f);
    painter.setPen(QPen(border, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(area, radius, radius);
    if (hasFocus()) {
        painter.setPen(QPen(UiColors::accent(), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(area.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    }

    // Disabled buttons keep their colours; the opacity says they are off.
    const QColor textColour
        = m_destructive ? UiColors::errorText(colours) : colours.color(QPalette::Active, QPalette::ButtonText);
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text());
    const bool hasIcon = !icon().isNull();
    const int contentWidth = textWidth + (hasIcon ? iconSize().width() + iconTextGap : 0);
    int x = std::max(horizontalPadding, (width() - contentWidth) / 2);
    if (hasIcon) {
        const QRect iconRect(x, (height() - iconSize().height()) / 2, iconSize().width(), iconSize().height());
        icon().paint(&painter, iconRect, Qt::AlignCenter, QIcon::Normal);
        x += iconSize().width() + iconTextGap;
    }
    painter.setPen(textColour);
    const QRect textRect(x, 0, width() - x - horizontalPadding / 2, height());
    painter.drawText(
        textRect, Qt::AlignVCenter | Qt::AlignLeft, metrics.elidedText(text(), Qt::ElideRight, textRect.width()));
}
