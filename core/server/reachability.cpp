#include "reachability.h"

#include "authverifier.h"
#include "model/jsonfields.h"
#include "syncclient.h"

#include <QNetworkRequest>

namespace {

// The health answer is a line of JSON.
constexpr qint64 maxProbeAnswerBytes = 64 * 1024;

QCoro::Task<bool> probeHealth(QUrl base)
{
    const auto url = AuthVerifier::endpointURL(base, QStringLiteral("/api/health"));
    if (!url)
        co_return false;
    HttpResponse response;
    try {
        response = co_await Reachability::session().send(QNetworkRequest(*url), "GET", std::nullopt, maxProbeAnswerBytes);
    } catch (const TransportError &) {
        co_return false;
    }
    co_return response.isHttp && response.statusCode == 200 && answerSaysOk(response.body);
}

} // namespace

namespace Reachability {

SharedHttpSession &sharedSession()
{
    static SharedHttpSession session(HttpSession::Limits{std::chrono::seconds(2), std::chrono::seconds(2)}, true);
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

QCoro::Task<bool> pingServer(QString baseURL)
{
    const auto base = SyncClient::parseServerURL(baseURL.trimmed());
    if (!base)
        co_return false;
    if (co_await probeHealth(*base))
        co_return true;
    if (const auto alternate = AuthVerifier::alternateLoopbackURL(*base))
        co_return co_await probeHealth(*alternate);
    co_return false;
}

} // namespace Reachability
