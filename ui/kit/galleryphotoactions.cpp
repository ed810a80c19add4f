#include "galleryphotoactions.h"

#include "painting.h"

#include "icons.h"
#include "store/gallerystore.h"

#include <QCoreApplication>
#include <QMenu>
#include <QPointer>

namespace GalleryPhotoActions {

void showForToday(GalleryStore &store, const QString &photoID)
{
    if (!canShowForToday(store, photoID))
        return;
    store.startBackground([photoID](GalleryStore &s) { return s.setAsCurrent(photoID); });
}

void download(GalleryStore &store, const QSet<QString> &photoIDs)
{
    if (store.isBusy() || photoIDs.isEmpty())
        return;
    store.startBackground([photoIDs](GalleryStore &s) { return s.downloadPhotos(photoIDs); });
}

bool canShowForToday(const GalleryStore &store, const QString &photoID)
{
    return !store.isBusy() && store.state().canSetAsCurrent(photoID);
}

bool canDelete(const GalleryStore &store, const QSet<QString> &photoIDs)
{
    return !store.isBusy() && !store.state().deleteBlockReason(photoIDs);
}

} // namespace GalleryPhotoActions

QSet<QString> GalleryPhotoContextMenuItems::actionTargetIDs() const
{
    const QSet<QString> &selected = store.selection().selectedIDs();
    if (selected.contains(photoID))
        return selected;
    return { photoID };
}

bool GalleryPhotoContextMenuItems::canDelete() const
{
    return GalleryPhotoActions::canDelete(store, actionTargetIDs());
}

void GalleryPhotoContextMenuItems::addTo(QMenu &menu) const
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("GalleryPhotoContextMenu", text); };
    const QPointer<GalleryStore> weakStore(&store);
    const QString id = photoID;
    // The targets are taken now: the menu acts on what was right-clicked.
    const QSet<QString> targets = actionTargetIDs();

    QAction *showToday = menu.addAction(AppIcons::icon(QStringLiteral("display")), tr("Show for today"));
    showToday->setObjectName(QStringLiteral("showForTodayAction"));
    QObject::connect(showToday, &QAction::triggered, &menu, [weakStore, id] {
        if (weakStore)
            GalleryPhotoActions::showForToday(*weakStore, id);
    });

    QAction *download = menu.addAction(AppIcons::icon(QStringLiteral("square.and.arrow.down")), tr("Download"));
    download->setObjectName(QStringLiteral("downloadAction"));
    QObject::connect(download, &QAction::triggered, &menu, [weakStore, targets] {
        if (weakStore)
            GalleryPhotoActions::download(*weakStore, targets);
    });

    menu.addSeparator();
    QAction *remove = menu.addAction(
        AppIcons::tintedIcon(QStringLiteral("trash"), UiColors::errorText(menu.palette())), tr("Delete"));
    remove->setObjectName(QStringLiteral("deleteAction"));
    const GalleryDeleteRequestAction request = galleryDeleteRequest;
    QObject::connect(remove, &QAction::triggered, &menu, [weakStore, targets, request] {
        if (weakStore && request && GalleryPhotoActions::canDelete(*weakStore, targets))
            request(targets);
    });

    const auto follow = [weakStore, id, targets, showToday, download, remove] {
        if (!weakStore)
            return;
        showToday->setEnabled(GalleryPhotoActions::canShowForToday(*weakStore, id));
        download->setEnabled(!weakStore->isBusy());
        remove->setEnabled(GalleryPhotoActions::canDelete(*weakStore, targets));
    };
    follow();
    QObject::connect(&store, &GalleryStore::isBusyChanged, &menu, follow);
    QObject::connect(&store, &GalleryStore::stateChanged, &menu, follow);
}
