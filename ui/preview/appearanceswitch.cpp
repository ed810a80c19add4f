#include "appearanceswitch.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/painting.h"

#include "store/gallerystore.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QToolButton>

namespace {

QToolButton *segment(const QString &text, const QString &toolTip, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setText(text);
    button->setAccessibleName(text);
    button->setToolTip(toolTip);
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::TabFocus);
    button->setCursor(Qt::PointingHandCursor);
    UiAccessibility::installFocusRing(button, 9);
    return button;
}

} // namespace

PreviewAppearanceSwitch::PreviewAppearanceSwitch(GalleryStore &store, QWidget *parent)
    : QWidget(parent), m_store(&store)
{
    setObjectName(QStringLiteral("previewAppearanceSwitch"));
    setAccessibleName(tr("Preview appearance"));
    setToolTip(tr("Choose how the photo is shown"));
    m_photo = segment(tr("Photo"), tr("Show the photo as a screen shows it"), this);
    m_epaper = segment(tr("E-paper"),
                       tr("Show the photo as the e-paper frame will: six inks, dithered (E)"), this);
    m_photo->setObjectName(QStringLiteral("previewAppearancePhoto"));
    m_epaper->setObjectName(QStringLiteral("previewAppearanceEpaper"));
    auto *group = new QButtonGroup(this);
    group->setExclusive(true);
    group->addButton(m_photo);
    group->addButton(m_epaper);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(m_photo);
    row->addWidget(m_epaper);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    // A segmented capsule: the chosen half filled with the accent.
    const QColor accent = UiColors::accent();
    setStyleSheet(QStringLiteral(
        "PreviewAppearanceSwitch { background: transparent; }"
        "QToolButton { border: 1px solid palette(mid); padding: 1px 10px; background: palette(base); }"
        "QToolButton#previewAppearancePhoto { border-top-left-radius: 10px; border-bottom-left-radius: 10px; border-right: none; }"
        "QToolButton#previewAppearanceEpaper { border-top-right-radius: 10px; border-bottom-right-radius: 10px; }"
        "QToolButton:checked { background: %1; color: white; border-color: %1; }")
                      .arg(accent.name()));

    connect(m_photo, &QToolButton::clicked, this, [this] {
        if (m_store)
            m_store->setPreviewAppearance(PreviewAppearance::photo);
        follow();
    });
    connect(m_epaper, &QToolButton::clicked, this, [this] {
        if (m_store)
            m_store->setPreviewAppearance(PreviewAppearance::epaper);
        follow();
    });
    connect(&store, &GalleryStore::settingsChanged, this, &PreviewAppearanceSwitch::follow);
    follow();
}

PreviewAppearance PreviewAppearanceSwitch::shown() const
{
    return m_epaper->isChecked() ? PreviewAppearance::epaper : PreviewAppearance::photo;
}

void PreviewAppearanceSwitch::toggle(GalleryStore &store)
{
    store.setPreviewAppearance(store.settings().previewAppearance == PreviewAppearance::epaper
                                   ? PreviewAppearance::photo
                                   : PreviewAppearance::epaper);
}

void PreviewAppearanceSwitch::follow()
{
    if (!m_store)
        return;
    const bool epaper = m_store->settings().previewAppearance == PreviewAppearance::epaper;
    m_photo->setChecked(!epaper);
    m_epaper->setChecked(epaper);
}
