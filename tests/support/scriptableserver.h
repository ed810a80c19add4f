// A small HTTP/1.1 server on 127.0.0.1 for tests: fixed answers per method
// and path (or a sequence of answers, the last one repeating), and a record
// of every request it saw. It runs on a thread of its own, so tests may also
// block on a child process that talks to it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QThread>
#include <QUrl>

#include <memory>

// Bytes that pass for a JPEG where only its signature (FF D8 FF) is
// checked: the client caches nothing else as a photo.
inline QByteArray jpegLike(const QByteArray &tag)
{
    return QByteArray("\xFF\xD8\xFF", 3) + tag;
}

class ScriptableServer
{
public:
    struct Request {
        QByteArray method;
        QByteArray path;  // without the query
        QByteArray query; // without the "?"
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        // The value of a header (case-insensitive name); empty when absent.
        QByteArray header(const QByteArray &name) const;
    };

    struct Response {
        enum class Kind {
            Normal,
            CloseWithoutAnswer, // drop the connection without a byte
            // Drop a connection that already carried a request without
            // reading this one (a keep-alive that ran out just then); on a
            // new connection, answer normally.
            ClosedWhenReused,
            NotHttp,            // answer bytes that are not HTTP
            Hang,               // accept and never answer
            Truncated,          // announce the whole body, send half of it, close
        };
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        Kind kind = Kind::Normal;
        int delayMs = 0;
        // When set, the headers go out at once and the body follows in
        // `trickleChunks` pieces, one every trickleMs.
        int trickleMs = 0;
        int trickleChunks = 1;

        static Response json(int status, const QByteArray &body);
        static Response text(int status, const QByteArray &body, const QByteArray &contentType = "text/plain");
    };

    ScriptableServer();
    ~ScriptableServer();

    // Listens on a free port of 127.0.0.1; false when that failed.
    bool listen();
    QUrl baseUrl() const;

    // The answer to `method` `path` (the query is ignored when matching).
    void on(const QByteArray &method, const QByteArray &path, const Response &response);
    // Successive answers; the last one is repeated once the others are used.
    void onSequence(const QByteArray &method, const QByteArray &path, const QList<Response> &responses);
    // The answer for anything without a route (404 with an empty body by default).
    void setFallback(const Response &response);

    QList<Request> requests() const;
    // The requests to one path.
    QList<Request> requests(const QByteArray &method, const QByteArray &path) const;
    void clearRequests();
    // Answers every request addressed to `host` (its "Host" header) with
    // bytes that are not HTTP, whatever the route.
    void refuseHost(const QByteArray &host);
    // Forgets every route and request; the fallback is 404 again.
    void reset();

    struct State;

private:
    std::shared_ptr<State> m_state;
    QThread m_thread;
    QObject *m_worker = nullptr;
    quint16 m_port = 0;
};
