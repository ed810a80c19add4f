// The photo actions of the gallery that are not the delete flow itself:
// the context menu of a thumbnail ("Show for today", "Download", "Delete")
// and the rules the lightbox and the selection bar share with it. Every
// action starts a store operation that nobody waits for.
#pragma once

#include <QSet>
#include <QString>

#include <functional>

class GalleryStore;
class QMenu;

// Asks for the delete of a set of photos (the delete flow's dialogs follow);
// an empty function makes Delete do nothing.
using GalleryDeleteRequestAction = std::function<void(const QSet<QString> &photoIDs)>;

namespace GalleryPhotoActions {

// Starts "Show for today" for one photo, unless the store is busy or the
// photo cannot become the current one.
void showForToday(GalleryStore &store, const QString &photoID);
// Starts a download of `photoIDs` to the Downloads folder, unless busy.
void download(GalleryStore &store, const QSet<QString> &photoIDs);
bool canShowForToday(const GalleryStore &store, const QString &photoID);
// Not busy, and the gallery may lose `photoIDs`.
bool canDelete(const GalleryStore &store, const QSet<QString> &photoIDs);

} // namespace GalleryPhotoActions

// The items of a thumbnail's context menu.
struct GalleryPhotoContextMenuItems {
    GalleryStore &store;
    GalleryDeleteRequestAction galleryDeleteRequest;
    // The thumbnail's photo.
    QString photoID;

    // The whole selection when it holds the thumbnail's photo, else that photo.
    QSet<QString> actionTargetIDs() const;
    bool canDelete() const;

    // Adds the items to `menu`; their enablement follows the store while the
    // menu is open.
    void addTo(QMenu &menu) const;
};
