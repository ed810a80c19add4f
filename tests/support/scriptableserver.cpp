#include "scriptableserver.h"

#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

struct ScriptableServer::State {
    mutable QMutex mutex;
    QHash<QByteArray, QList<Response>> routes; // "METHOD path" -> answers
    Response fallback = Response::text(404, "");
    QList<Request> seen;
    QByteArray refusedHost;

    Response take(const Request &request)
    {
        QMutexLocker locker(&mutex);
        if (!refusedHost.isEmpty() && request.header("Host").startsWith(refusedHost + ':')) {
            Response refused;
            refused.kind = Response::Kind::NotHttp;
            return refused;
        }
        auto it = routes.find(request.method + ' ' + request.path);
        if (it == routes.end() || it->isEmpty())
            return fallback;
        return it->size() > 1 ? it->takeFirst() : it->first();
    }
};

namespace {

class Worker : public QObject
{
public:
    explicit Worker(std::shared_ptr<ScriptableServer::State> state)
        : m_state(std::move(state)), m_server(new QTcpServer(this))
    {
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    m_buffers.remove(socket);
                    m_served.remove(socket);
                    socket->deleteLater();
                });
            }
        });
    }

    quint16 listen() { return m_server->listen(QHostAddress::LocalHost, 0) ? m_server->serverPort() : 0; }

private:
    void readFrom(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        for (;;) {
            const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
            ScriptableServer::Request request;
            const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
            request.method = start.value(0);
            const QByteArray target = start.value(1);
            const qsizetype q = target.indexOf('?');
            request.path = q < 0 ? target : target.left(q);
            request.query = q < 0 ? QByteArray() : target.mid(q + 1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines.at(i).trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
            const qsizetype contentLength = request.header("Content-Length").toLongLong();
            const qsizetype total = headerEnd + 4 + contentLength;
            if (buffer.size() < total)
                return;
            request.body = buffer.mid(headerEnd + 4, contentLength);
            buffer.remove(0, total);
            const auto response = m_state->take(request);
            if (response.kind == ScriptableServer::Response::Kind::ClosedWhenReused && m_served.value(socket) > 0) {
                socket->abort();
                return;
            }
            ++m_served[socket];
            {
                QMutexLocker locker(&m_state->mutex);
                m_state->seen.append(request);
            }
            QPointer<QTcpSocket> guard(socket);
            if (response.delayMs > 0) {
                QTimer::singleShot(response.delayMs, this, [this, guard, response] {
                    if (guard)
                        answer(guard, response);
                });
            } else {
                answer(socket, response);
            }
        }
    }

    void answer(QTcpSocket *socket, const ScriptableServer::Response &response)
    {
        using Kind = ScriptableServer::Response::Kind;
        switch (response.kind) {
        case Kind::Hang:
            return;
        case Kind::CloseWithoutAnswer:
            socket->abort();
            return;
        case Kind::NotHttp:
            socket->write("this is not HTTP\r\n\r\n");
            socket->disconnectFromHost();
            return;
        default:
            break;
        }
        // The client reads the status code only, never the reason phrase.
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
        for (const auto &[name, value] : response.headers)
            out += name + ": " + value + "\r\n";
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
        if (response.kind == Kind::Truncated) {
            socket->write(out + response.body.left(response.body.size() / 2));
            socket->disconnectFromHost();
            return;
        }
        if (response.trickleMs <= 0) {
            socket->write(out + response.body);
            return;
        }
        socket->write(out);
        const int chunks = std::max(1, response.trickleChunks);
        const qsizetype chunkSize = (response.body.size() + chunks - 1) / chunks;
        QPointer<QTcpSocket> guard(socket);
        for (int i = 0; i < chunks; ++i) {
            const QByteArray piece = response.body.mid(i * chunkSize, chunkSize);
            QTimer::singleShot(response.trickleMs * (i + 1), this, [guard, piece] {
                if (guard)
                    guard->write(piece);
            });
        }
    }

    std::shared_ptr<ScriptableServer::State> m_state;
    QTcpServer *m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QHash<QTcpSocket *, int> m_served;
};

} // namespace

QByteArray ScriptableServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

ScriptableServer::Response ScriptableServer::Response::json(int status, const QByteArray &body)
{
    return text(status, body, "application/json");
}

ScriptableServer::Response ScriptableServer::Response::text(int status, const QByteArray &body,
                                                            const QByteArray &contentType)
{
    return Response{status, body, {{"Content-Type", contentType}}, Kind::Normal, 0, 0, 1};
}

ScriptableServer::ScriptableServer() : m_state(std::make_shared<State>())
{
    auto *worker = new Worker(m_state);
    worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
    m_worker = worker;
    m_thread.start();
}

ScriptableServer::~ScriptableServer()
{
    m_thread.quit();
    m_thread.wait();
}

bool ScriptableServer::listen()
{
    auto *worker = static_cast<Worker *>(m_worker);
    QMetaObject::invokeMethod(worker, [this, worker] { m_port = worker->listen(); }, Qt::BlockingQueuedConnection);
    return m_port != 0;
}

QUrl ScriptableServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

void ScriptableServer::on(const QByteArray &method, const QByteArray &path, const Response &response)
{
    onSequence(method, path, {response});
}

void ScriptableServer::onSequence(const QByteArray &method, const QByteArray &path, const QList<Response> &responses)
{
    QMutexLocker locker(&m_state->mutex);
    m_state->routes.insert(method + ' ' + path, responses);
}

void ScriptableServer::setFallback(const Response &response)
{
    QMutexLocker locker(&m_state->mutex);
    m_state->fallback = response;
}

QList<ScriptableServer::Request> ScriptableServer::requests() const
{
    QMutexLocker locker(&m_state->mutex);
    return m_state->seen;
}

QList<ScriptableServer::Request> ScriptableServer::requests(const QByteArray &method, const QByteArray &path) const
{
    QList<Request> result = requests();
    result.removeIf([&](const Request &r) { return r.method != method || r.path != path; });
    return result;
}

void ScriptableServer::clearRequests()
{
    QMutexLocker locker(&m_state->mutex);
    m_state->seen.clear();
}

void ScriptableServer::reset()
{
    QMutexLocker locker(&m_state->mutex);
    m_state->seen.clear();
    m_state->routes.clear();
    m_state->refusedHost.clear();
    m_state->fallback = Response::text(404, "");
}

void ScriptableServer::refuseHost(const QByteArray &host)
{
    QMutexLocker locker(&m_state->mutex);
    m_state->refusedHost = host;
}
