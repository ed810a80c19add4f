#include "httpsession.h"

#include "synchttpfailure.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcoronetworkreply.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

TransportError::TransportError(QNetworkReply::NetworkError code, QString description, QUrl url)
    : m_code(code), m_description(std::move(description)), m_url(std::move(url))
{
}

Error::Record TransportError::record() const
{
    return Record{QStringLiteral("QNetworkReply"), qint64(m_code), m_description, {}};
}

void RequestGroup::abort()
{
    m_aborted = true;
    // Aborting resumes the sender, which takes its reply out of the set.
    const QSet<QNetworkReply *> inFlight = std::exchange(m_replies, {});
    for (QNetworkReply *reply : inFlight)
        reply->abort();
    const auto inner = std::exchange(m_inner, {});
    for (const std::weak_ptr<RequestGroup> &weak : inner)
        if (const std::shared_ptr<RequestGroup> group = weak.lock())
            group->abort();
}

void RequestGroup::include(const std::shared_ptr<RequestGroup> &inner)
{
    if (!inner || inner.get() == this)
        return;
    if (isAborted()) {
        inner->abort();
        return;
    }
    // Groups that are gone leave their places to the new ones.
    std::erase_if(m_inner, [](const std::weak_ptr<RequestGroup> &weak) { return weak.expired(); });
    m_inner.push_back(inner);
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

namespace {

// A request body that cannot be rewound. Qt sends a request again by itself
// when its connection closes before any answer came, and the server may have
// made the change by then: an upload would add the photo twice. With a body
// it cannot replay, Qt reports the broken exchange instead.
class OneShotBody : public QIODevice
{
public:
    explicit OneShotBody(QByteArray bytes) : m_bytes(std::move(bytes)) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 bytesAvailable() const override { return m_bytes.size() - m_read + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = std::min(maxSize, qint64(m_bytes.size()) - m_read);
        std::memcpy(data, m_bytes.constData() + m_read, size_t(n));
        m_read += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    qint64 m_read = 0;
};

} // namespace

HttpSession::Limits HttpSession::defaultLimits()
{
    return Limits{std::chrono::seconds(60), std::chrono::seconds(120), 32 * 1024};
}

HttpSession &HttpSession::shared()
{
    static SharedHttpSession session(defaultLimits(), false);
    return session.get();
}

namespace {

// Each network manager runs its own HTTP thread, which delivers events
// through the application object. Left to the application's child clean-up,
// the managers (and their threads) would outlive that object and could
// deliver an event into it half destroyed. Deleting the shared sessions from
// a post routine ends those threads while the application is still whole.
void deleteSharedSessions()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    const auto sessions = application->findChildren<HttpSession *>(Qt::FindDirectChildrenOnly);
    for (HttpSession *session : sessions)
        delete session;
}

} // namespace

HttpSession &SharedHttpSession::get()
{
    if (m_override)
        return *m_override;
    if (!m_session) {
        m_session = new HttpSession(m_limits, m_ephemeral, QCoreApplication::instance());
        // Post routines are forgotten with each application object; adding
        // the same one twice would only run it twice, which finds nothing
        // the second time.
        qAddPostRoutine(deleteSharedSessions);
    }
    return *m_session;
}

QCoro::Task<HttpResponse> HttpSession::send(QNetworkRequest request, QByteArray method,
                                            std::optional<QByteArray> body, qint64 maxResponseBytes,
                                            std::shared_ptr<RequestGroup> group)
{
    const QUrl url = request.url();
    if (group && group->isAborted())
        throw TransportError(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"), url);
    // Credentials are always given explicitly in headers; never let Qt pop
    // its own authentication machinery on a 401.
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);

    // Plain GETs go through get() so that non-HTTP schemes (file:) answer too.
    // Every other method may change something, and is sent once only.
    QNetworkReply *sent = nullptr;
    if (method == "GET" && !body) {
        sent = m_manager->get(request);
    } else if (method == "HEAD" && !body) {
        sent = m_manager->sendCustomRequest(request, method);
    } else {
        const QByteArray bytes = body.value_or(QByteArray());
        // Changes have connections of their own (Qt pools them apart from
        // GETs). When those have been idle for a while and nothing is in
        // flight, drop the pool, so that this goes out on a new connection.
        if (m_inFlight.isEmpty() && m_sinceLastChange.isValid()
            && m_sinceLastChange.elapsed() > maxIdleReuseForChanges.count())
            m_manager->clearConnectionCache();
        request.setHeader(QNetworkRequest::ContentLengthHeader, bytes.size());
        auto *once = new OneShotBody(bytes);
        request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        // HTTP/1.1, the protocol this sending is made and tested for.
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        sent = m_manager->sendCustomRequest(request, method, once);
        once->setParent(sent);
    }
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(sent, [](QNetworkReply *r) { r->deleteLater(); });

    QNetworkReply *raw = reply.get();
    m_inFlight.insert(raw);
    if (group)
        group->m_replies.insert(raw);
    const QPointer<HttpSession> self(this);

    // The time limits; `timedOut` tells our own abort apart from a cancellation.
    auto timedOut = std::make_shared<bool>(false);
    const auto expire = [raw, timedOut] {
        *timedOut = true;
        raw->abort();
    };
    auto *idle = new QTimer(raw);
    idle->setSingleShot(true);
    QObject::connect(idle, &QTimer::timeout, raw, expire);
    idle->start(m_limits.idle);
    auto restartIdle = [idle] { idle->start(); };
    QObject::connect(raw, &QNetworkReply::downloadProgress, idle, restartIdle);
    QObject::connect(raw, &QNetworkReply::uploadProgress, idle, restartIdle);
    QObject::connect(raw, &QNetworkReply::metaDataChanged, idle, restartIdle);
    if (m_limits.exchange.count() > 0) {
        const Limits limits = m_limits;
        const qint64 sentBytes = body ? body->size() : 0;
        // The time a body of `bytes` needs at the minimum rate, or the fixed
        // limit when that is longer.
        const auto allowance = [limits](qint64 bytes) {
            if (limits.minimumBytesPerSecond <= 0)
                return limits.exchange;
            return std::max(limits.exchange, std::chrono::milliseconds(bytes * 1000 / limits.minimumBytesPerSecond));
        };
        auto *exchange = new QTimer(raw);
        exchange->setSingleShot(true);
        QObject::connect(exchange, &QTimer::timeout, raw, expire);
        exchange->start(allowance(sentBytes));
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        if (limits.minimumBytesPerSecond > 0) {
            QObject::connect(raw, &QNetworkReply::metaDataChanged, exchange, [raw, exchange, started, allowance, sentBytes] {
                bool known = false;
                const qint64 announced = raw->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
                if (!known || announced <= 0)
                    return;
                const auto left = allowance(sentBytes + announced) - std::chrono::milliseconds(started->elapsed());
                if (left > std::chrono::milliseconds(exchange->remainingTime()))
                    exchange->start(std::max(left, std::chrono::milliseconds(0)));
            });
        }
    }

    // The size limits: what the headers announce, then what arrives, and
    // what the decompression makes of it. An error body is never long.
    auto tooLarge = std::make_shared<bool>(false);
    auto limit = std::make_shared<qint64>(maxResponseBytes);
    QObject::connect(raw, &QNetworkReply::metaDataChanged, raw, [raw, limit] {
        const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const int code = status.isValid() ? status.toInt() : 0;
        if (code >= 300 && code != 304 && code != 409)
            *limit = *limit > 0 ? std::min(*limit, maxErrorBodyBytes) : maxErrorBodyBytes;
    });
    // The body is taken as it arrives: Qt decompresses while it is read, so
    // only what has been read shows how large a compressed answer really is.
    auto received = std::make_shared<QByteArray>();
    const auto overLimit = [limit](qint64 bytes) { return *limit > 0 && bytes > *limit; };
    QObject::connect(raw, &QNetworkReply::downloadProgress, raw,
                     [raw, tooLarge, overLimit](qint64 arrived, qint64 total) {
                         if (!*tooLarge && (overLimit(arrived) || overLimit(total))) {
                             *tooLarge = true;
                             raw->abort();
                         }
                     });
    QObject::connect(raw, &QIODevice::readyRead, raw, [raw, tooLarge, overLimit, received] {
        if (*tooLarge)
            return;
        *received += raw->readAll();
        if (overLimit(received->size())) {
            *tooLarge = true;
            received->clear();
            raw->abort();
        }
    });

    co_await raw;
    if (self) {
        self->m_inFlight.remove(raw);
        if (method != "GET" && method != "HEAD")
            self->m_sinceLastChange.start();
    }
    if (group)
        group->m_replies.remove(raw);

    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (*timedOut)
        throw TransportError(QNetworkReply::TimeoutError, QStringLiteral("The request timed out."), url);
    if (*tooLarge)
        throw TransportError(QNetworkReply::UnknownContentError,
                             QStringLiteral("The server's answer is larger than %1, the most taken for it.")
                                 .arg(formatByteCount(*limit)),
                             url);
    // Qt keeps the status of an answer whose connection broke after the
    // headers: the body is then cut short, never an answer to act on (a
    // truncated image would be cached as whole). Network and proxy errors
    // (below 200) and a protocol failure mean exactly that; a refused
    // redirect and the other errors only restate the HTTP answer.
    const QNetworkReply::NetworkError error = raw->error();
    const bool refusedRedirect =
        error == QNetworkReply::TooManyRedirectsError || error == QNetworkReply::InsecureRedirectError;
    // A success status with an error is a body that did not arrive whole:
    // Qt reports a failed decompression (a corrupt or cut gzip stream, or
    // one past its bomb check) that way, with what it had decoded so far.
    const bool successWithError = status.isValid() && status.toInt() < 400 && error != QNetworkReply::NoError;
    const bool brokenExchange =
        !refusedRedirect
        && ((error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
            || error == QNetworkReply::ProtocolFailure || successWithError);
    *received += raw->readAll();
    if (overLimit(received->size()))
        throw TransportError(QNetworkReply::UnknownContentError,
                             QStringLiteral("The server's answer is larger than %1, the most taken for it.")
                                 .arg(formatByteCount(*limit)),
                             url);
    if (status.isValid() && !brokenExchange) {
        co_return HttpResponse{true, status.toInt(), std::move(*received), raw->rawHeaderPairs()};
    }
    // Qt's code for a failed decompression is the one this layer keeps for
    // an answer too large to take.
    if (successWithError && error == QNetworkReply::UnknownContentError)
        throw TransportError(QNetworkReply::ProtocolFailure, raw->errorString(), url);
    if (error != QNetworkReply::NoError)
        throw TransportError(error, raw->errorString(), url);
    co_return HttpResponse{false, -1, std::move(*received), {}};
}
