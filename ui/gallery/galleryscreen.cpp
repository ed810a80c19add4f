#include "galleryscreen.h"

#include "ui/activity/activitylogpane.h"
#include "ui/kit/decodedimagecache.h"
#include "ui/kit/galleryfilepasteboard.h"
#include "galleryphotogrid.h"
#include "gallerytoolbar.h"
#include "ui/kit/statepanels.h"
#include "ui/kit/painting.h"

#include "ui/kit/chromestate.h"
#include "store/appsession.h"
#include "clock.h"
#include "model/appconfig.h"
#include "store/gallerystore.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

// The first refresh; the loading state ends with it, whatever its outcome.
QCoro::Task<> refreshGallery(QPointer<GalleryStore> store)
{
    co_await store->pullFromServer(PullKind::refresh);
    if (store)
        store->setAwaitingInitialGalleryPull(false);
}

// The accent outline around the content while image files are dragged over
// it. It lets every event through to the content below.
class DropOutline : public QWidget
{
public:
    explicit DropOutline(QWidget *parent)
        : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        hide();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = UiColors::accent();
        fill.setAlphaF(0.06f);
        painter.setBrush(fill);
        painter.setPen(QPen(UiColors::accent(), 3));
        painter.drawRoundedRect(QRectF(rect()).adjusted(4, 4, -4, -4), 12, 12);
    }
};

// Keeps the outline over the whole page stack.
class OutlineFollower : public QObject
{
public:
    OutlineFollower(QWidget *target, QWidget *outline)
        : QObject(outline)
        , m_outline(outline)
    {
        target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Move)
            m_outline->setGeometry(static_cast<QWidget *>(watched)->geometry());
        return false;
    }

private:
    QWidget *m_outline;
};

void openImageFileDialog(QWidget *parent, std::function<void(QStringList)> done)
{
    auto *dialog = new QFileDialog(parent, QCoreApplication::translate("GalleryScreen", "Add Photos"),
        QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setNameFilters({ QCoreApplication::translate("GalleryScreen",
                                 "Images (*.jpg *.jpeg *.png *.heic *.heif *.tif *.tiff *.gif *.webp "
                                 "*.JPG *.JPEG *.PNG *.HEIC *.HEIF *.TIF *.TIFF *.GIF *.WEBP)"),
        QCoreApplication::translate("GalleryScreen", "All files (*)") });
    dialog->setLabelText(QFileDialog::Accept, QCoreApplication::translate("GalleryScreen", "Add"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::filesSelected, dialog, [done](const QStringList &files) {
        if (!files.isEmpty())
            done(files);
    });
    dialog->open();
}

} // namespace

GalleryScreen::GalleryScreen(
    GalleryStore &store, AppSession &session, AppChromeState &chrome, ActivityLogStore &log, QWidget *parent)
    : QWidget(parent)
    , m_store(&store)
    , m_session(&session)
    , m_chrome(&chrome)
    , m_filePicker(openImageFileDialog)
{
    setObjectName(QStringLiteral("galleryScreen"));
    setAcceptDrops(true);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_navigation = new QStackedWidget(this);
    layout->addWidget(m_navigation);
    m_splitter = new QSplitter(Qt::Horizontal, m_navigation);
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setHandleWidth(1);
    m_navigation->addWidget(m_splitter);

    auto *gallery = new QWidget(m_splitter);
    m_galleryColumn = gallery;
    auto *column = new QVBoxLayout(gallery);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_toolbar = new GalleryToolbar(store, chrome, gallery);
    column->addWidget(m_toolbar);
    auto *rule = new QFrame(gallery);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Plain);
    rule->setForegroundRole(QPalette::Mid);
    column->addWidget(rule);

    m_pages = new QStackedWidget(gallery);
    m_loading = new LoadingStatePanel(loadingText, m_pages);
    m_empty = new EmptyStatePanel(QStringLiteral("photo.badge.plus"), emptyTitle, emptyDescription, m_pages);
    m_grid = new GalleryPhotoGrid(store, m_pages);
    m_pages->addWidget(m_loading);
    m_pages->addWidget(m_empty);
    m_pages->addWidget(m_grid);
    column->addWidget(m_pages, 1);
    m_dropOutline = new DropOutline(gallery);
    new OutlineFollower(m_pages, m_dropOutline);

    m_activityPane = new ActivityLogPane(log, chrome, m_splitter);
    m_activityPane->setMinimumWidth(240);
    m_splitter->addWidget(gallery);
    m_splitter->addWidget(m_activityPane);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);
    m_splitter->setSizes({ 900, m_activityPaneWidth });

    connect(m_toolbar, &GalleryToolbar::addPhotosRequested, this, &GalleryScreen::addPhotos);
    connect(m_grid, &GalleryPhotoGrid::fileDropTargetedChanged, this, [this](bool targeted) {
        m_gridDropTargeted = targeted;
        updateDropOutline();
    });
    connect(&store, &GalleryStore::stateChanged, this, &GalleryScreen::updateContent);
    connect(&store, &GalleryStore::stateChanged, this, &GalleryScreen::forgetDecodedImagesOfRemovedPhotos);
    connect(&store, &GalleryStore::isBusyChanged, this, &GalleryScreen::updateContent);
    connect(&store, &GalleryStore::isAwaitingInitialGalleryPullChanged, this, &GalleryScreen::updateContent);
    connect(&chrome, &AppChromeState::showActivityInspectorChanged, this, &GalleryScreen::updateActivityPane);
    connect(&session, &AppSession::isUnlockedChanged, this, [this] {
        // Locking empties the photo cache; its decoded images go with it.
        if (m_session && !m_session->isUnlocked())
            DecodedImageCache::shared().clear();
    });
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, &GalleryScreen::applicationStateChanged);
    m_applicationState = QGuiApplication::applicationState();
    installPhotoActions();
    updateContent();
    updateActivityPane();
}

GalleryScreen::~GalleryScreen() = default;

GalleryScreen::Content GalleryScreen::content() const
{
    if (m_pages->currentWidget() == m_loading)
        return Content::loading;
    if (m_pages->currentWidget() == m_empty)
        return Content::empty;
    return Content::grid;
}

// A photo that left the gallery is not drawn again: its decoded images only
// hold memory until the cache's limit pushes them out, which in a gallery
// whose photos keep changing is never.
void GalleryScreen::forgetDecodedImagesOfRemovedPhotos()
{
    if (!m_store || DecodedImageCache::shared().count() == 0)
        return;
    QSet<QString> stems;
    for (auto it = m_store->state().photos.cbegin(); it != m_store->state().photos.cend(); ++it)
        if (!it->deletedAt)
            stems.insert(AppConfig::cacheFileStem(it.key()));
    const QString folder = QDir(AppConfig::cacheFolder()).path() + QLatin1Char('/');
    static const QRegularExpression thumbnailSuffix(QStringLiteral("_w[0-9]+$"));
    DecodedImageCache::shared().retainFiles([&](const QString &file) {
        if (!file.startsWith(folder) || !file.endsWith(QLatin1String(".jpg")))
            return true;
        QString stem = file.mid(folder.size());
        stem.chop(4);
        return stems.contains(stem) || stems.contains(stem.remove(thumbnailSuffix));
    });
}

void GalleryScreen::updateContent()
{
    if (!m_store)
        return;
    QWidget *page = m_grid;
    if (m_store->isBootstrappingGallery())
        page = m_loading;
    else if (m_store->state().activePhotos().isEmpty())
        page = m_empty;
    if (m_pages->currentWidget() != page)
        m_pages->setCurrentWidget(page);
    // The keyboard starts in the grid once it shows photos.
    if (page == m_grid && m_focusGridWhenShown && isVisible()) {
        m_focusGridWhenShown = false;
        m_grid->setFocus(Qt::OtherFocusReason);
    }
}

void GalleryScreen::updateActivityPane()
{
    const bool show = m_chrome && m_chrome->showActivityInspector();
    if (show == !m_activityPane->isHidden())
        return;
    if (!show && m_activityPane->isVisible())
        m_activityPaneWidth = std::max(m_activityPane->width(), m_activityPane->minimumWidth());
    m_activityPane->setVisible(show);
    if (show)
        makeRoomForActivityPane();
    else
        returnActivityPaneRoom();
}

void GalleryScreen::makeRoomForActivityPane()
{
    QWidget *top = window();
    if (!top->isVisible() || top->isMaximized() || top->isFullScreen() || !top->screen())
        return;
    // The splitter squeezes the pane in at first and gives it back its own
    // width when the window grows, the gallery keeping the rest.
    m_splitter->refresh();
    const int shared = m_galleryColumn->width() + m_activityPane->width();
    const int shortfall = m_toolbar->sizeHint().width() + m_activityPaneWidth - shared;
    if (shortfall <= 0)
        return;
    const QRect available = top->screen()->availableGeometry();
    const QRect frame = top->frameGeometry();
    const QRect inner = top->geometry();
    const int decoration = frame.width() - inner.width();
    const int width = std::min(inner.width() + shortfall, available.width() - decoration);
    const int added = width - inner.width();
    if (added <= 0)
        return;
    // Grow to the right, or move left where the screen ends.
    const int overhang = frame.right() + added - available.right();
    const int x = inner.x() - std::max(0, std::min(overhang, frame.left() - available.left()));
    top->setGeometry(x, inner.y(), width, inner.height());
    m_widthAddedForActivityPane = added;
}

void GalleryScreen::returnActivityPaneRoom()
{
    const int added = std::exchange(m_widthAddedForActivityPane, 0);
    QWidget *top = window();
    if (added <= 0 || !top->isVisible() || top->isMaximized() || top->isFullScreen())
        return;
    top->resize(std::max(top->minimumWidth(), top->width() - added), top->height());
}

void GalleryScreen::setLeadingPane(QWidget *pane)
{
    if (m_leadingPane)
        m_leadingPane->deleteLater();
    m_leadingPane = pane;
    if (pane) {
        m_splitter->insertWidget(0, pane);
        m_splitter->setStretchFactor(0, 0);
    }
    m_toolbar->devicePreviewAction()->setVisible(pane != nullptr);
}

void GalleryScreen::setFilePicker(FilePicker picker)
{
    m_filePicker = std::move(picker);
}

void GalleryScreen::addPhotos()
{
    if (!m_store || m_store->isBusy() || !m_filePicker)
        return;
    const QPointer<GalleryScreen> self(this);
    m_filePicker(this, [self](QStringList files) {
        if (self && !files.isEmpty())
            self->m_grid->handleFileURLDrop(files);
    });
}

// ---- Appearing -----------------------------------------------------------------------

void GalleryScreen::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        startAppearanceTasks();
        updateContent();
    }
}

void GalleryScreen::startAppearanceTasks()
{
    if (!m_store)
        return;
    if (m_store->state().activePhotos().isEmpty())
        m_store->setAwaitingInitialGalleryPull(true);
    m_store->startBackground([](GalleryStore &store) { return refreshGallery(QPointer<GalleryStore>(&store)); });
    m_store->startBackground([](GalleryStore &store) { return store.updateConnectionStatus(false); });
    m_store->startBackground([](GalleryStore &store) { return store.reloadRegisteredFrames(); });
}

void GalleryScreen::applicationStateChanged(Qt::ApplicationState state)
{
    const Qt::ApplicationState previous = std::exchange(m_applicationState, state);
    if (!m_store || state == previous)
        return;
    if (state != Qt::ApplicationActive) {
        if (previous == Qt::ApplicationActive) {
            m_resignedActiveAt = Clock::now();
            m_hasResignedActive = true;
        }
        return;
    }
    // The first activation while the screen appears is covered by the
    // refresh it starts itself.
    if (!m_hasResignedActive)
        return;
    // Back after a while: the server or the frames may have changed state.
    if (m_resignedActiveAt && m_resignedActiveAt->msecsTo(Clock::now()) >= 5000) {
        m_resignedActiveAt.reset();
        m_store->startBackground([](GalleryStore &store) { return store.updateConnectionStatus(false); });
    }
    m_store->startBackground([](GalleryStore &store) { return store.pullFromServer(PullKind::scheduled); });
}

// ---- Drops outside the grid ----------------------------------------------------------

void GalleryScreen::setScreenDropTargeted(bool targeted)
{
    m_screenDropTargeted = targeted;
    updateDropOutline();
}

void GalleryScreen::updateDropOutline()
{
    const bool show = isFileDropTargeted();
    if (show) {
        m_dropOutline->setGeometry(m_pages->geometry());
        m_dropOutline->raise();
    }
    m_dropOutline->setVisible(show);
}

void GalleryScreen::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *mime = event->mimeData();
    // Everything that may carry image files is taken; the store reports a
    // drop without any. Only drops that would upload are outlined.
    const bool uploads = GalleryFilePasteboard::wouldUpload(mime);
    if (!mime || (!uploads && !mime->hasUrls() && !GalleryFilePasteboard::rawImageType(mime))) {
        event->ignore();
        return;
    }
    setScreenDropTargeted(uploads);
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void GalleryScreen::dragMoveEvent(QDragMoveEvent *event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void GalleryScreen::dragLeaveEvent(QDragLeaveEvent *event)
{
    setScreenDropTargeted(false);
    event->accept();
}

void GalleryScreen::dropEvent(QDropEvent *event)
{
    setScreenDropTargeted(false);
    m_grid->handleFileURLDrop(GalleryFilePasteboard::uploadURLs(event->mimeData()));
    event->setDropAction(Qt::CopyAction);
    event->accept();
}
