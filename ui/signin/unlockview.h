// The sign-in screen: the welcome photo beside a form asking for the user's
// name, an optional frame setup block and the family password. The form's
// state and its submit live in UnlockForm; this view shows them and feeds
// the typed text back.
#pragma once

#include <QTimer>
#include <QWidget>

class AppSession;
class Bloomin8TokenHelpPopover;
class PasswordHelpPopover;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QToolButton;
class UnlockForm;
class UnlockPasswordField;
class UnlockWelcomePhotoPanel;

class UnlockView : public QWidget
{
    Q_OBJECT
public:
    UnlockView(AppSession &session, UnlockForm &form, QWidget *parent = nullptr);
    ~UnlockView() override;

    static constexpr int padding = 56;
    static constexpr int panelGap = 48;
    static constexpr int minimumFormWidth = 340;

    // Submits the form (the Unlock button and Return in a field); ignored
    // while a submit is running.
    void submit();

    bool showPasswordHelp() const;
    bool showBloomin8Help() const;

    QLineEdit *nameField() const { return m_nameField; }
    QPlainTextEdit *setupField() const { return m_setupField; }
    UnlockPasswordField *passwordField() const { return m_passwordField; }
    QPushButton *unlockButton() const { return m_unlockButton; }
    QLabel *errorLabel() const { return m_errorLabel; }
    QToolButton *setupHelpButton() const { return m_setupHelpButton; }
    QToolButton *passwordHelpButton() const { return m_passwordHelpButton; }
    Bloomin8TokenHelpPopover *setupHelp() const { return m_setupHelp; }
    PasswordHelpPopover *passwordHelp() const { return m_passwordHelp; }
    QWidget *formColumn() const { return m_formColumn; }
    UnlockWelcomePhotoPanel *welcomePanel() const { return m_welcomePanel; }

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildForm();
    void bindForm();
    void relayout();
    void fitSetupFieldHeight();
    void updateUnlockButton();
    void updateError();

    AppSession &m_session;
    UnlockForm &m_form;
    QScrollArea *m_scrollArea = nullptr;
    QWidget *m_page = nullptr;
    QWidget *m_formColumn = nullptr;
    UnlockWelcomePhotoPanel *m_welcomePanel = nullptr;
    QLineEdit *m_nameField = nullptr;
    QPlainTextEdit *m_setupField = nullptr;
    UnlockPasswordField *m_passwordField = nullptr;
    QPushButton *m_unlockButton = nullptr;
    QLabel *m_errorLabel = nullptr;
    QToolButton *m_setupHelpButton = nullptr;
    QToolButton *m_passwordHelpButton = nullptr;
    Bloomin8TokenHelpPopover *m_setupHelp = nullptr;
    PasswordHelpPopover *m_passwordHelp = nullptr;
    QTimer m_spinnerTimer;
    int m_spinnerStep = 0;
    bool m_appeared = false;
};
