#include "appsession.h"

#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "server/authverifier.h"
#include "server/synchttpfailure.h"
#include "gallerystore.h"

#include <QUrl>

QString toRawValue(SessionPhase phase)
{
    switch (phase) {
    case SessionPhase::checking:
        return QStringLiteral("checking");
    case SessionPhase::locked:
        return QStringLiteral("locked");
    case SessionPhase::unlocked:
        return QStringLiteral("unlocked");
    }
    return {};
}

AppSession::AppSession(QObject *parent) : QObject(parent) {}

void AppSession::setUnlockError(std::optional<QString> error)
{
    m_unlockError = std::move(error);
    Q_EMIT unlockErrorChanged();
}

void AppSession::setPhase(SessionPhase phase)
{
    m_isUnlocked = phase == SessionPhase::unlocked;
    m_sessionPhase = phase;
    Q_EMIT isUnlockedChanged();
    Q_EMIT sessionPhaseChanged();
}

QString AppSession::canonicalServerBaseURL(const QString &raw)
{
    const QString trimmed = raw.trimmed();
    QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return trimmed;
    const QString host = url.host().toLower();
    if (host != QLatin1StringView("127.0.0.1") && host != QLatin1StringView("localhost")
        && host != QLatin1StringView("::1"))
        return trimmed;
    if (url.port() != 3000)
        return trimmed;
    url.setHost(QStringLiteral("127.0.0.1"));
    if (!url.isValid())
        return trimmed;
    return url.toString();
}

void AppSession::open(GalleryStore &store, const QString &base)
{
    m_unlockedServerBaseURL = base;
    setPhase(SessionPhase::unlocked);
    setUnlockError(std::nullopt);
    store.startPeriodicPullWhileUnlocked();
}

QCoro::Task<> AppSession::tryAutoUnlock(GalleryStore &store)
{
    if (m_sessionPhase != SessionPhase::checking)
        co_return;
    store.reloadSettings();
    const QString base = canonicalServerBaseURL(store.settings().serverBaseURL);
    if (base.isEmpty() || !store.settings().syncBearer()) {
        lock(store);
        co_return;
    }
    const QPointer<AppSession> self(this);
    const QPointer<GalleryStore> storeGuard(&store);
    const AuthVerifyOutcome outcome = co_await AuthVerifier::verify(store.settings());
    if (!self || !storeGuard)
        co_return;
    switch (outcome) {
    case AuthVerifyOutcome::ok:
        open(store, base);
        store.settleOwedUploaderRename();
        break;
    case AuthVerifyOutcome::unauthorized:
        lock(store);
        break;
    case AuthVerifyOutcome::unreachable:
        open(store, base);
        store.markServerDown();
        break;
    }
}

QCoro::Task<> AppSession::adoptSignInMadeElsewhere(GalleryStore &store)
{
    if (m_sessionPhase != SessionPhase::locked || !store.settings().syncBearer())
        co_return;
    const QString token = store.settings().syncSessionToken;
    const QString base = canonicalServerBaseURL(store.settings().serverBaseURL);
    const QPointer<AppSession> self(this);
    const QPointer<GalleryStore> storeGuard(&store);
    const AuthVerifyOutcome outcome = co_await AuthVerifier::verify(store.settings());
    // Only the answer about the token still stored, for a session still locked.
    if (!self || !storeGuard || m_sessionPhase != SessionPhase::locked || store.settings().syncSessionToken != token)
        co_return;
    switch (outcome) {
    case AuthVerifyOutcome::ok:
        open(store, base);
        ActivityLogStore::shared().log(LogCategory::system, LogLevel::info,
                                       QStringLiteral("Signed in by another program"));
        break;
    case AuthVerifyOutcome::unauthorized:
        // Left for that program to find out; this one stays locked.
        break;
    case AuthVerifyOutcome::unreachable:
        open(store, base);
        store.markServerDown();
        break;
    }
}

QCoro::Task<bool> AppSession::unlock(QString password, GalleryStore &store)
{
    setUnlockError(std::nullopt);
    const QString trimmed = password.trimmed();
    if (trimmed.isEmpty()) {
        setUnlockError(QStringLiteral("Enter the password."));
        co_return false;
    }
    const QPointer<AppSession> self(this);
    const QPointer<GalleryStore> storeGuard(&store);
    const auto outcome = co_await AuthVerifier::createSession(trimmed, store.settings());
    if (!self || !storeGuard)
        co_return false;
    using Kind = AuthVerifier::CreateSessionOutcome::Kind;
    switch (outcome.kind) {
    case Kind::success: {
        AppSettings settings = store.settings();
        settings.syncSessionToken = outcome.token;
        store.setSettings(settings);
        bool saved = true;
        try {
            store.writeSettingsOver();
        } catch (const Error &error) {
            ActivityLogStore::shared().log(error, LogCategory::system, QStringLiteral("Save settings"));
            saved = false;
        }
        m_unlockedServerBaseURL = canonicalServerBaseURL(store.settings().serverBaseURL);
        open(store, *m_unlockedServerBaseURL);
        // Signed in for this run; the next start asks for the password again.
        if (!saved)
            setUnlockError(QStringLiteral("Signed in, but the session could not be saved to disk: "
                                          "the settings file could not be written (see the activity log)."));
        store.settleOwedUploaderRename();
        co_return true;
    }
    case Kind::wrongPassword:
        setUnlockError(QStringLiteral("Wrong password. Grab the latest from 1Password."));
        co_return false;
    case Kind::tooManyAttempts:
        setUnlockError(QStringLiteral("Too many attempts. Try again in a minute."));
        co_return false;
    case Kind::unusableToken:
        setUnlockError(QStringLiteral("The server answered with a session token that cannot be used. "
                                      "Ask whoever runs the gallery server to check it."));
        co_return false;
    case Kind::unreachable:
        break;
    }
    setUnlockError(ServerConnectivityCopy::serverDown(store.settings().serverBaseURL));
    co_return false;
}

QCoro::Task<> AppSession::revalidateIfUnlocked(GalleryStore &store)
{
    if (!m_isUnlocked)
        co_return;
    const QString base = canonicalServerBaseURL(store.settings().serverBaseURL);
    if (m_unlockedServerBaseURL && *m_unlockedServerBaseURL != base)
        m_unlockedServerBaseURL = base;
    const QPointer<AppSession> self(this);
    const GalleryStore::Live live(&store);
    const AuthVerifyOutcome outcome = co_await AuthVerifier::verify(store.settings());
    // The answer about a session that has ended since (a lock, perhaps a new
    // sign-in) says nothing about the current one.
    if (!self || !live || !m_isUnlocked)
        co_return;
    switch (outcome) {
    case AuthVerifyOutcome::ok:
        m_unlockedServerBaseURL = base;
        break;
    case AuthVerifyOutcome::unauthorized:
        lock(store);
        break;
    case AuthVerifyOutcome::unreachable:
        store.markServerDown();
        break;
    }
}

void AppSession::noteSettingsChanged(GalleryStore &store, const QString &previousServerURL)
{
    if (store.settings().serverBaseURL.trimmed() == previousServerURL.trimmed())
        return;
    if (!m_isUnlocked)
        return;
    m_unlockedServerBaseURL = canonicalServerBaseURL(store.settings().serverBaseURL);
    const QPointer<AppSession> self(this);
    store.startBackground([self](GalleryStore &target) -> QCoro::Task<> {
        const QPointer<GalleryStore> storeGuard(&target);
        target.markServerDown();
        co_await target.updateConnectionStatus(false);
        if (self && storeGuard)
            co_await self->revalidateIfUnlocked(*storeGuard);
    });
}

bool AppSession::lock(GalleryStore &store)
{
    m_unlockedServerBaseURL.reset();
    setPhase(SessionPhase::locked);
    setUnlockError(std::nullopt);
    store.cancelPeriodicPull();
    const bool tokenRemoved = clearSessionToken(store);
    store.clearLockedGalleryData();
    if (!tokenRemoved)
        setUnlockError(QStringLiteral("Signed out, but the session could not be removed from disk: "
                                      "the settings file could not be written (see the activity log)."));
    return tokenRemoved;
}

bool AppSession::clearSessionToken(GalleryStore &store)
{
    if (store.settings().syncSessionToken.isEmpty())
        return true;
    AppSettings settings = store.settings();
    settings.syncSessionToken.clear();
    store.setSettings(settings);
    try {
        store.writeSettingsOver();
    } catch (const Error &error) {
        ActivityLogStore::shared().log(error, LogCategory::system, QStringLiteral("Save settings"));
        return false;
    }
    return true;
}

// ---- The unlock form ------------------------------------------------------

UnlockForm::UnlockForm(AppSession &session, GalleryStore &store, QObject *parent)
    : QObject(parent)
    , m_session(&session)
    , m_store(&store)
    , m_displayName(AppSettings::defaultDisplayName)
{
}

void UnlockForm::setDisplayName(const QString &name)
{
    m_displayName = name;
    Q_EMIT displayNameChanged();
}

void UnlockForm::setPassword(const QString &password)
{
    m_password = password;
    Q_EMIT passwordChanged();
}

void UnlockForm::setBloomin8SetupText(const QString &text)
{
    m_bloomin8SetupText = text;
    Q_EMIT bloomin8SetupTextChanged();
}

void UnlockForm::setUnlocking(bool unlocking)
{
    m_isUnlocking = unlocking;
    Q_EMIT isUnlockingChanged();
}

void UnlockForm::appear()
{
    const QString saved = m_store->settings().displayName.trimmed();
    if (!saved.isEmpty())
        setDisplayName(saved);
}

bool UnlockForm::canSubmitUnlock() const
{
    return !m_displayName.trimmed().isEmpty() && !m_password.isEmpty();
}

QCoro::Task<> UnlockForm::attemptUnlock()
{
    if (!m_session || !m_store)
        co_return;
    m_session->setUnlockError(std::nullopt);
    const QString name = m_displayName.trimmed();
    if (name.isEmpty()) {
        m_session->setUnlockError(QStringLiteral("Enter your name so uploads can be attributed to you."));
        co_return;
    }
    AppSettings settings = m_store->settings();
    settings.displayName = name;
    m_store->setSettings(settings);
    setUnlocking(true);

    const QPointer<UnlockForm> self(this);
    const bool ok = co_await m_session->unlock(m_password, *m_store);
    if (!self || !m_session || !m_store)
        co_return;
    if (!ok) {
        setUnlocking(false);
        co_return;
    }
    setPassword(QString());
    const QString setup = m_bloomin8SetupText.trimmed();
    setBloomin8SetupText(QString());
    m_store->saveSettings();
    if (!setup.isEmpty()) {
        std::optional<QString> failure;
        try {
            co_await m_store->registerFrame(setup);
        } catch (const std::exception &e) {
            failure = QString::fromUtf8(e.what());
        }
        if (!self || !m_session)
            co_return;
        if (failure)
            m_session->setUnlockError(QStringLiteral("Signed in, but frame registration failed: ") + *failure);
    }
    setUnlocking(false);
}
