// How the development server takes connections: its own listening socket
// (httplib's sets SO_REUSEPORT, which lets a second server share the port
// and take half of its requests) and a pool of workers that grows with the
// connections. httplib serves each connection on one worker from start to
// end, idle or not, so its fixed pool of eight was held by as many slow or
// idle clients while every other request waited.
#pragma once

#include <httplib.h>

#include <QString>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A task queue that starts a worker whenever a connection would otherwise
// wait, up to `maxWorkers`; beyond that, connections wait for a worker.
class WorkerPool final : public httplib::TaskQueue
{
public:
    explicit WorkerPool(std::size_t maxWorkers);
    ~WorkerPool() override;

    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void enqueue(std::function<void()> task) override;
    // Runs what is queued, then joins every worker.
    void shutdown() override;

private:
    void work();

    const std::size_t m_maxWorkers;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_tasks;
    std::vector<std::thread> m_workers;
    std::size_t m_idle = 0;
    bool m_shuttingDown = false;
};

// httplib's server, listening on a socket bound here.
class HttpServer : public httplib::Server
{
public:
    // Binds and listens on `host` (a name or an address) and `port`, 0 for
    // a free one, without SO_REUSEPORT: a port in use fails. Answers the
    // port; on failure 0, with the reason ("address in use", ...) in `error`.
    int bindListeningSocket(const QString &host, int port, QString *error);
};
