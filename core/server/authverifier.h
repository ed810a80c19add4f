// Signing in: turns the family password into a session token, and asks the
// server whether a stored token is still good. The answers are outcomes,
// never errors: the session phases decide what the user sees.
//
// These requests go through their own short-lived HTTP session (8 s without
// data, 12 s for a whole exchange, nothing stored between requests), and their
// paths replace the path of the server address instead of extending it.
#pragma once

#include "httpsession.h"
#include "model/appsettings.h"

#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>

enum class AuthVerifyOutcome {
    ok,
    // The server refused the token, or there was no token or address to try.
    unauthorized,
    // No usable answer.
    unreachable,
};

namespace AuthVerifier {

struct CreateSessionOutcome {
    // tooManyAttempts: the server refuses sign-ins for a while (HTTP 429).
    // unusableToken: the server answered a token that cannot be sent back
    // safely (see AppSettings::isUsableSessionToken).
    enum class Kind { success, wrongPassword, unreachable, tooManyAttempts, unusableToken };

    Kind kind = Kind::unreachable;
    // The new session token, for success.
    QString token;

    static CreateSessionOutcome success(QString token) { return {Kind::success, std::move(token)}; }
    static CreateSessionOutcome wrongPassword() { return {Kind::wrongPassword, {}}; }
    static CreateSessionOutcome unreachable() { return {Kind::unreachable, {}}; }
    static CreateSessionOutcome tooManyAttempts() { return {Kind::tooManyAttempts, {}}; }
    static CreateSessionOutcome unusableToken() { return {Kind::unusableToken, {}}; }

    bool operator==(const CreateSessionOutcome &) const = default;
};

// `bearer` defaults to the settings' stored session token.
QCoro::Task<AuthVerifyOutcome> verify(AppSettings settings, std::optional<QString> bearer = std::nullopt);
QCoro::Task<CreateSessionOutcome> createSession(QString password, AppSettings settings);

// The same address under the other loopback name ("127.0.0.1" and
// "localhost"); none for any other host.
std::optional<QUrl> alternateLoopbackURL(const QUrl &url);
// The base's scheme, user, host and port with `path` as the whole path.
std::optional<QUrl> endpointURL(const QUrl &base, const QString &path);

// The session the verifier sends through, created on first use.
HttpSession &session();
// Replaces that session (tests use short limits); null restores the default.
void setSessionForTesting(HttpSession *session);

} // namespace AuthVerifier
