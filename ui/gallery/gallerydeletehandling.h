// The delete flow of the gallery, shared by the thumbnails' context menu,
// the selection bar, the lightbox and the Delete key: which dialog a request
// opens (a confirmation, or a refusal that names why the gallery cannot lose
// those photos), the guard against auto-repeat of the key, and the delete
// itself once confirmed. The photo open in the lightbox is closed before its
// delete starts.
//
// Dialogs are window-modal message boxes opened with open(): nothing blocks,
// and the choice arrives through the box's finished() signal.
#pragma once

#include "model/gallerystate.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

class GalleryStore;
class QAbstractButton;
class QMessageBox;
class QWidget;

// The dialog a delete request opens.
struct GalleryDeleteAlert {
    enum class Kind { confirm, blocked };

    Kind kind = Kind::confirm;
    // confirm: how many photos would be deleted.
    int count = 0;
    // blocked: why the gallery refuses.
    GalleryDeleteBlockReason reason = GalleryDeleteBlockReason::includesCurrentPhoto;

    static GalleryDeleteAlert confirm(int count) { return { Kind::confirm, count, {} }; }
    static GalleryDeleteAlert blocked(GalleryDeleteBlockReason reason) { return { Kind::blocked, 0, reason }; }

    // Tells dialogs apart: "confirm-3", "blocked-wouldRemoveAllPhotos".
    QString id() const;

    bool operator==(const GalleryDeleteAlert &) const = default;
};

namespace GalleryDeleteRequest {

// Sets `alert` to the refusal when the gallery cannot lose `photoIDs`, else
// to the confirmation for their number. A busy store leaves `alert` alone.
void request(const QSet<QString> &photoIDs, const GalleryStore &store, std::optional<GalleryDeleteAlert> &alert);
// The same rule over a gallery and the store's busy flag.
void request(
    const QSet<QString> &photoIDs, const GalleryState &state, bool isBusy, std::optional<GalleryDeleteAlert> &alert);

} // namespace GalleryDeleteRequest

namespace GalleryDeleteText {

// "Delete photo?" or "Delete N photos?", N being the confirmation's count,
// else `fallbackCount`.
QString alertConfirmTitle(const std::optional<GalleryDeleteAlert> &alert, int fallbackCount);
QString confirmMessage(int count);
QString blockedTitle();
QString blockedMessage(GalleryDeleteBlockReason reason);
QString deleteButton();
QString cancelButton();
QString okButton();

} // namespace GalleryDeleteText

class GalleryDeleteHandling : public QObject
{
    Q_OBJECT
public:
    // Presses of the Delete key closer together than this open no second dialog.
    static constexpr qint64 keyboardRepeatGuardMilliseconds = 350;

    // Dialogs are window-modal to the window of `dialogParent`.
    GalleryDeleteHandling(GalleryStore &store, QWidget *dialogParent);
    ~GalleryDeleteHandling() override;

    // The photos the Delete key acts on (the grid's selection while the grid
    // takes keys, else none).
    void setKeyboardPhotoIDs(std::function<QSet<QString>()> photoIDs);
    QSet<QString> photoIDs() const;

    const std::optional<GalleryDeleteAlert> &alert() const { return m_alert; }
    const std::optional<QSet<QString>> &pendingDeleteIDs() const { return m_pendingDeleteIDs; }
    // The dialog on screen, if any.
    QMessageBox *dialog() const;

    // Opens the confirmation or the refusal for `photoIDs`; nothing for none.
    void requestDelete(const QSet<QString> &photoIDs);
    // The Delete key; true when the press was handled.
    bool triggerDeleteFromKeyboard();
    // Deletes the pending photos (or the keyboard's) unless the store is busy.
    void performConfirmedDelete();
    // Cancel, OK, or the dialog dismissed: forget the request.
    void dismissAlert();
    // Closes the lightbox first when it shows one of `ids`.
    void dismissLightboxIfDeletingOpenPhoto(const QSet<QString> &ids);

Q_SIGNALS:
    void alertChanged();

private:
    void setAlert(std::optional<GalleryDeleteAlert> alert);
    void presentAlert();
    void closeDialog();
    void dialogFinished(QMessageBox *box);

    QPointer<GalleryStore> m_store;
    QPointer<QWidget> m_dialogParent;
    std::function<QSet<QString>()> m_keyboardPhotoIDs;
    std::optional<GalleryDeleteAlert> m_alert;
    std::optional<QSet<QString>> m_pendingDeleteIDs;
    std::optional<QDateTime> m_lastKeyboardDeleteRequest;
    QPointer<QMessageBox> m_dialog;
    QAbstractButton *m_dialogDeleteButton = nullptr;
};
