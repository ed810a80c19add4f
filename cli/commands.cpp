#include "commands.h"

#include "commandsupport.h"
#include "console.h"

#include "store/photoformatters.h"

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

using namespace CommandText;

namespace {

const QString lockedMessage = QStringLiteral("Locked: sign in with lunvik-photos-cli unlock --name NAME");

// Setup blocks are a few lines; anything far larger is not one.
constexpr qsizetype setupTextLimitBytes = 64 * 1024;

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
