#include "framessection.h"

#include "connectionpill.h"
#include "ui/kit/accessibility.h"
#include "ui/kit/painting.h"

#include "ui/kit/animation.h"
#include "ui/kit/icons.h"
#include "ui/kit/style.h"
#include "ui/kit/busyspinner.h"
#include "ui/kit/helppopovers.h"
#include "rules/bloomin8.h"
#include "store/gallerystore.h"
#include "store/photoformatters.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The form opens and closes on a small, quick spring.
constexpr AppAnimation::Spring formSpring{0.2, 0.85};

QLabel *captionLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.88);
    label->setFont(font);
    UiColors::followPalette(label, QPalette::WindowText, AppStyle::secondaryText);
    return label;
}

// The rows of the list sit on a rounded, slightly raised group.
class GroupBox : public QWidget
{
public:
    explicit GroupBox(QWidget *parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const bool dark = AppStyle::isDark(palette());
        painter.setPen(QPen(dark ? QColor(255, 255, 255, 28) : QColor(0, 0, 0, 22), 1));
        painter.setBrush(dark ? QColor(255, 255, 255, 12) : QColor(255, 255, 255, 150));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    }
};

} // namespace

// ---- Paste field ----------------------------------------------------------------------

SetupPasteField::SetupPasteField(QWidget *parent) : QPlainTextEdit(parent)
{
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(sizeHint().height());
}

QSize SetupPasteField::sizeHint() const
{
    // Room for the three lines of a setup block.
    const int lines = 3;
    const int height = fontMetrics().lineSpacing() * lines + 2 * int(document()->documentMargin()) + 2 * frameWidth();
    return {240, height};
}

void SetupPasteField::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && !(event->modifiers() & Qt::ShiftModifier)) {
        event->accept();
        Q_EMIT submitted();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void SetupPasteField::focusInEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusInEvent(event);
    Q_EMIT focusChanged(true, event->reason());
}

void SetupPasteField::focusOutEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusOutEvent(event);
    Q_EMIT focusChanged(false, event->reason());
}

// ---- Section --------------------------------------------------------------------------

QString FramesSettingsSection::headerText()
{
    return tr("Devices");
}

QString FramesSettingsSection::helpToolTip()
{
    return tr("How to register a Bloomin8 frame");
}

QString FramesSettingsSection::allFramesTitle()
{
    return tr("All frames");
}

QString FramesSettingsSection::addDeviceText()
{
    return tr("Add a device");
}

QString FramesSettingsSection::pastePlaceholder()
{
    return tr("Paste Bloomin8 setup block or API key");
}

QString FramesSettingsSection::removeToolTip()
{
    return tr("Remove frame from server");
}

QString FramesSettingsSection::missingTokenMessage()
{
    return tr("Could not find a Bloomin8 API token. Paste the setup block or token only.");
}

FramesSettingsSection::FramesSettingsSection(GalleryStore &store, QWidget *parent)
    : QWidget(parent), m_store(&store)
{
    setObjectName(QStringLiteral("framesSettings"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    // Header with the setup help.
    auto *header = new QHBoxLayout;
    header->setSpacing(4);
    auto *title = new QLabel(headerText(), this);
    QFont titleFont = title->font();
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    header->addWidget(title);
    m_helpButton = new QToolButton(this);
    m_helpButton->setIcon(AppIcons::icon(QStringLiteral("questionmark.circle")));
    m_helpButton->setIconSize(QSize(15, 15));
    m_helpButton->setAutoRaise(true);
    m_helpButton->setToolTip(helpToolTip());
    m_helpButton->setAccessibleName(helpToolTip());
    UiAccessibility::installFocusRing(m_helpButton);
    header->addWidget(m_helpButton);
    header->addStretch(1);
    layout->addLayout(header);
    m_help = new Bloomin8TokenHelpPopover(true, this);
    connect(m_helpButton, &QToolButton::clicked, this, [this] { m_help->toggleBeside(m_helpButton); });
    connect(m_help, &HelpPopover::shownChanged, this, [this](bool shown) { m_showBloomin8Help = shown; });

    // Status of the frames.
    m_framesPill = new ConnectionPill(allFramesTitle(), this);
    layout->addWidget(m_framesPill);

    // The registered frames, then the row that opens the form.
    auto *group = new GroupBox(this);
    auto *groupLayout = new QVBoxLayout(group);
    groupLayout->setContentsMargins(10, 4, 6, 4);
    groupLayout->setSpacing(0);
    auto *rowsHolder = new QWidget(group);
    m_rowsLayout = new QVBoxLayout(rowsHolder);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(0);
    groupLayout->addWidget(rowsHolder);

    auto *addButton = new QPushButton(group);
    addButton->setFlat(true);
    addButton->setCursor(Qt::PointingHandCursor);
    addButton->setAccessibleName(addDeviceText());
    UiAccessibility::installFocusRing(addButton);
    addButton->setStyleSheet(QStringLiteral("QPushButton { border: none; text-align: left; padding: 0; }"));
    auto *addLayout = new QHBoxLayout(addButton);
    addLayout->setContentsMargins(0, 6, 4, 6);
    addLayout->setSpacing(7);
    auto *plus = new QLabel(addButton);
    plus->setPixmap(AppIcons::tintedIcon(QStringLiteral("plus.circle.fill"), UiColors::accent())
                        .pixmap(QSize(17, 17), devicePixelRatioF()));
    auto *addText = new QLabel(addDeviceText(), addButton);
    m_chevron = new QLabel(addButton);
    UiColors::onPaletteChange(m_chevron, [this] { showChevron(m_isAddingDeviceExpanded); });
    for (QLabel *part : {plus, addText, m_chevron})
        part->setAttribute(Qt::WA_TransparentForMouseEvents);
    addLayout->addWidget(plus);
    addLayout->addWidget(addText);
    addLayout->addStretch(1);
    addLayout->addWidget(m_chevron);
    addButton->setMinimumHeight(30);
    m_addDevice = addButton;
    groupLayout->addWidget(addButton);
    connect(addButton, &QPushButton::clicked, this, [this] { setAddingDeviceExpanded(!m_isAddingDeviceExpanded); });

    // The form: the paste field with the registration's progress.
    m_form = new QWidget(group);
    auto *formLayout = new QVBoxLayout(m_form);
    formLayout->setContentsMargins(0, 0, 4, 8);
    formLayout->setSpacing(6);
    m_pasteField = new SetupPasteField(m_form);
    m_pasteField->setPlaceholderText(pastePlaceholder());
    m_pasteField->setAccessibleName(pastePlaceholder());
    formLayout->addWidget(m_pasteField);
    m_spinner = new BusySpinner(16, m_form);
    m_spinner->hide();
    formLayout->addWidget(m_spinner, 0, Qt::AlignLeft);
    groupLayout->addWidget(m_form);
    m_form->hide();
    m_form->setMaximumHeight(0);
    layout->addWidget(group);

    // Errors stand under the form, and under "Add a device" when a removal
    // failed while the form is closed.
    m_errorLabel = new QLabel(this);
    m_errorLabel->setObjectName(QStringLiteral("framesError"));
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    UiColors::followPalette(m_errorLabel, QPalette::WindowText, AppStyle::errorText);
    m_errorLabel->hide();
    layout->addWidget(m_errorLabel);

    m_formAnimation = new SpringAnimation(formSpring, this);
    connect(m_formAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        m_form->setMaximumHeight(std::max(value.toInt(), 0));
        Q_EMIT contentResized();
    });
    connect(m_formAnimation, &QAbstractAnimation::finished, this, [this] {
        if (!m_isAddingDeviceExpanded)
            m_form->hide();
        else
            m_form->setMaximumHeight(QWIDGETSIZE_MAX);
        Q_EMIT contentResized();
    });

    connect(m_pasteField, &SetupPasteField::submitted, this, [this] { submitRegistrationIfNeeded(); });
    connect(m_pasteField, &SetupPasteField::focusChanged, this, &FramesSettingsSection::pasteFieldFocusChanged);

    const auto followStatus = [this] {
        if (m_store)
            m_framesPill->setStatus(m_store->deviceLinkStatus());
    };
    connect(&store, &GalleryStore::deviceLinkStatusChanged, this, followStatus);
    connect(&store, &GalleryStore::registeredFramesChanged, this, &FramesSettingsSection::rebuildRows);
    followStatus();
    rebuildRows();
    animateForm(false);
}

FramesSettingsSection::~FramesSettingsSection() = default;

QString FramesSettingsSection::setupPasteText() const
{
    return m_pasteField->toPlainText();
}

void FramesSettingsSection::setSetupPasteText(const QString &text)
{
    if (text != m_pasteField->toPlainText())
        m_pasteField->setPlainText(text);
}

void FramesSettingsSection::appear()
{
    if (!m_store)
        return;
    setAddingDeviceExpanded(m_store->registeredFrames().isEmpty());
    m_store->startBackground([](GalleryStore &store) { return store.reloadRegisteredFrames(); });
}

void FramesSettingsSection::setAddingDeviceExpanded(bool expanded)
{
    if (expanded == m_isAddingDeviceExpanded)
        return;
    m_isAddingDeviceExpanded = expanded;
    if (!expanded)
        setRegisterError(std::nullopt);
    animateForm(expanded);
}

void FramesSettingsSection::showChevron(bool expanded)
{
    const QIcon chevron = AppIcons::icon(QStringLiteral("chevron.right"));
    QPixmap arrow = chevron.pixmap(QSize(12, 12), devicePixelRatioF());
    if (expanded)
        arrow = arrow.transformed(QTransform().rotate(90), Qt::SmoothTransformation);
    m_chevron->setPixmap(arrow);
}

void FramesSettingsSection::animateForm(bool expanded)
{
    showChevron(expanded);
    UiAccessibility::setDescription(m_addDevice, expanded ? tr("Expanded") : tr("Collapsed"));

    m_formAnimation->stop();
    if (!isVisible()) {
        // Nothing to watch: the form takes its place at once.
        m_form->setVisible(expanded);
        m_form->setMaximumHeight(expanded ? QWIDGETSIZE_MAX : 0);
        Q_EMIT contentResized();
        return;
    }
    const int from = m_form->isVisible() ? m_form->height() : 0;
    if (expanded)
        m_form->show();
    m_formAnimation->setStartValue(from);
    m_formAnimation->setEndValue(expanded ? m_form->sizeHint().height() : 0);
    m_formAnimation->start();
}

void FramesSettingsSection::disappear()
{
    // The popover closed (a click outside it, Escape, the Settings button):
    // the field has lost the focus for good, whichever way the window
    // system told it.
    const bool focused = std::exchange(m_isPasteFieldFocused, false);
    const bool suspended = std::exchange(m_pasteFocusSuspended, false);
    if ((focused || suspended) && m_store && m_store->session() && m_store->session()->isUnlocked())
        submitRegistrationIfNeeded();
}

void FramesSettingsSection::pasteFieldFocusChanged(bool focused, Qt::FocusReason reason)
{
    const bool was = std::exchange(m_isPasteFieldFocused, focused);
    if (focused)
        m_pasteFocusSuspended = false;
    if (!was || focused)
        return;
    // A menu opening over the field, or its window losing the activation,
    // only suspends the focus: it comes back to the field, unless the
    // popover is closing, which disappear() handles.
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) {
        m_pasteFocusSuspended = true;
        return;
    }
    submitRegistrationIfNeeded();
}

void FramesSettingsSection::setRegisterError(const std::optional<QString> &error)
{
    m_registerError = error;
    m_errorLabel->setText(error.value_or(QString()));
    m_errorLabel->setVisible(error.has_value());
    // The paste field says what went wrong with it.
    UiAccessibility::setDescription(m_pasteField, error.value_or(QString()));
    if (error)
        UiAccessibility::notify(m_errorLabel, QAccessible::Alert);
    Q_EMIT contentResized();
}

void FramesSettingsSection::setRegistering(bool registering)
{
    m_isRegistering = registering;
    m_spinner->setVisible(registering);
    m_pasteField->setReadOnly(registering);
    Q_EMIT contentResized();
}

void FramesSettingsSection::setDeletingFrameID(const std::optional<QString> &id)
{
    m_deletingFrameID = id;
    updateRowDimming();
}

void FramesSettingsSection::logFailure(const std::exception_ptr &error, const QString &context)
{
    // The store leaves registration and removal errors to the form, which
    // shows them; the activity log gets them too, like every failure the
    // user sees. A request given up because the session ended is no failure.
    if (!GalleryStore::isCancellation(error))
        ActivityLogStore::shared().log(error, LogCategory::device, context);
}

QCoro::Task<> FramesSettingsSection::submitRegistrationIfNeeded()
{
    if (!m_isAddingDeviceExpanded || m_isRegistering || !m_store)
        co_return;
    setRegisterError(std::nullopt);
    const QString text = setupPasteText().trimmed();
    if (text.isEmpty())
        co_return;
    // Text without a token never reaches the server.
    if (!Bloomin8TokenParser::parseToken(text)) {
        setRegisterError(missingTokenMessage());
        co_return;
    }
    setRegistering(true);
    const QPointer<FramesSettingsSection> self(this);
    std::optional<QString> failure;
    try {
        // The whole block goes to the server, which reads what it needs.
        co_await m_store->registerFrame(text);
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
        logFailure(std::current_exception(), QStringLiteral("Frame registration failed"));
    } catch (...) {
        failure = tr("The frame could not be registered.");
        logFailure(std::current_exception(), QStringLiteral("Frame registration failed"));
    }
    if (!self)
        co_return;
    if (failure) {
        // The pasted text stays for another try.
        setRegisterError(failure);
        setRegistering(false);
        co_return;
    }
    // The store has reloaded the list and logged the registration.
    setSetupPasteText(QString());
    setRegisterError(std::nullopt);
    setAddingDeviceExpanded(false);
    setRegistering(false);
}

QCoro::Task<> FramesSettingsSection::removeFrame(QString id)
{
    if (m_deletingFrameID || !m_store)
        co_return;
    setDeletingFrameID(id);
    const QPointer<FramesSettingsSection> self(this);
    std::optional<QString> failure;
    try {
        co_await m_store->unregisterFrame(id);
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
        logFailure(std::current_exception(), QStringLiteral("Frame removal failed"));
    } catch (...) {
        failure = tr("The frame could not be removed.");
        logFailure(std::current_exception(), QStringLiteral("Frame removal failed"));
    }
    if (!self)
        co_return;
    setRegisterError(failure);
    setDeletingFrameID(std::nullopt);
}

// ---- Rows --------------------------------------------------------------------------------

void FramesSettingsSection::rebuildRows()
{
    if (!m_store)
        return;
    // A remove button may be the sender of the change (the store drops the
    // frame at once), so old rows go once control is back in the loop.
    for (const Row &old : std::as_const(m_rows)) {
        m_rowsLayout->removeWidget(old.widget);
        old.widget->hide();
        old.widget->deleteLater();
    }
    m_rows.clear();
    for (const RegisteredDevicePublic &frame : m_store->registeredFrames()) {
        Row row;
        row.id = frame.id;
        row.widget = new QWidget(m_rowsLayout->parentWidget());
        auto *line = new QHBoxLayout(row.widget);
        line->setContentsMargins(0, 6, 0, 6);
        line->setSpacing(6);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(1);
        auto *name = new QLabel(frame.displayName, row.widget);
        QFont nameFont = name->font();
        nameFont.setWeight(QFont::Medium);
        name->setFont(nameFont);
        auto *added = captionLabel(PhotoFormatters::deviceRegisteredAt(frame.registeredAt), row.widget);
        auto *pushed = captionLabel(frame.lastPushAt ? PhotoFormatters::deviceLastPushAt(*frame.lastPushAt)
                                                     : tr("Last push unknown"),
                                    row.widget);
        texts->addWidget(name);
        texts->addWidget(added);
        texts->addWidget(pushed);
        line->addLayout(texts, 1);
        auto *remove = new QToolButton(row.widget);
        remove->setIcon(AppIcons::icon(QStringLiteral("trash")));
        remove->setIconSize(QSize(16, 16));
        remove->setAutoRaise(true);
        remove->setToolTip(removeToolTip());
        remove->setAccessibleName(removeToolTip());
        remove->setAccessibleDescription(frame.displayName);
        UiAccessibility::installFocusRing(remove);
        line->addWidget(remove, 0, Qt::AlignVCenter);
        const QString id = frame.id;
        connect(remove, &QToolButton::clicked, this, [this, id] { removeFrame(id); });
        row.widget->setAccessibleName(frame.displayName);
        row.widget->setAccessibleDescription(added->text() + QStringLiteral(", ") + pushed->text());
        row.texts = {name, added, pushed};
        row.remove = remove;
        m_rowsLayout->addWidget(row.widget);
        m_rows.append(row);
    }
    updateRowDimming();
    Q_EMIT contentResized();
}

void FramesSettingsSection::updateRowDimming()
{
    for (const Row &row : std::as_const(m_rows)) {
        const bool dimmed = m_deletingFrameID == row.id;
        if (dimmed && !row.widget->graphicsEffect()) {
            auto *fade = new QGraphicsOpacityEffect(row.widget);
            fade->setOpacity(0.4);
            row.widget->setGraphicsEffect(fade);
        } else if (!dimmed && row.widget->graphicsEffect()) {
            row.widget->setGraphicsEffect(nullptr);
        }
        row.remove->setEnabled(!dimmed);
    }
}

const FramesSettingsSection::Row *FramesSettingsSection::row(const QString &frameID) const
{
    for (const Row &candidate : m_rows) {
        if (candidate.id == frameID)
            return &candidate;
    }
    return nullptr;
}

QStringList FramesSettingsSection::rowFrameIDs() const
{
    QStringList ids;
    for (const Row &row : m_rows)
        ids.append(row.id);
    return ids;
}

QStringList FramesSettingsSection::rowTexts(const QString &frameID) const
{
    QStringList texts;
    if (const Row *found = row(frameID)) {
        for (const QLabel *label : found->texts)
            texts.append(label->text());
    }
    return texts;
}

QAbstractButton *FramesSettingsSection::removeButton(const QString &frameID) const
{
    const Row *found = row(frameID);
    return found ? found->remove : nullptr;
}

bool FramesSettingsSection::isRowDimmed(const QString &frameID) const
{
    const Row *found = row(frameID);
    return found && found->widget->graphicsEffect() != nullptr;
}
