#include "unlockpasswordfield.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/icons.h"

#include <QToolButton>

#include <QAction>

UnlockPasswordField::UnlockPasswordField(QWidget *parent)
    : QLineEdit(parent)
{
    setEchoMode(QLineEdit::Password);
    // No prediction, no learning: input methods treat it as a secret.
    setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    m_visibilityAction = addAction(QIcon(), QLineEdit::TrailingPosition);
    // The eye is a stop of its own after the field, so Tab reaches it.
    for (QToolButton *eye : findChildren<QToolButton *>()) {
        if (eye->defaultAction() == m_visibilityAction) {
            eye->setFocusPolicy(Qt::TabFocus);
            UiAccessibility::installFocusRing(eye);
        }
    }
    connect(m_visibilityAction, &QAction::triggered, this, [this] { setShowsPlaintext(!m_showsPlaintext); });
    updateVisibilityAction();
}

void UnlockPasswordField::setShowsPlaintext(bool shows)
{
    if (shows == m_showsPlaintext)
        return;
    m_showsPlaintext = shows;
    // The same field changes how it draws its text, so text, caret,
    // selection and focus all stay as they were.
    setEchoMode(shows ? QLineEdit::Normal : QLineEdit::Password);
    updateVisibilityAction();
    Q_EMIT showsPlaintextChanged(shows);
}

void UnlockPasswordField::updateVisibilityAction()
{
    m_visibilityAction->setIcon(AppIcons::icon(m_showsPlaintext ? QStringLiteral("eye.slash") : QStringLiteral("eye")));
    const QString tip = m_showsPlaintext ? tr("Hide password") : tr("Show password");
    m_visibilityAction->setToolTip(tip);
    m_visibilityAction->setText(tip);
}
