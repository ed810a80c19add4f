// The screen of an open gallery: the photo grid with its toolbar, and the
// activity log pane beside it. It reads the store's published state and
// starts its operations; it never talks to the server or the files.
//
// When it appears it refreshes the gallery from the server, checks the
// connection and reloads the frame list; while the first refresh of an
// empty gallery runs it shows a loading state rather than the empty one.
// Image files dropped anywhere on it are uploaded. When the application
// becomes active again it asks for a scheduled pull, and checks the
// connection too after an absence of five seconds or more.
//
// The lightbox is a page pushed over the whole screen while the selection
// store names a lightbox photo; the selection store stays the source of
// truth. The screen also carries the photo actions: the thumbnails' context
// menu, the selection bar and the delete flow shared with the lightbox.
#pragma once

#include <QDateTime>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class ActivityLogPane;
class ActivityLogStore;
class AppChromeState;
class AppSession;
class EmptyStatePanel;
class GalleryDeleteHandling;
class GalleryPhotoGrid;
class GallerySelectionBar;
class GalleryStore;
class GalleryToolbar;
class LoadingStatePanel;
class PhotoLightboxView;
class QSplitter;
class QStackedWidget;

class GalleryScreen : public QWidget
{
    Q_OBJECT
public:
    enum class Content { loading, empty, grid };

    // Asks the user for image files and hands the chosen paths to `done`
    // (not called when the user cancels).
    using FilePicker = std::function<void(QWidget *parent, std::function<void(QStringList)> done)>;

    inline static const QString loadingText = QStringLiteral("Loading photos from server\u2026");
    inline static const QString emptyTitle = QStringLiteral("Drop photos to upload");
    inline static const QString emptyDescription
        = QStringLiteral("JPEG images from your file manager, or use Add in the toolbar.");

    GalleryScreen(GalleryStore &store, AppSession &session, AppChromeState &chrome, ActivityLogStore &log,
        QWidget *parent = nullptr);
    ~GalleryScreen() override;

    Content content() const;
    GalleryPhotoGrid *grid() const { return m_grid; }
    GalleryToolbar *toolbar() const { return m_toolbar; }
    ActivityLogPane *activityPane() const { return m_activityPane; }
    EmptyStatePanel *emptyState() const { return m_empty; }
    LoadingStatePanel *loadingState() const { return m_loading; }
    bool isFileDropTargeted() const { return m_screenDropTargeted || m_gridDropTargeted; }
    // The splitter of the panes: the leading pane, the gallery, the activity log.
    QSplitter *splitter() const { return m_splitter; }

    // ---- The lightbox and the photo actions ------------------------------
    PhotoLightboxView *lightbox() const { return m_lightbox; }
    GallerySelectionBar *selectionBar() const { return m_selectionBar; }
    GalleryDeleteHandling *deleteHandling() const { return m_deleteHandling; }
    // The photo of the pushed lightbox page; none while the gallery shows.
    const std::optional<QString> &navigationPath() const { return m_navigationPath; }
    bool isLightboxPageShown() const;

    // Places a pane (the device preview) on the left of the gallery.
    void setLeadingPane(QWidget *pane);
    // The file dialog of the Add button; tests replace it.
    void setFilePicker(FilePicker picker);
    // Add: the file dialog, then an upload of the chosen files.
    void addPhotos();

    // Follows the application's state (connected to QGuiApplication's).
    void applicationStateChanged(Qt::ApplicationState state);

protected:
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void startAppearanceTasks();
    void updateContent();
    void forgetDecodedImagesOfRemovedPhotos();
    void updateActivityPane();
    // Widens the window, within its screen, when the activity pane would
    // leave the gallery narrower than its toolbar; hiding the pane gives the
    // width back.
    void makeRoomForActivityPane();
    void returnActivityPaneRoom();
    void updateDropOutline();
    void setScreenDropTargeted(bool targeted);
    void installPhotoActions();
    // Pushes the lightbox page for `photoID`, or pops it for none.
    void syncNavigationPath(const std::optional<QString> &photoID);

    QPointer<GalleryStore> m_store;
    QPointer<AppSession> m_session;
    QPointer<AppChromeState> m_chrome;
    QStackedWidget *m_navigation;
    QSplitter *m_splitter;
    QWidget *m_leadingPane = nullptr;
    QWidget *m_galleryColumn;
    GalleryToolbar *m_toolbar;
    QStackedWidget *m_pages;
    LoadingStatePanel *m_loading;
    EmptyStatePanel *m_empty;
    GalleryPhotoGrid *m_grid;
    QWidget *m_dropOutline;
    ActivityLogPane *m_activityPane;
    PhotoLightboxView *m_lightbox = nullptr;
    GallerySelectionBar *m_selectionBar = nullptr;
    GalleryDeleteHandling *m_deleteHandling = nullptr;
    std::optional<QString> m_navigationPath;
    FilePicker m_filePicker;
    Qt::ApplicationState m_applicationState = Qt::ApplicationActive;
    std::optional<QDateTime> m_resignedActiveAt;
    bool m_hasResignedActive = false;
    bool m_focusGridWhenShown = true;
    bool m_screenDropTargeted = false;
    bool m_gridDropTargeted = false;
    // The activity pane's width when it was last shown, and how much the
    // window was widened for it.
    int m_activityPaneWidth = 330;
    int m_widthAddedForActivityPane = 0;
};
