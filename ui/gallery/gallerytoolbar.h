// The toolbar above the grid: the photo count, the device preview switch,
// the thumbnail size slider and the Add, Sync, Activity and Settings
// buttons. Buttons that start a store operation are disabled while the store
// is busy.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QToolBar>

class AppChromeState;
class GalleryStore;
class QLabel;
class QProgressBar;
class QSlider;
struct TransferProgress;

// The slider of photos per row: 2 columns at its right end, 8 at its left.
class GalleryThumbnailSizeControl : public QWidget
{
    Q_OBJECT
public:
    static constexpr int sliderWidth = 120;

    explicit GalleryThumbnailSizeControl(GalleryStore &store, QWidget *parent = nullptr);

    QSlider *slider() const { return m_slider; }
    static int sliderValue(int columnCount) { return 10 - columnCount; }
    static int columnCount(int sliderValue) { return 10 - sliderValue; }

    // Keeps the column count (within 2 to 8) in the settings and writes the
    // settings file when it changed; a failed write keeps the count in memory.
    static void persistColumnCount(GalleryStore &store, int columns);

private:
    void follow();

    QPointer<GalleryStore> m_store;
    QSlider *m_slider;
};

class GalleryToolbar : public QToolBar
{
    Q_OBJECT
public:
    // The height shared with the header of the activity pane beside it.
    static constexpr int barHeight = 44;

    GalleryToolbar(GalleryStore &store, AppChromeState &chrome, QWidget *parent = nullptr);

    // "Loading photos…" while the first photos are loading, else the count.
    static QString titleText(int activePhotoCount, bool isBootstrapping);
    QString title() const;

    // "Uploading 3 of 12" while an upload batch runs (the file being sent),
    // else "Downloading photos 120 of 500" while a sync downloads photos
    // (those finished); empty when neither runs.
    static QString progressText(const TransferProgress &upload, const TransferProgress &download);
    // The bar and its text beside the Sync button; hidden when no transfer runs.
    QWidget *progressView() const { return m_progress; }
    QProgressBar *progressBar() const { return m_progressBar; }
    QString progressLabel() const;

    QAction *devicePreviewAction() const { return m_devicePreview; }
    QAction *addPhotosAction() const { return m_add; }
    QAction *syncAction() const { return m_sync; }
    QAction *activityAction() const { return m_activity; }
    QAction *settingsAction() const { return m_settings; }
    GalleryThumbnailSizeControl *sizeControl() const { return m_size; }

Q_SIGNALS:
    void addPhotosRequested();

private:
    void updateTitle();
    void updateEnablement();
    void updateChrome();
    void updateSyncIcon();
    void updateProgress();

    QPointer<GalleryStore> m_store;
    QPointer<AppChromeState> m_chrome;
    QLabel *m_title;
    GalleryThumbnailSizeControl *m_size;
    QAction *m_devicePreview;
    QAction *m_add;
    QAction *m_sync;
    QWidget *m_progress;
    QAction *m_progressAction;
    QLabel *m_progressLabel;
    QProgressBar *m_progressBar;
    QAction *m_activity;
    QAction *m_settings;
    QString m_announcedProgress;
    QTimer m_syncSpinner;
    int m_syncSpinnerStep = 0;
};
