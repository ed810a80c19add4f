// The common ground of the screen tests: a scripted gallery server, a store
// and session signed in against it, and the gallery screen over them.
//
// A test class derives from QObject and GalleryFixture, and calls
// startServer() from initTestCase(), reset() from init() and tearDown() from
// cleanup(). Header-only, so only the tests that link the screens use it.
#pragma once

#include "support/scriptableserver.h"
#include "support/testenvironment.h"

#include "ui/kit/chromestate.h"
#include "ui/kit/decodedimagecache.h"
#include "ui/gallery/galleryscreen.h"
#include "model/appconfig.h"
#include "store/gallerystore.h"
#include "taskwait.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QTest>

#include <memory>

class GalleryFixture
{
public:
    static QByteArray galleryJson(const GalleryState &state)
    {
        return QJsonDocument(GalleryResponse{state}.toJson()).toJson(QJsonDocument::Compact);
    }

    // A plain image of one colour, encoded as `format`.
    static QByteArray imageBytes(QColor color, const char *format = "JPEG", QSize size = {60, 80})
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(color);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return bytes;
    }

protected:
    using Response = ScriptableServer::Response;

    ScriptableServer server;
    std::unique_ptr<AppSession> session;
    std::unique_ptr<GalleryStore> store;
    std::unique_ptr<AppChromeState> chrome;
    std::unique_ptr<GalleryScreen> screen;

    void settle() { TaskWait::run(store->waitForBackgroundTasks()); }

    // Once per test case: the server listens, the app's local server is this
    // one, and logged errors stay off standard error.
    void startServer()
    {
        QVERIFY(server.listen());
        qputenv("LUNVIK_LOCAL_SERVER_URL", server.baseUrl().toString().toUtf8());
        ActivityLogStore::shared().setErrorStreamForTesting([](const QByteArray &) {});
    }

    // Before each test: an empty support folder with its cache folder, no
    // decoded images, fresh chrome, and a server that signs in with "tok",
    // verifies it, is healthy and lists no frames. Routes added later win.
    void reset()
    {
        TestEnvironment::clearSupportFolder();
        QDir().mkpath(AppConfig::cacheFolder());
        DecodedImageCache::shared().clear();
        server.reset();
        server.on("POST", "/api/auth/session", Response::json(200, R"({"ok":true,"sessionToken":"tok"})"));
        server.on("GET", "/api/auth/verify", Response::json(200, R"({"ok":true})"));
        server.on("GET", "/api/health", Response::json(200, R"({"ok":true})"));
        server.on("GET", "/api/devices", Response::json(200, R"({"devices":[]})"));
        server.on("GET", "/api/devices/status", Response::json(200, R"({"devices":[]})"));
        chrome = std::make_unique<AppChromeState>();
    }

    // A store in debug mode over the saved local state, signed in; false
    // when the sign-in failed.
    [[nodiscard]] bool unlock()
    {
        store = std::make_unique<GalleryStore>();
        session = std::make_unique<AppSession>();
        store->setSession(session.get());
        store->setDebugMode(true);
        return TaskWait::run(session->unlock(QStringLiteral("pw"), *store));
    }

    // The gallery screen over the unlocked store, not yet shown.
    void createScreen()
    {
        screen = std::make_unique<GalleryScreen>(*store, *session, *chrome, ActivityLogStore::shared());
    }

    // Shows the screen at `size`; false when it never became exposed.
    [[nodiscard]] bool showScreen(QSize size)
    {
        screen->resize(size);
        screen->show();
        return QTest::qWaitForWindowExposed(screen.get());
    }

    // After each test: the screen goes first, then background work ends and
    // the periodic pull stops before the store and session go.
    void tearDown()
    {
        screen.reset();
        if (store) {
            settle();
            store->cancelPeriodicPull();
            QTest::qWait(1);
        }
        store.reset();
        session.reset();
    }

    // The server's gallery and photo for today, as pulls see them.
    void serveGallery(const GalleryState &state, int delayMs = 0)
    {
        Response gallery = Response::json(200, galleryJson(state));
        gallery.delayMs = delayMs;
        server.on("GET", "/api/gallery", gallery);
        serveCurrent(state);
    }

    void serveCurrent(const GalleryState &state)
    {
        const CurrentPhotoResponse current{state.updatedAt, state.currentPhotoId, std::nullopt, state.updatedAt};
        server.on("GET", "/api/gallery/current",
                  Response::json(200, QJsonDocument(current.toJson()).toJson(QJsonDocument::Compact)));
    }
};
