// The development gallery server: the HTTP API of the gallery, the frames
// and the simulation controls over a GalleryStore, and the rotation of the
// current photo. main.cpp is a thin shell around it; tests run it in-process
// on a free port the same way:
//
//   GalleryServer server(options);          // loads the data folder
//   const quint16 port = server.bind(QStringLiteral("127.0.0.1"), 0);
//   std::thread thread([&] { server.run(); });
//   ...
//   server.stop();                          // from any thread
//   thread.join();
#pragma once

#include "gallerystore.h"
#include "signinthrottle.h"
#include "updatefeed.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class HttpServer;

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

class GalleryServer
{
public:
    struct Options {
        QString dataFolder;
        QString password;
        // Rotate every this many seconds instead of daily at 11:00 UTC.
        std::optional<int> advanceIntervalSeconds;
        // Seed a demo gallery when the data folder has no manifest yet.
        bool demo = false;
        GalleryStore::ClockFunction clock; // the real clock when empty
        std::size_t uploadLimitBytes = 64 * 1024 * 1024;
        std::size_t jsonLimitBytes = 1024 * 1024;
        bool logRequests = false; // one line per request on stderr
        // Sign-ins refused after wrong passwords, and the clock they are
        // timed by (the steady clock when empty).
        SignInThrottle::Limits signInLimits;
        std::function<SignInThrottle::Clock::time_point()> signInClock;
        // The release the update feed offers; empty: the feed lists none.
        QString updateVersion;
    };

    // Loads (or seeds) the data folder; throws StartupError.
    explicit GalleryServer(Options options);
    ~GalleryServer();

    GalleryServer(const GalleryServer &) = delete;
    GalleryServer &operator=(const GalleryServer &) = delete;

    // Binds the listening socket; port 0 picks a free one. Answers the port;
    // throws StartupError (a port in use says "address in use").
    quint16 bind(const QString &host, quint16 port);
    // Serves until stop(); answers whether it ended because stop() asked.
    bool run();
    // Thread-safe, and safe before or after run(); not for signal handlers.
    void stop();

    GalleryStore &store() { return m_store; }
    const UpdateFeed &updateFeed() const { return m_updates; }

private:
    void installRoutes();
    QString updateFileURL(const httplib::Request &req) const;
    void rotationLoop();
    void advanceRotation();

    Options m_options;
    GalleryStore m_store;
    UpdateFeed m_updates;
    QByteArray m_passwordDigest;
    SignInThrottle m_signIns;
    std::unique_ptr<HttpServer> m_http;

    std::atomic<bool> m_running{false};
    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
    bool m_stopping = false; // guarded by m_stopMutex
};
