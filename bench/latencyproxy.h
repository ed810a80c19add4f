// A link with latency, on loopback: a TCP proxy that holds every piece of
// data for a fixed time in each direction before passing it on, so a
// request and its answer cost a round trip as they would to a server on the
// internet. Connections stay open as long as both ends keep them (HTTP
// keep-alive goes through), and opening one costs a round trip too.
//
// The proxy runs on a thread of its own; the client and its peers (curl)
// go through the same proxy in the same run.
#pragma once

#include <QThread>
#include <QtGlobal>

#include <chrono>

class LatencyProxy
{
public:
    // Forwards to 127.0.0.1:`targetPort`, each direction delayed by `oneWay`.
    LatencyProxy(quint16 targetPort, std::chrono::milliseconds oneWay);
    ~LatencyProxy();
    LatencyProxy(const LatencyProxy &) = delete;
    LatencyProxy &operator=(const LatencyProxy &) = delete;

    // The port on 127.0.0.1 it listens on; 0 when it could not listen.
    quint16 port() const { return m_port; }

private:
    QThread m_thread;
    QObject *m_worker = nullptr;
    quint16 m_port = 0;
};
