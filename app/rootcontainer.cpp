#include "rootcontainer.h"

#include "ui/signin/launchcheckview.h"
#include "ui/signin/unlockview.h"

#include "ui/gallery/galleryscreen.h"
#include "ui/preview/previewgallerysplit.h"
#include "ui/settings/settingspopover.h"

#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

AppRootContainer::AppRootContainer(AppChromeState &chrome, AppSession &session, GalleryStore &store,
                                   ActivityLogStore &log, UnlockForm &unlockForm, QWidget *parent)
    : QWidget(parent), m_chrome(chrome), m_session(session), m_store(store), m_log(log), m_unlockForm(unlockForm)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    connect(&m_session, &AppSession::sessionPhaseChanged, this, &AppRootContainer::showScreenForPhase);
    showScreenForPhase();
}

void AppRootContainer::showScreenForPhase()
{
    const SessionPhase phase = m_session.sessionPhase();
    if (m_screen && phase == m_shownPhase)
        return;
    QWidget *next = nullptr;
    switch (phase) {
    case SessionPhase::checking:
        next = new LaunchCheckView(this);
        break;
    case SessionPhase::locked:
        next = new UnlockView(m_session, m_unlockForm, this);
        break;
    case SessionPhase::unlocked: {
        auto *gallery = new GalleryScreen(m_store, m_session, m_chrome, m_log, this);
        // The device preview on the left, the settings under the toolbar's button.
        new PreviewGallerySplit(*gallery, m_store, m_chrome);
        SettingsPopover::attach(*gallery, m_store, m_session);
        next = gallery;
        break;
    }
    }
    // The old screen may be the sender of what changed the phase (the
    // Unlock button's click), so it goes once control is back in the loop.
    if (m_screen) {
        layout()->removeWidget(m_screen);
        m_screen->hide();
        m_screen->deleteLater();
    }
    m_screen = next;
    m_shownPhase = phase;
    layout()->addWidget(next);
    next->show();
    update();
    Q_EMIT screenChanged();
}

void AppRootContainer::paintEvent(QPaintEvent *)
{
    // A soft glass-tinted wash behind the sign-in screens; the gallery paints
    // its own background.
    if (m_shownPhase == SessionPhase::unlocked)
        return;
    QPainter painter(this);
    const QColor window = palette().color(QPalette::Window);
    QLinearGradient wash(0, 0, 0, height());
    wash.setColorAt(0, window.lighter(104));
    wash.setColorAt(1, window.darker(103));
    painter.fillRect(rect(), wash);
}
