// GalleryScreen: the lightbox page and the photo actions (context menu,
// selection bar, delete flow). Kept apart from the screen's layout and
// drops in galleryscreen.cpp.

#include "galleryscreen.h"

#include "gallerydeletehandling.h"
#include "ui/kit/galleryphotoactions.h"
#include "galleryphotogrid.h"
#include "galleryselectionbar.h"
#include "ui/lightbox/photolightboxview.h"

#include "store/gallerystore.h"

#include <QMenu>
#include <QSplitter>
#include <QStackedWidget>

void GalleryScreen::installPhotoActions()
{
    GalleryStore &store = *m_store;
    m_deleteHandling = new GalleryDeleteHandling(store, this);
    // The Delete key acts on the grid's selection, and only while the grid
    // takes keys (no lightbox, no settings popover).
    m_deleteHandling->setKeyboardPhotoIDs([this]() -> QSet<QString> {
        if (!m_store || !m_grid->isKeyboardHandlingEnabled())
            return {};
        return m_store->selection().selectedIDs();
    });
    const QPointer<GalleryDeleteHandling> handling(m_deleteHandling);
    const GalleryDeleteRequestAction request = [handling](const QSet<QString> &ids) {
        if (handling)
            handling->requestDelete(ids);
    };

    m_grid->setContextMenuProvider([this, request](QMenu &menu, const QString &photoID) {
        if (m_store)
            GalleryPhotoContextMenuItems { *m_store, request, photoID }.addTo(menu);
    });
    m_grid->setDeleteKeyHandler([handling] { return handling && handling->triggerDeleteFromKeyboard(); });

    m_selectionBar = new GallerySelectionBar(store, m_grid);
    m_selectionBar->setDeleteRequest(request);

    m_lightbox = new PhotoLightboxView(store, m_navigation);
    m_lightbox->setDeleteRequest(request);
    m_navigation->addWidget(m_lightbox);

    connect(&store.selection(), &GallerySelectionStore::lightboxNavigationPhotoIDChanged, this, [this] {
        if (m_store)
            syncNavigationPath(m_store->selection().lightboxNavigationPhotoID());
    });
    syncNavigationPath(store.selection().lightboxNavigationPhotoID());
}

bool GalleryScreen::isLightboxPageShown() const
{
    return m_navigation->currentWidget() == m_lightbox;
}

void GalleryScreen::syncNavigationPath(const std::optional<QString> &photoID)
{
    if (photoID) {
        m_navigationPath = photoID;
        m_lightbox->setPhotoID(*photoID);
        m_navigation->setCurrentWidget(m_lightbox);
        return;
    }
    if (!m_navigationPath)
        return;
    m_navigationPath.reset();
    m_navigation->setCurrentWidget(m_splitter);
    m_grid->syncGridKeyboardFocus();
}
