// Which photos of the gallery grid are selected, the fixed end of a range
// selection, and which photo the lightbox shows. Owned by the gallery store
// and shared by every gallery screen. Main thread only.
//
// "Photo order" is always the ids of the gallery's active photos in display
// order (GalleryState::activePhotos()). Ids are opaque and compared exactly.
//
// Each operation settles all of its fields first and only then announces the
// fields that really changed, so a listener always sees a consistent store.
#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

// The modifier keys of a click in the grid.
struct GridTapModifiers {
    // Toggle the clicked photo, keeping the rest of the selection (Ctrl).
    bool append = false;
    // Select from the anchor to the clicked photo (Shift).
    bool rangeSelect = false;

    static GridTapModifiers fromKeyboardModifiers(Qt::KeyboardModifiers modifiers);

    bool operator==(const GridTapModifiers &) const = default;
};

class GallerySelectionStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QSet<QString> selectedIDs READ selectedIDs WRITE setSelectedIDs NOTIFY selectedIDsChanged)
    Q_PROPERTY(std::optional<QString> lightboxNavigationPhotoID READ lightboxNavigationPhotoID WRITE
                   setLightboxNavigationPhotoID NOTIFY lightboxNavigationPhotoIDChanged)
    Q_PROPERTY(std::optional<QString> lightboxPhotoID READ lightboxPhotoID WRITE setLightboxPhotoID NOTIFY
                   lightboxPhotoIDChanged)
    Q_PROPERTY(std::optional<QString> selectionAnchor READ selectionAnchor WRITE setSelectionAnchor NOTIFY
                   selectionAnchorChanged)
    Q_PROPERTY(bool isLightboxOpen READ isLightboxOpen NOTIFY lightboxNavigationPhotoIDChanged)

public:
    explicit GallerySelectionStore(QObject *parent = nullptr);

    const QSet<QString> &selectedIDs() const { return m_state.selectedIDs; }
    // The photo the lightbox is asked to show; set exactly while it is open.
    const std::optional<QString> &lightboxNavigationPhotoID() const { return m_state.lightboxNavigationPhotoID; }
    // The photo whose lightbox page has actually appeared.
    const std::optional<QString> &lightboxPhotoID() const { return m_state.lightboxPhotoID; }
    const std::optional<QString> &selectionAnchor() const { return m_state.selectionAnchor; }

    bool isLightboxOpen() const { return m_state.lightboxNavigationPhotoID.has_value(); }
    // The photo the lightbox stands on: the requested one, else the page shown.
    std::optional<QString> lightboxOpenPhotoID() const;

    void setSelectedIDs(const QSet<QString> &ids);
    void setLightboxNavigationPhotoID(const std::optional<QString> &id);
    void setLightboxPhotoID(const std::optional<QString> &id);
    void setSelectionAnchor(const std::optional<QString> &id);

    // A click on a photo of the grid.
    void selectPhoto(const QString &id, bool append, bool rangeSelect, const QList<QString> &photoOrder);
    void selectPhoto(const QString &id, GridTapModifiers modifiers, const QList<QString> &photoOrder)
    {
        selectPhoto(id, modifiers.append, modifiers.rangeSelect, photoOrder);
    }
    // Selects from the anchor to `target`, both ends included. Without a
    // stored anchor, the earliest selected photo of the order serves (and is
    // not stored). When either end is not in the order, only `target` is
    // selected and becomes the anchor.
    void applyRangeSelection(const QString &target, const QList<QString> &photoOrder);
    // Empties the selection and forgets the anchor; the lightbox stays.
    void clearSelection();
    // Selects every photo of the order (Select All); an anchor that is no
    // photo of it is forgotten. The lightbox stays.
    void selectAll(const QList<QString> &photoOrder);

    void openLightbox(const QString &id);
    // Forgets the page shown, then the requested photo.
    void closeLightbox();
    // Closes the lightbox when the photo it stands on is among `ids`; true if it did.
    bool closeLightboxIfShowingAny(const QSet<QString> &ids);
    // The lightbox page of `id` appeared: it becomes lightboxPhotoID when it
    // is still the requested one.
    void noteLightboxPageAppeared(const QString &id);

    // Moves a single selection by `horizontalDelta` + `verticalDelta` rows of
    // `columnCount` (at least 1) photos, wrapping around at both ends. Does
    // nothing while the lightbox is open. True when the selection moved.
    bool navigateGridSelection(int horizontalDelta, int verticalDelta, const QList<QString> &photoOrder,
                               int columnCount);
    // Steps the open lightbox by `delta` photos, wrapping at both ends. True
    // when it moved to another photo.
    bool navigateLightbox(int delta, const QList<QString> &photoOrder);
    // The photo that Return opens: the anchor when it is selected, else the
    // first selected photo of the order, else any selected photo (the
    // smallest id, so the choice is stable).
    std::optional<QString> preferredLightboxPhotoID(const QList<QString> &photoOrder) const;
    // Forgets deleted photos: drops them from the selection, closes a
    // lightbox that stands on one, and moves an anchor among them to a
    // remaining selected photo (the smallest id), or none.
    void subtractSelection(const QSet<QString> &ids);

Q_SIGNALS:
    void selectedIDsChanged();
    void lightboxNavigationPhotoIDChanged();
    void lightboxPhotoIDChanged();
    void selectionAnchorChanged();

private:
    struct State {
        QSet<QString> selectedIDs;
        std::optional<QString> lightboxNavigationPhotoID;
        std::optional<QString> lightboxPhotoID;
        std::optional<QString> selectionAnchor;
    };

    // Selects exactly `id` and makes it the anchor.
    void selectOnly(const QString &id);
    // Announces every field that differs from `before`.
    void publishChanges(const State &before);

    State m_state;
};

// The keyboard handlers of the gallery, without any widget: each one decides
// what a key press does to the selection store and answers whether the press
// was handled (consumed) or should pass on. Keys are Qt::Key values, as
// QKeyEvent::key() gives them; modifiers are the widget's business.

// Return, Enter and Space in the grid: open the lightbox on the selection.
struct GalleryOpenLightboxKeyboardHandling {
    bool isEnabled = false;
    QList<QString> photoOrder;

    bool handleKeyPress(int key, GallerySelectionStore &selection) const;
};

// Escape in the grid (and the platform's cancel command): clear the selection.
struct GalleryClearSelectionKeyboardHandling {
    bool isEnabled = false;

    bool handleKeyPress(int key, GallerySelectionStore &selection) const;
    bool handleCancelCommand(GallerySelectionStore &selection) const;
};

// The arrow keys in the grid: move a single selection.
struct GalleryArrowSelectionKeyboardHandling {
    bool isEnabled = false;

    // `columnCount` is the grid's column count setting.
    bool handleKeyPress(int key, GallerySelectionStore &selection, const QList<QString> &photoOrder,
                        int columnCount) const;
};

// Left and right in the lightbox: step through the photos.
struct GalleryLightboxArrowKeyboardHandling {
    bool handleKeyPress(int key, GallerySelectionStore &selection, const QList<QString> &photoOrder) const;
};
