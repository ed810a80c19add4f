#include "mainwindow.h"

#include "ui/updates/aboutdialog.h"
#include "ui/kit/chromestate.h"
#include "rootcontainer.h"
#include "store/appsession.h"
#include "ui/kit/icons.h"
#include "store/updatermodel.h"

#include "store/gallerystore.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "ui/gallery/galleryphotogrid.h"
#include "ui/gallery/galleryscreen.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>

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

MainWindow::~MainWindow()
{
    // The focus moves while the screens are torn down, after this object's
    // own members are gone: nothing may call back into it by then.
    disconnect(qApp, nullptr, this, nullptr);
    disconnect(QApplication::clipboard(), nullptr, this, nullptr);
    disconnect(m_root, nullptr, this, nullptr);
}

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
    // Each is enabled only where it would do something (see editTarget()).
    QMenu *edit = menuBar()->addMenu(tr("&Edit"));
    addEditCommand(edit, tr("&Undo"), EditCommand::undo, QKeySequence::Undo);
    addEditCommand(edit, tr("&Redo"), EditCommand::redo, QKeySequence::Redo);
    edit->addSeparator();
    addEditCommand(edit, tr("Cu&t"), EditCommand::cut, QKeySequence::Cut);
    addEditCommand(edit, tr("&Copy"), EditCommand::copy, QKeySequence::Copy);
    // Paste puts text into a text field, and uploads copied image files in
    // the gallery.
    addEditCommand(edit, tr("&Paste"), EditCommand::paste, QKeySequence::Paste);
    // Delete removes the selected photos in the gallery (after asking), and
    // the next character in a text field.
    m_delete = addEditCommand(edit, tr("&Delete"), EditCommand::deleteForward, QKeySequence::Delete);
    // Select All selects every photo of the gallery, or a field's text.
    m_selectAll = addEditCommand(edit, tr("Select &All"), EditCommand::selectAll, QKeySequence::SelectAll);
    edit->addSeparator();
    // Text fields change without telling; the menu looks again as it opens.
    connect(edit, &QMenu::aboutToShow, this, &MainWindow::readClipboard);
    connect(qApp, &QApplication::focusChanged, this, &MainWindow::updateEditCommands);
    connect(QApplication::clipboard(), &QClipboard::dataChanged, this, &MainWindow::readClipboard);
    connect(m_root, &AppRootContainer::screenChanged, this, &MainWindow::updateEditCommands);
    connect(&m_store, &GalleryStore::stateChanged, this, &MainWindow::updateEditCommands);
    connect(&m_store, &GalleryStore::isBusyChanged, this, &MainWindow::updateEditCommands);
    connect(&m_store.selection(), &GallerySelectionStore::selectedIDsChanged, this, &MainWindow::updateEditCommands);
    connect(&m_store.selection(), &GallerySelectionStore::lightboxNavigationPhotoIDChanged, this,
        &MainWindow::updateEditCommands);
    readClipboard();
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

QAction *MainWindow::addEditCommand(
    QMenu *menu, const QString &text, EditCommand command, QKeySequence::StandardKey key)
{
    QAction *action = menu->addAction(text);
    action->setShortcut(key);
    m_editCommands.append({ action, command });
    // The command becomes the key press itself, delivered to the widget
    // that does the work: text fields edit, and the gallery's grid handles
    // its own keys, the same whether the user chose the menu item or
    // pressed the keys.
    connect(action, &QAction::triggered, this, [this, action, command, key] {
        QWidget *target = editTarget();
        if (!canPerform(command, target))
            return;
        const QList<QKeySequence> bindings = QKeySequence::keyBindings(key);
        if (bindings.isEmpty())
            return;
        const QKeyCombination combination = bindings.first()[0];
        QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
        QKeyEvent release(QEvent::KeyRelease, combination.key(), combination.keyboardModifiers());
        // A widget that does not claim the keys would hand the press
        // straight back to this command, over and over; with the command off
        // for the moment, the press reaches the widget.
        const QPointer<QWidget> guarded(target);
        action->setEnabled(false);
        QApplication::sendEvent(target, &press);
        if (guarded)
            QApplication::sendEvent(target, &release);
        updateEditCommands();
    });
    return action;
}

QList<QAction *> MainWindow::editActions() const
{
    QList<QAction *> actions;
    for (const auto &[action, command] : m_editCommands)
        actions.append(action);
    return actions;
}

QWidget *MainWindow::editTarget() const
{
    QWidget *focus = QApplication::focusWidget();
    if (focus && focus->window() == this && EditCommandTarget::editsByItself(focus))
        return focus;
    auto *gallery = qobject_cast<GalleryScreen *>(m_root->currentScreen());
    if (gallery && !m_store.selection().isLightboxOpen())
        return gallery->grid();
    return nullptr;
}

bool MainWindow::canPerform(EditCommand command, QWidget *target) const
{
    if (!target)
        return false;
    if (EditCommandTarget::editsByItself(target))
        return EditCommandTarget::canPerform(command, target, m_clipboardHasText);
    const auto *grid = qobject_cast<GalleryPhotoGrid *>(target);
    if (!grid || m_store.selection().isLightboxOpen())
        return false;
    switch (command) {
    case EditCommand::selectAll:
        return !grid->photoOrder().isEmpty();
    case EditCommand::deleteForward:
        return !m_store.selection().selectedIDs().isEmpty() && !m_store.isBusy();
    case EditCommand::paste:
        return m_clipboardHasImageFiles;
    default:
        return false;
    }
}

void MainWindow::readClipboard()
{
    const QMimeData *held = QApplication::clipboard()->mimeData();
    m_clipboardHasText = held && held->hasText();
    m_clipboardHasImageFiles = GalleryFilePasteboard::wouldUpload(held);
    updateEditCommands();
}

void MainWindow::updateEditCommands()
{
    QWidget *target = editTarget();
    for (const auto &[action, command] : std::as_const(m_editCommands))
        action->setEnabled(canPerform(command, target));
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
