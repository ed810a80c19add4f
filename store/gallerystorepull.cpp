// Pulling the server's manifest and current photo, the back-off after
// failures, and the periodic loop.
#include "gallerystore.h"

#include "appsession.h"
#include "backgroundwork.h"
#include "clock.h"
#include "model/appconfig.h"

#include <algorithm>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>

namespace {

struct PullAnnouncement {
    LogCategory category;
    QString message;
    LogCategory successCategory;
    QString successMessage;
    QString successCountLabel;
    LogCategory failureCategory;
    QString failureContext;
};

PullAnnouncement announcementOf(PullKind kind)
{
    switch (kind) {
    case PullKind::refresh:
        return {LogCategory::gallery, QStringLiteral("Refreshing gallery from server"), LogCategory::gallery,
                QStringLiteral("Gallery refreshed"), QStringLiteral(" active="), LogCategory::gallery,
                QStringLiteral("Refresh gallery failed")};
    case PullKind::sync:
        return {LogCategory::sync, QStringLiteral("Sync started"), LogCategory::server, QStringLiteral("Server sync OK"),
                QStringLiteral(" photos="), LogCategory::server, QStringLiteral("Server sync failed")};
    case PullKind::scheduled:
        break;
    }
    return {LogCategory::sync, QStringLiteral("Scheduled sync started"), LogCategory::sync,
            QStringLiteral("Scheduled sync OK"), QStringLiteral(" photos="), LogCategory::sync,
            QStringLiteral("Scheduled sync failed")};
}

} // namespace

bool GalleryStore::isTransientServerConnectionError(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const SyncError &e) {
        if (e.kind() == SyncError::Kind::badURL)
            return true;
        if (e.kind() != SyncError::Kind::http)
            return false;
        const int status = e.failure().statusCode;
        if (status == 401)
            return false;
        return status < 0 || status == 408 || status == 502 || status == 503 || status == 504;
    } catch (const TransportError &e) {
        // An answer too large to take came from a server that is up.
        return !e.isCancellation() && !e.isTooLarge();
    } catch (...) {
        return false;
    }
}

bool GalleryStore::isCancellation(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const TransportError &e) {
        return e.isCancellation();
    } catch (...) {
        return false;
    }
}

QCoro::Task<> GalleryStore::pullFromServer(PullKind kind)
{
    if (!isSessionUnlocked())
        co_return;
    if (kind == PullKind::scheduled) {
        if (!m_environment.isApplicationActive())
            co_return;
        if (m_pullRetryNotBefore && Clock::now() < *m_pullRetryNotBefore)
            co_return;
    }
    const Live live(this);
    while (m_runningPull) {
        // A sync must show its own announcement and flags, so it runs after
        // a refresh or scheduled pull instead of joining it.
        const bool joins = kind != PullKind::sync || m_runningPull->kind == PullKind::sync;
        co_await waitForPullToEnd(m_runningPull->id);
        if (!live || joins)
            co_return;
    }
    const quint64 id = ++m_pullsStarted;
    m_runningPull = RunningPull{kind, id};
    const QPointer<GalleryStore> self(this);
    std::function<QCoro::Task<>()> pull = [self, kind]() -> QCoro::Task<> {
        if (self)
            co_await self->executePullFromServer(kind);
    };
    co_await m_galleryMutationSerial.submit(std::move(pull));
    // A lock has already ended this pull for those who joined it.
    if (!live)
        co_return;
    m_runningPull.reset();
    Q_EMIT pullEnded();
}

QCoro::Task<> GalleryStore::waitForPullToEnd(quint64 id)
{
    const QPointer<GalleryStore> self(this);
    while (self && m_runningPull && m_runningPull->id == id)
        co_await qCoro(this, &GalleryStore::pullEnded);
}

QCoro::Task<> GalleryStore::executePullFromServer(PullKind kind)
{
    const Live live(this);
    const PullAnnouncement text = announcementOf(kind);

    m_log.log(text.category, LogLevel::info, text.message,
              kind == PullKind::scheduled ? std::optional(m_settings.serverBaseURL) : std::nullopt);
    if (kind == PullKind::sync)
        setSyncing(true);
    if (kind != PullKind::scheduled)
        beginBusy();

    const std::optional<QString> previousCurrent = m_state.currentPhotoId;
    std::exception_ptr failure;
    try {
        const SyncClient client = makeClient();
        if (kind == PullKind::scheduled) {
            const CurrentPhotoResponse current = co_await client.fetchCurrentPhoto();
            if (!live)
                co_return;
            if (current.galleryVersion != m_state.updatedAt) {
                const SyncClient::GalleryFetch fetched = co_await client.fetchGallery();
                if (!live)
                    co_return;
                if (fetched.modified)
                    co_await commit(*fetched.modified, client, true);
                if (!live)
                    co_return;
            }
            applyCurrentPhoto(current);
        } else {
            const SyncClient::GalleryFetch fetched = co_await client.fetchGallery();
            if (!live)
                co_return;
            if (fetched.modified) {
                co_await commit(*fetched.modified, client, true);
                if (!live)
                    co_return;
            }
            std::optional<CurrentPhotoResponse> current;
            try {
                current = co_await client.fetchCurrentPhoto();
            } catch (...) {
                // Best effort: the manifest above already carries a current photo.
            }
            if (!live)
                co_return;
            if (current)
                applyCurrentPhoto(*current);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // Ended by a lock: the aborted request is no failure, and nothing of the
    // old session is adopted, logged or flagged.
    if (!live)
        co_return;

    if (!failure) {
        m_pullFailureStreak = 0;
        m_pullRetryNotBefore.reset();
        m_lastServerOK = Clock::now();
        ++m_pullSuccesses;
        setServerLinkStatus(LinkStatus::up);
        // The cache follows the adopted manifest: images of photos deleted
        // meanwhile (here or by another client) go. Listing a cache of
        // thousands of files runs on the worker thread. An upload's bytes
        // that wait for their manifest, and files written after this moment
        // (an upload, another commit's downloads), stay.
        QStringList kept;
        for (const PhotoEntry &photo : m_state.activePhotos())
            kept << photo.id;
        for (const QString &id : std::as_const(m_uploadedAwaitingAdoption))
            kept << id;
        QFuture<void> pruning = BackgroundWork::run(
            [kept = std::move(kept), pruning = AppConfig::beginCachePruning()] {
                AppConfig::removeCachedPhotosExcept(kept, pruning);
            });
        co_await pruning;
        if (!live)
            co_return;
        logPulledCurrentPhotoChange(CurrentPhotoPullDelta::ifCurrentChanged(previousCurrent, m_state));
        m_log.log(text.successCategory, LogLevel::success, text.successMessage,
                  QStringLiteral("updatedAt=") + m_state.updatedAt + text.successCountLabel
                      + QString::number(m_state.activePhotos().size()));
    } else {
        m_pullFailureStreak += 1;
        const qint64 delay = m_pullFailureStreak >= 9 ? pullBackoffCapSeconds
                                                      : std::min<qint64>(qint64(1) << m_pullFailureStreak,
                                                                         pullBackoffCapSeconds);
        m_pullRetryNotBefore = Clock::now().addSecs(delay);
        m_log.log(failure, text.failureCategory, text.failureContext);
        markServerUnreachableAfterSyncFailure(failure);
    }

    if (kind == PullKind::refresh) {
        endBusy();
    } else if (kind == PullKind::sync) {
        setSyncing(false);
        startBackground([](GalleryStore &store) { return store.updateDeviceStatus(); });
        endBusy();
    }
}

void GalleryStore::applyCurrentPhoto(const CurrentPhotoResponse &answer)
{
    if (m_state.currentPhotoId == answer.currentPhotoId)
        return;
    GalleryState changed = m_state;
    changed.currentPhotoId = answer.currentPhotoId;
    changed.currentPhotoUpdatedBy = answer.currentPhotoUpdatedBy;
    setState(changed.withResolvedCurrentPhoto());
    try {
        saveLocalState(m_state.toJsonBytes(), m_state.updatedAt);
    } catch (const Error &error) {
        m_log.log(error, LogCategory::system, QStringLiteral("Save gallery"));
    }
}

void GalleryStore::logPulledCurrentPhotoChange(const std::optional<CurrentPhotoPullDelta> &delta)
{
    if (!delta || !delta->newId || delta->newId == delta->previousId)
        return;
    if (m_setAsCurrentInFlight == delta->newId)
        return;
    if (const auto text = GalleryCurrentPhotoActivity::logEntry(*delta, m_state.currentPhoto()))
        m_log.log(LogCategory::gallery, LogLevel::success, text->message, text->detail);
}

void GalleryStore::markServerUnreachableAfterSyncFailure(const std::exception_ptr &error)
{
    if (lockIfUnauthorized(error) || markDownIfUnreachable(error))
        return;
    startBackground([](GalleryStore &store) { return store.updateConnectionStatus(false); });
}

void GalleryStore::startPeriodicPullWhileUnlocked()
{
    cancelPeriodicPull();
    m_periodicPull = std::make_shared<CancellationFlag>();
    periodicPullLoop(QPointer<GalleryStore>(this), m_periodicPull, m_environment.pause,
                     m_environment.periodicPullInterval);
}

void GalleryStore::cancelPeriodicPull()
{
    if (m_periodicPull)
        m_periodicPull->cancel();
    m_periodicPull.reset();
}

QCoro::Task<> GalleryStore::periodicPullLoop(QPointer<GalleryStore> store, std::shared_ptr<CancellationFlag> flag,
                                             PauseFunction pause, std::chrono::milliseconds interval)
{
    while (!flag->isCancelled()) {
        const bool slept =
            co_await pause(interval, flag);
        if (!slept || flag->isCancelled() || !store)
            co_return;
        co_await store->pullFromServer(PullKind::scheduled);
    }
}
