// The update window: one non-modal dialog per update session, beside the
// main window, that walks through the stages of a check the user asked for
// (checking, update found with its release notes, up to date, failure,
// downloading, saved to Downloads). StandardUpdateUserDriver is the updater's
// user driver made of it.
#pragma once

#include "updates/updateuserdriver.h"

#include <QDialog>
#include <QPointer>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;
class UpdaterError;

class UpdateDialog : public QDialog
{
    Q_OBJECT
public:
    enum class Stage { checking, updateFound, noUpdate, failed, downloading, saved };

    explicit UpdateDialog(QWidget *parent = nullptr);

    void showChecking(std::function<void()> cancel);
    void showUpdateFound(const AppcastItem &update, const QString &currentVersion,
        std::function<void(UpdateUserDriver::UpdateChoice)> reply);
    void showNoUpdate(const QString &currentVersion, std::function<void()> acknowledgement);
    void showFailure(const UpdaterError &error, std::function<void()> acknowledgement);
    void showDownloading(const AppcastItem &update, std::function<void()> cancel);
    void showSaved(const AppcastItem &update, const QString &file, std::function<void()> acknowledgement);
    // Closes without answering anything.
    void dismiss();

    // The text shown for a failure.
    static QString failureText(const UpdaterError &error);

    Stage stage() const { return m_stage; }
    QLabel *titleLabel() const { return m_title; }
    QLabel *messageLabel() const { return m_message; }
    QTextBrowser *notesView() const { return m_notes; }
    QProgressBar *progressBar() const { return m_progress; }
    // The stage's main button (Download Update, OK, Done, Cancel) and its
    // other one (Remind Me Later, Show in Folder), hidden when it has none.
    QPushButton *primaryButton() const { return m_primary; }
    QPushButton *secondaryButton() const { return m_secondary; }

public Q_SLOTS:
    // Escape or the window's close button: the stage's way out (cancel,
    // acknowledge, remind me later). The updater then closes the window or
    // moves on.
    void reject() override;

private:
    void setStage(Stage stage, const QString &title, const QString &message, const QString &primary,
        const QString &secondary = QString());
    void present();
    void answer(std::function<void()> &which);

    Stage m_stage = Stage::checking;
    QLabel *m_title;
    QLabel *m_message;
    QLabel *m_notesTitle;
    QTextBrowser *m_notes;
    QProgressBar *m_progress;
    QPushButton *m_primary;
    QPushButton *m_secondary;
    // The answers of the stage on show; one answer ends them all.
    std::function<void()> m_onPrimary;
    std::function<void()> m_onSecondary;
    std::function<void()> m_onDismiss;
    QString m_savedFolder;
};

class StandardUpdateUserDriver : public UpdateUserDriver
{
public:
    // The dialog is made on demand as a child of `window`.
    explicit StandardUpdateUserDriver(QWidget *window);
    ~StandardUpdateUserDriver() override;

    // The dialog of the session on show; null between sessions.
    UpdateDialog *dialog() const { return m_dialog; }

    void showUserInitiatedUpdateCheck(std::function<void()> cancel) override;
    void showUpdateFound(
        const AppcastItem &update, const QString &currentVersion, std::function<void(UpdateChoice)> reply) override;
    void showUpdateNotFound(const QString &currentVersion, std::function<void()> acknowledgement) override;
    void showUpdaterError(const UpdaterError &error, std::function<void()> acknowledgement) override;
    void showDownloadInProgress(const AppcastItem &update, std::function<void()> cancel) override;
    void showUpdateSaved(
        const AppcastItem &update, const QString &file, std::function<void()> acknowledgement) override;
    void showUpdateInFocus() override;
    void dismissUpdateInstallation() override;

private:
    UpdateDialog &dialogForSession();

    QPointer<QWidget> m_window;
    QPointer<UpdateDialog> m_dialog;
};
