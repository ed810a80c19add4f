#include "authverifier.h"

#include "log/secretmask.h"
#include "model/jsonfields.h"
#include "syncclient.h"

#include <QJsonValue>
#include <QNetworkRequest>

namespace {

// A session answer is a few lines of JSON.
constexpr qint64 maxAuthAnswerBytes = 64 * 1024;

std::optional<QUrl> sessionURL(const QUrl &base)
{
    return AuthVerifier::endpointURL(base, QStringLiteral("/api/auth/session"));
}

std::optional<QUrl> verifyURL(const QUrl &base)
{
    return AuthVerifier::endpointURL(base, QStringLiteral("/api/auth/verify"));
}

QNetworkRequest bearerRequest(const QUrl &url, const QString &credential)
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + credential.toUtf8());
    return request;
}

QCoro::Task<AuthVerifier::CreateSessionOutcome> probeCreateSession(QUrl base, QString password)
{
    using Outcome = AuthVerifier::CreateSessionOutcome;
    const auto url = sessionURL(base);
    if (!url)
        co_return Outcome::unreachable();
    HttpResponse response;
    try {
        response = co_await AuthVerifier::session().send(bearerRequest(*url, password), "POST", std::nullopt,
                                                         maxAuthAnswerBytes);
    } catch (const TransportError &) {
        co_return Outcome::unreachable();
    }
    if (!response.isHttp)
        co_return Outcome::unreachable();
    if (response.statusCode == 401)
        co_return Outcome::wrongPassword();
    if (response.statusCode == 429)
        co_return Outcome::tooManyAttempts();
    if (response.statusCode != 200)
        co_return Outcome::unreachable();
    if (!answerSaysOk(response.body))
        co_return Outcome::unreachable();
    const QJsonValue token = parseJsonObject(response.body).value_or(QJsonObject()).value(QLatin1StringView("sessionToken"));
    if (!token.isString() || token.toString().isEmpty())
        co_return Outcome::unreachable();
    // A token is sent back in a header: one with a line break in it would
    // start a request of the server's making on our connection.
    // (Stored as given; white space around it is trimmed wherever it is used.)
    if (!AppSettings::isUsableSessionToken(token.toString().trimmed()))
        co_return Outcome::unusableToken();
    SecretMask::remember(token.toString());
    co_return Outcome::success(token.toString());
}

// None when the verify address cannot be formed.
QCoro::Task<std::optional<AuthVerifyOutcome>> probeVerify(QUrl base, QString bearer)
{
    const auto url = verifyURL(base);
    if (!url)
        co_return std::nullopt;
    HttpResponse response;
    try {
        response = co_await AuthVerifier::session().send(bearerRequest(*url, bearer), "GET", std::nullopt, maxAuthAnswerBytes);
    } catch (const TransportError &) {
        co_return AuthVerifyOutcome::unreachable;
    }
    if (!response.isHttp)
        co_return AuthVerifyOutcome::unreachable;
    if (response.statusCode == 401)
        co_return AuthVerifyOutcome::unauthorized;
    if (response.statusCode == 200 && answerSaysOk(response.body))
        co_return AuthVerifyOutcome::ok;
    if (response.statusCode >= 200 && response.statusCode <= 299)
        co_return AuthVerifyOutcome::unauthorized;
    co_return AuthVerifyOutcome::unreachable;
}

} // namespace

namespace AuthVerifier {

SharedHttpSession &sharedSession()
{
    static SharedHttpSession session(HttpSession::Limits{std::chrono::seconds(8), std::chrono::seconds(12)}, true);
    return session;
}

HttpSession &session()
{
    return sharedSession().get();
}

void setSessionForTesting(HttpSession *session)
{
    sharedSession().setForTesting(session);
}

std::optional<QUrl> endpointURL(const QUrl &base, const QString &path)
{
    if (!base.isValid())
        return std::nullopt;
    QUrl url = base;
    url.setPath(path);
    url.setQuery(QString());
    url.setFragment(QString());
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<QUrl> alternateLoopbackURL(const QUrl &url)
{
    if (!url.isValid())
        return std::nullopt;
    QUrl alternate = url;
    if (url.host() == QLatin1StringView("127.0.0.1"))
        alternate.setHost(QStringLiteral("localhost"));
    else if (url.host() == QLatin1StringView("localhost"))
        alternate.setHost(QStringLiteral("127.0.0.1"));
    else
        return std::nullopt;
    return alternate;
}

QCoro::Task<CreateSessionOutcome> createSession(QString password, AppSettings settings)
{
    const QString address = settings.serverBaseURL.trimmed();
    const QString trimmedPassword = password.trimmed();
    if (address.isEmpty() || trimmedPassword.isEmpty())
        co_return CreateSessionOutcome::unreachable();
    SecretMask::remember(trimmedPassword);
    const auto base = SyncClient::parseServerURL(address);
    if (!base)
        co_return CreateSessionOutcome::unreachable();
    const CreateSessionOutcome first = co_await probeCreateSession(*base, trimmedPassword);
    if (first.kind != CreateSessionOutcome::Kind::unreachable)
        co_return first;
    if (const auto alternate = alternateLoopbackURL(*base))
        co_return co_await probeCreateSession(*alternate, trimmedPassword);
    co_return CreateSessionOutcome::unreachable();
}

QCoro::Task<AuthVerifyOutcome> verify(AppSettings settings, std::optional<QString> bearer)
{
    const QString address = settings.serverBaseURL.trimmed();
    const QString token = bearer.value_or(settings.syncBearer().value_or(QString())).trimmed();
    if (address.isEmpty() || token.isEmpty())
        co_return AuthVerifyOutcome::unauthorized;
    SecretMask::remember(token);
    const auto base = SyncClient::parseServerURL(address);
    if (!base)
        co_return AuthVerifyOutcome::unreachable;
    if (const auto outcome = co_await probeVerify(*base, token))
        co_return *outcome;
    if (const auto alternate = alternateLoopbackURL(*base)) {
        const auto outcome = co_await probeVerify(*alternate, token);
        co_return outcome.value_or(AuthVerifyOutcome::unreachable);
    }
    co_return AuthVerifyOutcome::unreachable;
}

} // namespace AuthVerifier
