#include "latencyproxy.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <future>
#include <memory>

namespace {

using std::chrono::milliseconds;

// One direction of a connection: what `from` receives goes to `to` after
// the delay, and not before `holdUntil` after the connection opened. The
// pieces wait in one queue and leave in the order they came.
class Pipe : public QObject
{
public:
    Pipe(QTcpSocket *from, QTcpSocket *to, milliseconds delay, std::shared_ptr<QElapsedTimer> opened,
         milliseconds holdUntil)
        : QObject(to), m_to(to), m_delay(delay), m_opened(std::move(opened)), m_holdUntil(holdUntil)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &Pipe::release);
        connect(from, &QTcpSocket::readyRead, this, [this, from] { enqueue(from->readAll(), false); });
        // A closed end closes the other once what it sent has arrived.
        connect(from, &QTcpSocket::disconnected, this, [this] { enqueue({}, true); });
    }

private:
    struct Piece {
        qint64 at;
        QByteArray bytes;
        bool close;
    };

    void enqueue(QByteArray bytes, bool close)
    {
        const qint64 now = m_opened->elapsed();
        const qint64 at = std::max<qint64>(now + m_delay.count(), m_holdUntil.count());
        m_queue.push_back(Piece{at, std::move(bytes), close});
        schedule();
    }
    void schedule()
    {
        if (m_queue.empty() || m_timer.isActive())
            return;
        m_timer.start(int(std::max<qint64>(0, m_queue.front().at - m_opened->elapsed())));
    }
    void release()
    {
        const qint64 now = m_opened->elapsed();
        while (!m_queue.empty() && m_queue.front().at <= now) {
            Piece piece = std::move(m_queue.front());
            m_queue.pop_front();
            if (piece.close)
                m_to->disconnectFromHost();
            else
                m_to->write(piece.bytes);
        }
        schedule();
    }

    QTcpSocket *m_to;
    milliseconds m_delay;
    std::shared_ptr<QElapsedTimer> m_opened;
    milliseconds m_holdUntil;
    QTimer m_timer;
    std::deque<Piece> m_queue;
};

class Worker : public QObject
{
public:
    Worker(quint16 targetPort, milliseconds oneWay) : m_target(targetPort), m_delay(oneWay) {}

    quint16 listen()
    {
        m_server = new QTcpServer(this);
        if (!m_server->listen(QHostAddress::LocalHost, 0))
            return 0;
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server->nextPendingConnection())
                accept(client);
        });
        return m_server->serverPort();
    }

private:
    void accept(QTcpSocket *client)
    {
        client->setParent(this);
        auto *upstream = new QTcpSocket(this);
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // The handshake of a real link takes a round trip before the first
        // byte can go: nothing reaches the server before three one-way delays.
        auto opened = std::make_shared<QElapsedTimer>();
        opened->start();
        new Pipe(client, upstream, m_delay, opened, 3 * m_delay);
        new Pipe(upstream, client, m_delay, opened, milliseconds(0));
        const auto done = [client, upstream] {
            if (client->state() == QAbstractSocket::UnconnectedState
                && upstream->state() == QAbstractSocket::UnconnectedState) {
                client->deleteLater();
                upstream->deleteLater();
            }
        };
        connect(client, &QTcpSocket::disconnected, this, done);
        connect(upstream, &QTcpSocket::disconnected, this, done);
        connect(upstream, &QTcpSocket::errorOccurred, client, [client] { client->disconnectFromHost(); });
        upstream->connectToHost(QHostAddress::LocalHost, m_target);
        upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }

    quint16 m_target;
    milliseconds m_delay;
    QTcpServer *m_server = nullptr;
};

} // namespace

LatencyProxy::LatencyProxy(quint16 targetPort, std::chrono::milliseconds oneWay)
{
    auto *worker = new Worker(targetPort, oneWay);
    m_worker = worker;
    worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
    m_thread.start();
    std::promise<quint16> listening;
    std::future<quint16> port = listening.get_future();
    QMetaObject::invokeMethod(worker, [worker, &listening] { listening.set_value(worker->listen()); });
    m_port = port.get();
}

LatencyProxy::~LatencyProxy()
{
    m_thread.quit();
    m_thread.wait();
}
