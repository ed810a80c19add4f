// The content of the main window: the screen of the session phase. While
// the stored session is checked, a spinner; while locked, the unlock form;
// once unlocked, the gallery (which starts its own first refresh when it
// appears). Screens are made fresh on every change of phase.
#pragma once

#include "store/appsession.h"

#include <QPointer>
#include <QWidget>

class ActivityLogStore;
class AppChromeState;
class GalleryStore;
class UnlockForm;

class AppRootContainer : public QWidget
{
    Q_OBJECT
public:
    AppRootContainer(AppChromeState &chrome, AppSession &session, GalleryStore &store, ActivityLogStore &log,
                     UnlockForm &unlockForm, QWidget *parent = nullptr);

    // The screen on show, and the phase it was made for.
    QWidget *currentScreen() const { return m_screen; }
    SessionPhase shownPhase() const { return m_shownPhase; }

Q_SIGNALS:
    void screenChanged();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showScreenForPhase();

    AppChromeState &m_chrome;
    AppSession &m_session;
    GalleryStore &m_store;
    ActivityLogStore &m_log;
    UnlockForm &m_unlockForm;
    QPointer<QWidget> m_screen;
    SessionPhase m_shownPhase = SessionPhase::checking;
};
