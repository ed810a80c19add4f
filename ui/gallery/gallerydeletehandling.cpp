#include "gallerydeletehandling.h"

#include "ui/kit/painting.h"

#include "ui/kit/icons.h"
#include "clock.h"
#include "store/gallerystore.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

namespace {

constexpr int dialogMinimumWidth = 380;

} // namespace

QString GalleryDeleteAlert::id() const
{
    switch (kind) {
    case Kind::confirm:
        return QStringLiteral("confirm-") + QString::number(count);
    case Kind::blocked:
        return reason == GalleryDeleteBlockReason::includesCurrentPhoto
            ? QStringLiteral("blocked-includesCurrentPhoto")
            : QStringLiteral("blocked-wouldRemoveAllPhotos");
    }
    return {};
}

namespace GalleryDeleteRequest {

void request(const QSet<QString> &photoIDs, const GalleryStore &store, std::optional<GalleryDeleteAlert> &alert)
{
    request(photoIDs, store.state(), store.isBusy(), alert);
}

void request(
    const QSet<QString> &photoIDs, const GalleryState &state, bool isBusy, std::optional<GalleryDeleteAlert> &alert)
{
    if (isBusy)
        return;
    if (const auto reason = state.deleteBlockReason(photoIDs))
        alert = GalleryDeleteAlert::blocked(*reason);
    else
        alert = GalleryDeleteAlert::confirm(int(photoIDs.size()));
}

} // namespace GalleryDeleteRequest

namespace GalleryDeleteText {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("GalleryDeleteHandling", text);
}

} // namespace

QString alertConfirmTitle(const std::optional<GalleryDeleteAlert> &alert, int fallbackCount)
{
    const int count = alert && alert->kind == GalleryDeleteAlert::Kind::confirm ? alert->count : fallbackCount;
    if (count == 1)
        return tr("Delete photo?");
    return tr("Delete %1 photos?").arg(count);
}

QString confirmMessage(int count)
{
    return count == 1 ? tr("This photo will be removed from the gallery.")
                      : tr("These photos will be removed from the gallery.");
}

QString blockedTitle()
{
    return tr("Cannot delete");
}

QString blockedMessage(GalleryDeleteBlockReason reason)
{
    return userText(reason);
}

QString deleteButton()
{
    return tr("Delete");
}

QString cancelButton()
{
    return tr("Cancel");
}

QString okButton()
{
    return tr("OK");
}

} // namespace GalleryDeleteText

GalleryDeleteHandling::GalleryDeleteHandling(GalleryStore &store, QWidget *dialogParent)
    : QObject(dialogParent)
    , m_store(&store)
    , m_dialogParent(dialogParent)
{
}

GalleryDeleteHandling::~GalleryDeleteHandling()
{
    if (m_dialog) {
        disconnect(m_dialog, nullptr, this, nullptr);
        m_dialog->deleteLater();
    }
}

QMessageBox *GalleryDeleteHandling::dialog() const
{
    return m_dialog;
}

void GalleryDeleteHandling::setKeyboardPhotoIDs(std::function<QSet<QString>()> photoIDs)
{
    m_keyboardPhotoIDs = std::move(photoIDs);
}

QSet<QString> GalleryDeleteHandling::photoIDs() const
{
    return m_keyboardPhotoIDs ? m_keyboardPhotoIDs() : QSet<QString>();
}

void GalleryDeleteHandling::requestDelete(const QSet<QString> &photoIDs)
{
    if (photoIDs.isEmpty() || !m_store)
        return;
    m_pendingDeleteIDs = photoIDs;
    std::optional<GalleryDeleteAlert> alert = m_alert;
    GalleryDeleteRequest::request(photoIDs, *m_store, alert);
    if (!alert)
        m_pendingDeleteIDs.reset();
    setAlert(alert);
}

bool GalleryDeleteHandling::triggerDeleteFromKeyboard()
{
    const QSet<QString> ids = photoIDs();
    if (ids.isEmpty() || !m_store || m_store->isBusy())
        return false;
    const QDateTime now = Clock::now();
    if (m_lastKeyboardDeleteRequest) {
        // A clock set back makes the time since negative; that is no repeat.
        const qint64 elapsed = m_lastKeyboardDeleteRequest->msecsTo(now);
        if (elapsed >= 0 && elapsed < keyboardRepeatGuardMilliseconds)
            return false;
    }
    m_lastKeyboardDeleteRequest = now;
    if (!m_alert || m_alert->kind == GalleryDeleteAlert::Kind::blocked)
        requestDelete(ids);
    return true;
}

void GalleryDeleteHandling::performConfirmedDelete()
{
    const QSet<QString> ids = m_pendingDeleteIDs ? *m_pendingDeleteIDs : photoIDs();
    m_pendingDeleteIDs.reset();
    setAlert(std::nullopt);
    if (ids.isEmpty() || !m_store || m_store->isBusy())
        return;
    dismissLightboxIfDeletingOpenPhoto(ids);
    m_store->startBackground([ids](GalleryStore &store) { return store.deletePhotos(ids); });
}

void GalleryDeleteHandling::dismissAlert()
{
    m_pendingDeleteIDs.reset();
    setAlert(std::nullopt);
}

void GalleryDeleteHandling::dismissLightboxIfDeletingOpenPhoto(const QSet<QString> &ids)
{
    if (m_store)
        m_store->selection().closeLightboxIfShowingAny(ids);
}

void GalleryDeleteHandling::setAlert(std::optional<GalleryDeleteAlert> alert)
{
    if (alert == m_alert && (!alert || m_dialog))
        return;
    m_alert = alert;
    presentAlert();
    Q_EMIT alertChanged();
}

// ---- Dialogs --------------------------------------------------------------------------

void GalleryDeleteHandling::presentAlert()
{
    closeDialog();
    if (!m_alert || !m_dialogParent)
        return;
    auto *box = new QMessageBox(m_dialogParent->window());
    box->setObjectName(QStringLiteral("galleryDeleteDialog"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setTextFormat(Qt::PlainText);
    // Like the alerts of the desktops that name the program asking.
    box->setIconPixmap(AppIcons::applicationIcon().pixmap(QSize(64, 64), box->devicePixelRatioF()));
    m_dialogDeleteButton = nullptr;
    if (m_alert->kind == GalleryDeleteAlert::Kind::confirm) {
        const QString title = GalleryDeleteText::alertConfirmTitle(m_alert, int(photoIDs().size()));
        box->setWindowTitle(title);
        box->setText(title);
        box->setInformativeText(GalleryDeleteText::confirmMessage(m_alert->count));
        QPushButton *remove = box->addButton(GalleryDeleteText::deleteButton(), QMessageBox::DestructiveRole);
        remove->setObjectName(QStringLiteral("deleteButton"));
        QPalette destructive = remove->palette();
        destructive.setColor(QPalette::ButtonText, UiColors::errorText(destructive));
        remove->setPalette(destructive);
        QPushButton *cancel = box->addButton(GalleryDeleteText::cancelButton(), QMessageBox::RejectRole);
        cancel->setObjectName(QStringLiteral("cancelButton"));
        // Return keeps the photos; deleting takes a deliberate click.
        box->setDefaultButton(cancel);
        box->setEscapeButton(cancel);
        m_dialogDeleteButton = remove;
    } else {
        box->setWindowTitle(GalleryDeleteText::blockedTitle());
        box->setText(GalleryDeleteText::blockedTitle());
        box->setInformativeText(GalleryDeleteText::blockedMessage(m_alert->reason));
        QPushButton *ok = box->addButton(GalleryDeleteText::okButton(), QMessageBox::RejectRole);
        ok->setObjectName(QStringLiteral("okButton"));
        box->setDefaultButton(ok);
        box->setEscapeButton(ok);
    }
    // The title stands out above the message, and the message keeps to a
    // few lines rather than a narrow column.
    if (auto *title = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
    }
    if (auto *grid = qobject_cast<QGridLayout *>(box->layout()))
        grid->addItem(new QSpacerItem(dialogMinimumWidth, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
            grid->rowCount(), 0, 1, grid->columnCount());
    connect(box, &QMessageBox::finished, this, [this, box] { dialogFinished(box); });
    m_dialog = box;
    box->open();
}

void GalleryDeleteHandling::closeDialog()
{
    QMessageBox *box = m_dialog;
    m_dialog = nullptr;
    m_dialogDeleteButton = nullptr;
    if (!box)
        return;
    // A dialog replaced or withdrawn by the flow decides nothing.
    disconnect(box, nullptr, this, nullptr);
    box->close();
}

void GalleryDeleteHandling::dialogFinished(QMessageBox *box)
{
    if (box != m_dialog)
        return;
    const bool confirmed = m_dialogDeleteButton && box->clickedButton() == m_dialogDeleteButton;
    m_dialog = nullptr;
    m_dialogDeleteButton = nullptr;
    if (confirmed && m_alert && m_alert->kind == GalleryDeleteAlert::Kind::confirm)
        performConfirmedDelete();
    else
        dismissAlert();
}
