#include "connectionpill.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/icons.h"
#include "ui/kit/style.h"
#include "ui/kit/busyspinner.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {

constexpr int symbolSide = 16;

} // namespace

ConnectionPill::ConnectionPill(const QString &title, QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_StyledBackground, false);
    // Tab stops on the status too, so it can be read without the pointer.
    setFocusPolicy(Qt::TabFocus);
    UiAccessibility::installFocusRing(this, 12);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 7, 12, 7);
    layout->setSpacing(7);

    m_symbol = new QLabel(this);
    m_symbol->setFixedSize(symbolSide, symbolSide);
    layout->addWidget(m_symbol, 0, Qt::AlignVCenter);
    m_spinner = new BusySpinner(symbolSide - 2, this);
    m_spinner->hide();
    layout->addWidget(m_spinner, 0, Qt::AlignVCenter);

    m_statusText = new QLabel(this);
    m_statusText->setObjectName(QStringLiteral("pillStatus"));
    QFont statusFont = m_statusText->font();
    statusFont.setWeight(QFont::DemiBold);
    statusFont.setPointSizeF(statusFont.pointSizeF() * 0.95);
    m_statusText->setFont(statusFont);
    layout->addWidget(m_statusText, 0, Qt::AlignVCenter);
    layout->addSpacing(4);

    auto *column = new QVBoxLayout;
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_title = new QLabel(title, this);
    m_title->setObjectName(QStringLiteral("pillTitle"));
    m_subtitleLabel = new QLabel(this);
    m_subtitleLabel->setObjectName(QStringLiteral("pillSubtitle"));
    QFont caption = m_subtitleLabel->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    m_subtitleLabel->setFont(caption);
    m_subtitleLabel->setMinimumWidth(40);
    m_subtitleLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_subtitleLabel->hide();
    column->addWidget(m_title);
    column->addWidget(m_subtitleLabel);
    layout->addLayout(column, 1);

    refresh();
}

QString ConnectionPill::title() const
{
    return m_title->text();
}

void ConnectionPill::setTitle(const QString &title)
{
    m_title->setText(title);
    refresh();
}

void ConnectionPill::setSubtitle(const std::optional<QString> &subtitle)
{
    if (subtitle == m_subtitle)
        return;
    m_subtitle = subtitle;
    m_subtitleLabel->setVisible(subtitle.has_value());
    m_subtitleLabel->setToolTip(subtitle.value_or(QString()));
    UiAccessibility::setDescription(this, subtitle.value_or(QString()));
    elideSubtitle();
}

void ConnectionPill::setStatus(LinkStatus status)
{
    if (status == m_status)
        return;
    m_status = status;
    refresh();
}

QString ConnectionPill::statusText() const
{
    return m_statusText->text();
}

QString ConnectionPill::shownSymbolName() const
{
    return symbolName(m_status);
}

bool ConnectionPill::isSpinnerShown() const
{
    return !m_spinner->isHidden();
}

QString ConnectionPill::text(LinkStatus status)
{
    switch (status) {
    case LinkStatus::up:
        return tr("Connected");
    case LinkStatus::down:
        return tr("Disconnected");
    case LinkStatus::checking:
        return tr("Connecting");
    case LinkStatus::notApplicable:
        return tr("N/A");
    }
    return {};
}

QString ConnectionPill::symbolName(LinkStatus status)
{
    switch (status) {
    case LinkStatus::up:
        return QStringLiteral("checkmark.circle.fill");
    case LinkStatus::down:
        return QStringLiteral("xmark.circle.fill");
    case LinkStatus::checking:
        return QStringLiteral("ellipsis.circle.fill");
    case LinkStatus::notApplicable:
        return QStringLiteral("minus.circle");
    }
    return {};
}

QColor ConnectionPill::textColor(LinkStatus status, bool dark)
{
    // The system green, red and orange: deeper on the pale light fills,
    // brighter on the dark ones, so the word stays readable on its pill.
    switch (status) {
    case LinkStatus::up:
        return dark ? QColor(0x30, 0xd1, 0x58) : QColor(0x1f, 0x7a, 0x36);
    case LinkStatus::down:
        return dark ? QColor(0xff, 0x5a, 0x4f) : QColor(0xc4, 0x1e, 0x14);
    case LinkStatus::checking:
        return dark ? QColor(0xff, 0xa3, 0x1a) : QColor(0xb0, 0x5a, 0x00);
    case LinkStatus::notApplicable:
        return dark ? QColor(255, 255, 255, 158) : QColor(0, 0, 0, 158);
    }
    return {};
}

QColor ConnectionPill::solidFill(LinkStatus status, bool dark)
{
    switch (status) {
    case LinkStatus::up:
        return dark ? QColor::fromRgbF(0.12f, 0.28f, 0.16f) : QColor::fromRgbF(0.86f, 0.96f, 0.88f);
    case LinkStatus::down:
        return dark ? QColor::fromRgbF(0.32f, 0.14f, 0.14f) : QColor::fromRgbF(1.0f, 0.9f, 0.9f);
    case LinkStatus::checking:
        return dark ? QColor::fromRgbF(0.32f, 0.22f, 0.1f) : QColor::fromRgbF(1.0f, 0.94f, 0.86f);
    case LinkStatus::notApplicable:
        return dark ? QColor::fromRgbF(0.22f, 0.22f, 0.24f) : QColor::fromRgbF(0.94f, 0.94f, 0.95f);
    }
    return {};
}

bool ConnectionPill::isDark() const
{
    return AppStyle::isDark(palette());
}

void ConnectionPill::refresh()
{
    const bool dark = isDark();
    const QColor color = textColor(m_status, dark);
    const bool checking = m_status == LinkStatus::checking;
    m_symbol->setVisible(!checking);
    m_spinner->setVisible(checking);
    if (!checking) {
        m_symbol->setPixmap(AppIcons::tintedIcon(symbolName(m_status), color)
                                .pixmap(QSize(symbolSide, symbolSide), devicePixelRatioF()));
    }
    m_statusText->setText(text(m_status));
    QPalette statusPalette = m_statusText->palette();
    statusPalette.setColor(QPalette::WindowText, color);
    m_statusText->setPalette(statusPalette);
    QPalette spinnerPalette = m_spinner->palette();
    spinnerPalette.setColor(QPalette::WindowText, color);
    m_spinner->setPalette(spinnerPalette);
    QPalette captionPalette = m_subtitleLabel->palette();
    captionPalette.setColor(QPalette::WindowText, AppStyle::secondaryText(palette()));
    m_subtitleLabel->setPalette(captionPalette);
    // A link going down or coming back is read out as it changes.
    UiAccessibility::setName(this, m_title->text() + QStringLiteral(": ") + text(m_status));
    update();
}

void ConnectionPill::elideSubtitle()
{
    const QString full = m_subtitle.value_or(QString());
    const int room = std::max(m_subtitleLabel->width(), 40);
    m_subtitleLabel->setText(m_subtitleLabel->fontMetrics().elidedText(full, Qt::ElideMiddle, room));
}

void ConnectionPill::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    elideSubtitle();
}

void ConnectionPill::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        refresh();
}

void ConnectionPill::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = std::min(area.height() / 2, 12.0);
    painter.setBrush(solidFill(m_status, isDark()));
    QColor edge = textColor(m_status, isDark());
    edge.setAlphaF(0.18f);
    painter.setPen(QPen(edge, 1));
    painter.drawRoundedRect(area, radius, radius);
}
