#include "httpworkers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

WorkerPool::WorkerPool(std::size_t maxWorkers)
    : m_maxWorkers(std::max<std::size_t>(maxWorkers, 1))
{
}

WorkerPool::~WorkerPool()
{
    shutdown();
}

void WorkerPool::enqueue(std::function<void()> task)
{
    std::unique_lock lock(m_mutex);
    m_tasks.push_back(std::move(task));
    if (m_idle < m_tasks.size() && m_workers.size() < m_maxWorkers) {
        try {
            m_workers.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            // No new thread to be had: the task waits for a worker there
            // is, or, without any, runs here.
            if (m_workers.empty()) {
                std::function<void()> only = std::move(m_tasks.back());
                m_tasks.pop_back();
                lock.unlock();
                only();
                return;
            }
        }
    }
    lock.unlock();
    m_ready.notify_one();
}

void WorkerPool::shutdown()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_shuttingDown)
            return;
        m_shuttingDown = true;
    }
    m_ready.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
    m_workers.clear();
}

void WorkerPool::work()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_idle;
        m_ready.wait(lock, [this] { return !m_tasks.empty() || m_shuttingDown; });
        --m_idle;
        if (m_tasks.empty())
            return;
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
}

namespace {

QString bindFailure(int error)
{
    switch (error) {
    case EADDRINUSE:
        return QStringLiteral("address in use");
    case EADDRNOTAVAIL:
        return QStringLiteral("not an address of this machine");
    case EACCES:
        return QStringLiteral("permission denied");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

} // namespace

int HttpServer::bindListeningSocket(const QString &host, int port, QString *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *addresses = nullptr;
    const QByteArray hostName = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    if (const int failed = getaddrinfo(hostName.isEmpty() ? nullptr : hostName.constData(), service.constData(),
                                       &hints, &addresses)) {
        *error = QStringLiteral("unknown address (%1)").arg(QString::fromLocal8Bit(gai_strerror(failed)));
        return 0;
    }

    int firstError = 0;
    int sock = -1;
    for (addrinfo *address = addresses; address && sock < 0; address = address->ai_next) {
        sock = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (sock < 0) {
            firstError = firstError ? firstError : errno;
            continue;
        }
        // SO_REUSEADDR only lets a restart bind while old connections linger
        // in TIME_WAIT; unlike SO_REUSEPORT it never shares a listening port.
        const int yes = 1;
        const int no = 0;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (address->ai_family == AF_INET6)
            setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        // Accepted connections inherit it.
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        if (::bind(sock, address->ai_addr, address->ai_addrlen) != 0 || ::listen(sock, SOMAXCONN) != 0) {
            firstError = firstError ? firstError : errno;
            ::close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(addresses);
    if (sock < 0) {
        *error = bindFailure(firstError);
        return 0;
    }

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(sock, reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
        *error = bindFailure(errno);
        ::close(sock);
        return 0;
    }
    const int boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                                      : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    svr_sock_ = sock;
    return boundPort;
}
