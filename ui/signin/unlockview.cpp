#include "unlockview.h"

#include "store/appsession.h"
#include "ui/kit/accessibility.h"
#include "ui/kit/icons.h"
#include "ui/kit/painting.h"
#include "ui/kit/style.h"
#include "ui/kit/busyspinner.h"
#include "ui/kit/helppopovers.h"
#include "unlockpasswordfield.h"
#include "unlockwelcomephotopanel.h"

#include "ui/kit/chromestate.h"

#include <QAbstractTextDocumentLayout>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int setupFieldMinLines = 3;
constexpr int setupFieldMaxLines = 8;
constexpr int fieldHeight = 34;

QLabel *fieldLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    return label;
}

QToolButton *helpButton(const QString &tip, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setIcon(AppIcons::icon(QStringLiteral("questionmark.circle")));
    button->setIconSize(QSize(16, 16));
    button->setAutoRaise(true);
    button->setToolTip(tip);
    button->setAccessibleName(tip);
    button->setCursor(Qt::PointingHandCursor);
    UiAccessibility::installFocusRing(button);
    return button;
}

QWidget *labelRow(QLabel *label, QToolButton *button, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(label);
    layout->addWidget(button);
    layout->addStretch(1);
    return row;
}

// The prominent button style, in the accent colour.
QString unlockButtonStyle()
{
    const QColor accent = AppBrandColor::accentGreen();
    QColor disabled = accent;
    disabled.setAlphaF(0.45f);
    const auto rgba = [](const QColor &c) {
        return QStringLiteral("rgba(%1, %2, %3, %4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alphaF());
    };
    return QStringLiteral("QPushButton { background-color: %1; color: white; border: none; border-radius: 7px;"
                          " padding: 0 18px; font-weight: 600; }"
                          "QPushButton:hover { background-color: %2; }"
                          "QPushButton:pressed { background-color: %3; }"
                          "QPushButton:focus { border: 2px solid %4; }"
                          "QPushButton:disabled { background-color: %5; color: rgba(255, 255, 255, 0.85); }")
        .arg(rgba(accent), rgba(accent.lighter(112)), rgba(accent.darker(115)), rgba(accent.darker(160)),
            rgba(disabled));
}

} // namespace

UnlockView::UnlockView(AppSession &session, UnlockForm &form, QWidget *parent)
    : QWidget(parent)
    , m_session(session)
    , m_form(form)
{
    m_scrollArea = new QScrollArea(this);
    m_scrollArea->setFrameShape(QFrame::NoFrame);
    // The fields take the keyboard; the page scrolls to the one that has it.
    m_scrollArea->setFocusPolicy(Qt::NoFocus);
    m_scrollArea->setWidgetResizable(false);
    m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scrollArea->viewport()->setAutoFillBackground(false);
    m_page = new QWidget;
    m_page->setAutoFillBackground(false);
    m_scrollArea->setWidget(m_page);
    m_scrollArea->viewport()->installEventFilter(this);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_scrollArea);

    m_welcomePanel = new UnlockWelcomePhotoPanel(m_page);
    buildForm();
    bindForm();

    m_spinnerTimer.setInterval(BusySpinner::stepMilliseconds);
    connect(&m_spinnerTimer, &QTimer::timeout, this, [this] {
        m_spinnerStep = (m_spinnerStep + 1) % BusySpinner::stepCount;
        updateUnlockButton();
    });
}

UnlockView::~UnlockView() = default;

void UnlockView::buildForm()
{
    m_formColumn = new QWidget(m_page);
    m_formColumn->installEventFilter(this);
    auto *column = new QVBoxLayout(m_formColumn);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *title = new QLabel(tr("Welcome to Lunvik Photos"), m_formColumn);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.75);
    titleFont.setWeight(QFont::Bold);
    title->setFont(titleFont);
    title->setWordWrap(true);
    column->addWidget(title);
    column->addSpacing(6);

    auto *subtitle = new QLabel(tr("Enter your name and the family password to open the gallery. "
                                   "Register frames in Settings after you sign in."),
        m_formColumn);
    subtitle->setWordWrap(true);
    UiColors::followPalette(subtitle, QPalette::WindowText, AppStyle::secondaryText);
    column->addWidget(subtitle);
    column->addSpacing(24);

    QLabel *nameLabel = fieldLabel(tr("Your name"), m_formColumn);
    column->addWidget(nameLabel);
    column->addSpacing(6);
    m_nameField = new QLineEdit(m_formColumn);
    m_nameField->setAccessibleName(nameLabel->text());
    nameLabel->setBuddy(m_nameField);
    m_nameField->setPlaceholderText(tr("Name shown on uploads"));
    m_nameField->setInputMethodHints(Qt::ImhNoPredictiveText);
    m_nameField->setMinimumHeight(fieldHeight);
    m_nameField->setClearButtonEnabled(false);
    column->addWidget(m_nameField);
    column->addSpacing(16);

    m_setupHelpButton = helpButton(tr("How to get the Bloomin8 setup block"), m_formColumn);
    QLabel *setupLabel = fieldLabel(tr("Frame setup (optional)"), m_formColumn);
    column->addWidget(labelRow(setupLabel, m_setupHelpButton, m_formColumn));
    column->addSpacing(4);
    m_setupField = new QPlainTextEdit(m_formColumn);
    m_setupField->setAccessibleName(setupLabel->text());
    m_setupField->setAccessibleDescription(tr("Paste Bloomin8 setup block"));
    setupLabel->setBuddy(m_setupField);
    m_setupField->setPlaceholderText(tr("Paste Bloomin8 setup block"));
    m_setupField->setTabChangesFocus(true);
    m_setupField->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    m_setupField->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_setupField->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    column->addWidget(m_setupField);
    column->addSpacing(16);

    m_passwordHelpButton = helpButton(tr("Where to find the family password"), m_formColumn);
    QLabel *passwordLabel = fieldLabel(tr("Family password"), m_formColumn);
    column->addWidget(labelRow(passwordLabel, m_passwordHelpButton, m_formColumn));
    column->addSpacing(4);
    m_passwordField = new UnlockPasswordField(m_formColumn);
    m_passwordField->setAccessibleName(passwordLabel->text());
    passwordLabel->setBuddy(m_passwordField);
    m_passwordField->setMinimumHeight(fieldHeight);
    column->addWidget(m_passwordField);
    column->addSpacing(18);

    m_errorLabel = new QLabel(m_formColumn);
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setTextFormat(Qt::PlainText);
    m_errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_errorLabel->setContentsMargins(0, 0, 0, 10);
    UiColors::followPalette(m_errorLabel, QPalette::WindowText, AppStyle::errorText);
    m_errorLabel->hide();
    column->addWidget(m_errorLabel);

    m_unlockButton = new QPushButton(tr("Unlock"), m_formColumn);
    m_unlockButton->setObjectName(QStringLiteral("unlockButton"));
    m_unlockButton->setMinimumHeight(40);
    m_unlockButton->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_unlockButton->setIconSize(QSize(16, 16));
    m_unlockButton->setDefault(true);
    m_unlockButton->setStyleSheet(unlockButtonStyle());
    QFont buttonFont = m_unlockButton->font();
    buttonFont.setPointSizeF(buttonFont.pointSizeF() * 1.08);
    m_unlockButton->setFont(buttonFont);
    column->addWidget(m_unlockButton);

    // Popovers are separate windows owned by this view.
    m_setupHelp = new Bloomin8TokenHelpPopover(true, this);
    m_passwordHelp = new PasswordHelpPopover(true, this);
    connect(m_setupHelpButton, &QToolButton::clicked, this, [this] { m_setupHelp->toggleBeside(m_setupHelpButton); });
    connect(m_passwordHelpButton, &QToolButton::clicked, this,
        [this] { m_passwordHelp->toggleBeside(m_passwordHelpButton); });
}

void UnlockView::bindForm()
{
    // Field → form.
    connect(m_nameField, &QLineEdit::textChanged, &m_form, &UnlockForm::setDisplayName);
    connect(m_passwordField, &QLineEdit::textChanged, &m_form, &UnlockForm::setPassword);
    connect(m_setupField, &QPlainTextEdit::textChanged, this,
        [this] { m_form.setBloomin8SetupText(m_setupField->toPlainText()); });
    // Form → field, only on a real difference so the caret stays put.
    connect(&m_form, &UnlockForm::displayNameChanged, this, [this] {
        if (m_nameField->text() != m_form.displayName())
            m_nameField->setText(m_form.displayName());
        updateUnlockButton();
    });
    connect(&m_form, &UnlockForm::passwordChanged, this, [this] {
        if (m_passwordField->text() != m_form.password())
            m_passwordField->setText(m_form.password());
        updateUnlockButton();
    });
    connect(&m_form, &UnlockForm::bloomin8SetupTextChanged, this, [this] {
        if (m_setupField->toPlainText() != m_form.bloomin8SetupText())
            m_setupField->setPlainText(m_form.bloomin8SetupText());
    });
    connect(&m_form, &UnlockForm::isUnlockingChanged, this, [this] {
        if (m_form.isUnlocking()) {
            m_spinnerStep = 0;
            m_spinnerTimer.start();
        } else {
            m_spinnerTimer.stop();
        }
        updateUnlockButton();
    });
    connect(&m_session, &AppSession::unlockErrorChanged, this, &UnlockView::updateError);

    // Return in a single-line field submits, like the default button of a
    // dialog; the multi-line setup field keeps Return for new lines.
    connect(m_unlockButton, &QPushButton::clicked, this, &UnlockView::submit);
    connect(m_nameField, &QLineEdit::returnPressed, this, &UnlockView::submit);
    connect(m_passwordField, &QLineEdit::returnPressed, this, &UnlockView::submit);
    connect(m_setupField->document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
        &UnlockView::fitSetupFieldHeight);

    m_nameField->setText(m_form.displayName());
    m_passwordField->setText(m_form.password());
    m_setupField->setPlainText(m_form.bloomin8SetupText());
    fitSetupFieldHeight();
    updateUnlockButton();
    updateError();
}

void UnlockView::submit()
{
    // Return in a field does what the Unlock button would, so nothing
    // while the button is disabled.
    if (m_form.isUnlocking() || !m_form.canSubmitUnlock())
        return;
    // The form's task outlives this view: a successful sign-in replaces the
    // screen while the task still saves the name and registers the frame.
    m_form.attemptUnlock();
}

bool UnlockView::showPasswordHelp() const
{
    return m_passwordHelp->isVisible();
}

bool UnlockView::showBloomin8Help() const
{
    return m_setupHelp->isVisible();
}

void UnlockView::updateUnlockButton()
{
    m_unlockButton->setEnabled(!m_form.isUnlocking() && m_form.canSubmitUnlock());
    if (m_form.isUnlocking())
        m_unlockButton->setIcon(
            QIcon(BusySpinner::frame(16, devicePixelRatioF(), QColor(255, 255, 255, 230), m_spinnerStep)));
    else
        m_unlockButton->setIcon(QIcon());
}

void UnlockView::updateError()
{
    const std::optional<QString> &error = m_session.unlockError();
    m_errorLabel->setText(error.value_or(QString()));
    m_errorLabel->setVisible(error.has_value() && !error->isEmpty());
    // A refusal is read out, and stays with the password field.
    UiAccessibility::setDescription(m_passwordField, error.value_or(QString()));
    if (error && !error->isEmpty())
        UiAccessibility::notify(m_errorLabel, QAccessible::Alert);
}

void UnlockView::fitSetupFieldHeight()
{
    // A plain text document's height is counted in lines, wrapped ones included.
    const int lines = qBound(setupFieldMinLines,
        qCeil(m_setupField->document()->documentLayout()->documentSize().height()), setupFieldMaxLines);
    const int margins = int(2 * m_setupField->document()->documentMargin()) + 2 * m_setupField->frameWidth()
        + m_setupField->contentsMargins().top() + m_setupField->contentsMargins().bottom();
    const int height = lines * m_setupField->fontMetrics().lineSpacing() + margins;
    if (m_setupField->height() != height || m_setupField->minimumHeight() != height)
        m_setupField->setFixedHeight(height);
}

void UnlockView::relayout()
{
    if (!m_scrollArea)
        return;
    const QSize viewport = m_scrollArea->viewport()->size();
    const int available = qMax(0, viewport.width() - 2 * padding);
    // The form is at most 520 wide; the photo is as tall as the form and as
    // wide as its frame shape allows in the room that is left.
    int formWidth = qMin(UnlockForm::formWidth, available);
    int formHeight = 0;
    int panelWidth = 0;
    for (int pass = 0; pass < 3; ++pass) {
        formHeight = m_formColumn->heightForWidth(formWidth);
        if (formHeight < 0)
            formHeight = m_formColumn->sizeHint().height();
        const int maxPane = available - panelGap - minimumFormWidth;
        panelWidth = maxPane >= 120 ? UnlockWelcomePhotoPanel::paneWidth(formHeight, maxPane) : 0;
        const int fitted = qMin(UnlockForm::formWidth, available - (panelWidth > 0 ? panelWidth + panelGap : 0));
        if (fitted == formWidth)
            break;
        formWidth = fitted;
    }
    const int contentWidth = formWidth + (panelWidth > 0 ? panelGap + panelWidth : 0);
    const int pageHeight = qMax(viewport.height(), formHeight + 2 * padding);
    m_page->resize(viewport.width(), pageHeight);
    const int left = (viewport.width() - contentWidth) / 2;
    const int top = (pageHeight - formHeight) / 2;
    m_welcomePanel->setVisible(panelWidth > 0);
    m_welcomePanel->setGeometry(left, top, panelWidth, formHeight);
    m_formColumn->setGeometry(left + (panelWidth > 0 ? panelWidth + panelGap : 0), top, formWidth, formHeight);
}

void UnlockView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_appeared) {
        m_appeared = true;
        m_form.appear();
        // Straight to the password when the name is already known.
        if (m_form.displayName().trimmed().isEmpty())
            m_nameField->setFocus();
        else
            m_passwordField->setFocus();
    }
    relayout();
}

void UnlockView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    relayout();
}

bool UnlockView::eventFilter(QObject *watched, QEvent *event)
{
    if ((watched == m_formColumn && event->type() == QEvent::LayoutRequest)
        || (watched == m_scrollArea->viewport() && event->type() == QEvent::Resize))
        relayout();
    return QWidget::eventFilter(watched, event);
}
