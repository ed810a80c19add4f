#include "faultproxy.h"

#include <QMutex>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <random>

struct FaultProxy::State {
    const QUrl upstream;
    mutable QMutex mutex; // guards the dice and the storm
    std::mt19937 random;
    double rate = 0;
    std::atomic<int> slowdownMs = 0;
    Fault storm = Fault::none;
    int stormLeft = 0;
    std::atomic<int> injected = 0;
    std::atomic<int> uploadsForwarded = 0;

    Fault next(const QByteArray &method, const QByteArray &path)
    {
        QMutexLocker locker(&mutex);
        const bool change = method != "GET" && method != "HEAD";
        // Signing in and the health check pass, so a test can always get back in.
        if (rate <= 0 || path.startsWith("/api/auth/session") || path.startsWith("/api/health")) {
            stormLeft = 0;
            return Fault::none;
        }
        Fault fault = Fault::none;
        if (stormLeft > 0) {
            --stormLeft;
            fault = storm;
        } else if (std::uniform_real_distribution<double>(0, 1)(random) < rate) {
            static const Fault kinds[] = {Fault::delay,    Fault::resetBefore, Fault::resetAfter, Fault::truncate,
                                          Fault::conflict, Fault::serverError, Fault::unauthorized};
            fault = kinds[std::uniform_int_distribution<int>(0, 6)(random)];
            if (fault == Fault::conflict || fault == Fault::serverError) {
                storm = fault;
                stormLeft = std::uniform_int_distribution<int>(1, 3)(random);
            }
        }
        if (fault == Fault::conflict && !change)
            fault = Fault::none;
        if (fault != Fault::none)
            ++injected;
        return fault;
    }
    int pick(int low, int high)
    {
        QMutexLocker locker(&mutex);
        return std::uniform_int_distribution<int>(low, high)(random);
    }
};

namespace {

struct Message {
    QByteArray head; // start line and headers, without the blank line
    QByteArray body;
};

QByteArray header(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// Splits a complete HTTP message; false while more bytes are needed. Without
// a Content-Length the body is empty, or (untilClose) all that arrived.
bool split(const QByteArray &buffer, Message &message, bool untilClose)
{
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    message.head = buffer.left(end);
    const QByteArray announced = header(message.head, "Content-Length");
    if (announced.isEmpty() && untilClose) {
        message.body = buffer.mid(end + 4);
        return true;
    }
    const qsizetype length = announced.toLongLong();
    if (buffer.size() < end + 4 + length)
        return false;
    message.body = buffer.mid(end + 4, length);
    return true;
}

// The head with "Connection: close" in place of any connection header.
QByteArray closing(const QByteArray &head)
{
    QList<QByteArray> kept;
    for (const QByteArray &line : head.split('\n')) {
        const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
        if (name != "connection" && name != "keep-alive")
            kept << line;
    }
    while (!kept.isEmpty() && kept.last().trimmed().isEmpty())
        kept.removeLast();
    return kept.join('\n') + "\r\nConnection: close";
}

QByteArray answer(int status, const char *reason, const QByteArray &contentType, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class ProxyWorker : public QObject
{
public:
    explicit ProxyWorker(std::shared_ptr<FaultProxy::State> state) : m_state(std::move(state)), m_server(new QTcpServer(this))
    {
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                    if (socket->property("taken").toBool())
                        return;
                    *buffer += socket->readAll();
                    Message request;
                    if (!split(*buffer, request, false))
                        return;
                    socket->setProperty("taken", true);
                    handle(socket, request);
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    quint16 listen() { return m_server->listen(QHostAddress::LocalHost, 0) ? m_server->serverPort() : 0; }

private:
    using Fault = FaultProxy::Fault;

    void handle(QTcpSocket *client, const Message &request)
    {
        const QList<QByteArray> start = request.head.left(request.head.indexOf('\r')).split(' ');
        const QByteArray method = start.value(0);
        const QByteArray target = start.value(1);
        const QByteArray path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
        const Fault fault = m_state->next(method, path);
        const QPointer<QTcpSocket> guard(client);
        const int slow = m_state->slowdownMs;

        switch (fault) {
        case Fault::resetBefore:
            client->abort();
            return;
        case Fault::serverError: {
            static const int statuses[] = {500, 502, 503};
            const int status = statuses[m_state->pick(0, 2)];
            // Servers behind proxies do echo what they were sent.
            const QByteArray body = "upstream failed while handling " + method + ' ' + path
                + "; Authorization: " + header(request.head, "Authorization");
            send(guard, answer(status, "Server Error", "text/plain", body), slow);
            return;
        }
        case Fault::unauthorized:
            send(guard, answer(401, "Unauthorized", "application/json", R"({"error":"Unauthorized"})"), slow);
            return;
        case Fault::conflict: {
            // The server's manifest, as a real 409 carries it.
            const QByteArray get = "GET /api/gallery HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                + header(request.head, "Authorization") + "\r\nConnection: close\r\n\r\n";
            forward(get, [this, guard, slow](const QByteArray &raw) {
                Message gallery;
                split(raw, gallery, true);
                QByteArray body = gallery.body;
                if (body.startsWith('{'))
                    body = R"({"error":"Gallery changed",)" + body.mid(1);
                send(guard, answer(409, "Conflict", "application/json", body), slow);
            });
            return;
        }
        default:
            break;
        }

        const QByteArray outgoing = closing(request.head) + "\r\n\r\n" + request.body;
        if (method == "POST" && path.endsWith("/photos"))
            ++m_state->uploadsForwarded;
        const int delay = fault == Fault::delay ? m_state->pick(200, 1500) : 0;
        forward(outgoing, [this, guard, fault, delay, slow](const QByteArray &raw) {
            if (!guard)
                return;
            if (fault == Fault::resetAfter) {
                guard->abort();
                return;
            }
            Message response;
            if (!split(raw, response, true)) {
                guard->abort();
                return;
            }
            if (fault == Fault::truncate) {
                // The whole length announced, half the body sent.
                guard->write(closing(response.head) + "\r\n\r\n" + response.body.left(response.body.size() / 2));
                guard->flush();
                guard->abort();
                return;
            }
            const QByteArray whole = closing(response.head) + "\r\n\r\n" + response.body;
            QTimer::singleShot(delay, this, [this, guard, whole, slow] { send(guard, whole, slow); });
        });
    }

    // Sends `bytes` and closes; with a slowdown, late and in small pieces.
    void send(const QPointer<QTcpSocket> &client, const QByteArray &bytes, int slowMs)
    {
        if (!client)
            return;
        if (slowMs <= 0) {
            client->write(bytes);
            client->disconnectFromHost();
            return;
        }
        const int pieces = 8;
        const qsizetype size = (bytes.size() + pieces - 1) / pieces;
        for (int i = 0; i < pieces; ++i) {
            const QByteArray piece = bytes.mid(i * size, size);
            const bool last = i == pieces - 1;
            QTimer::singleShot(slowMs * (i + 1) / pieces, this, [client, piece, last] {
                if (!client)
                    return;
                client->write(piece);
                if (last)
                    client->disconnectFromHost();
            });
        }
    }

    // One exchange with the upstream server; `done` gets its raw answer
    // (empty when it failed).
    template<typename Done>
    void forward(const QByteArray &bytes, Done done)
    {
        auto *upstream = new QTcpSocket(this);
        auto received = std::make_shared<QByteArray>();
        auto finished = std::make_shared<bool>(false);
        auto finish = [upstream, received, finished, done] {
            if (*finished)
                return;
            *finished = true;
            done(*received);
            upstream->deleteLater();
        };
        connect(upstream, &QTcpSocket::connected, upstream, [upstream, bytes] { upstream->write(bytes); });
        connect(upstream, &QTcpSocket::readyRead, upstream, [upstream, received, finish] {
            *received += upstream->readAll();
            Message whole;
            if (split(*received, whole, false) && !header(whole.head, "Content-Length").isEmpty())
                finish();
        });
        connect(upstream, &QTcpSocket::disconnected, upstream, finish);
        connect(upstream, &QTcpSocket::errorOccurred, upstream, [finish](QAbstractSocket::SocketError) { finish(); });
        upstream->connectToHost(m_state->upstream.host(), quint16(m_state->upstream.port()));
    }

    std::shared_ptr<FaultProxy::State> m_state;
    QTcpServer *m_server;
};

} // namespace

FaultProxy::FaultProxy(QUrl upstream, quint32 seed) : m_state(std::make_shared<State>(std::move(upstream)))
{
    m_state->random.seed(seed);
    auto *worker = new ProxyWorker(m_state);
    worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
    m_worker = worker;
    m_thread.start();
}

FaultProxy::~FaultProxy()
{
    m_thread.quit();
    m_thread.wait();
}

bool FaultProxy::listen()
{
    auto *worker = static_cast<ProxyWorker *>(m_worker);
    QMetaObject::invokeMethod(worker, [this, worker] { m_port = worker->listen(); }, Qt::BlockingQueuedConnection);
    return m_port != 0;
}

QUrl FaultProxy::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

void FaultProxy::setFaultRate(double rate)
{
    QMutexLocker locker(&m_state->mutex);
    m_state->rate = rate;
    if (rate <= 0)
        m_state->stormLeft = 0;
}

void FaultProxy::setSlowdown(int delayMs)
{
    m_state->slowdownMs = delayMs;
}

int FaultProxy::faultsInjected() const
{
    return m_state->injected;
}

int FaultProxy::uploadsForwarded() const
{
    return m_state->uploadsForwarded;
}
