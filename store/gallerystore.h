// The one observable store behind every front-end: the settings, the gallery
// manifest as last adopted, the link statuses of the server and the frames,
// the registered frames and the busy flags. Everything lives on the main
// thread; network work runs as coroutines that resume there.
//
// Every observed field is a property whose change signal is emitted on every
// assignment. Operations that a front-end starts are coroutines it may await
// or leave running; tasks the store starts on its own (connection checks,
// the uploader rename, the periodic pull loop) hold it weakly and stop once
// it is gone.
//
// Operations overlap at their waits. Two rules keep that sound:
//   - Session generations. Locking (signing out, or a 401) ends the
//     generation: its requests are aborted, and every operation that began
//     in it stops at its next resumption without adopting, saving, caching or
//     logging anything, and without touching the busy flags (the lock has
//     lowered them).
//   - Single flight. A pull asked for while one runs joins it (a sync asked
//     for during a refresh waits for it and then runs); a connection check
//     joins the running one; the uploader rename runs once at a time.
#pragma once

#include "appsession.h"
#include "galleryselectionstore.h"
#include "linkstatus.h"
#include "periodictask.h"

#include "log/activitylogstore.h"
#include "log/currentphotoactivity.h"
#include "model/appsettings.h"
#include "model/gallerystate.h"
#include "rules/rotationschedule.h"
#include "server/devicerecords.h"
#include "server/syncclient.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QString>

#include <qcoro/qcorotask.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

class UploadPipeline;

enum class PullKind { refresh, sync, scheduled };

// How far a batch the user waits for has come: `done` of `total` items
// finished. No batch runs while `total` is 0.
struct TransferProgress {
    int done = 0;
    int total = 0;

    bool isRunning() const { return total > 0; }
    bool operator==(const TransferProgress &) const = default;
};

// Pulls are submitted through this executor. It keeps no state and is not
// held across a pull's waits, so pulls and mutations may interleave at their
// requests; the optimistic-concurrency retry keeps them consistent.
class GalleryMutationSerial
{
public:
    QCoro::Task<> submit(std::function<QCoro::Task<>()> body) { co_await body(); }
};

class GalleryStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(AppSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)
    Q_PROPERTY(GalleryState state READ state NOTIFY stateChanged)
    Q_PROPERTY(LinkStatus serverLinkStatus READ serverLinkStatus NOTIFY serverLinkStatusChanged)
    Q_PROPERTY(LinkStatus deviceLinkStatus READ deviceLinkStatus NOTIFY deviceLinkStatusChanged)
    Q_PROPERTY(bool isCheckingConnection READ isCheckingConnection NOTIFY isCheckingConnectionChanged)
    Q_PROPERTY(QList<RegisteredDevicePublic> registeredFrames READ registeredFrames NOTIFY registeredFramesChanged)
    // What the server last reported of each frame (reachable, last push and
    // its error); replaced by every frame status update that got an answer.
    Q_PROPERTY(QList<DeviceLiveStatus> frameStatuses READ frameStatuses NOTIFY frameStatusesChanged)
    Q_PROPERTY(double deviceScreenAspectRatio READ deviceScreenAspectRatio NOTIFY deviceScreenAspectRatioChanged)
    Q_PROPERTY(bool deviceScreenIsLandscape READ deviceScreenIsLandscape NOTIFY deviceScreenIsLandscapeChanged)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)
    Q_PROPERTY(bool isSyncing READ isSyncing NOTIFY isSyncingChanged)
    // Files of the upload batch sent so far, of the batch's files.
    Q_PROPERTY(TransferProgress uploadProgress READ uploadProgress NOTIFY uploadProgressChanged)
    // Full-size photos a sync (or the last upload) has downloaded or given
    // up on, of those the cache lacked.
    Q_PROPERTY(TransferProgress photoDownloadProgress READ photoDownloadProgress NOTIFY photoDownloadProgressChanged)
    Q_PROPERTY(bool isAwaitingInitialGalleryPull READ isAwaitingInitialGalleryPull WRITE
                   setAwaitingInitialGalleryPull NOTIFY isAwaitingInitialGalleryPullChanged)

public:
    // What the store asks of the platform, replaceable in tests.
    struct Environment {
        // Whether the application is the active one of the desktop; scheduled
        // pulls are skipped while it is not.
        std::function<bool()> isApplicationActive = [] { return true; };
        // The pause of the periodic pull loop.
        PauseFunction pause = timerPause;
        std::chrono::milliseconds periodicPullInterval = GalleryStore::periodicPullInterval;
        // The user's Downloads folder; none when there is none.
        std::function<std::optional<QString>()> downloadsFolder;
    };

    static constexpr std::chrono::seconds periodicPullInterval{1800};
    static constexpr qint64 pullBackoffCapSeconds = 300;
    static constexpr qint64 serverStatusGraceSeconds = 600;

    // Loads the settings and the local state; starts nothing and sends nothing.
    explicit GalleryStore(QObject *parent = nullptr);
    explicit GalleryStore(Environment environment, QObject *parent = nullptr);
    ~GalleryStore() override;

    // ---- Observed state -------------------------------------------------
    const AppSettings &settings() const { return m_settings; }
    void setSettings(const AppSettings &settings);
    const GalleryState &state() const { return m_state; }
    LinkStatus serverLinkStatus() const { return m_serverLinkStatus; }
    LinkStatus deviceLinkStatus() const { return m_deviceLinkStatus; }
    bool isCheckingConnection() const { return m_isCheckingConnection; }
    const QList<RegisteredDevicePublic> &registeredFrames() const { return m_registeredFrames; }
    const QList<DeviceLiveStatus> &frameStatuses() const { return m_frameStatuses; }
    double deviceScreenAspectRatio() const { return m_deviceScreenAspectRatio; }
    bool deviceScreenIsLandscape() const { return m_deviceScreenIsLandscape; }
    // The frame's screen in pixels, turned as the frame stands: the sides
    // the first reachable frame last reported (1200 x 1600 until one has),
    // in its orientation. The size a photo is rendered at for the panel.
    QSize deviceScreenSize() const;
    bool isBusy() const { return m_isBusy; }
    bool isSyncing() const { return m_isSyncing; }
    bool isAwaitingInitialGalleryPull() const { return m_isAwaitingInitialGalleryPull; }
    const TransferProgress &uploadProgress() const { return m_uploadProgress; }
    const TransferProgress &photoDownloadProgress() const { return m_photoDownloadProgress; }
    void setAwaitingInitialGalleryPull(bool awaiting);

    GallerySelectionStore &selection() { return m_selection; }

    // Whether the application is the active one of the desktop, as the
    // environment tells.
    bool isApplicationActive() const { return m_environment.isApplicationActive(); }

    // The session; the store holds it weakly and does nothing with it once gone.
    AppSession *session() const { return m_session; }
    void setSession(AppSession *session) { m_session = session; }

    // ---- Derived values ---------------------------------------------------
    bool isBootstrappingGallery() const;
    std::optional<GalleryRotationPlan> rotationPlan() const;
    QString devicePreviewCaption(const PhotoEntry &photo) const;
    std::optional<QString> showingTag(const QString &photoID) const;
    // The same tag from a plan worked out once (rotationPlan()) for many
    // photos: the plan covers the whole gallery, so working it out again for
    // every photo of a long list costs time in the square of its length.
    std::optional<QString> showingTag(const QString &photoID, const std::optional<GalleryRotationPlan> &plan) const;
    std::optional<QString> lightboxShowingUntilCaption(const PhotoEntry &photo) const;

    // ---- Settings ---------------------------------------------------------
    // Saves the settings; a changed display name is sent to the server as a
    // rename of the uploader. A rename the server has not accepted yet stays
    // owed (AppSettings::uploaderNameOnServer) until it does.
    // False when the settings file could not be written (logged); the
    // settings in memory are changed all the same.
    bool saveSettings();
    // Sends the owed rename, if any, while unlocked; one at a time, from the
    // name the server last accepted to the newest.
    void settleOwedUploaderRename();
    // False when the change could not be saved (logged).
    bool setDebugMode(bool on);
    bool setDebugAdvanceIntervalSeconds(int seconds);
    // How the device preview and the lightbox show photos; false when it
    // could not be saved (logged), the choice holding for this run.
    bool setPreviewAppearance(PreviewAppearance appearance);
    // Whether the desktop is told when long work ends while the window is
    // not active; false when it could not be saved (logged).
    bool setNotifyWhenLongWorkEnds(bool notify);
    void clearLockedGalleryData();
    // Writes the changes made to `settings` since they were last read or
    // written over the file as it is now (other programs share it), and
    // takes what the file then holds. Throws PlatformError.
    void writeSettingsOver();
    // Reads the settings file again (with its corrections), dropping
    // unsaved changes.
    void reloadSettings();

    // ---- Other programs on the same folder ----------------------------
    // The desktop app follows what the command-line client writes: from
    // here on, a change of config.json or local-gallery.json made by
    // another program is taken up (see adoptFilesChangedElsewhere).
    void watchDataFolder();
    // Takes up the settings and the manifest as the files hold them, where
    // another program changed them: settings that this program has not
    // changed itself, a newer manifest. A session token that disappeared
    // locks an open session (as a 401 would); one that appeared unlocks a
    // locked session once the server accepts it (as start-up would).
    void adoptFilesChangedElsewhere();

    // ---- Session generations --------------------------------------------
    // Ends with every lock (clearLockedGalleryData).
    quint64 sessionGeneration() const { return m_sessionGeneration; }

    // Held by an operation across its waits: true while the store exists and
    // the session generation the operation began in has not ended.
    class Live
    {
    public:
        explicit Live(const GalleryStore *store) : m_store(store), m_generation(store->m_sessionGeneration) {}
        explicit operator bool() const { return m_store && m_store->m_sessionGeneration == m_generation; }

    private:
        QPointer<const GalleryStore> m_store;
        quint64 m_generation;
    };

    // ---- Pulls ------------------------------------------------------------
    // A refresh or scheduled pull asked for while any pull runs joins it; a
    // sync joins a running sync, and waits for a running refresh or
    // scheduled pull to end before it runs.
    QCoro::Task<> pullFromServer(PullKind kind);
    QCoro::Task<> syncAll() { return pullFromServer(PullKind::sync); }
    void startPeriodicPullWhileUnlocked();
    void cancelPeriodicPull();
    bool isPeriodicPullRunning() const { return m_periodicPull && !m_periodicPull->isCancelled(); }

    static bool isTransientServerConnectionError(const std::exception_ptr &error);
    static bool isCancellation(const std::exception_ptr &error);

    // ---- Mutations --------------------------------------------------------
    // File paths; the front-end resolves drops and the file dialog to paths.
    QCoro::Task<> uploadFiles(QList<QString> paths);
    QCoro::Task<> deletePhotos(QSet<QString> ids);
    QCoro::Task<> applyOrder(QList<QString> order);
    QCoro::Task<> setAsCurrent(QString photoID);

    // ---- Frames and connection status ----------------------------------
    // A check asked for while one runs joins it.
    QCoro::Task<> updateConnectionStatus(bool showCheckingUI);
    QCoro::Task<> updateDeviceStatus(std::optional<SyncClient> client = std::nullopt);
    QCoro::Task<> reloadRegisteredFrames();
    // Throws the server client's error.
    // The frame as the server answered (also when that equals a frame
    // already listed).
    QCoro::Task<RegisteredDevicePublic> registerFrame(QString setupText);
    QCoro::Task<> unregisterFrame(QString id);

    // ---- Cache and downloads ---------------------------------------------
    // Aborting `cancel` (a screen no longer shows the photo) ends the
    // download quietly; a lock ends it too.
    QCoro::Task<> ensureThumbnailCached(QString photoID, int width, std::shared_ptr<RequestGroup> cancel = nullptr);
    QCoro::Task<> ensurePhotoCached(QString photoID, std::shared_ptr<RequestGroup> cancel = nullptr);
    QCoro::Task<> downloadPhotos(QSet<QString> ids);
    // The photo's file name made fit for a file on disk: its last path
    // component, no control or direction-override characters, a stem of at
    // most 200 bytes, and ".jpg" (or the ".jpeg" it had).
    static QString downloadFilename(const PhotoEntry &photo);
    // The first free name: "name.ext", "name (1).ext", "name (2).ext", …;
    // none when maxFreeNameTries names are all taken.
    static std::optional<QString> uniqueFileURL(const QString &folder, const QString &filename);
    static constexpr int maxFreeNameTries = 1000;

    // ---- Bookkeeping, read by tests and the command-line client ---------
    const std::optional<QDateTime> &lastServerOK() const { return m_lastServerOK; }
    void setLastServerOK(std::optional<QDateTime> time) { m_lastServerOK = std::move(time); }
    void setServerLinkStatus(LinkStatus status);
    // The server is down and its last contact forgotten (no grace period).
    void markServerDown();
    const std::optional<QDateTime> &pullRetryNotBefore() const { return m_pullRetryNotBefore; }
    qint64 pullFailureStreak() const { return m_pullFailureStreak; }
    // Waits for the tasks the store started on its own (connection checks,
    // frame status, catch-up pulls, the uploader rename) to end.
    QCoro::Task<> waitForBackgroundTasks();
    // Starts a task that nobody waits for; it is counted until it ends, and
    // it is not started once the store is gone.
    void startBackground(std::function<QCoro::Task<>(GalleryStore &)> work);
    int backgroundTaskCount() const { return m_backgroundTasks; }

Q_SIGNALS:
    void settingsChanged();
    void stateChanged();
    void serverLinkStatusChanged();
    void deviceLinkStatusChanged();
    void isCheckingConnectionChanged();
    void registeredFramesChanged();
    void frameStatusesChanged();
    void deviceScreenAspectRatioChanged();
    void deviceScreenIsLandscapeChanged();
    void deviceScreenSizeChanged();
    void isBusyChanged();
    void isSyncingChanged();
    void isAwaitingInitialGalleryPullChanged();
    void uploadProgressChanged();
    void photoDownloadProgressChanged();
    void backgroundTasksFinished();
    // After adoptFilesChangedElsewhere() has taken up what it found.
    void filesChangedElsewhereAdopted();
    // Bookkeeping of the single-flight work, for those who join it.
    void pullEnded();
    void connectionCheckEnded();

private:
    // g++ 12 destroys an aggregate temporary (a lambda, a brace-initialised
    // struct) inside a co_await expression twice. Bodies and calls are
    // therefore always named before they are awaited.
    using Body = std::function<QCoro::Task<>()>;
    using GalleryCall = std::function<QCoro::Task<GalleryResponse>(QString baseUpdatedAt)>;

    // Sets one setting and saves the settings; a value it already has saves
    // nothing. False when the save failed.
    template <typename T>
    bool changeSetting(T AppSettings::*field, const T &value);
    // A server address file the administrator got wrong, in the log (and so
    // on standard error).
    void reportRefusedMachineServerAddress();

    // Setters of the observed fields: each assignment is announced.
    void setState(GalleryState state);
    void setDeviceLinkStatus(LinkStatus status);
    void setCheckingConnection(bool checking);
    void setRegisteredFrames(QList<RegisteredDevicePublic> frames);
    void setDeviceScreenAspectRatio(double ratio);
    void setDeviceScreenIsLandscape(bool landscape);
    void setBusy(bool busy);
    void setSyncing(bool syncing);
    void setUploadProgress(TransferProgress progress);
    void setPhotoDownloadProgress(TransferProgress progress);
    // isBusy is true while any user-visible operation runs.
    void beginBusy();
    void endBusy();
    // The lock: aborts the requests of the generation, starts a new one and
    // lowers every flag its operations raised.
    void endSessionGeneration();

    bool isSessionUnlocked() const;
    SyncClient makeClient() const;
    // Adopts a manifest (current photo resolved) and saves it; throws the
    // save error. The manifest is encoded on the worker thread; should the
    // state change meanwhile, the file gets the newer state, so saves never
    // land out of order.
    QCoro::Task<> adoptAndSave(GalleryState state);

    QCoro::Task<> run(QString label, LogCategory category, Body body);
    struct MutationHooks {
        // Sees each accepted answer before it is adopted.
        std::function<QCoro::Task<>(const GalleryState &)> beforeCommit;
        // Sees the manifest of each stale answer once it is adopted.
        std::function<void(const GalleryState &)> afterStaleAdopted;
    };
    QCoro::Task<> mutateGallery(SyncClient client, bool downloadMissing, GalleryCall call, MutationHooks hooks = {});
    QCoro::Task<> commit(GalleryResponse response, std::optional<SyncClient> client, bool downloadMissing);
    void handleWrappedFailure(const std::exception_ptr &error);
    // HTTP 401: the session is locked. True when that was the error.
    bool lockIfUnauthorized(const std::exception_ptr &error);
    // An unreachable server is shown down (no grace period). True when it was.
    bool markDownIfUnreachable(const std::exception_ptr &error);

    QCoro::Task<> executePullFromServer(PullKind kind);
    // Waits until the pull numbered `id` is no longer the running one.
    QCoro::Task<> waitForPullToEnd(quint64 id);
    QCoro::Task<> runConnectionCheck(bool showCheckingUI);
    QCoro::Task<> runOwedUploaderRename();
    // Saves the settings; false (and logged) when that failed.
    bool writeSettings();
    void applyCurrentPhoto(const CurrentPhotoResponse &answer);
    void logPulledCurrentPhotoChange(const std::optional<CurrentPhotoPullDelta> &delta);
    void markServerUnreachableAfterSyncFailure(const std::exception_ptr &error);
    static QCoro::Task<> periodicPullLoop(QPointer<GalleryStore> store, std::shared_ptr<CancellationFlag> flag,
                                          PauseFunction pause, std::chrono::milliseconds interval);

    // True once the server has taken the file.
    // The file comes converted from `pipeline`, where it is the one at `index`.
    QCoro::Task<bool> uploadOne(SyncClient client, QString path, bool isLast, std::shared_ptr<UploadPipeline> pipeline,
                                qsizetype index);
    QCoro::Task<> cacheUploadedBytes(GalleryState answer, QSet<QString> before, QString filename, QByteArray jpeg,
                                     std::shared_ptr<QSet<QString>> cached);
    QCoro::Task<> propagateDisplayNameChange(QString from, QString to);

    void applyServerStatus(bool pingSucceeded);
    void applyDeviceScreenGeometry(const DeviceLiveStatus &status);
    void applyDeviceScreenGeometryIfReachable(const QList<DeviceLiveStatus> &statuses);
    void upsertRegisteredFrame(const RegisteredDevicePublic &frame);

    QCoro::Task<> ensureCached(QString photoID, std::optional<int> width, std::shared_ptr<RequestGroup> cancel);
    QCoro::Task<> writeFullSizeJPEGDownload(PhotoEntry photo);
    // Ids of `ids` in manifest order, then the rest sorted.
    QList<QString> orderedIds(const QSet<QString> &ids) const;

    Environment m_environment;
    QPointer<AppSession> m_session;
    GallerySelectionStore m_selection;
    AppSettings m_settings;
    // The settings as this program last read or wrote the file: what
    // m_settings differs from is this program's own change.
    AppSettings m_settingsOnDisk;
    class DataFolderWatcher *m_dataFolderWatcher = nullptr;
    void adoptSettingsChangedElsewhere();
    void adoptLocalStateChangedElsewhere();
    // Saves the manifest in the file (keeping a newer one another program
    // wrote, which is then adopted). Throws PlatformError.
    void saveLocalState(const QByteArray &bytes, const QString &updatedAt);
    GalleryState m_state;
    // Counts setState calls; tells a save in flight that the state moved on.
    quint64 m_stateGeneration = 0;
    LinkStatus m_serverLinkStatus = LinkStatus::down;
    LinkStatus m_deviceLinkStatus = LinkStatus::down;
    bool m_isCheckingConnection = false;
    QList<RegisteredDevicePublic> m_registeredFrames;
    QList<DeviceLiveStatus> m_frameStatuses;
    double m_deviceScreenAspectRatio;
    bool m_deviceScreenIsLandscape = false;
    // Portrait (width <= height); the orientation is m_deviceScreenIsLandscape.
    QSize m_deviceScreenPortraitPixels;
    bool m_isBusy = false;
    bool m_isSyncing = false;
    TransferProgress m_uploadProgress;
    TransferProgress m_photoDownloadProgress;
    ActivityLogStore &m_log;
    std::optional<QDateTime> m_lastServerOK;
    std::optional<QString> m_setAsCurrentInFlight;
    std::shared_ptr<CancellationFlag> m_periodicPull;
    GalleryMutationSerial m_galleryMutationSerial;
    std::optional<QDateTime> m_pullRetryNotBefore;
    qint64 m_pullFailureStreak = 0;
    bool m_isAwaitingInitialGalleryPull = false;
    int m_backgroundTasks = 0;

    quint64 m_sessionGeneration = 0;
    // The requests of the current generation; aborted by the lock.
    std::shared_ptr<RequestGroup> m_requests;
    int m_busyCount = 0;
    struct RunningPull {
        PullKind kind;
        quint64 id;
    };
    std::optional<RunningPull> m_runningPull;
    quint64 m_pullsStarted = 0;
    // Counts successful pulls, so a connection check can tell that the
    // gallery caught up while it ran.
    quint64 m_pullSuccesses = 0;
    bool m_connectionCheckRunning = false;
    bool m_uploaderRenameRunning = false;
    // Photos whose uploaded bytes are in the cache while the manifest that
    // lists them is still on its way; a pull's pruning keeps them.
    QSet<QString> m_uploadedAwaitingAdoption;
};

Q_DECLARE_METATYPE(AppSettings)
Q_DECLARE_METATYPE(GalleryState)
Q_DECLARE_METATYPE(LinkStatus)
Q_DECLARE_METATYPE(TransferProgress)
Q_DECLARE_METATYPE(RegisteredDevicePublic)
Q_DECLARE_METATYPE(DeviceLiveStatus)
