#include "helppopovers.h"

#include "model/appsettings.h"

#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

namespace {

QLabel *makeHeadline(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    font.setPointSizeF(font.pointSizeF() * 1.08);
    label->setFont(font);
    return label;
}

QLabel *makeWrappingLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

} // namespace

// ---- HelpPopover ------------------------------------------------------------

HelpPopover::HelpPopover(QWidget *parent)
    : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint)
{
    // A click on the button that opened the panel only closes it; it is not
    // passed on to the button, which would open the panel again.
    setAttribute(Qt::WA_NoMouseReplay);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(false);
}

void HelpPopover::popUpBeside(QWidget *anchor)
{
    ensurePolished();
    // The width is fixed; the wrapped text decides the height.
    const int fitted = heightForWidth(width());
    if (fitted > 0)
        resize(width(), fitted);
    else
        adjustSize();
    constexpr int gap = 6;
    const QPoint anchorTopLeft = anchor->mapToGlobal(QPoint(0, 0));
    const QRect anchorRect(anchorTopLeft, anchor->size());
    QPoint position(anchorRect.right() + 1 + gap, anchorRect.center().y() - height() / 2);
    if (const QScreen *screen = anchor->screen()) {
        const QRect room = screen->availableGeometry();
        if (position.x() + width() > room.right() && anchorRect.left() - gap - width() >= room.left())
            position.setX(anchorRect.left() - gap - width());
        position.setX(qBound(room.left(), position.x(), qMax(room.left(), room.right() - width())));
        position.setY(qBound(room.top(), position.y(), qMax(room.top(), room.bottom() - height())));
    }
    move(position);
    show();
}

void HelpPopover::toggleBeside(QWidget *anchor)
{
    if (isVisible())
        hide();
    else
        popUpBeside(anchor);
}

void HelpPopover::showEvent(QShowEvent *event)
{
    QFrame::showEvent(event);
    Q_EMIT shownChanged(true);
}

void HelpPopover::hideEvent(QHideEvent *event)
{
    QFrame::hideEvent(event);
    Q_EMIT shownChanged(false);
}

void HelpPopover::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette &colors = palette();
    painter.fillRect(rect(), colors.color(QPalette::Base));
    QColor border = colors.color(QPalette::WindowText);
    border.setAlphaF(0.22f);
    painter.setPen(QPen(border, 1));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

// ---- PasswordHelpPopover ----------------------------------------------------

namespace {
const QString lookUp = QStringLiteral("Look up ");
const QString keyName = QStringLiteral("Lunvik Photos Key");
const QString inOnePassword = QStringLiteral(" in 1Password (website URL should be ");
const QString autoFillTail = QStringLiteral(
    " for AutoFill suggestions) or use the password key in the field. It is the shared password that unlocks the "
    "gallery for everyone in the family.");
} // namespace

PasswordHelpPopover::PasswordHelpPopover(bool showsInlineTitle, QWidget *parent)
    : HelpPopover(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(8);
    if (showsInlineTitle)
        layout->addWidget(makeHeadline(tr("Family password"), this));
    m_paragraph = makeWrappingLabel(this);
    m_paragraph->setTextFormat(Qt::RichText);
    const QString url = AppSettings::productionServerBaseURL();
    m_paragraph->setText(lookUp.toHtmlEscaped() + QStringLiteral("<b>") + keyName.toHtmlEscaped()
        + QStringLiteral("</b>") + inOnePassword.toHtmlEscaped() + QStringLiteral("<b>") + url.toHtmlEscaped()
        + QStringLiteral("</b>") + autoFillTail.toHtmlEscaped());
    layout->addWidget(m_paragraph);
    setFixedWidth(popoverWidth);
}

QString PasswordHelpPopover::paragraphText()
{
    return lookUp + keyName + inOnePassword + AppSettings::productionServerBaseURL() + autoFillTail;
}

// ---- Bloomin8TokenHelpPopover -----------------------------------------------

QStringList Bloomin8TokenHelpPopover::steps()
{
    return {
        tr("Download the Bloomin8 app and set up your device."),
        tr("Open the Devices tab and click the gear icon for settings."),
        tr("Turn on Remote Image Push and set the interval to every 1 hour—do this while you're in device "
           "settings so photos can sync as soon as you're ready."),
        tr("Scroll to API token. If you already created a key for this frame, open Bloomin8 on another "
           "signed-in device and copy that token’s value—you cannot generate a second key here. "
           "Otherwise tap the token row and Generate, then copy the block."),
        tr("Paste the full setup block (device name + token) into Frame setup on sign-in or into "
           "Settings → Frames."),
    };
}

Bloomin8TokenHelpPopover::Bloomin8TokenHelpPopover(bool showsInlineTitle, QWidget *parent)
    : HelpPopover(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(10);
    if (showsInlineTitle)
        layout->addWidget(makeHeadline(tr("Device setup"), this));
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(10);
    grid->setColumnMinimumWidth(0, 20);
    grid->setColumnStretch(1, 1);
    const QStringList texts = steps();
    for (int i = 0; i < texts.size(); ++i) {
        auto *number = new QLabel(QString::number(i + 1) + QLatin1Char('.'), this);
        QFont font = number->font();
        font.setWeight(QFont::DemiBold);
        number->setFont(font);
        number->setFixedWidth(20);
        number->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        auto *text = makeWrappingLabel(this);
        text->setTextFormat(Qt::PlainText);
        text->setText(texts.at(i));
        grid->addWidget(number, i, 0);
        grid->addWidget(text, i, 1);
        m_stepLabels.append(text);
    }
    layout->addLayout(grid);
    setFixedWidth(popoverWidth);
}

QStringList Bloomin8TokenHelpPopover::shownSteps() const
{
    QStringList shown;
    for (const QLabel *label : m_stepLabels)
        shown.append(label->text());
    return shown;
}
