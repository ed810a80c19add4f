#include "httpsession.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcoronetworkreply.h>

#include <memory>

TransportError::TransportError(QNetworkReply::NetworkError code, QString description, QUrl url)
    : m_code(code), m_description(std::move(description)), m_url(std::move(url))
{
}

Error::Record TransportError::record() const
{
    return Record{QStringLiteral("QNetworkReply"), qint64(m_code), m_description, {}};
}

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

namespace {
// A cookie jar that keeps nothing, for sessions that must not remember.
class NoCookieJar : public QNetworkCookieJar
{
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
};
} // namespace

HttpSession::HttpSession(Limits limits, bool ephemeral, QObject *parent)
    : QObject(parent), m_limits(limits), m_manager(new QNetworkAccessManager(this))
{
    if (ephemeral)
        m_manager->setCookieJar(new NoCookieJar(m_manager));
    // Requests carry the session token; a redirect to another origin must
    // not take it along.
    m_manager->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
}

HttpSession::~HttpSession()
{
    // The manager would delete its replies without a word, leaving their
    // waiting coroutines suspended for ever; abort them so they resume.
    const auto inFlight = m_inFlight;
    for (QNetworkReply *reply : inFlight)
        reply->abort();
}

HttpSession &HttpSession::shared()
{
    static SharedHttpSession session(Limits{}, false);
    return session.get();
}

HttpSession &SharedHttpSession::get()
{
    if (m_override)
        return *m_override;
    if (!m_session)
        m_session = new HttpSession(m_limits, m_ephemeral, QCoreApplication::instance());
    return *m_session;
}

QCoro::Task<HttpResponse> HttpSession::send(QNetworkRequest request, QByteArray method,
                                            std::optional<QByteArray> body)
{
    const QUrl url = request.url();
    // Credentials are always given explicitly in headers; never let Qt pop
    // its own authentication machinery on a 401.
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);

    // Plain GETs go through get() so that non-HTTP schemes (file:) answer too.
    QNetworkReply *sent = nullptr;
    if (body)
        sent = m_manager->sendCustomRequest(request, method, *body);
    else if (method == "GET")
        sent = m_manager->get(request);
    else
        sent = m_manager->sendCustomRequest(request, method);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(sent, [](QNetworkReply *r) { r->deleteLater(); });

    QNetworkReply *raw = reply.get();
    m_inFlight.insert(raw);
    const QPointer<HttpSession> self(this);

    // The time limits; `timedOut` tells our own abort apart from a cancellation.
    auto timedOut = std::make_shared<bool>(false);
    auto *idle = new QTimer(raw);
    idle->setSingleShot(true);
    QObject::connect(idle, &QTimer::timeout, raw, [raw, timedOut] {
        *timedOut = true;
        raw->abort();
    });
    idle->start(m_limits.idle);
    auto restartIdle = [idle] { idle->start(); };
    QObject::connect(raw, &QNetworkReply::downloadProgress, idle, restartIdle);
    QObject::connect(raw, &QNetworkReply::uploadProgress, idle, restartIdle);
    QObject::connect(raw, &QNetworkReply::metaDataChanged, idle, restartIdle);
    if (m_limits.exchange.count() > 0) {
        QTimer::singleShot(m_limits.exchange, raw, [raw, timedOut] {
            *timedOut = true;
            raw->abort();
        });
    }

    co_await raw;
    if (self)
        self->m_inFlight.remove(raw);

    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (*timedOut)
        throw TransportError(QNetworkReply::TimeoutError, QStringLiteral("The request timed out."), url);
    // Qt keeps the status of an answer whose connection broke after the
    // headers: the body is then cut short, never an answer to act on (a
    // truncated image would be cached as whole). Network and proxy errors
    // (below 200) and a protocol failure mean exactly that; a refused
    // redirect and the other errors only restate the HTTP answer.
    const QNetworkReply::NetworkError error = raw->error();
    const bool refusedRedirect =
        error == QNetworkReply::TooManyRedirectsError || error == QNetworkReply::InsecureRedirectError;
    const bool brokenExchange =
        !refusedRedirect
        && ((error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
            || error == QNetworkReply::ProtocolFailure);
    if (status.isValid() && !brokenExchange) {
        co_return HttpResponse{true, status.toInt(), raw->readAll(), raw->rawHeaderPairs()};
    }
    if (error != QNetworkReply::NoError)
        throw TransportError(error, raw->errorString(), url);
    co_return HttpResponse{false, -1, raw->readAll(), {}};
}
