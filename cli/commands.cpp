#include "commands.h"

#include "console.h"

#include "photoformatters.h"

#include "safetext.h"

#include "log/activitylogfile.h"
#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "model/atomicfile.h"
#include "rules/bloomin8.h"
#include "rules/epaperrendering.h"
#include "taskwait.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>
#include <QBuffer>
#include <QImageWriter>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <functional>

// The activity log records written while it lives, in the order they were
// written; a listener may follow them as they come.
class LogWatch
{
public:
    using Listener = std::function<void(const LogEntry &)>;

    LogWatch()
    {
        m_connection = QObject::connect(&ActivityLogStore::shared(), &ActivityLogStore::entriesChanged,
                                        [this] { takeNewest(); });
    }
    ~LogWatch() { QObject::disconnect(m_connection); }
    LogWatch(const LogWatch &) = delete;
    LogWatch &operator=(const LogWatch &) = delete;

    void setListener(Listener listener) { m_listener = std::move(listener); }

    bool has(const QString &message) const
    {
        return std::any_of(m_records.cbegin(), m_records.cend(),
                           [&](const LogEntry &entry) { return entry.message == message; });
    }
    bool hasFailure(const std::function<bool(const QString &message)> &matches) const
    {
        return std::any_of(m_records.cbegin(), m_records.cend(), [&](const LogEntry &entry) {
            return entry.level == LogLevel::error && matches(entry.message);
        });
    }

private:
    // A record is put at the front of the store's list before the signal.
    void takeNewest()
    {
        const QList<LogEntry> &entries = ActivityLogStore::shared().entries();
        if (entries.isEmpty() || m_seen.contains(entries.first().id))
            return;
        const LogEntry entry = entries.first();
        m_seen.insert(entry.id);
        m_records.append(entry);
        if (m_listener)
            m_listener(entry);
    }

    QMetaObject::Connection m_connection;
    QList<LogEntry> m_records;
    QSet<QUuid> m_seen;
    Listener m_listener;
};

namespace {

const QString lockedMessage = QStringLiteral("Locked: sign in with lunvik-photos-cli unlock --name NAME");

// Setup blocks are a few lines; anything far larger is not one.
constexpr qsizetype setupTextLimitBytes = 64 * 1024;

// Follows the log for the scope of one operation.
class ListenerScope
{
public:
    ListenerScope(LogWatch &watch, LogWatch::Listener listener) : m_watch(watch)
    {
        m_watch.setListener(std::move(listener));
    }
    ~ListenerScope() { m_watch.setListener({}); }
    ListenerScope(const ListenerScope &) = delete;
    ListenerScope &operator=(const ListenerScope &) = delete;

private:
    LogWatch &m_watch;
};

// On a terminal, tells how far a pull's photo downloads have come, from the
// counts the store publishes (the desktop app's bar shows the same); a first
// sync of a large gallery downloads for a while. At most one line a second.
class CacheDownloadProgress
{
public:
    explicit CacheDownloadProgress(GalleryStore &store) : m_store(store)
    {
        if (!Console::standardErrorIsTerminal())
            return;
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start(1000);
    }
    CacheDownloadProgress(const CacheDownloadProgress &) = delete;
    CacheDownloadProgress &operator=(const CacheDownloadProgress &) = delete;

private:
    void tick()
    {
        const TransferProgress progress = m_store.photoDownloadProgress();
        if (!progress.isRunning() || progress == m_shown)
            return;
        m_shown = progress;
        Console::printError(QStringLiteral("Downloading photos %1 of %2").arg(progress.done).arg(progress.total));
    }

    GalleryStore &m_store;
    QTimer m_timer;
    TransferProgress m_shown;
};

// One field of a tab-separated row. A tab or a line break inside a file or
// frame name would split the row, and escape sequences and direction
// overrides would act on the terminal, so they become blanks.
QString field(const QString &text)
{
    return SafeText::replaced(text, QLatin1Char(' '));
}

QString row(const QStringList &fields)
{
    QStringList cleaned;
    cleaned.reserve(fields.size());
    for (const QString &text : fields)
        cleaned << field(text);
    return cleaned.join(QLatin1Char('\t'));
}

QString uploaderName(const PhotoEntry &photo, const UploaderMap &uploaders)
{
    const QString name = uploaders.value(photo.uploaderId).trimmed();
    return name.isEmpty() ? defaultUploaderDisplayName : name;
}

QString frameRow(const RegisteredDevicePublic &frame)
{
    return row({frame.id, frame.displayName, PhotoFormatters::deviceRegisteredAt(frame.registeredAt),
                frame.lastPushAt ? PhotoFormatters::deviceLastPushAt(*frame.lastPushAt)
                                 : QStringLiteral("Last push unknown")});
}

// Every command that works on the gallery first does what the app does at
// start-up: verify the stored session.
bool needsStartUp(CommandKind kind)
{
    switch (kind) {
    case CommandKind::help:
    case CommandKind::version:
    case CommandKind::log:
    case CommandKind::unlock:
    case CommandKind::lock:
    case CommandKind::debugOn:
    case CommandKind::debugOff:
    case CommandKind::debugInterval:
        return false;
    default:
        return true;
    }
}

// A rendering as a PNG of six palette entries: the pixels exactly, and a
// fraction of the size of a true-colour file.
QByteArray renderingPNG(const QImage &rendering)
{
    QList<QRgb> palette;
    for (const EpaperRendering::Ink &ink : EpaperRendering::inks())
        palette << (ink.color | 0xff000000);
    const QImage indexed = rendering.convertToFormat(QImage::Format_Indexed8, palette, Qt::ThresholdDither | Qt::AvoidDither);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(indexed))
        return {};
    return bytes;
}

// "<download name without .jpg> (e-paper).png".
QString renderingFilename(const PhotoEntry &photo)
{
    const QString jpeg = GalleryStore::downloadFilename(photo);
    return jpeg.left(jpeg.lastIndexOf(QLatin1Char('.'))) + QStringLiteral(" (e-paper).png");
}

GalleryStore::Environment storeEnvironment(const QString &downloadsFolder)
{
    GalleryStore::Environment environment;
    // Scheduled pulls are never held back: a terminal has no "inactive".
    environment.isApplicationActive = [] { return true; };
    environment.downloadsFolder = [downloadsFolder]() -> std::optional<QString> {
        return downloadsFolder.isEmpty() ? std::nullopt : std::optional(downloadsFolder);
    };
    return environment;
}

// At most `limit` bytes; none when the text is longer.
std::optional<QString> limited(const QString &text, qsizetype limit)
{
    if (text.toUtf8().size() > limit)
        return std::nullopt;
    return text;
}

} // namespace

int printLog(int count)
{
    for (const LogEntry &entry : ActivityLogFile::loadRecent(count)) {
        Console::printLine(logTimeText(entry.timestamp) + QLatin1Char('\t') + toRawValue(entry.level)
                           + QLatin1Char('\t') + toRawValue(entry.category) + QLatin1Char('\t') + field(entry.message));
        if (entry.detail) {
            for (const QString &line : entry.detail->split(QLatin1Char('\n')))
                Console::printLine(QStringLiteral("  ") + SafeText::visible(line));
        }
    }
    return ExitStatus::done;
}

CommandRunner::CommandRunner()
    : m_downloadsFolder(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation))
    , m_store(storeEnvironment(m_downloadsFolder))
    , m_log(std::make_unique<LogWatch>())
{
    m_store.setSession(&m_session);
}

CommandRunner::~CommandRunner() = default;

int CommandRunner::run(const Invocation &invocation)
{
    int exitStatus = ExitStatus::failed;
    try {
        exitStatus = TaskWait::run(execute(invocation));
    } catch (const std::exception &e) {
        Console::printError(QStringLiteral("lunvik-photos-cli: ") + QString::fromUtf8(e.what()));
    }
    // The periodic pull loop of an unlocked session has nothing to do in a
    // process about to end; ending its pause lets its coroutine finish
    // instead of being abandoned mid-wait.
    m_store.cancelPeriodicPull();
    // Idle keep-alive connections live on Qt's HTTP thread; left in the
    // cache, they are still being torn down there when a process this short
    // ends, and leak. Closing them while the event loop still runs ends them
    // cleanly.
    for (auto *manager : QCoreApplication::instance()->findChildren<QNetworkAccessManager *>())
        manager->clearConnectionCache();
    QEventLoop loop;
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
    return exitStatus;
}

QCoro::Task<int> CommandRunner::execute(Invocation invocation)
{
    const CommandKind kind = invocation.kind;
    if (needsStartUp(kind)) {
        co_await m_session.tryAutoUnlock(m_store);
        // status reports a locked session instead of refusing to run.
        if (kind != CommandKind::status && !m_session.isUnlocked()) {
            co_await m_store.waitForBackgroundTasks();
            co_return reportLocked();
        }
    }
    QObject::connect(&m_session, &AppSession::sessionPhaseChanged, &m_session, [this] {
        if (m_session.sessionPhase() == SessionPhase::locked)
            m_lockedDuringCommand = true;
    });

    int exitStatus = co_await dispatch(invocation);
    co_await m_store.waitForBackgroundTasks();
    const bool lockIsTheResult = kind == CommandKind::lock || kind == CommandKind::status;
    if (exitStatus == ExitStatus::locked || (m_lockedDuringCommand && !lockIsTheResult))
        exitStatus = reportLocked();
    co_return exitStatus;
}

int CommandRunner::reportLocked()
{
    Console::printError(lockedMessage);
    return ExitStatus::locked;
}

QCoro::Task<bool> CommandRunner::settle()
{
    co_await m_store.waitForBackgroundTasks();
    co_return m_lockedDuringCommand;
}

QCoro::Task<int> CommandRunner::dispatch(const Invocation &invocation)
{
    switch (invocation.kind) {
    case CommandKind::unlock:
        return unlock(invocation.name, invocation.frameSetupFile);
    case CommandKind::lock:
        return lock();
    case CommandKind::status:
        return status();
    case CommandKind::sync:
        return sync();
    case CommandKind::list:
        return list(invocation.json, invocation.offline);
    case CommandKind::upload:
        return upload(invocation.operands);
    case CommandKind::deletePhotos:
        return deletePhotos(invocation.operands);
    case CommandKind::reorder:
        return reorder(invocation.operands);
    case CommandKind::showToday:
        return showToday(invocation.operands.value(0));
    case CommandKind::download:
        return download(invocation.operands);
    case CommandKind::preview:
        return preview(invocation.operands.value(0), invocation.size, invocation.outputFile);
    case CommandKind::frames:
        return frames();
    case CommandKind::framesAdd:
        return addFrame();
    case CommandKind::framesRemove:
        return removeFrame(invocation.operands.value(0));
    case CommandKind::setName:
        return setName(invocation.name);
    case CommandKind::debugOn:
        return setDebugMode(true);
    case CommandKind::debugOff:
        return setDebugMode(false);
    case CommandKind::debugInterval:
        return setDebugInterval(invocation.number);
    case CommandKind::help:
    case CommandKind::version:
    case CommandKind::log:
        break;
    }
    // main() answers these without a store.
    return []() -> QCoro::Task<int> { co_return ExitStatus::usage; }();
}

// ---- Session ---------------------------------------------------------------

QCoro::Task<int> CommandRunner::unlock(QString name, std::optional<QString> frameSetupFile)
{
    QString setupText;
    if (frameSetupFile) {
        QFile file(*frameSetupFile);
        if (!file.open(QIODevice::ReadOnly)) {
            Console::printError(QStringLiteral("Cannot read %1: %2").arg(*frameSetupFile, file.errorString()));
            co_return ExitStatus::failed;
        }
        const auto text = limited(QString::fromUtf8(file.read(setupTextLimitBytes + 1)), setupTextLimitBytes);
        if (!text) {
            Console::printError(QStringLiteral("%1 is too large for a frame setup block.").arg(*frameSetupFile));
            co_return ExitStatus::failed;
        }
        setupText = *text;
    }

    UnlockForm form(m_session, m_store);
    form.appear();
    form.setDisplayName(name);
    form.setPassword(Console::readSecretLine(QStringLiteral("Family password: ")));
    form.setBloomin8SetupText(setupText);
    co_await form.attemptUnlock();

    if (!m_session.isUnlocked()) {
        Console::printError(m_session.unlockError().value_or(QStringLiteral("Not signed in.")));
        co_return ExitStatus::failed;
    }
    Console::printLine(QStringLiteral("Unlocked as ") + name.trimmed());
    // Signed in, but the frame registration failed.
    if (const auto error = m_session.unlockError()) {
        Console::printError(*error);
        co_return ExitStatus::failed;
    }
    co_return ExitStatus::done;
}

QCoro::Task<int> CommandRunner::lock()
{
    const bool removed = m_session.lock(m_store);
    co_await settle();
    if (!removed) {
        Console::printError(QStringLiteral("Could not sign out: the session token could not be removed from ")
                            + AppConfig::settingsURL());
        co_return ExitStatus::failed;
    }
    co_return ExitStatus::done;
}

QCoro::Task<int> CommandRunner::status()
{
    co_await m_store.updateConnectionStatus(false);
    co_await settle();
    const GalleryState &state = m_store.state();
    Console::printLine(QStringLiteral("session: ") + toRawValue(m_session.sessionPhase()));
    Console::printLine(QStringLiteral("server: %1 (%2)")
                           .arg(m_store.settings().serverBaseURL, toRawValue(m_store.serverLinkStatus())));
    Console::printLine(QStringLiteral("frames: ") + toRawValue(m_store.deviceLinkStatus()));
    Console::printLine(QStringLiteral("photos: %1").arg(state.activePhotos().size()));
    const std::optional<PhotoEntry> current = state.currentPhoto();
    Console::printLine(current ? QStringLiteral("current: %1 %2").arg(current->id, field(current->filename))
                               : QStringLiteral("current: none"));
    co_return ExitStatus::done;
}

// ---- Gallery ---------------------------------------------------------------

QCoro::Task<int> CommandRunner::sync()
{
    {
        const CacheDownloadProgress progress(m_store);
        co_await m_store.syncAll();
    }
    if (co_await settle())
        co_return ExitStatus::locked;
    co_return m_log->has(QStringLiteral("Server sync failed")) ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::list(bool json, bool offline)
{
    // As the gallery does when it appears. A failed refresh is logged and
    // the cached gallery is listed all the same.
    if (!offline) {
        const CacheDownloadProgress progress(m_store);
        co_await m_store.pullFromServer(PullKind::refresh);
    }
    if (co_await settle())
        co_return ExitStatus::locked;

    const GalleryState &state = m_store.state();
    const std::optional<GalleryRotationPlan> plan = m_store.rotationPlan();
    if (json) {
        QJsonArray photos;
        for (const PhotoEntry &photo : state.activePhotos()) {
            const std::optional<QString> tag = m_store.showingTag(photo.id, plan);
            photos.append(QJsonObject{
                {QStringLiteral("id"), photo.id},
                {QStringLiteral("filename"), photo.filename},
                {QStringLiteral("uploader"), uploaderName(photo, state.uploaders)},
                {QStringLiteral("tag"), tag ? QJsonValue(*tag) : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("current"), state.currentPhotoId == photo.id},
            });
        }
        Console::printJSON(QString::fromUtf8(QJsonDocument(photos).toJson(QJsonDocument::Indented)).trimmed());
        co_return ExitStatus::done;
    }
    for (const PhotoEntry &photo : state.activePhotos()) {
        Console::printLine(row({photo.id, photo.filename, uploaderName(photo, state.uploaders),
                                m_store.showingTag(photo.id, plan).value_or(QString())}));
    }
    co_return ExitStatus::done;
}

QCoro::Task<int> CommandRunner::upload(QStringList files)
{
    QStringList paths;
    for (const QString &file : files)
        paths << QFileInfo(file).absoluteFilePath();

    const bool showProgress = Console::standardErrorIsTerminal();
    QStringList uploadedNames;
    {
        const ListenerScope scope(*m_log, [&](const LogEntry &entry) {
            if (entry.category == LogCategory::gallery && entry.message == QLatin1StringView("Uploaded to server")
                && entry.detail) {
                // "<file name> → <new ids>"; the ids never hold the arrow.
                Console::printLine(*entry.detail);
                uploadedNames << entry.detail->left(entry.detail->lastIndexOf(QStringLiteral(" \u2192 ")));
            }
        });
        // The store's count, as the desktop app shows it.
        const QMetaObject::Connection counting =
            QObject::connect(&m_store, &GalleryStore::uploadProgressChanged, &m_store, [this, showProgress] {
                const TransferProgress progress = m_store.uploadProgress();
                if (showProgress && progress.total > 1 && progress.done > 0)
                    Console::printError(QStringLiteral("Uploaded %1 of %2").arg(progress.done).arg(progress.total));
            });
        co_await m_store.uploadFiles(paths);
        QObject::disconnect(counting);
    }

    // The files go up in the order given, and a failure ends the batch, so
    // the uploaded names follow the arguments in order.
    qsizetype next = 0;
    for (const QString &path : std::as_const(paths)) {
        if (next < uploadedNames.size() && uploadedNames.at(next) == QFileInfo(path).fileName())
            ++next;
        else
            Console::printError(QStringLiteral("Not uploaded: ") + path);
    }

    if (co_await settle())
        co_return ExitStatus::locked;
    const bool failed = uploadedNames.isEmpty() || m_log->has(QStringLiteral("Upload failed"));
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::deletePhotos(QStringList ids)
{
    const QSet<QString> targets(ids.cbegin(), ids.cend());
    // The store refuses these itself and logs only the reason's name.
    const std::optional<GalleryDeleteBlockReason> refusal = m_store.state().deleteBlockReason(targets);
    co_await m_store.deletePhotos(targets);
    if (refusal)
        Console::printError(userText(*refusal));
    if (co_await settle())
        co_return ExitStatus::locked;
    const bool failed = refusal || m_log->has(QStringLiteral("Delete failed"));
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::reorder(QStringList ids)
{
    co_await m_store.applyOrder(ids);
    if (co_await settle())
        co_return ExitStatus::locked;
    const bool failed = m_log->has(QStringLiteral("Reorder skipped")) || m_log->has(QStringLiteral("Reorder failed"));
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::showToday(QString id)
{
    const GalleryState &state = m_store.state();
    if (!state.canSetAsCurrent(id)) {
        Console::printError(state.currentPhotoId == id
                                ? QStringLiteral("%1 is already the photo for today.").arg(id)
                                : QStringLiteral("No photo %1 in the gallery.").arg(id));
        co_await settle();
        co_return ExitStatus::failed;
    }
    co_await m_store.setAsCurrent(id);
    if (co_await settle())
        co_return ExitStatus::locked;
    co_return m_log->has(QStringLiteral("Set current failed")) ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::download(QStringList ids)
{
    QSet<QString> known;
    bool unknown = false;
    for (const QString &id : std::as_const(ids)) {
        // A deleted photo keeps its entry, but its image is gone from the server.
        const auto entry = m_store.state().photos.constFind(id);
        if (entry != m_store.state().photos.cend() && !entry->isDeleted()) {
            known.insert(id);
        } else {
            Console::printError(QStringLiteral("No photo %1 in the gallery.").arg(id));
            unknown = true;
        }
    }
    {
        const QDir folder(m_downloadsFolder);
        const ListenerScope scope(*m_log, [&folder](const LogEntry &entry) {
            if (entry.category == LogCategory::gallery && entry.message == QLatin1StringView("Saved to Downloads")
                && entry.detail)
                Console::printLine(folder.absoluteFilePath(*entry.detail));
        });
        co_await m_store.downloadPhotos(known);
    }
    if (co_await settle())
        co_return ExitStatus::locked;
    // The label is "Download" or "Download (N)".
    const bool failed = unknown || m_log->hasFailure([](const QString &message) {
        return message.startsWith(QLatin1StringView("Download")) && message.endsWith(QLatin1StringView(" failed"));
    });
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::preview(QString id, std::optional<QSize> size, std::optional<QString> outputFile)
{
    const auto entry = m_store.state().photos.constFind(id);
    if (entry == m_store.state().photos.cend() || entry->isDeleted()) {
        Console::printError(QStringLiteral("No photo %1 in the gallery.").arg(id));
        co_await settle();
        co_return ExitStatus::failed;
    }
    const PhotoEntry photo = *entry;
    // The screen of the first reachable frame, as the preview pane shows it;
    // the default 13-inch screen when no frame tells.
    if (!size)
        co_await m_store.updateDeviceStatus();
    const QSize screen = size.value_or(m_store.deviceScreenSize());
    co_await m_store.ensurePhotoCached(id);
    if (co_await settle())
        co_return ExitStatus::locked;
    const QString cached = AppConfig::cacheURL(id);
    if (!AppConfig::cachedFileExists(cached)) {
        Console::printError(QStringLiteral("Photo %1 is not in the cache and could not be downloaded.").arg(id));
        co_return ExitStatus::failed;
    }
    const std::optional<QImage> rendering = co_await EpaperRendering::renderFileAsync(cached, screen);
    if (!rendering) {
        Console::printError(QStringLiteral("Could not render photo %1: its cached image cannot be read.").arg(id));
        co_return ExitStatus::failed;
    }
    QFuture<QByteArray> encoding = QtConcurrent::run(renderingPNG, *rendering);
    const QByteArray png = co_await encoding;
    if (png.isEmpty()) {
        Console::printError(QStringLiteral("Could not encode the rendering of photo %1.").arg(id));
        co_return ExitStatus::failed;
    }

    // Never over an existing file, as downloads.
    std::optional<QString> target;
    try {
        if (outputFile) {
            const QString path = QFileInfo(*outputFile).absoluteFilePath();
            if (!AtomicFile::writeNew(path, png)) {
                Console::printError(QStringLiteral("%1 exists: not overwritten.").arg(path));
                co_return ExitStatus::failed;
            }
            target = path;
        } else {
            if (m_downloadsFolder.isEmpty() || !QDir().mkpath(m_downloadsFolder)) {
                Console::printError(QStringLiteral("Downloads folder unavailable."));
                co_return ExitStatus::failed;
            }
            const QString name = renderingFilename(photo);
            for (int attempt = 0; attempt < GalleryStore::maxFreeNameTries && !target; ++attempt) {
                const std::optional<QString> candidate = GalleryStore::uniqueFileURL(m_downloadsFolder, name);
                if (!candidate)
                    break;
                if (AtomicFile::writeNew(*candidate, png))
                    target = candidate;
            }
            if (!target) {
                Console::printError(QStringLiteral("No free file name for %1 in the Downloads folder.").arg(name));
                co_return ExitStatus::failed;
            }
        }
    } catch (const Error &error) {
        Console::printError(QStringLiteral("Could not write the rendering: ") + QString::fromUtf8(error.what()));
        co_return ExitStatus::failed;
    }
    Console::printLine(QFileInfo(*target).absoluteFilePath());
    co_return ExitStatus::done;
}

// ---- Frames ----------------------------------------------------------------

QCoro::Task<int> CommandRunner::frames()
{
    co_await m_store.reloadRegisteredFrames();
    co_await m_store.updateDeviceStatus();
    if (co_await settle())
        co_return ExitStatus::locked;
    for (const RegisteredDevicePublic &frame : m_store.registeredFrames())
        Console::printLine(frameRow(frame));
    Console::printLine(QStringLiteral("frames: ") + toRawValue(m_store.deviceLinkStatus()));
    co_return ExitStatus::done;
}

QCoro::Task<int> CommandRunner::addFrame()
{
    const std::optional<QString> input = limited(Console::readAll(), setupTextLimitBytes);
    if (!input) {
        Console::printError(QStringLiteral("Standard input is too large for a frame setup block."));
        co_return ExitStatus::failed;
    }
    const QString text = input->trimmed();
    if (text.isEmpty()) {
        Console::printError(QStringLiteral("No setup block on standard input: no frame registered."));
        co_return ExitStatus::failed;
    }
    if (!Bloomin8TokenParser::parseToken(text)) {
        Console::printError(QStringLiteral("Could not find a Bloomin8 API token. Paste the setup block or token only."));
        co_return ExitStatus::failed;
    }

    std::optional<RegisteredDevicePublic> answer;
    std::optional<QString> failure;
    try {
        answer = co_await m_store.registerFrame(text);
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    }
    if (co_await settle())
        co_return ExitStatus::locked;
    if (failure) {
        Console::printError(*failure);
        co_return ExitStatus::failed;
    }
    if (answer)
        Console::printLine(frameRow(*answer));
    co_return ExitStatus::done;
}

QCoro::Task<int> CommandRunner::removeFrame(QString id)
{
    std::optional<QString> failure;
    try {
        co_await m_store.unregisterFrame(id);
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    }
    if (co_await settle())
        co_return ExitStatus::locked;
    if (failure) {
        Console::printError(*failure);
        co_return ExitStatus::failed;
    }
    co_return ExitStatus::done;
}

// ---- Settings --------------------------------------------------------------

QCoro::Task<int> CommandRunner::setName(QString name)
{
    AppSettings settings = m_store.settings();
    settings.displayName = name;
    m_store.setSettings(settings);
    // Renames the uploader on the server as a follow-up task.
    const bool saved = m_store.saveSettings();
    if (co_await settle())
        co_return ExitStatus::locked;
    if (!saved)
        co_return reportUnsaved();
    co_return m_log->has(QStringLiteral("Rename uploader failed")) ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::setDebugMode(bool on)
{
    const bool saved = m_store.setDebugMode(on);
    co_await settle();
    co_return saved ? ExitStatus::done : reportUnsaved();
}

QCoro::Task<int> CommandRunner::setDebugInterval(int seconds)
{
    const bool saved = m_store.setDebugAdvanceIntervalSeconds(seconds);
    co_await settle();
    co_return saved ? ExitStatus::done : reportUnsaved();
}

int CommandRunner::reportUnsaved()
{
    Console::printError(QStringLiteral("Not saved: could not write ") + AppConfig::settingsURL());
    return ExitStatus::failed;
}
