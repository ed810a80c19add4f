#include "statepanels.h"

#include "painting.h"

#include "icons.h"
#include "busyspinner.h"

#include <QLabel>
#include <QVBoxLayout>

namespace {

void useSecondaryColour(QLabel *label)
{
    UiColors::followPalette(label, QPalette::WindowText, UiColors::secondaryText);
}

} // namespace

EmptyStatePanel::EmptyStatePanel(
    const QString &symbolName, const QString &title, const QString &description, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(8);
    layout->addStretch(3);

    auto *icon = new QLabel(this);
    icon->setAlignment(Qt::AlignCenter);
    UiColors::onPaletteChange(icon, [icon, symbolName] {
        icon->setPixmap(AppIcons::icon(symbolName).pixmap(QSize(56, 56), icon->devicePixelRatioF(), QIcon::Disabled));
    });
    layout->addWidget(icon);
    layout->addSpacing(6);

    m_title = new QLabel(title, this);
    m_title->setAlignment(Qt::AlignCenter);
    QFont titleFont = m_title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.45);
    titleFont.setWeight(QFont::DemiBold);
    m_title->setFont(titleFont);
    m_title->setWordWrap(true);
    layout->addWidget(m_title);

    m_description = new QLabel(description, this);
    m_description->setAlignment(Qt::AlignCenter);
    m_description->setWordWrap(true);
    useSecondaryColour(m_description);
    m_description->setVisible(!description.isEmpty());
    layout->addWidget(m_description);
    layout->addStretch(4);
}

QString EmptyStatePanel::title() const
{
    return m_title->text();
}

QString EmptyStatePanel::description() const
{
    return m_description->text();
}

LoadingStatePanel::LoadingStatePanel(const QString &text, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    layout->addStretch(3);
    layout->addWidget(new BusySpinner(32, this), 0, Qt::AlignHCenter);
    m_text = new QLabel(text, this);
    m_text->setAlignment(Qt::AlignCenter);
    useSecondaryColour(m_text);
    layout->addWidget(m_text);
    layout->addStretch(4);
}

QString LoadingStatePanel::text() const
{
    return m_text->text();
}
