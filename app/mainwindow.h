// The one main window: the root container of the session's screens and the
// menu bar (File, Edit, View, Debug, Help).
#pragma once

#include "editcommands.h"

#include <QKeySequence>
#include <QMainWindow>

class AboutDialog;
class ActivityLogStore;
class AppChromeState;
class AppRootContainer;
class AppSession;
class AppUpdaterModel;
class GalleryStore;
class QActionGroup;
class UnlockForm;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow(AppChromeState &chrome, AppSession &session, GalleryStore &store, ActivityLogStore &log,
               UnlockForm &unlockForm, QWidget *parent = nullptr);
    ~MainWindow() override;

    static constexpr int defaultWidth = 900;
    static constexpr int defaultHeight = 600;

    AppRootContainer *rootContainer() const { return m_root; }

    // Brings the window to the front, restoring it when minimised (a second
    // launch of the program asks for this).
    void bringToFront();
    void showAbout();
    // "Check for Updates…" follows the updater from now on.
    void attachUpdater(AppUpdaterModel &updater);

    QAction *quitAction() const { return m_quit; }
    QAction *syncAction() const { return m_sync; }
    QAction *deleteAction() const { return m_delete; }
    QAction *selectAllAction() const { return m_selectAll; }
    // The Edit menu's commands in menu order, Undo to Select All.
    QList<QAction *> editActions() const;
    QAction *activityAction() const { return m_activity; }
    QAction *debugModeAction() const { return m_debugMode; }
    // The "Advance interval" submenu's entry in the Debug menu.
    QAction *advanceIntervalMenuAction() const { return m_advanceIntervalMenu; }
    QList<QAction *> advanceIntervalActions() const;
    QAction *aboutAction() const { return m_about; }
    QAction *checkForUpdatesAction() const { return m_checkForUpdates; }

    // The interval choices of the Debug menu: title and seconds.
    static QList<std::pair<QString, int>> advanceIntervalChoices();

private:
    void buildMenus();
    QAction *addEditCommand(QMenu *menu, const QString &text, EditCommand command, QKeySequence::StandardKey key);
    // The widget an Edit command goes to now: a text field or list that has
    // the keyboard focus, else the gallery's grid while no lightbox is open;
    // none on the other screens.
    QWidget *editTarget() const;
    bool canPerform(EditCommand command, QWidget *target) const;
    void updateEditCommands();
    // Notes what the clipboard holds, then updates the Edit commands.
    void readClipboard();
    void updateSyncEnabled();
    void updateActivityAction();
    void updateDebugMenu();

    AppChromeState &m_chrome;
    AppSession &m_session;
    GalleryStore &m_store;
    AppRootContainer *m_root;
    QAction *m_quit = nullptr;
    QAction *m_sync = nullptr;
    QAction *m_delete = nullptr;
    QAction *m_selectAll = nullptr;
    QList<std::pair<QAction *, EditCommand>> m_editCommands;
    // Read when the clipboard changes and when the Edit menu opens, not on
    // every update: reading it may wait on another program.
    bool m_clipboardHasText = false;
    bool m_clipboardHasImageFiles = false;
    QAction *m_activity = nullptr;
    QAction *m_debugMode = nullptr;
    QAction *m_debugSeparator = nullptr;
    QAction *m_advanceIntervalMenu = nullptr;
    QActionGroup *m_advanceIntervals = nullptr;
    QAction *m_about = nullptr;
    QAction *m_checkForUpdates = nullptr;
    AboutDialog *m_aboutDialog = nullptr;
};
