#include "reachability.h"

#include "authverifier.h"
#include "model/jsonfields.h"
#include "syncclient.h"

#include <QCoreApplication>
#include <QNetworkRequest>
#include <QPointer>

namespace {

QPointer<HttpSession> testSession;

QCoro::Task<bool> probeHealth(QUrl base)
{
    const auto url = AuthVerifier::endpointURL(base, QStringLiteral("/api/health"));
    if (!url)
        co_return false;
    HttpResponse response;
    try {
        response = co_await Reachability::session().send(QNetworkRequest(*url), "GET");
    } catch (const TransportError &) {
        co_return false;
    }
    if (!response.isHttp || response.statusCode != 200)
        co_return false;
    const auto object = parseJsonObject(response.body);
    if (!object)
        co_return false;
    const QJsonValue ok = object->value(QLatin1StringView("ok"));
    co_return ok.isBool() && ok.toBool();
}

} // namespace

namespace Reachability {

HttpSession &session()
{
    if (testSession)
        return *testSession;
    static QPointer<HttpSession> shared;
    if (!shared) {
        shared = new HttpSession(HttpSession::Limits{std::chrono::seconds(2), std::chrono::seconds(2)}, true,
                                 QCoreApplication::instance());
    }
    return *shared;
}

void setSessionForTesting(HttpSession *session)
{
    testSession = session;
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
