// The frames block of the settings popover: the status of the frames, the
// frames registered on the server with a remove button each, and the "Add a
// device" form that registers a frame from the setup block pasted from the
// frame's app. The section shows its own error texts under the form; every
// request goes through the store.
#pragma once

#include <QPlainTextEdit>
#include <QPointer>
#include <QWidget>

#include <qcoro/qcorotask.h>

#include <exception>
#include <optional>

class Bloomin8TokenHelpPopover;
class BusySpinner;
class ConnectionPill;
class GalleryStore;
class QAbstractButton;
class QLabel;
class QToolButton;
class QVBoxLayout;
class SpringAnimation;

// The paste field: Return submits (Shift+Return starts a new line), and it
// tells when it gains or loses the keyboard focus.
class SetupPasteField : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit SetupPasteField(QWidget *parent = nullptr);

    QSize sizeHint() const override;

Q_SIGNALS:
    void submitted();
    void focusChanged(bool focused, Qt::FocusReason reason);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
};

class FramesSettingsSection : public QWidget
{
    Q_OBJECT
public:
    explicit FramesSettingsSection(GalleryStore &store, QWidget *parent = nullptr);
    ~FramesSettingsSection() override;

    static QString headerText();
    static QString helpToolTip();
    static QString allFramesTitle();
    static QString addDeviceText();
    static QString pastePlaceholder();
    static QString removeToolTip();
    static QString missingTokenMessage();

    // ---- State ------------------------------------------------------------
    QString setupPasteText() const;
    void setSetupPasteText(const QString &text);
    bool showBloomin8Help() const { return m_showBloomin8Help; }
    const std::optional<QString> &registerError() const { return m_registerError; }
    bool isRegistering() const { return m_isRegistering; }
    const std::optional<QString> &deletingFrameID() const { return m_deletingFrameID; }
    bool isAddingDeviceExpanded() const { return m_isAddingDeviceExpanded; }
    // Opening or closing the form; closing it clears the error.
    void setAddingDeviceExpanded(bool expanded);
    bool isPasteFieldFocused() const { return m_isPasteFieldFocused; }

    // The section appearing (the popover opens): the form is open when no
    // frame is registered yet, and the frame list is reloaded.
    void appear();
    // The section going away (the popover closes): a paste field that held
    // the focus has lost it, which submits what was pasted.
    void disappear();

    // Registers a frame from the pasted text, unless the form is closed, a
    // registration runs already, or nothing is pasted.
    QCoro::Task<> submitRegistrationIfNeeded();
    // Removes a frame from the server, unless another removal runs.
    QCoro::Task<> removeFrame(QString id);

    // ---- Parts, for tests -----------------------------------------------
    ConnectionPill *framesPill() const { return m_framesPill; }
    QToolButton *helpButton() const { return m_helpButton; }
    Bloomin8TokenHelpPopover *helpPopover() const { return m_help; }
    QAbstractButton *addDeviceButton() const { return m_addDevice; }
    SetupPasteField *pasteField() const { return m_pasteField; }
    QLabel *errorLabel() const { return m_errorLabel; }
    BusySpinner *registeringSpinner() const { return m_spinner; }
    // The rows on show, in order: the frame ids, and the texts and remove
    // button of one frame's row.
    QStringList rowFrameIDs() const;
    QStringList rowTexts(const QString &frameID) const;
    QAbstractButton *removeButton(const QString &frameID) const;
    bool isRowDimmed(const QString &frameID) const;

Q_SIGNALS:
    // The section's height may have changed.
    void contentResized();

private:
    struct Row {
        QString id;
        QWidget *widget = nullptr;
        QList<QLabel *> texts;
        QToolButton *remove = nullptr;
    };

    void rebuildRows();
    void updateRowDimming();
    void setRegisterError(const std::optional<QString> &error);
    void setRegistering(bool registering);
    void setDeletingFrameID(const std::optional<QString> &id);
    void animateForm(bool expanded);
    // The disclosure arrow, turned down when the form is open.
    void showChevron(bool expanded);
    void pasteFieldFocusChanged(bool focused, Qt::FocusReason reason);
    static void logFailure(const std::exception_ptr &error, const QString &context);
    const Row *row(const QString &frameID) const;

    QPointer<GalleryStore> m_store;
    bool m_showBloomin8Help = false;
    std::optional<QString> m_registerError;
    bool m_isRegistering = false;
    std::optional<QString> m_deletingFrameID;
    bool m_isAddingDeviceExpanded = false;
    bool m_isPasteFieldFocused = false;
    // The field's focus went with its window's activation or to a menu,
    // and has not come back yet.
    bool m_pasteFocusSuspended = false;

    ConnectionPill *m_framesPill;
    QToolButton *m_helpButton;
    Bloomin8TokenHelpPopover *m_help;
    QVBoxLayout *m_rowsLayout;
    QList<Row> m_rows;
    QAbstractButton *m_addDevice;
    QLabel *m_chevron;
    QWidget *m_form;
    SetupPasteField *m_pasteField;
    BusySpinner *m_spinner;
    QLabel *m_errorLabel;
    SpringAnimation *m_formAnimation;
};
