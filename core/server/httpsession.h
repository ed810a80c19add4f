// An HTTP session: one QNetworkAccessManager with the time limits its
// requests get. The process-wide default session (60 s without data) serves
// gallery, frame and image requests; later code makes short-lived sessions
// with tighter limits for sign-in and the health probe.
//
// Two limits can apply to a request:
//   - idle: no byte sent or received for that long;
//   - exchange: the whole request, from start to last byte, took that long.
//     With a minimum rate, a large body (sent, or announced by its
//     Content-Length) extends it to the time that body needs at that rate,
//     so a server that sends a byte now and then cannot hold a request open
//     for ever, while a large photo on a slow link still arrives.
// Either one aborts the request and is reported as a TransportError with
// code QNetworkReply::TimeoutError, never as a cancellation.
#pragma once

#include "../error.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class QNetworkAccessManager;
class QNetworkRequest;

// A failure of the transport itself: nothing HTTP came back.
class TransportError : public Error
{
public:
    TransportError(QNetworkReply::NetworkError code, QString description, QUrl url);

    QNetworkReply::NetworkError code() const { return m_code; }
    const QUrl &url() const { return m_url; }
    // The request was cancelled by its caller (not aborted by a time limit).
    bool isCancellation() const { return m_code == QNetworkReply::OperationCanceledError; }
    bool isTimeout() const { return m_code == QNetworkReply::TimeoutError; }
    // The answer was longer than the caller allowed.
    bool isTooLarge() const { return m_code == QNetworkReply::UnknownContentError; }

    Record record() const override;

private:
    QNetworkReply::NetworkError m_code;
    QString m_description;
    QUrl m_url;
};

struct HttpResponse {
    // False when the answer was not an HTTP response (for example a file: URL).
    bool isHttp = false;
    int statusCode = 0;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;

    QByteArray header(const QByteArray &name) const;
};

// Requests that end together. A signed-in session's gallery, image and frame
// requests share one group, and signing out aborts it: every request of the
// group still in flight ends at once as a cancellation, and a request sent
// through an aborted group is refused before anything goes out.
//
// A group may hold smaller groups (one thumbnail a screen no longer needs):
// aborting one of those ends its requests alone, aborting the outer group
// ends them all.
class RequestGroup
{
public:
    // Any thread may ask; work on a worker thread checks it before it lands.
    bool isAborted() const { return m_aborted.load(); }
    // Main thread. The waiting senders resume (with the cancellation)
    // before this returns, or on the next turn of the event loop.
    void abort();
    // Main thread. `inner` is aborted with this group, at once when this
    // one already is.
    void include(const std::shared_ptr<RequestGroup> &inner);

private:
    friend class HttpSession;
    std::atomic<bool> m_aborted{false};
    QSet<QNetworkReply *> m_replies;
    std::vector<std::weak_ptr<RequestGroup>> m_inner;
};

class HttpSession : public QObject
{
    Q_OBJECT
public:
    struct Limits {
        std::chrono::milliseconds idle{60000};
        // Zero: no limit on the whole exchange.
        std::chrono::milliseconds exchange{0};
        // Zero: the exchange limit is fixed.
        qint64 minimumBytesPerSecond = 0;
    };
    // The shared session's: 60 s idle, 120 s for an exchange, extended at
    // 32 kB/s for large bodies.
    static Limits defaultLimits();

    // The body of an answer with an error status (300 and above, but for
    // 304 and 409, whose body is a manifest) is read up to this size only.
    static constexpr qint64 maxErrorBodyBytes = 1024 * 1024;

    // A request that may change something is never sent on a connection
    // that has been idle this long: the server may be closing it just then
    // (its keep-alive ran out), and such a request is not sent again.
    static constexpr std::chrono::milliseconds maxIdleReuseForChanges{500};

    explicit HttpSession(Limits limits, bool ephemeral = false, QObject *parent = nullptr);
    // Requests still in flight end as cancelled (OperationCanceledError).
    ~HttpSession() override;

    // The default session of the process, created on first use on the main
    // thread and owned by the application object.
    static HttpSession &shared();

    const Limits &limits() const { return m_limits; }

    // Sends one request and waits for the whole answer. Throws TransportError
    // when the transport fails; any HTTP status is returned, not thrown.
    // With `maxResponseBytes` > 0 a longer answer (announced, received, or
    // once decompressed) is aborted and thrown as a TransportError for which
    // isTooLarge() holds; so is an error body over maxErrorBodyBytes.
    // With a `group`, aborting the group aborts the request (a cancellation).
    QCoro::Task<HttpResponse> send(QNetworkRequest request, QByteArray method,
                                   std::optional<QByteArray> body = std::nullopt, qint64 maxResponseBytes = 0,
                                   std::shared_ptr<RequestGroup> group = nullptr);

private:
    Limits m_limits;
    QNetworkAccessManager *m_manager;
    QSet<QNetworkReply *> m_inFlight;
    // Since the last exchange of a change ended (invalid before the first).
    QElapsedTimer m_sinceLastChange;
};

// A process-wide session made on first use (on the main thread, owned by the
// application object), which a test may replace with one of its own.
class SharedHttpSession
{
public:
    SharedHttpSession(HttpSession::Limits limits, bool ephemeral) : m_limits(limits), m_ephemeral(ephemeral) {}

    HttpSession &get();
    // Null goes back to the process-wide session.
    void setForTesting(HttpSession *session) { m_override = session; }

private:
    HttpSession::Limits m_limits;
    bool m_ephemeral;
    QPointer<HttpSession> m_session;
    QPointer<HttpSession> m_override;
};
