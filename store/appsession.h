// Whether the user may see the gallery: the session phase, signing in with
// the family password, re-verifying the stored token, and locking again.
// No widgets: the desktop app's screens and the command-line client drive
// the same object.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

class GalleryStore;

enum class SessionPhase { checking, locked, unlocked };

QString toRawValue(SessionPhase phase);

class AppSession : public QObject
{
    Q_OBJECT
    Q_PROPERTY(SessionPhase sessionPhase READ sessionPhase NOTIFY sessionPhaseChanged)
    Q_PROPERTY(bool isUnlocked READ isUnlocked NOTIFY isUnlockedChanged)
    Q_PROPERTY(std::optional<QString> unlockError READ unlockError WRITE setUnlockError NOTIFY unlockErrorChanged)

public:
    explicit AppSession(QObject *parent = nullptr);

    SessionPhase sessionPhase() const { return m_sessionPhase; }
    bool isUnlocked() const { return m_isUnlocked; }
    const std::optional<QString> &unlockError() const { return m_unlockError; }
    void setUnlockError(std::optional<QString> error);
    // The canonical server address under which the session was opened.
    const std::optional<QString> &unlockedServerBaseURL() const { return m_unlockedServerBaseURL; }

    // Start-up: verifies the stored token; only while the phase is checking.
    QCoro::Task<> tryAutoUnlock(GalleryStore &store);
    // Another program signed in on this folder (a token appeared in the
    // settings): a locked session opens once the server accepts the token,
    // as at start-up. A rejected token is left to that program.
    QCoro::Task<> adoptSignInMadeElsewhere(GalleryStore &store);
    // Sign-in with the family password; true when the session is open.
    QCoro::Task<bool> unlock(QString password, GalleryStore &store);
    QCoro::Task<> revalidateIfUnlocked(GalleryStore &store);
    void noteSettingsChanged(GalleryStore &store, const QString &previousServerURL);
    // Locks whatever happens; false when the token could not be removed
    // from disk (unlockError then says so, and the next start would still
    // find it).
    bool lock(GalleryStore &store);
    // False when the settings file could not be written.
    bool clearSessionToken(GalleryStore &store);

    // A loopback address on port 3000 written with localhost or ::1 becomes
    // the same address with 127.0.0.1; anything else comes back trimmed.
    static QString canonicalServerBaseURL(const QString &raw);

Q_SIGNALS:
    void sessionPhaseChanged();
    void isUnlockedChanged();
    void unlockErrorChanged();

private:
    void setPhase(SessionPhase phase);
    void open(GalleryStore &store, const QString &base);

    SessionPhase m_sessionPhase = SessionPhase::checking;
    bool m_isUnlocked = false;
    std::optional<QString> m_unlockError;
    std::optional<QString> m_unlockedServerBaseURL;
};

// The unlock form's state and its submit, for any front-end.
class UnlockForm : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString displayName READ displayName WRITE setDisplayName NOTIFY displayNameChanged)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
    Q_PROPERTY(QString bloomin8SetupText READ bloomin8SetupText WRITE setBloomin8SetupText NOTIFY
                   bloomin8SetupTextChanged)
    Q_PROPERTY(bool isUnlocking READ isUnlocking NOTIFY isUnlockingChanged)

public:
    static constexpr int formWidth = 520;

    UnlockForm(AppSession &session, GalleryStore &store, QObject *parent = nullptr);

    const QString &displayName() const { return m_displayName; }
    void setDisplayName(const QString &name);
    const QString &password() const { return m_password; }
    void setPassword(const QString &password);
    const QString &bloomin8SetupText() const { return m_bloomin8SetupText; }
    void setBloomin8SetupText(const QString &text);
    bool isUnlocking() const { return m_isUnlocking; }

    // The form appearing: the saved display name replaces the default when
    // it is not blank.
    void appear();
    bool canSubmitUnlock() const;
    QCoro::Task<> attemptUnlock();

Q_SIGNALS:
    void displayNameChanged();
    void passwordChanged();
    void bloomin8SetupTextChanged();
    void isUnlockingChanged();

private:
    void setUnlocking(bool unlocking);

    QPointer<AppSession> m_session;
    QPointer<GalleryStore> m_store;
    QString m_displayName;
    QString m_password;
    QString m_bloomin8SetupText;
    bool m_isUnlocking = false;
};
