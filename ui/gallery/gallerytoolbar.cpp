#include "gallerytoolbar.h"

#include "gallerythumbsizing.h"
#include "ui/kit/painting.h"

#include "ui/kit/accessibility.h"
#include "ui/kit/chromestate.h"
#include "ui/kit/icons.h"
#include "ui/kit/busyspinner.h"
#include "error.h"
#include "model/appconfig.h"
#include "store/gallerystore.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QSlider>

#include <algorithm>

namespace {

QLabel *symbolLabel(const QString &symbolName, int side, QWidget *parent)
{
    auto *label = new QLabel(parent);
    UiColors::onPaletteChange(label, [label, symbolName, side] {
        label->setPixmap(AppIcons::icon(symbolName).pixmap(QSize(side, side), label->devicePixelRatioF()));
    });
    label->setFixedSize(side, side);
    return label;
}

} // namespace

// ---- Thumbnail size ------------------------------------------------------------------

GalleryThumbnailSizeControl::GalleryThumbnailSizeControl(GalleryStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(&store)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 0, 6, 0);
    layout->setSpacing(6);
    layout->addWidget(symbolLabel(QStringLiteral("square.grid.3x3"), 16, this));
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setRange(
        sliderValue(GalleryThumbSizing::maxColumnCount), sliderValue(GalleryThumbSizing::minColumnCount));
    m_slider->setSingleStep(1);
    m_slider->setPageStep(1);
    m_slider->setFixedWidth(sliderWidth);
    // Reached with Tab; a click leaves the keyboard with the grid.
    m_slider->setFocusPolicy(Qt::TabFocus);
    m_slider->setAccessibleName(tr("Photos per row"));
    UiAccessibility::installFocusRing(m_slider);
    layout->addWidget(m_slider);
    layout->addWidget(symbolLabel(QStringLiteral("square.grid.2x2"), 20, this));
    setToolTip(tr("Photos per row"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    follow();
    connect(m_slider, &QSlider::valueChanged, this, [this](int value) {
        if (m_store)
            persistColumnCount(*m_store, columnCount(value));
    });
    connect(&store, &GalleryStore::settingsChanged, this, &GalleryThumbnailSizeControl::follow);
}

void GalleryThumbnailSizeControl::follow()
{
    if (!m_store)
        return;
    const int columns = GalleryThumbSizing::clampedColumnCount(m_store->settings().galleryGridColumnCount);
    const QSignalBlocker quiet(m_slider);
    m_slider->setValue(sliderValue(columns));
    UiAccessibility::setDescription(m_slider, tr("%1 columns").arg(columns));
}

void GalleryThumbnailSizeControl::persistColumnCount(GalleryStore &store, int columns)
{
    const int clamped = GalleryThumbSizing::clampedColumnCount(columns);
    if (clamped == store.settings().galleryGridColumnCount)
        return;
    AppSettings settings = store.settings();
    settings.galleryGridColumnCount = clamped;
    store.setSettings(settings);
    try {
        store.writeSettingsOver();
    } catch (const Error &) {
        // The count stays in memory; the next save of the settings writes it.
    }
}

// ---- Toolbar ----------------------------------------------------------------------------

GalleryToolbar::GalleryToolbar(GalleryStore &store, AppChromeState &chrome, QWidget *parent)
    : QToolBar(parent)
    , m_store(&store)
    , m_chrome(&chrome)
{
    setObjectName(QStringLiteral("galleryToolbar"));
    setMovable(false);
    setFloatable(false);
    setIconSize(QSize(20, 20));
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setContextMenuPolicy(Qt::PreventContextMenu);
    setFixedHeight(barHeight);

    m_devicePreview = addAction(AppIcons::icon(AppChromeState::devicePreviewToggleSymbolName), tr("Device preview"));
    m_devicePreview->setCheckable(true);
    // Shown once the device preview pane is placed beside the gallery.
    m_devicePreview->setVisible(false);
    connect(m_devicePreview, &QAction::toggled, this, [this](bool on) {
        if (m_chrome)
            m_chrome->setShowDevicePreview(on);
    });

    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("galleryTitle"));
    QFont titleFont = m_title->font();
    titleFont.setWeight(QFont::DemiBold);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.15);
    m_title->setFont(titleFont);
    m_title->setContentsMargins(8, 0, 8, 0);
    addWidget(m_title);

    auto *spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    addWidget(spacer);

    m_size = new GalleryThumbnailSizeControl(store, this);
    addWidget(m_size);
    addSeparator();

    m_add = addAction(AppIcons::icon(QStringLiteral("plus")), tr("Add"));
    m_add->setToolTip(tr("Add photos"));
    connect(m_add, &QAction::triggered, this, &GalleryToolbar::addPhotosRequested);

    // A transfer the user waits for shows how far it has come where the
    // sync spinner would turn.
    m_progress = new QWidget(this);
    m_progress->setObjectName(QStringLiteral("transferProgress"));
    auto *progressLayout = new QHBoxLayout(m_progress);
    progressLayout->setContentsMargins(4, 0, 4, 0);
    progressLayout->setSpacing(6);
    m_progressLabel = new QLabel(m_progress);
    m_progressBar = new QProgressBar(m_progress);
    m_progressBar->setTextVisible(false);
    // Narrow: beside the title and the size slider it must still fit a
    // window next to the device preview.
    m_progressBar->setFixedWidth(64);
    m_progressBar->setMaximumHeight(8);
    m_progressBar->setAccessibleName(tr("Transfer progress"));
    progressLayout->addWidget(m_progressLabel);
    progressLayout->addWidget(m_progressBar);
    m_progressAction = addWidget(m_progress);
    m_progressAction->setVisible(false);

    m_sync = addAction(AppIcons::icon(QStringLiteral("arrow.clockwise")), tr("Sync"));
    m_sync->setToolTip(tr("Sync with the server"));
    connect(m_sync, &QAction::triggered, this, [this] {
        if (m_store)
            m_store->startBackground([](GalleryStore &s) { return s.pullFromServer(PullKind::sync); });
    });
    m_syncSpinner.setInterval(BusySpinner::stepMilliseconds);
    connect(&m_syncSpinner, &QTimer::timeout, this, [this] {
        m_syncSpinnerStep = (m_syncSpinnerStep + 1) % BusySpinner::stepCount;
        updateSyncIcon();
    });

    m_activity = addAction(AppIcons::icon(AppChromeState::activityInspectorSymbolName), tr("Activity"));
    m_activity->setCheckable(true);
    connect(m_activity, &QAction::toggled, this, [this](bool on) {
        if (m_chrome)
            m_chrome->setShowActivityInspector(on);
    });

    m_settings = addAction(AppIcons::icon(QStringLiteral("gearshape")), tr("Settings"));
    m_settings->setCheckable(true);
    // Shown once the settings popover hangs from it.
    m_settings->setVisible(false);

    connect(&store, &GalleryStore::stateChanged, this, &GalleryToolbar::updateTitle);
    connect(&store, &GalleryStore::isBusyChanged, this, &GalleryToolbar::updateTitle);
    connect(&store, &GalleryStore::isAwaitingInitialGalleryPullChanged, this, &GalleryToolbar::updateTitle);
    connect(&store, &GalleryStore::isBusyChanged, this, &GalleryToolbar::updateEnablement);
    connect(&store, &GalleryStore::isSyncingChanged, this, &GalleryToolbar::updateEnablement);
    connect(&store, &GalleryStore::uploadProgressChanged, this, &GalleryToolbar::updateProgress);
    connect(&store, &GalleryStore::photoDownloadProgressChanged, this, &GalleryToolbar::updateProgress);
    connect(&chrome, &AppChromeState::showActivityInspectorChanged, this, &GalleryToolbar::updateChrome);
    connect(&chrome, &AppChromeState::showDevicePreviewChanged, this, &GalleryToolbar::updateChrome);
    // The toolbar's buttons take the keyboard focus from Tab (not from
    // clicks, which leave it with the grid) and show when they hold it.
    for (QAction *action : { m_devicePreview, m_add, m_sync, m_activity, m_settings }) {
        if (QWidget *button = widgetForAction(action)) {
            button->setFocusPolicy(Qt::TabFocus);
            UiAccessibility::installFocusRing(button);
        }
    }
    updateTitle();
    updateEnablement();
    updateProgress();
    updateChrome();
}

QString GalleryToolbar::progressText(const TransferProgress &upload, const TransferProgress &download)
{
    if (upload.isRunning())
        return tr("Uploading %1 of %2").arg(std::min(upload.done + 1, upload.total)).arg(upload.total);
    if (download.isRunning())
        return tr("Downloading photos %1 of %2").arg(download.done).arg(download.total);
    return QString();
}

QString GalleryToolbar::progressLabel() const
{
    return m_progressAction->isVisible() ? m_progressLabel->text() : QString();
}

void GalleryToolbar::updateProgress()
{
    if (!m_store)
        return;
    const TransferProgress &upload = m_store->uploadProgress();
    const TransferProgress &download = m_store->photoDownloadProgress();
    const TransferProgress &shown = upload.isRunning() ? upload : download;
    const QString text = progressText(upload, download);
    m_progressAction->setVisible(!text.isEmpty());
    m_progressLabel->setText(text);
    m_progressBar->setRange(0, std::max(shown.total, 1));
    m_progressBar->setValue(std::min(shown.done, shown.total));
    // What the label says is what a screen reader says, as it changes.
    if (!text.isEmpty())
        UiAccessibility::setDescription(m_progressBar, text);
    if (!text.isEmpty() && m_announcedProgress != text) {
        QAccessibleValueChangeEvent event(m_progressBar, text);
        UiAccessibility::post(event);
    }
    m_announcedProgress = text;
    // The bar says it all; the spinner would only repeat it.
    updateSyncIcon();
}

QString GalleryToolbar::titleText(int activePhotoCount, bool isBootstrapping)
{
    if (isBootstrapping && activePhotoCount == 0)
        return tr("Loading photos\u2026");
    if (activePhotoCount == 1)
        return QStringLiteral("1 photo");
    return QString::number(activePhotoCount) + QStringLiteral(" photos");
}

QString GalleryToolbar::title() const
{
    return m_title->text();
}

void GalleryToolbar::updateTitle()
{
    if (!m_store)
        return;
    m_title->setText(titleText(int(m_store->state().activePhotos().size()), m_store->isBootstrappingGallery()));
}

void GalleryToolbar::updateEnablement()
{
    if (!m_store)
        return;
    const bool busy = m_store->isBusy();
    m_add->setEnabled(!busy);
    m_sync->setEnabled(!busy && !m_store->isSyncing());
    if (m_store->isSyncing() && !m_syncSpinner.isActive())
        m_syncSpinner.start();
    else if (!m_store->isSyncing())
        m_syncSpinner.stop();
    updateSyncIcon();
}

void GalleryToolbar::updateSyncIcon()
{
    const bool transferShown = m_progressAction->isVisible();
    if (!m_store || !m_store->isSyncing() || transferShown) {
        m_sync->setIcon(AppIcons::icon(QStringLiteral("arrow.clockwise")));
        return;
    }
    const QPixmap frame = BusySpinner::frame(
        iconSize().width(), devicePixelRatioF(), palette().color(QPalette::WindowText), m_syncSpinnerStep);
    QIcon icon;
    // The spinner stands in for the symbol whether the button is enabled or not.
    icon.addPixmap(frame, QIcon::Normal);
    icon.addPixmap(frame, QIcon::Disabled);
    m_sync->setIcon(icon);
}

void GalleryToolbar::updateChrome()
{
    if (!m_chrome)
        return;
    const bool activity = m_chrome->showActivityInspector();
    {
        const QSignalBlocker quiet(m_activity);
        m_activity->setChecked(activity);
    }
    m_activity->setToolTip(activity ? tr("Hide activity log") : tr("Show activity log"));
    const bool preview = m_chrome->showDevicePreview();
    {
        const QSignalBlocker quiet(m_devicePreview);
        m_devicePreview->setChecked(preview);
    }
    m_devicePreview->setToolTip(preview ? tr("Hide device preview") : tr("Show device preview"));
    if (auto *button = qobject_cast<QAbstractButton *>(widgetForAction(m_devicePreview)))
        UiAccessibility::setValueText(button, preview ? tr("Shown") : tr("Hidden"));
}
