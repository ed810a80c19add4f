#include "photolightboxview.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/cachedphotoimage.h"
#include "ui/kit/capsulebutton.h"
#include "ui/preview/appearanceswitch.h"
#include "ui/kit/statepanels.h"
#include "ui/kit/painting.h"

#include "ui/kit/icons.h"
#include "store/gallerystore.h"
#include "store/photoformatters.h"

#include <QBoxLayout>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QPropertyAnimation>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>

#include <cmath>

namespace {

constexpr int detailsColumnWidth = 260;
constexpr int barHeight = 44;
// A photo that takes longer than this to decode fades in over its spinner.
constexpr int fadeWaitMilliseconds = 150;

// Close to a spring with response 0.35 s and damping fraction 0.88: no
// overshoot, most of the way there early.
QEasingCurve smoothCurve()
{
    return QEasingCurve(QEasingCurve::OutCubic);
}

// Close to a spring with response 0.38 s and damping fraction 0.72: a
// quick start and a slight overshoot.
QEasingCurve bouncyCurve()
{
    QEasingCurve curve(QEasingCurve::OutBack);
    curve.setOvershoot(0.9);
    return curve;
}

void useSecondaryColour(QLabel *label)
{
    UiColors::followPalette(label, QPalette::WindowText, UiColors::secondaryText);
}

QList<QString> photoOrder(const GalleryStore &store)
{
    QList<QString> order;
    for (const PhotoEntry &photo : store.state().activePhotos())
        order.append(photo.id);
    return order;
}

} // namespace

PhotoLightboxView::PhotoLightboxView(GalleryStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(&store)
{
    setObjectName(QStringLiteral("photoLightbox"));
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(true);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *bar = new QWidget(this);
    bar->setFixedHeight(barHeight);
    auto *barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(8, 0, 8, 0);
    m_back = new QToolButton(bar);
    m_back->setObjectName(QStringLiteral("lightboxBackButton"));
    m_back->setIcon(AppIcons::icon(QStringLiteral("chevron.left")));
    m_back->setIconSize(QSize(20, 20));
    m_back->setAutoRaise(true);
    m_back->setFocusPolicy(Qt::TabFocus);
    m_back->setToolTip(tr("Back"));
    m_back->setAccessibleName(tr("Back"));
    barLayout->addWidget(m_back);
    barLayout->addStretch(1);
    column->addWidget(bar);

    m_content = new QStackedWidget(this);
    column->addWidget(m_content, 1);

    m_photoPage = new QWidget(m_content);
    m_body = new QBoxLayout(QBoxLayout::LeftToRight, m_photoPage);
    m_body->setContentsMargins(20, 4, 20, 20);
    m_body->setSpacing(20);

    m_heroFrame = new QWidget(m_photoPage);
    m_heroFrame->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_heroFrame->setMinimumSize(120, 120);
    m_hero = new CachedPhotoImage(store, m_heroFrame);
    m_hero->setObjectName(QStringLiteral("lightboxHeroImage"));
    m_hero->setContentMode(PhotoContentMode::fit);
    m_hero->setShowsLoadingSpinner(true);
    m_heroEffect = new QGraphicsOpacityEffect(m_hero);
    m_heroEffect->setOpacity(1.0);
    m_hero->setGraphicsEffect(m_heroEffect);
    m_outgoing = new QLabel(m_heroFrame);
    m_outgoing->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_outgoingEffect = new QGraphicsOpacityEffect(m_outgoing);
    m_outgoing->setGraphicsEffect(m_outgoingEffect);
    m_outgoing->hide();
    m_heroFrame->installEventFilter(this);
    m_body->addWidget(m_heroFrame, 1);

    m_details = new QWidget(m_photoPage);
    m_details->setObjectName(QStringLiteral("lightboxDetails"));
    auto *details = new QVBoxLayout(m_details);
    details->setContentsMargins(0, 0, 0, 0);
    details->setSpacing(6);
    m_addedBy = new QLabel(m_details);
    m_updated = new QLabel(m_details);
    for (QLabel *label : { m_addedBy, m_updated }) {
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        useSecondaryColour(label);
        details->addWidget(label);
    }
    m_appearance = new PreviewAppearanceSwitch(store, m_details);
    details->addSpacing(4);
    details->addWidget(m_appearance, 0, Qt::AlignLeft);
    details->addSpacing(10);
    m_buttons = new QBoxLayout(QBoxLayout::TopToBottom);
    m_buttons->setSpacing(8);
    m_showToday = new CapsuleButton(tr("Show for today"), m_details);
    m_showToday->setObjectName(QStringLiteral("lightboxShowForTodayButton"));
    m_showToday->setIcon(AppIcons::icon(QStringLiteral("display")));
    m_download = new CapsuleButton(tr("Download"), m_details);
    m_download->setObjectName(QStringLiteral("lightboxDownloadButton"));
    m_download->setIcon(AppIcons::icon(QStringLiteral("square.and.arrow.down")));
    m_delete = new CapsuleButton(tr("Delete"), m_details);
    m_delete->setObjectName(QStringLiteral("lightboxDeleteButton"));
    m_delete->setDestructive(true);
    UiColors::onPaletteChange(m_delete, [this] {
        m_delete->setIcon(AppIcons::tintedIcon(QStringLiteral("trash"), UiColors::errorText(palette())));
    });
    for (CapsuleButton *button : { m_showToday, m_download, m_delete }) {
        // Tab reaches them; a click leaves the keyboard with the page.
        button->setFocusPolicy(Qt::TabFocus);
        m_buttons->addWidget(button);
    }
    // Whichever of the page's controls holds the keyboard, the arrows step
    // through the photos and E switches the appearance.
    for (QWidget *control : std::initializer_list<QWidget *> { m_back, m_appearance->photoButton(),
             m_appearance->epaperButton(), m_showToday, m_download, m_delete })
        control->installEventFilter(this);
    UiAccessibility::installFocusRing(m_back);
    m_buttons->addStretch(1);
    details->addLayout(m_buttons);
    details->addStretch(1);
    m_body->addWidget(m_details);
    m_content->addWidget(m_photoPage);

    m_unavailable = new EmptyStatePanel(QStringLiteral("photo"), tr("Photo unavailable"), QString(), m_content);
    m_content->addWidget(m_unavailable);

    m_heroFade = new QPropertyAnimation(m_heroEffect, "opacity", this);
    m_heroFade->setEndValue(1.0);
    m_outgoingFade = new QPropertyAnimation(m_outgoingEffect, "opacity", this);
    m_outgoingFade->setEndValue(0.0);
    connect(m_outgoingFade, &QAbstractAnimation::finished, m_outgoing, &QWidget::hide);
    m_fadeFallback = new QTimer(this);
    m_fadeFallback->setSingleShot(true);
    m_fadeFallback->setInterval(fadeWaitMilliseconds);
    connect(m_fadeFallback, &QTimer::timeout, this, &PhotoLightboxView::startFade);
    connect(&m_hero->model(), &PhotoImageModel::changed, this, &PhotoLightboxView::startFadeIfReady);

    connect(m_back, &QToolButton::clicked, this, &PhotoLightboxView::closeLightbox);
    connect(m_showToday, &QPushButton::clicked, this, [this] {
        if (m_store)
            GalleryPhotoActions::showForToday(*m_store, m_photoID);
    });
    connect(m_download, &QPushButton::clicked, this, [this] {
        if (m_store)
            GalleryPhotoActions::download(*m_store, { m_photoID });
    });
    connect(m_delete, &QPushButton::clicked, this, [this] {
        if (m_store && m_deleteRequest && GalleryPhotoActions::canDelete(*m_store, { m_photoID }))
            m_deleteRequest({ m_photoID });
    });

    connect(&store, &GalleryStore::stateChanged, this, &PhotoLightboxView::refresh);
    connect(&store, &GalleryStore::isBusyChanged, this, &PhotoLightboxView::refresh);
    connect(&store, &GalleryStore::settingsChanged, this, &PhotoLightboxView::refresh);
    connect(&store, &GalleryStore::deviceScreenSizeChanged, this, &PhotoLightboxView::refresh);
    applyLayout();
    refresh();
}

PhotoLightboxView::~PhotoLightboxView() = default;

void PhotoLightboxView::setDeleteRequest(GalleryDeleteRequestAction request)
{
    m_deleteRequest = std::move(request);
}

void PhotoLightboxView::setPhotoID(const QString &photoID)
{
    if (photoID == m_photoID)
        return;
    m_photoID = photoID;
    refresh();
    if (m_appeared && isVisible()) {
        beginTransition(Transition::step);
        if (m_store)
            m_store->selection().noteLightboxPageAppeared(m_photoID);
    }
}

std::optional<PhotoEntry> PhotoLightboxView::photo() const
{
    if (!m_store || m_photoID.isEmpty())
        return std::nullopt;
    const auto entry = m_store->state().photos.constFind(m_photoID);
    // A deleted photo is no longer the gallery's to show or act on.
    if (entry == m_store->state().photos.constEnd() || entry->isDeleted())
        return std::nullopt;
    return *entry;
}

QString PhotoLightboxView::lightboxShowTodayButtonLabel(const GalleryStore &store, const PhotoEntry &photo)
{
    const QString showToday = tr("Show for today");
    if (store.state().canSetAsCurrent(photo.id))
        return showToday;
    return store.lightboxShowingUntilCaption(photo).value_or(showToday);
}

double PhotoLightboxView::lightboxShowTodayButtonOpacity(const GalleryStore &store, const PhotoEntry &photo)
{
    return store.state().canSetAsCurrent(photo.id) && store.isBusy() ? CapsuleButton::disabledOpacity : 1.0;
}

void PhotoLightboxView::closeLightbox()
{
    if (m_store)
        m_store->selection().closeLightbox();
}

bool PhotoLightboxView::isShowingUnavailable() const
{
    return m_content->currentWidget() == m_unavailable;
}

double PhotoLightboxView::heroOpacity() const
{
    return m_heroEffect->opacity();
}

QString PhotoLightboxView::addedByText() const
{
    return m_addedBy->text();
}

QString PhotoLightboxView::updatedText() const
{
    return m_updated->text();
}

void PhotoLightboxView::refresh()
{
    if (!m_store)
        return;
    const std::optional<PhotoEntry> entry = photo();
    if (!entry) {
        m_content->setCurrentWidget(m_unavailable);
        UiAccessibility::setName(this, tr("Photo unavailable"));
        UiAccessibility::setDescription(this, QString());
        return;
    }
    m_content->setCurrentWidget(m_photoPage);
    m_hero->setPhotoID(entry->id);
    m_hero->setEpaperScreen(m_store->settings().previewAppearance == PreviewAppearance::epaper
                                ? std::optional(m_store->deviceScreenSize())
                                : std::nullopt);
    m_addedBy->setText(PhotoFormatters::addedBy(*entry, m_store->state().uploaders));
    m_updated->setText(tr("Updated %1").arg(PhotoFormatters::updatedAt(entry->updatedAt)));
    // The page reads as the photo it shows.
    UiAccessibility::setName(this, entry->filename.trimmed().isEmpty() ? entry->id : entry->filename);
    UiAccessibility::setDescription(this, m_addedBy->text() + QStringLiteral(", ") + m_updated->text());

    const bool busy = m_store->isBusy();
    m_showToday->setText(lightboxShowTodayButtonLabel(*m_store, *entry));
    m_showToday->setEnabled(GalleryPhotoActions::canShowForToday(*m_store, entry->id));
    m_showToday->setOpacityOverride(lightboxShowTodayButtonOpacity(*m_store, *entry));
    m_download->setEnabled(!busy);
    m_delete->setEnabled(GalleryPhotoActions::canDelete(*m_store, { entry->id }));
    m_showToday->updateGeometry();
}

// ---- Layout -----------------------------------------------------------------------------

void PhotoLightboxView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    applyLayout();
}

void PhotoLightboxView::applyLayout()
{
    const bool wide = width() >= wideLayoutMinimumWidth;
    if (m_layoutApplied && wide == m_wide)
        return;
    m_layoutApplied = true;
    m_wide = wide;
    if (wide) {
        m_body->setDirection(QBoxLayout::LeftToRight);
        m_buttons->setDirection(QBoxLayout::TopToBottom);
        m_details->setFixedWidth(detailsColumnWidth);
        m_details->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    } else {
        m_body->setDirection(QBoxLayout::TopToBottom);
        m_buttons->setDirection(QBoxLayout::LeftToRight);
        m_details->setMinimumWidth(0);
        m_details->setMaximumWidth(QWIDGETSIZE_MAX);
        m_details->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    }
}

bool PhotoLightboxView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && watched != m_heroFrame) {
        auto *key = static_cast<QKeyEvent *>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (modifiers == Qt::NoModifier
            && (key->key() == Qt::Key_Left || key->key() == Qt::Key_Right || key->key() == Qt::Key_E)) {
            keyPressEvent(key);
            return true;
        }
    }
    if (watched == m_heroFrame && event->type() == QEvent::Resize) {
        m_hero->setGeometry(m_heroFrame->rect());
        m_outgoing->setGeometry(m_heroFrame->rect());
        updateHeroSize();
    }
    return QWidget::eventFilter(watched, event);
}

void PhotoLightboxView::updateHeroSize()
{
    // Decoded at the frame's size in device pixels, in steps of 512 so that
    // resizing the window decodes again only now and then.
    const double side = std::max(m_heroFrame->width(), m_heroFrame->height()) * devicePixelRatioF();
    const int stepped = int(std::ceil(std::max(side, 1.0) / 512.0)) * 512;
    m_hero->setMaxPixelSize(std::clamp(stepped, 512, 4096));
}

// ---- Appearing and cross-fades ---------------------------------------------------------

void PhotoLightboxView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous() || m_appeared)
        return;
    m_appeared = true;
    setFocus(Qt::OtherFocusReason);
    beginTransition(Transition::appear);
    if (m_store && !m_photoID.isEmpty())
        m_store->selection().noteLightboxPageAppeared(m_photoID);
}

void PhotoLightboxView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return;
    m_appeared = false;
    clearFocus();
    m_fadeFallback->stop();
    m_heroFade->stop();
    m_outgoingFade->stop();
    m_outgoing->hide();
    m_pendingFade = Transition::none;
    m_heroEffect->setOpacity(1.0);
}

void PhotoLightboxView::beginTransition(Transition transition)
{
    m_lastTransition = transition;
    m_heroFade->stop();
    m_outgoingFade->stop();
    if (transition == Transition::step && m_heroEffect->opacity() > 0) {
        // The photo on screen fades out above the new one fading in.
        const QPixmap shown = m_hero->grab();
        m_outgoing->setPixmap(shown);
        m_outgoing->setGeometry(m_hero->geometry());
        m_outgoingEffect->setOpacity(m_heroEffect->opacity());
        m_outgoing->show();
        m_outgoing->raise();
    } else {
        m_outgoing->hide();
    }
    m_heroEffect->setOpacity(0.0);
    m_pendingFade = transition;
    m_fadeFallback->start();
    startFadeIfReady();
}

void PhotoLightboxView::startFadeIfReady()
{
    const PhotoImageModel &model = m_hero->model();
    if (m_pendingFade != Transition::none && (model.hasImage() || model.loadFailed() || isShowingUnavailable()))
        startFade();
}

void PhotoLightboxView::startFade()
{
    if (m_pendingFade == Transition::none)
        return;
    const bool step = m_pendingFade == Transition::step;
    m_pendingFade = Transition::none;
    m_fadeFallback->stop();
    const int duration = step ? smoothFadeMilliseconds : bouncyFadeMilliseconds;
    m_heroFade->setDuration(duration);
    m_heroFade->setEasingCurve(step ? smoothCurve() : bouncyCurve());
    m_heroFade->setStartValue(m_heroEffect->opacity());
    m_heroFade->start();
    if (m_outgoing->isVisible()) {
        m_outgoingFade->setDuration(duration);
        m_outgoingFade->setEasingCurve(smoothCurve());
        m_outgoingFade->setStartValue(m_outgoingEffect->opacity());
        m_outgoingFade->start();
    }
}

// ---- Keyboard and mouse ----------------------------------------------------------------

void PhotoLightboxView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Back)) {
        closeLightbox();
        event->accept();
        return;
    }
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::NoModifier && event->key() == Qt::Key_E && m_store && photo()) {
        PreviewAppearanceSwitch::toggle(*m_store);
        event->accept();
        return;
    }
    if (modifiers == Qt::NoModifier && m_store
        && GalleryLightboxArrowKeyboardHandling().handleKeyPress(
            event->key(), m_store->selection(), photoOrder(*m_store))) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PhotoLightboxView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::BackButton) {
        closeLightbox();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}
