// The family password field: masked, with an eye button at its end that
// shows the password as plain text and masks it again. Switching keeps the
// typed text, the caret and the keyboard focus.
#pragma once

#include <QLineEdit>

class QAction;

class UnlockPasswordField : public QLineEdit
{
    Q_OBJECT
    Q_PROPERTY(bool showsPlaintext READ showsPlaintext WRITE setShowsPlaintext NOTIFY showsPlaintextChanged)
public:
    explicit UnlockPasswordField(QWidget *parent = nullptr);

    bool showsPlaintext() const { return m_showsPlaintext; }
    void setShowsPlaintext(bool shows);
    // The eye button.
    QAction *visibilityAction() const { return m_visibilityAction; }

Q_SIGNALS:
    void showsPlaintextChanged(bool shows);

private:
    void updateVisibilityAction();

    QAction *m_visibilityAction;
    bool m_showsPlaintext = false;
};
