#include "updatercontroller.h"

#include "updatererror.h"
#include "updatesignature.h"

#include "model/atomicfile.h"
#include "server/httpsession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// A feed tells which file to trust with which signature and version, so it
// must come over https; plain http is accepted only from this machine (the
// development server). Downloads are protected by their signature instead.
bool isAcceptableFeedURL(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1StringView("https") || (scheme == QLatin1StringView("http") && isLoopbackHost(url.host()));
}

// The download's file name: the last part of its address when that is a
// plain name, else one made from the version. Never leaves its folder.
QString fileNameFor(const AppcastItem &update)
{
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+~-]{0,199}$"));
    const QString last = update.fileURL.fileName(QUrl::FullyDecoded);
    if (plainName.match(last).hasMatch())
        return last;
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._+~-]"));
    return QStringLiteral("lunvik-photos-update-")
        + QString(update.version).replace(unsafe, QStringLiteral("_")).left(64);
}

// The first name in `folder` that nothing (not even a dangling link) has
// taken: "name", "name (1).ext", "name (2).ext", …
QString availablePath(const QDir &folder, const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    const auto taken = [](const QString &path) {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    };
    QString candidate = folder.filePath(name);
    for (int n = 1; taken(candidate); ++n)
        candidate = folder.filePath(stem + QStringLiteral(" (%1)").arg(n) + extension);
    return candidate;
}

std::shared_ptr<const Error> sharedError(const std::exception &error)
{
    if (const auto *transport = dynamic_cast<const TransportError *>(&error))
        return std::make_shared<TransportError>(*transport);
    if (const auto *platform = dynamic_cast<const PlatformError *>(&error))
        return std::make_shared<PlatformError>(*platform);
    return std::make_shared<PlatformError>(PlatformError::general(QString::fromLocal8Bit(error.what())));
}

bool isSuccess(const HttpResponse &response)
{
    return response.isHttp && response.statusCode >= 200 && response.statusCode <= 299;
}

} // namespace

bool UpdaterConfiguration::isReleaseConfigured() const
{
    return !feedURL.isEmpty() && !publicKey.isEmpty();
}

UpdaterController::Folders UpdaterController::Folders::standard()
{
    return Folders { QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/updates"),
        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) };
}

UpdaterController::UpdaterController(UpdaterConfiguration configuration, bool startingUpdater, Delegate *delegate,
    UserDriverDelegate *userDriverDelegate, std::unique_ptr<UpdateUserDriver> userDriver, QObject *parent)
    : QObject(parent)
    , m_configuration(std::move(configuration))
    , m_delegate(delegate)
    , m_userDriverDelegate(userDriverDelegate)
    , m_userDriver(std::move(userDriver))
    , m_folders(Folders::standard())
{
    Q_ASSERT(m_delegate && m_userDriverDelegate && m_userDriver);
    if (startingUpdater)
        startUpdater();
}

UpdaterController::~UpdaterController()
{
    if (m_session && !m_session->stagedFile.isEmpty())
        QFile::remove(m_session->stagedFile);
}

bool UpdaterController::startUpdater()
{
    if (m_started)
        return true;
    m_feedURL = QUrl(m_configuration.feedURL.trimmed(), QUrl::StrictMode);
    const std::optional<QByteArray> key = UpdateSignature::decodePublicKey(m_configuration.publicKey);
    QStringList problems;
    if (!isAcceptableFeedURL(m_feedURL))
        problems << QStringLiteral("the feed address \"%1\" is not an https address").arg(m_configuration.feedURL);
    if (!key)
        problems << QStringLiteral("the public key is not a base64 Ed25519 key of 32 bytes");
    if (!problems.isEmpty()) {
        const UpdaterError error(UpdaterError::Kind::configurationInvalid, problems.join(QStringLiteral("; ")));
        m_delegate->didAbortWithError(*this, error);
        return false;
    }
    m_publicKey = *key;
    m_started = true;
    setCanCheckForUpdates(true);
    return true;
}

void UpdaterController::setCanCheckForUpdates(bool value)
{
    if (m_canCheckForUpdates == value)
        return;
    m_canCheckForUpdates = value;
    Q_EMIT canCheckForUpdatesChanged(value);
}

HttpSession &UpdaterController::http()
{
    // Its own session: no cookies, and a cancelled check or download ends by
    // dropping it, which aborts whatever it still has in flight.
    if (!m_http)
        m_http = new HttpSession(HttpSession::Limits {}, true, this);
    return *m_http;
}

void UpdaterController::checkForUpdateInformation()
{
    if (!m_started || m_session)
        return;
    beginSession(UpdateCheck::updateInformation);
}

void UpdaterController::checkForUpdates()
{
    if (!m_started)
        return;
    if (m_session) {
        if (isInteractive())
            m_userDriver->showUpdateInFocus();
        else
            m_userCheckPending = true;
        return;
    }
    beginSession(UpdateCheck::updates);
}

std::function<void()> UpdaterController::sessionCallback(int sessionId, void (UpdaterController::*member)(int))
{
    return [self = QPointer<UpdaterController>(this), sessionId, member] {
        if (self)
            (self.data()->*member)(sessionId);
    };
}

void UpdaterController::beginSession(UpdateCheck check)
{
    const int id = ++m_lastSessionId;
    m_session = Session { id, check, std::nullopt, QString(), nullptr };
    setCanCheckForUpdates(false);
    if (check == UpdateCheck::updates)
        m_userDriver->showUserInitiatedUpdateCheck(sessionCallback(id, &UpdaterController::cancelSession));
    if (isCurrent(id))
        runCheck(id);
}

QCoro::Task<> UpdaterController::runCheck(int sessionId)
{
    const QPointer<UpdaterController> self(this);
    const QUrl feedURL = m_feedURL;
    const QString currentVersion = m_configuration.currentVersion;
    HttpSession *session = &http();

    std::optional<AppcastItem> update;
    std::optional<UpdaterError> failure;
    try {
        const QNetworkRequest request(feedURL);
        const std::optional<QByteArray> noBody;
        const HttpResponse response = co_await session->send(request, "GET", noBody, Appcast::maxFeedBytes);
        if (!isSuccess(response)) {
            failure = UpdaterError(UpdaterError::Kind::feedUnavailable,
                QStringLiteral("GET %1 answered HTTP %2")
                    .arg(feedURL.toString(QUrl::RemoveUserInfo))
                    .arg(response.statusCode));
        } else {
            QString error;
            const auto items = Appcast::parse(response.body, feedURL, &error);
            if (items)
                update = Appcast::bestUpdate(*items, currentVersion);
            else
                failure = UpdaterError(UpdaterError::Kind::feedInvalid, error);
        }
    } catch (const TransportError &e) {
        failure = e.isTooLarge()
            ? UpdaterError(UpdaterError::Kind::feedInvalid,
                QStringLiteral("The feed is larger than %1 bytes.").arg(Appcast::maxFeedBytes))
            : UpdaterError(UpdaterError::Kind::feedUnavailable, feedURL.toString(QUrl::RemoveUserInfo), sharedError(e));
    } catch (const std::exception &e) {
        failure
            = UpdaterError(UpdaterError::Kind::feedUnavailable, feedURL.toString(QUrl::RemoveUserInfo), sharedError(e));
    }
    if (!self || !self->isCurrent(sessionId))
        co_return;

    if (failure) {
        fail(sessionId, *failure);
        co_return;
    }
    if (!update) {
        if (isInteractive())
            m_userDriver->showUpdateNotFound(
                currentVersion, sessionCallback(sessionId, &UpdaterController::finishSession));
        else
            finishSession(sessionId);
        co_return;
    }
    m_session->update = update;
    m_delegate->didFindValidUpdate(*this, *update);
    if (!isCurrent(sessionId))
        co_return;
    if (!isInteractive()) {
        finishSession(sessionId);
        co_return;
    }
    m_userDriverDelegate->standardUserDriverWillHandleShowingUpdate(*update);
    m_userDriver->showUpdateFound(*update, currentVersion, [self, sessionId](UpdateUserDriver::UpdateChoice choice) {
        if (self)
            self->takeChoice(sessionId, choice);
    });
}

void UpdaterController::takeChoice(int sessionId, UpdateUserDriver::UpdateChoice choice)
{
    if (!isCurrent(sessionId) || !m_session->update)
        return;
    if (choice == UpdateUserDriver::UpdateChoice::dismiss) {
        finishSession(sessionId);
        return;
    }
    const AppcastItem update = *m_session->update;
    m_userDriver->showDownloadInProgress(update, sessionCallback(sessionId, &UpdaterController::cancelSession));
    if (isCurrent(sessionId))
        runDownload(sessionId, update);
}

QCoro::Task<> UpdaterController::runDownload(int sessionId, AppcastItem update)
{
    const QPointer<UpdaterController> self(this);
    HttpSession *session = &http();

    std::optional<HttpResponse> response;
    std::optional<UpdaterError> failure;
    try {
        const QNetworkRequest request(update.fileURL);
        const std::optional<QByteArray> noBody;
        // More bytes than announced are refused as they arrive.
        response = co_await session->send(request, "GET", noBody, update.length);
    } catch (const TransportError &e) {
        failure = e.isTooLarge() ? UpdaterError(UpdaterError::Kind::lengthMismatch,
                      QStringLiteral("The download is longer than the announced %1 bytes.").arg(update.length))
                                 : UpdaterError(UpdaterError::Kind::downloadFailed,
                                     update.fileURL.toString(QUrl::RemoveUserInfo), sharedError(e));
    } catch (const std::exception &e) {
        failure = UpdaterError(
            UpdaterError::Kind::downloadFailed, update.fileURL.toString(QUrl::RemoveUserInfo), sharedError(e));
    }
    if (!self || !self->isCurrent(sessionId))
        co_return;
    if (!failure && !isSuccess(*response)) {
        failure = UpdaterError(UpdaterError::Kind::downloadFailed,
            QStringLiteral("GET %1 answered HTTP %2")
                .arg(update.fileURL.toString(QUrl::RemoveUserInfo))
                .arg(response->statusCode));
    }
    if (failure) {
        fail(sessionId, *failure);
        co_return;
    }

    // The download is kept aside while it is checked; what is checked is
    // read back from that file, so exactly the verified bytes are handed on.
    const QString staged = QDir(m_folders.staging).filePath(fileNameFor(update));
    m_session->stagedFile = staged;
    QByteArray bytes;
    try {
        if (!QDir().mkpath(m_folders.staging))
            throw fileError(QFileDevice::WriteError, QStringLiteral("Cannot create ") + m_folders.staging);
        AtomicFile::write(staged, response->body);
        response.reset();
        QFile file(staged);
        if (!file.open(QIODevice::ReadOnly))
            throw fileError(file.error(), file.errorString());
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            throw fileError(file.error(), file.errorString());
    } catch (const std::exception &e) {
        fail(sessionId, UpdaterError(UpdaterError::Kind::downloadFailed, staged, sharedError(e)));
        co_return;
    }
    if (bytes.size() != update.length) {
        fail(sessionId,
            UpdaterError(UpdaterError::Kind::lengthMismatch,
                QStringLiteral("%1 bytes announced, %2 received from %3")
                    .arg(update.length)
                    .arg(bytes.size())
                    .arg(update.fileURL.toString(QUrl::RemoveUserInfo))));
        co_return;
    }
    if (!UpdateSignature::verify(bytes, update.edSignature, m_publicKey)) {
        fail(sessionId,
            UpdaterError(UpdaterError::Kind::signatureInvalid,
                QStringLiteral("The Ed25519 signature of %1 does not match the public key.")
                    .arg(update.fileURL.toString(QUrl::RemoveUserInfo))));
        co_return;
    }

    m_delegate->willInstallUpdate(*this, update);
    if (!isCurrent(sessionId))
        co_return;
    QString saved;
    try {
        saved = handOver(staged, update);
    } catch (const UpdaterError &e) {
        fail(sessionId, e);
        co_return;
    }
    m_session->stagedFile.clear();
    m_userDriver->showUpdateSaved(update, saved, sessionCallback(sessionId, &UpdaterController::finishSession));
}

QString UpdaterController::handOver(const QString &stagedFile, const AppcastItem &update) const
{
    if (m_folders.downloads.isEmpty() || !QDir().mkpath(m_folders.downloads))
        throw UpdaterError(
            UpdaterError::Kind::saveFailed, QStringLiteral("No Downloads folder at \"%1\"").arg(m_folders.downloads));
    const QDir folder(m_folders.downloads);
    // A name taken meanwhile is never replaced (rename refuses an existing
    // target); the next free one is tried instead.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString target = availablePath(folder, fileNameFor(update));
        QFile file(stagedFile);
        if (file.rename(target))
            return target;
        if (!QFileInfo::exists(target))
            throw UpdaterError(UpdaterError::Kind::saveFailed, target,
                std::make_shared<PlatformError>(fileError(file.error(), file.errorString())));
    }
    throw UpdaterError(UpdaterError::Kind::saveFailed, QStringLiteral("No free file name in ") + folder.path());
}

void UpdaterController::fail(int sessionId, const UpdaterError &error)
{
    if (!isCurrent(sessionId))
        return;
    // Whatever was downloaded is never offered after a failure.
    if (!m_session->stagedFile.isEmpty())
        QFile::remove(std::exchange(m_session->stagedFile, QString()));
    const auto shared = std::make_shared<UpdaterError>(error);
    m_session->error = shared;
    m_delegate->didAbortWithError(*this, *shared);
    if (!isCurrent(sessionId))
        return;
    if (isInteractive())
        m_userDriver->showUpdaterError(*shared, sessionCallback(sessionId, &UpdaterController::finishSession));
    else
        finishSession(sessionId);
}

void UpdaterController::finishSession(int sessionId)
{
    if (!isCurrent(sessionId))
        return;
    const Session ended = std::move(*m_session);
    m_session.reset();
    if (!ended.stagedFile.isEmpty())
        QFile::remove(ended.stagedFile);
    if (ended.check == UpdateCheck::updates) {
        m_userDriverDelegate->standardUserDriverWillFinishUpdateSession();
        m_userDriver->dismissUpdateInstallation();
    }
    setCanCheckForUpdates(true);
    m_delegate->didFinishUpdateCycle(*this, ended.check, ended.error.get());
    if (std::exchange(m_userCheckPending, false))
        checkForUpdates();
}

void UpdaterController::cancelSession(int sessionId)
{
    if (!isCurrent(sessionId))
        return;
    finishSession(sessionId);
    // Aborts the request in flight once control is back in the event loop;
    // its coroutine then finds its session gone.
    if (m_http)
        std::exchange(m_http, nullptr)->deleteLater();
}
