// The settings popover that hangs under the toolbar's Settings button: the
// user's display name, the gallery server's connection pill, the frames
// section, whether to notify when long work ends, and "Log out". Every opening refreshes the connection pills once
// (they show "Connecting" and then the fresh result); every closing saves
// the settings.
#pragma once

#include <QFrame>
#include <QPointer>

class AppSession;
class ConnectionPill;
class FramesSettingsSection;
class GalleryScreen;
class GalleryStore;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class SettingsPopover : public QFrame
{
    Q_OBJECT
public:
    static constexpr int popoverWidth = 340;

    SettingsPopover(GalleryStore &store, AppSession &session, QWidget *parent = nullptr);

    // Hangs a popover from the Settings button of the screen's toolbar,
    // which opens and closes it; the grid leaves the keyboard alone while
    // it is open.
    static SettingsPopover *attach(GalleryScreen &screen, GalleryStore &store, AppSession &session);

    static QString nameLabelText();
    static QString serverTitle();
    static QString localServerCaption();
    // Under an address an administrator set for the machine in `file`.
    static QString machineServerCaption(const QString &file);
    static QString logOutText();
    static QString notifyText();

    // Opens under `anchor`, centred on it and kept on its screen.
    void popUpUnder(QWidget *anchor);

    bool didRefreshConnectionsOnOpen() const { return m_didRefreshConnectionsOnOpen; }
    QLineEdit *nameField() const { return m_nameField; }
    ConnectionPill *serverPill() const { return m_serverPill; }
    QLabel *localServerCaptionLabel() const { return m_debugCaption; }
    FramesSettingsSection *framesSection() const { return m_frames; }
    QPushButton *logOutButton() const { return m_logOut; }
    QCheckBox *notifyCheckBox() const { return m_notify; }

Q_SIGNALS:
    void shownChanged(bool shown);

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void followSettings();
    void followServerStatus();
    void fitHeight();
    void logOut();

    QPointer<GalleryStore> m_store;
    QPointer<AppSession> m_session;
    QPointer<QWidget> m_anchor;
    bool m_didRefreshConnectionsOnOpen = false;
    QLineEdit *m_nameField;
    ConnectionPill *m_serverPill;
    QLabel *m_debugCaption;
    FramesSettingsSection *m_frames;
    QPushButton *m_logOut;
    QCheckBox *m_notify;
};
