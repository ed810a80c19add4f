// A loopback HTTP proxy that stands in front of a real server (the
// development server) and injects faults at random but reproducibly: the same
// seed and the same sequence of requests give the same faults. Each
// connection carries one exchange ("Connection: close" both ways), so every
// request meets its own dice roll:
//
//   delay      the answer comes late (still within the client's limits)
//   reset      the connection is dropped without an answer (before the
//              request reaches the server, or after it, with the change done)
//   truncate   the server's answer is cut in the middle of its body
//   conflict   a 409 storm: changes are refused with the server's manifest
//   5xx        a burst of 500/502/503 answers that echo the request's
//              credential in their bodies (the client must mask it)
//   401        the session token is refused once
//
// Storms and bursts last a few requests. With the fault rate at 0 it is a
// transparent proxy. It runs on a thread of its own, like ScriptableServer.
#pragma once

#include <QHostAddress>
#include <QThread>
#include <QUrl>

#include <memory>

class FaultProxy
{
public:
    enum class Fault { none, delay, resetBefore, resetAfter, truncate, conflict, serverError, unauthorized };

    FaultProxy(QUrl upstream, quint32 seed);
    ~FaultProxy();
    FaultProxy(const FaultProxy &) = delete;
    FaultProxy &operator=(const FaultProxy &) = delete;

    bool listen();
    QUrl baseUrl() const;

    // The share of exchanges (0 to 1) that start a fault; 0 stops them, also
    // a storm under way.
    void setFaultRate(double rate);
    // Every answer is held back this long, and sent in small pieces.
    void setSlowdown(int delayMs);

    // How many faults were injected so far.
    int faultsInjected() const;
    // Upload requests (POST .../photos) that reached the server.
    int uploadsForwarded() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
    QThread m_thread;
    QObject *m_worker = nullptr;
    quint16 m_port = 0;
};
