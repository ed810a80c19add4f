#include "mainwindow.h"

#include "aboutdialog.h"
#include "appchromestate.h"
#include "approotcontainer.h"
#include "appsession.h"
#include "appui/appicons.h"
#include "updates/appupdatermodel.h"

#include "store/gallerystore.h"

#include <QActionGroup>
#include <QApplication>
#include <QKeyEvent>
#include <QMenuBar>

MainWindow::MainWindow(AppChromeState &chrome, AppSession &session, GalleryStore &store, ActivityLogStore &log,
    UnlockForm &unlockForm, QWidget *parent)
    : QMainWindow(parent)
    , m_chrome(chrome)
    , m_session(session)
    , m_store(store)
{
    setWindowTitle(tr("Lunvik Photos"));
    setObjectName(QStringLiteral("main"));
    m_root = new AppRootContainer(chrome, session, store, log, unlockForm, this);
    // The least room the screens need is theirs, below the menu bar (when
    // the menu bar is part of the window); the window's own minimum follows
    // from its layout. It opens at that size.
    m_root->setMinimumSize(defaultWidth, defaultHeight);
    setCentralWidget(m_root);
    buildMenus();
    resize(minimumSizeHint().expandedTo(QSize(defaultWidth, defaultHeight)));
}

MainWindow::~MainWindow() = default;

QList<std::pair<QString, int>> MainWindow::advanceIntervalChoices()
{
    return { { QStringLiteral("1 min"), 60 }, { QStringLiteral("5 min"), 300 }, { QStringLiteral("30 min"), 1800 },
        { QStringLiteral("1 hour"), 3600 }, { QStringLiteral("6 hours"), 21600 } };
}

void MainWindow::buildMenus()
{
    // File: the program has one window, so no command opens another.
    QMenu *file = menuBar()->addMenu(tr("&File"));
    m_quit = file->addAction(tr("&Quit"));
    m_quit->setShortcut(QKeySequence::Quit);
    m_quit->setShortcutContext(Qt::ApplicationShortcut);
    m_quit->setMenuRole(QAction::QuitRole);
    connect(m_quit, &QAction::triggered, this, [] { QApplication::closeAllWindows(); });

    // Edit: the clipboard commands act on whatever has the keyboard focus,
    // then Sync.
    QMenu *edit = menuBar()->addMenu(tr("&Edit"));
    addEditCommand(edit, QStringLiteral("&Undo"), QKeySequence::Undo);
    addEditCommand(edit, QStringLiteral("&Redo"), QKeySequence::Redo);
    edit->addSeparator();
    addEditCommand(edit, QStringLiteral("Cu&t"), QKeySequence::Cut);
    addEditCommand(edit, QStringLiteral("&Copy"), QKeySequence::Copy);
    addEditCommand(edit, QStringLiteral("&Paste"), QKeySequence::Paste);
    // Delete removes the selected photos in the gallery (after asking), and
    // the next character in a text field.
    m_delete = addEditCommand(edit, tr("&Delete"), QKeySequence::Delete);
    addEditCommand(edit, QStringLiteral("Select &All"), QKeySequence::SelectAll);
    edit->addSeparator();
    m_sync = edit->addAction(tr("Sync"));
    m_sync->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_sync->setIcon(AppIcons::icon(QStringLiteral("arrow.clockwise")));
    connect(m_sync, &QAction::triggered, this, [this] {
        if (m_sync->isEnabled())
            m_store.syncAll();
    });
    connect(&m_session, &AppSession::isUnlockedChanged, this, &MainWindow::updateSyncEnabled);
    connect(&m_store, &GalleryStore::isBusyChanged, this, &MainWindow::updateSyncEnabled);
    connect(&m_store, &GalleryStore::isSyncingChanged, this, &MainWindow::updateSyncEnabled);
    updateSyncEnabled();

    // View.
    QMenu *view = menuBar()->addMenu(tr("&View"));
    m_activity = view->addAction(QString());
    m_activity->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    m_activity->setIcon(AppIcons::icon(AppChromeState::activityInspectorSymbolName));
    connect(m_activity, &QAction::triggered, this,
        [this] { m_chrome.setShowActivityInspector(!m_chrome.showActivityInspector()); });
    connect(&m_chrome, &AppChromeState::showActivityInspectorChanged, this, &MainWindow::updateActivityAction);
    updateActivityAction();

    // Debug.
    QMenu *debug = menuBar()->addMenu(tr("&Debug"));
    m_debugMode = debug->addAction(tr("Toggle Debug Mode"));
    m_debugMode->setCheckable(true);
    connect(m_debugMode, &QAction::toggled, this, [this](bool on) {
        if (on != m_store.settings().debugMode)
            m_store.setDebugMode(on);
    });
    m_debugSeparator = debug->addSeparator();
    QMenu *intervals = debug->addMenu(tr("Advance interval"));
    m_advanceIntervalMenu = intervals->menuAction();
    m_advanceIntervals = new QActionGroup(this);
    m_advanceIntervals->setExclusive(true);
    for (const auto &[title, seconds] : advanceIntervalChoices()) {
        QAction *choice = intervals->addAction(title);
        choice->setCheckable(true);
        choice->setData(seconds);
        m_advanceIntervals->addAction(choice);
        connect(choice, &QAction::triggered, this,
            [this, seconds = seconds] { m_store.setDebugAdvanceIntervalSeconds(seconds); });
    }
    connect(&m_store, &GalleryStore::settingsChanged, this, &MainWindow::updateDebugMenu);
    updateDebugMenu();

    // Help.
    QMenu *help = menuBar()->addMenu(tr("&Help"));
    m_about = help->addAction(tr("About Lunvik Photos"));
    m_about->setMenuRole(QAction::AboutRole);
    connect(m_about, &QAction::triggered, this, &MainWindow::showAbout);
    // Enabled only while the updater may start a check (see attachUpdater);
    // a build without an update feed never enables it.
    m_checkForUpdates = help->addAction(tr("Check for Updates…"));
    m_checkForUpdates->setEnabled(false);
}

void MainWindow::attachUpdater(AppUpdaterModel &updater)
{
    m_checkForUpdates->setEnabled(updater.canCheckForUpdates());
    connect(&updater, &AppUpdaterModel::canCheckForUpdatesChanged, m_checkForUpdates, &QAction::setEnabled);
    connect(m_checkForUpdates, &QAction::triggered, &updater, [&updater] {
        if (updater.canCheckForUpdates())
            updater.checkForUpdates();
    });
}

QAction *MainWindow::addEditCommand(QMenu *menu, const QString &text, QKeySequence::StandardKey key)
{
    QAction *action = menu->addAction(text);
    action->setShortcut(key);
    // The command becomes the key press itself, delivered to the focused
    // widget: text fields edit, and the gallery handles its own keys, the
    // same whether the user chose the menu item or pressed the keys.
    connect(action, &QAction::triggered, this, [this, action, key] {
        QWidget *target = QApplication::focusWidget();
        if (!target || target->window() != this)
            return;
        const QList<QKeySequence> bindings = QKeySequence::keyBindings(key);
        if (bindings.isEmpty())
            return;
        const QKeyCombination combination = bindings.first()[0];
        QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
        QKeyEvent release(QEvent::KeyRelease, combination.key(), combination.keyboardModifiers());
        // A widget that does not claim the keys (the grid, a button) would
        // hand the press straight back to this command, over and over; with
        // the command off for the moment, the press reaches the widget.
        action->setEnabled(false);
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
        action->setEnabled(true);
    });
    return action;
}

QList<QAction *> MainWindow::advanceIntervalActions() const
{
    return m_advanceIntervals->actions();
}

void MainWindow::updateSyncEnabled()
{
    m_sync->setEnabled(m_session.isUnlocked() && !m_store.isBusy() && !m_store.isSyncing());
}

void MainWindow::updateActivityAction()
{
    m_activity->setText(m_chrome.showActivityInspector() ? tr("Hide Activity") : tr("Show Activity"));
}

void MainWindow::updateDebugMenu()
{
    const AppSettings &settings = m_store.settings();
    {
        const QSignalBlocker blocker(m_debugMode);
        m_debugMode->setChecked(settings.debugMode);
    }
    m_debugSeparator->setVisible(settings.debugMode);
    m_advanceIntervalMenu->setVisible(settings.debugMode);
    for (QAction *choice : m_advanceIntervals->actions())
        choice->setChecked(choice->data().toInt() == settings.debugAdvanceIntervalSeconds);
}

void MainWindow::bringToFront()
{
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void MainWindow::showAbout()
{
    if (!m_aboutDialog)
        m_aboutDialog = new AboutDialog(this);
    m_aboutDialog->show();
    m_aboutDialog->raise();
    m_aboutDialog->activateWindow();
}
