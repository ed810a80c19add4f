#include "settingspopover.h"

#include "connectionpill.h"
#include "framessection.h"
#include "ui/kit/painting.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/galleryscreen.h"
#include "ui/gallery/gallerytoolbar.h"

#include "model/machineserveraddress.h"
#include "store/appsession.h"
#include "ui/kit/icons.h"
#include "ui/kit/painting.h"
#include "ui/kit/style.h"
#include "store/gallerystore.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

constexpr int padding = 16;

QFrame *separator(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    return line;
}

QString capsuleButtonStyle(const QPalette &palette)
{
    const bool dark = AppStyle::isDark(palette);
    const QString border = dark ? QStringLiteral("rgba(255,255,255,70)") : QStringLiteral("rgba(0,0,0,60)");
    const QString pressed = dark ? QStringLiteral("rgba(255,255,255,30)") : QStringLiteral("rgba(0,0,0,18)");
    return QStringLiteral("QPushButton { border: 1px solid %1; border-radius: 13px; padding: 4px 16px; "
                          "background: transparent; min-height: 18px; }"
                          "QPushButton:hover { background: %2; }"
                          "QPushButton:pressed { background: %2; }"
                          "QPushButton:focus { border: 2px solid %3; padding: 3px 15px; }")
        .arg(border, pressed, UiColors::accent().name());
}

} // namespace

QString SettingsPopover::nameLabelText()
{
    return tr("Your name");
}

QString SettingsPopover::serverTitle()
{
    return tr("Server");
}

QString SettingsPopover::localServerCaption()
{
    return tr("Run ./scripts/dev.sh in the repo to start the local API.");
}

QString SettingsPopover::machineServerCaption(const QString &file)
{
    return tr("Set for this computer in %1.").arg(file);
}

QString SettingsPopover::logOutText()
{
    return tr("Log out");
}

QString SettingsPopover::notifyText()
{
    return tr("Notify me when long work ends");
}

SettingsPopover::SettingsPopover(GalleryStore &store, AppSession &session, QWidget *parent)
    : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint), m_store(&store), m_session(&session)
{
    setObjectName(QStringLiteral("settingsPopover"));
    setAccessibleName(tr("Settings"));
    // A click on the Settings button while the popover is open only closes
    // it; it is not passed on to the button, which would open it again.
    setAttribute(Qt::WA_NoMouseReplay);
    // A click on the popover's background takes the focus from its fields.
    setFocusPolicy(Qt::ClickFocus);
    setFixedWidth(popoverWidth);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(10);

    // The display name.
    auto *nameLabel = new QLabel(nameLabelText(), this);
    QFont labelFont = nameLabel->font();
    labelFont.setWeight(QFont::DemiBold);
    nameLabel->setFont(labelFont);
    layout->addWidget(nameLabel);
    m_nameField = new QLineEdit(this);
    m_nameField->setObjectName(QStringLiteral("displayNameField"));
    m_nameField->setAccessibleName(nameLabelText());
    m_nameField->setClearButtonEnabled(false);
    nameLabel->setBuddy(m_nameField);
    layout->addWidget(m_nameField);
    m_nameField->installEventFilter(this);
    connect(m_nameField, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (!m_store)
            return;
        AppSettings settings = m_store->settings();
        settings.displayName = text;
        m_store->setSettings(settings);
    });
    // Return drops the focus, which saves the settings.
    connect(m_nameField, &QLineEdit::returnPressed, this, [this] { setFocus(Qt::OtherFocusReason); });

    // The gallery server.
    m_serverPill = new ConnectionPill(serverTitle(), this);
    m_serverPill->setObjectName(QStringLiteral("serverPill"));
    layout->addWidget(m_serverPill);
    m_debugCaption = new QLabel(localServerCaption(), this);
    m_debugCaption->setWordWrap(true);
    QFont caption = m_debugCaption->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.88);
    m_debugCaption->setFont(caption);
    UiColors::followPalette(m_debugCaption, QPalette::WindowText, AppStyle::secondaryText);
    layout->addWidget(m_debugCaption);

    layout->addWidget(separator(this));
    m_frames = new FramesSettingsSection(store, this);
    layout->addWidget(m_frames);
    layout->addWidget(separator(this));

    // Desktop notifications while the window is in the background.
    m_notify = new QCheckBox(notifyText(), this);
    m_notify->setObjectName(QStringLiteral("notifyCheckBox"));
    m_notify->setToolTip(tr("Uploads, syncs that bring new photos and failed frame updates "
                            "are announced on the desktop while this window is in the background."));
    layout->addWidget(m_notify);
    connect(m_notify, &QCheckBox::toggled, this, [this](bool on) {
        if (m_store)
            m_store->setNotifyWhenLongWorkEnds(on);
    });

    m_logOut = new QPushButton(AppIcons::icon(QStringLiteral("rectangle.portrait.and.arrow.right")), logOutText(), this);
    m_logOut->setObjectName(QStringLiteral("logOutButton"));
    UiColors::onPaletteChange(m_logOut, [this] { m_logOut->setStyleSheet(capsuleButtonStyle(palette())); });
    m_logOut->setCursor(Qt::PointingHandCursor);
    layout->addWidget(m_logOut, 0, Qt::AlignHCenter);
    connect(m_logOut, &QPushButton::clicked, this, &SettingsPopover::logOut);

    connect(m_frames, &FramesSettingsSection::contentResized, this, &SettingsPopover::fitHeight);
    connect(&store, &GalleryStore::settingsChanged, this, &SettingsPopover::followSettings);
    connect(&store, &GalleryStore::serverLinkStatusChanged, this, &SettingsPopover::followServerStatus);
    // A lock from anywhere (a refused session, a failed re-verification)
    // replaces the gallery: the popover closes first, and saves as it does.
    connect(&session, &AppSession::isUnlockedChanged, this, [this] {
        if (m_session && !m_session->isUnlocked() && isVisible())
            hide();
    });
    followSettings();
    followServerStatus();
}

SettingsPopover *SettingsPopover::attach(GalleryScreen &screen, GalleryStore &store, AppSession &session)
{
    auto *popover = new SettingsPopover(store, session, &screen);
    GalleryToolbar *toolbar = screen.toolbar();
    QAction *action = toolbar->settingsAction();
    action->setVisible(true);
    action->setToolTip(tr("Settings"));
    const QPointer<GalleryPhotoGrid> grid(screen.grid());
    connect(action, &QAction::triggered, popover, [popover, toolbar, action] {
        if (popover->isVisible()) {
            popover->hide();
            return;
        }
        // Opened from the keyboard (the button holds the focus only from
        // Tab), the keyboard goes on in the name field; Escape closes it.
        QWidget *button = toolbar->widgetForAction(action);
        const bool fromKeyboard = button && button->hasFocus();
        popover->popUpUnder(button);
        if (fromKeyboard)
            popover->nameField()->setFocus(Qt::TabFocusReason);
    });
    connect(popover, &SettingsPopover::shownChanged, action, [action, grid](bool shown) {
        {
            const QSignalBlocker quiet(action);
            action->setChecked(shown);
        }
        if (grid)
            grid->setSettingsShown(shown);
    });
    return popover;
}

void SettingsPopover::popUpUnder(QWidget *anchor)
{
    m_anchor = anchor;
    ensurePolished();
    fitHeight();
    QPoint position;
    if (anchor) {
        constexpr int gap = 4;
        const QRect anchorRect(anchor->mapToGlobal(QPoint(0, 0)), anchor->size());
        position = QPoint(anchorRect.center().x() - width() / 2, anchorRect.bottom() + 1 + gap);
        if (const QScreen *screen = anchor->screen()) {
            const QRect room = screen->availableGeometry();
            position.setX(qBound(room.left(), position.x(), qMax(room.left(), room.right() - width())));
            position.setY(qBound(room.top(), position.y(), qMax(room.top(), room.bottom() - height())));
        }
    }
    move(position);
    show();
}

void SettingsPopover::fitHeight()
{
    if (QLayout *box = layout())
        box->activate();
    const int fitted = hasHeightForWidth() ? heightForWidth(popoverWidth) : -1;
    const int height = std::max({fitted, sizeHint().height(), minimumSizeHint().height()});
    if (height != this->height())
        resize(popoverWidth, height);
}

bool SettingsPopover::event(QEvent *event)
{
    const bool handled = QFrame::event(event);
    if (event->type() == QEvent::LayoutRequest)
        fitHeight();
    return handled;
}

void SettingsPopover::showEvent(QShowEvent *event)
{
    QFrame::showEvent(event);
    // Once per opening: the pills show "Connecting", then the fresh result.
    if (!m_didRefreshConnectionsOnOpen && m_store) {
        m_didRefreshConnectionsOnOpen = true;
        m_store->startBackground([](GalleryStore &store) { return store.updateConnectionStatus(true); });
    }
    m_frames->appear();
    followSettings();
    Q_EMIT shownChanged(true);
}

void SettingsPopover::hideEvent(QHideEvent *event)
{
    QFrame::hideEvent(event);
    m_didRefreshConnectionsOnOpen = false;
    m_frames->disappear();
    // Every closing saves, also when nothing was edited.
    if (m_store)
        m_store->saveSettings();
    Q_EMIT shownChanged(false);
}

bool SettingsPopover::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_nameField && event->type() == QEvent::FocusOut && m_store) {
        // Leaving the field saves. The popover closing saves on its own,
        // and a menu over the field is no leaving.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && isVisible())
            m_store->saveSettings();
    }
    return QFrame::eventFilter(watched, event);
}

void SettingsPopover::followSettings()
{
    if (!m_store)
        return;
    const AppSettings &settings = m_store->settings();
    if (m_nameField->text() != settings.displayName)
        m_nameField->setText(settings.displayName);
    m_serverPill->setSubtitle(settings.serverBaseURL);
    // Under the address: where it comes from, when that is not the program.
    const MachineServerAddress &machine = MachineServerAddress::machine();
    QString caption;
    if (settings.debugMode)
        caption = localServerCaption();
    else if (machine.address && settings.serverBaseURL == *machine.address)
        caption = machineServerCaption(machine.file);
    m_debugCaption->setText(caption);
    m_debugCaption->setVisible(!caption.isEmpty());
    if (m_notify->isChecked() != settings.notifyWhenLongWorkEnds) {
        const QSignalBlocker quiet(m_notify);
        m_notify->setChecked(settings.notifyWhenLongWorkEnds);
    }
}

void SettingsPopover::followServerStatus()
{
    if (m_store)
        m_serverPill->setStatus(m_store->serverLinkStatus());
}

void SettingsPopover::logOut()
{
    if (!m_store || !m_session)
        return;
    const QPointer<SettingsPopover> self(this);
    // The window goes back to the unlock form.
    m_session->lock(*m_store);
    if (self)
        hide();
}

void SettingsPopover::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QPalette &colors = palette();
    painter.fillRect(rect(), colors.color(QPalette::Window));
    QColor border = colors.color(QPalette::WindowText);
    border.setAlphaF(0.22f);
    painter.setPen(QPen(border, 1));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
