#include "galleryselectionbar.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/capsulebutton.h"
#include "ui/kit/painting.h"

#include "ui/kit/icons.h"
#include "store/gallerystore.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>

namespace {

constexpr int slideMilliseconds = 320;
constexpr int slideDistance = 24;

} // namespace

GallerySelectionBar::GallerySelectionBar(GalleryStore &store, QWidget *area)
    : QWidget(area)
    , m_store(&store)
    , m_area(area)
{
    setObjectName(QStringLiteral("gallerySelectionBar"));
    setAttribute(Qt::WA_TranslucentBackground);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(18, 10, 10, 10);
    layout->setSpacing(8);
    m_label = new QLabel(this);
    QFont font = m_label->font();
    font.setWeight(QFont::DemiBold);
    m_label->setFont(font);
    layout->addWidget(m_label);
    layout->addSpacing(8);

    m_showToday = new CapsuleButton(tr("Show for today"), this);
    m_showToday->setObjectName(QStringLiteral("selectionShowForTodayButton"));
    m_showToday->setIcon(AppIcons::icon(QStringLiteral("display")));
    m_delete = new CapsuleButton(tr("Delete"), this);
    m_delete->setObjectName(QStringLiteral("selectionDeleteButton"));
    m_delete->setDestructive(true);
    UiColors::onPaletteChange(m_delete, [this] {
        m_delete->setIcon(AppIcons::tintedIcon(QStringLiteral("trash"), UiColors::errorText(palette())));
    });
    for (CapsuleButton *button : { m_showToday, m_delete }) {
        // Tab reaches them from the grid; a click leaves the keyboard with it.
        button->setFocusPolicy(Qt::TabFocus);
        layout->addWidget(button);
    }

    connect(m_showToday, &QPushButton::clicked, this, [this] {
        if (!m_store)
            return;
        if (const std::optional<QString> id = singleSelectedID(m_store->selection()))
            GalleryPhotoActions::showForToday(*m_store, *id);
    });
    connect(m_delete, &QPushButton::clicked, this, [this] {
        if (!m_store || !m_deleteRequest)
            return;
        const QSet<QString> ids = m_store->selection().selectedIDs();
        if (GalleryPhotoActions::canDelete(*m_store, ids))
            m_deleteRequest(ids);
    });

    m_opacity = new QGraphicsOpacityEffect(this);
    m_opacity->setOpacity(0);
    setGraphicsEffect(m_opacity);
    m_animation = new QParallelAnimationGroup(this);
    auto *fade = new QPropertyAnimation(m_opacity, "opacity", m_animation);
    auto *slide = new QPropertyAnimation(this, "pos", m_animation);
    for (QPropertyAnimation *part : { fade, slide }) {
        part->setDuration(slideMilliseconds);
        part->setEasingCurve(QEasingCurve::OutCubic);
    }
    connect(m_animation, &QAbstractAnimation::finished, this, [this] {
        if (m_presented)
            place();
        else
            hide();
    });

    GallerySelectionStore &selection = store.selection();
    connect(&selection, &GallerySelectionStore::selectedIDsChanged, this, &GallerySelectionBar::follow);
    connect(&selection, &GallerySelectionStore::lightboxNavigationPhotoIDChanged, this, &GallerySelectionBar::follow);
    connect(&store, &GalleryStore::isBusyChanged, this, &GallerySelectionBar::follow);
    connect(&store, &GalleryStore::stateChanged, this, &GallerySelectionBar::follow);
    area->installEventFilter(this);
    // A scroll area lays out its viewport after its own resize is filtered.
    if (auto *scrollArea = qobject_cast<QAbstractScrollArea *>(area))
        scrollArea->viewport()->installEventFilter(this);
    hide();
    follow();
}

void GallerySelectionBar::setDeleteRequest(GalleryDeleteRequestAction request)
{
    m_deleteRequest = std::move(request);
}

QString GallerySelectionBar::selectionLabel(int count)
{
    if (count == 1)
        return tr("1 photo selected");
    return tr("%1 photos selected").arg(count);
}

std::optional<QString> GallerySelectionBar::singleSelectedID(const GallerySelectionStore &selection)
{
    if (selection.selectedIDs().size() != 1)
        return std::nullopt;
    return *selection.selectedIDs().cbegin();
}

bool GallerySelectionBar::showsSelectionBar(const GallerySelectionStore &selection)
{
    return !selection.selectedIDs().isEmpty() && !selection.isLightboxOpen();
}

QString GallerySelectionBar::labelText() const
{
    return m_label->text();
}

void GallerySelectionBar::follow()
{
    if (!m_store)
        return;
    const GallerySelectionStore &selection = m_store->selection();
    const QSet<QString> &ids = selection.selectedIDs();
    if (!ids.isEmpty()) {
        // While it leaves, the bar keeps what it last said.
        m_label->setText(selectionLabel(int(ids.size())));
        // The count is read out as it changes.
        UiAccessibility::setName(this, m_label->text());
        const std::optional<QString> single = singleSelectedID(selection);
        m_showToday->setVisible(single.has_value());
        m_showToday->setEnabled(single && GalleryPhotoActions::canShowForToday(*m_store, *single));
        m_delete->setEnabled(GalleryPhotoActions::canDelete(*m_store, ids));
        if (m_presented)
            place();
    }
    present(showsSelectionBar(selection));
}

QRect GallerySelectionBar::restingGeometry() const
{
    // Over the grid's photos, clear of its scroll bar.
    QRect area = m_area->rect();
    if (auto *scrollArea = qobject_cast<QAbstractScrollArea *>(m_area))
        area = scrollArea->viewport()->geometry();
    const QSize size = sizeHint().boundedTo(QSize(std::max(area.width() - 24, 1), sizeHint().height()));
    return { area.left() + (area.width() - size.width()) / 2, area.bottom() - bottomMargin - size.height() + 1,
        size.width(), size.height() };
}

void GallerySelectionBar::place()
{
    const QRect resting = restingGeometry();
    resize(resting.size());
    // A bar on its way in heads for the new place.
    if (m_animation->state() == QAbstractAnimation::Running)
        static_cast<QPropertyAnimation *>(m_animation->animationAt(1))->setEndValue(resting.topLeft());
    else
        move(resting.topLeft());
}

void GallerySelectionBar::present(bool show)
{
    if (show == m_presented)
        return;
    m_presented = show;
    const QRect resting = restingGeometry();
    const QPoint lowered = resting.topLeft() + QPoint(0, slideDistance);
    m_animation->stop();
    auto *fade = static_cast<QPropertyAnimation *>(m_animation->animationAt(0));
    auto *slide = static_cast<QPropertyAnimation *>(m_animation->animationAt(1));
    fade->setStartValue(m_opacity->opacity());
    slide->setStartValue(show && !isVisible() ? lowered : pos());
    fade->setEndValue(show ? 1.0 : 0.0);
    slide->setEndValue(show ? resting.topLeft() : lowered);
    if (show) {
        resize(resting.size());
        if (!isVisible())
            move(lowered);
        QWidget::show();
        raise();
    }
    m_animation->start();
}

bool GallerySelectionBar::eventFilter(QObject *watched, QEvent *event)
{
    // The grid takes its size when it is shown again (after the lightbox).
    if ((event->type() == QEvent::Resize || event->type() == QEvent::Show) && m_presented
        && (watched == m_area || watched->parent() == m_area))
        place();
    return QWidget::eventFilter(watched, event);
}

void GallerySelectionBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF pill = QRectF(rect()).adjusted(3, 2, -3, -4);
    const double radius = pill.height() / 2;
    // A soft shadow under the pill, then the pill itself.
    for (int i = 1; i <= 3; ++i) {
        QColor shadow(0, 0, 0, 14);
        painter.setPen(Qt::NoPen);
        painter.setBrush(shadow);
        painter.drawRoundedRect(pill.adjusted(-i, -i + 2, i, i + 2), radius + i, radius + i);
    }
    QColor border = palette().color(QPalette::WindowText);
    border.setAlphaF(0.12f);
    painter.setPen(QPen(border, 1));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRoundedRect(pill, radius, radius);
}
