#include "galleryserver.h"

#include "demogallery.h"
#include "httpworkers.h"

#include "clock.h"
#include "model/jsonfields.h"
#include "rules/rotationschedule.h"

#include <httplib.h>

#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using httplib::Request;
using httplib::Response;
using RouteHandler = std::function<void(const Request &, Response &)>;

constexpr time_t keepAliveSeconds = 1;
constexpr time_t readTimeoutSeconds = 2;
constexpr std::size_t requestsPerConnection = 100;
constexpr std::size_t maxWorkers = 512;

using ServerUtil::logLine;

std::string stdBytes(const QByteArray &bytes)
{
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

// httplib compresses JSON answers with Brotli at its highest quality
// whenever the client accepts it (Qt's network access does): a third of a
// second for the manifest of a 500-photo gallery, ten times that for 5,000,
// on every pull. gzip, which it falls back to, takes a few milliseconds, so
// Brotli is taken out of what the client accepts. (httplib looks for "br"
// anywhere in the header, hence any coding whose name holds it goes.)
void withoutBrotli(Request &req)
{
    if (!req.has_header("Accept-Encoding"))
        return;
    const QList<QByteArray> codings = QByteArray::fromStdString(req.get_header_value("Accept-Encoding")).split(',');
    QList<QByteArray> kept;
    for (const QByteArray &coding : codings) {
        if (!coding.contains("br") && !coding.trimmed().isEmpty())
            kept << coding.trimmed();
    }
    req.headers.erase("Accept-Encoding");
    if (!kept.isEmpty())
        req.set_header("Accept-Encoding", kept.join(", ").toStdString());
}

void sendJson(Response &res, int status, const QJsonObject &object)
{
    res.status = status;
    res.set_content(stdBytes(ServerUtil::jsonBytes(object)), "application/json");
}

void sendState(Response &res, const GalleryState &state)
{
    sendJson(res, 200, GalleryResponse{state}.toJson());
}

void sendError(Response &res, const ApiError &error)
{
    QJsonObject body{{QLatin1StringView("error"), error.message}};
    if (error.state)
        body.insert(QLatin1StringView("state"), error.state->toJson());
    sendJson(res, error.status, body);
    if (error.status == 401)
        res.set_header("WWW-Authenticate", "Bearer");
}

// The credential of "Authorization: Bearer <credential>".
std::optional<QString> bearerCredential(const Request &req)
{
    const QString header = QString::fromStdString(req.get_header_value("Authorization")).trimmed();
    const QLatin1StringView scheme("Bearer");
    if (!header.startsWith(scheme, Qt::CaseInsensitive) || header.size() <= scheme.size()
        || !header.at(scheme.size()).isSpace())
        return std::nullopt;
    const QString credential = header.mid(scheme.size()).trimmed();
    if (credential.isEmpty())
        return std::nullopt;
    return credential;
}

// Whether an If-None-Match header names the entity tag of `version`.
bool matchesEntityTag(const std::string &header, const QString &version)
{
    const QString quoted = QLatin1Char('"') + version + QLatin1Char('"');
    for (QString tag : QString::fromStdString(header).split(QLatin1Char(','))) {
        tag = tag.trimmed();
        if (tag.startsWith(QLatin1StringView("W/")))
            tag.remove(0, 2);
        if (tag == QLatin1StringView("*") || tag == quoted || tag == version)
            return true;
    }
    return false;
}

QJsonObject jsonBody(const Request &req, std::size_t limit)
{
    if (req.body.size() > limit)
        throw ApiError::tooLarge(QStringLiteral("The request body is too large"));
    QString error;
    const auto object = parseJsonObject(QByteArray::fromStdString(req.body), &error);
    if (!object)
        throw ApiError::badRequest(QStringLiteral("The request body is not a JSON object (%1)").arg(error));
    return *object;
}

void requireValid(const JsonFields &fields)
{
    if (!fields.ok())
        throw ApiError::badRequest(QStringLiteral("Invalid request: %1").arg(fields.error()));
}

QList<QString> stringList(JsonFields &fields, QLatin1StringView key)
{
    const QJsonValue value = fields.required(key);
    QList<QString> result;
    if (fields.ok() && !value.isArray())
        fields.fail(QStringLiteral("\"%1\" is not a list").arg(key));
    for (const QJsonValue &element : value.toArray()) {
        if (!element.isString()) {
            fields.fail(QStringLiteral("\"%1\" holds a non-string").arg(key));
            break;
        }
        result.append(element.toString());
    }
    return result;
}

// A text field of a multipart form; none when the form lacks it.
std::optional<QString> formField(const Request &req, const char *name)
{
    if (!req.has_file(name))
        return std::nullopt;
    const auto text = decodeUtf8(QByteArray::fromStdString(req.get_file_value(name).content));
    if (!text)
        throw ApiError::badRequest(QStringLiteral("\"%1\" is not UTF-8 text").arg(QLatin1StringView(name)));
    return text;
}

std::optional<int> requestedWidth(const Request &req)
{
    if (!req.has_param("w"))
        return std::nullopt;
    const std::string raw = req.get_param_value("w");
    const bool digits = !raw.empty() && raw.size() <= 9
                        && std::all_of(raw.begin(), raw.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int width = digits ? std::stoi(raw) : 0;
    if (width < 1)
        throw ApiError::badRequest(QStringLiteral("\"w\" must be a positive whole number of pixels"));
    return width;
}

QString pathId(const Request &req)
{
    return QString::fromStdString(req.matches[1].str());
}

QString statusText(int status)
{
    switch (status) {
    case 400:
        return QStringLiteral("Bad request");
    case 404:
        return QStringLiteral("Not found");
    case 413:
        return QStringLiteral("The request body is too large");
    default:
        return QStringLiteral("The request failed with HTTP status %1").arg(status);
    }
}

} // namespace

GalleryServer::GalleryServer(Options options)
    : m_options([&] {
        if (!options.clock)
            options.clock = Clock::now;
        if (!options.signInClock)
            options.signInClock = SignInThrottle::Clock::now;
        return std::move(options);
    }())
    , m_store(m_options.dataFolder, m_options.clock)
    , m_updates(m_store.dataFolder() + QStringLiteral("/update-signing-key"), m_options.updateVersion)
    , m_signIns(m_options.signInLimits)
    , m_http(std::make_unique<HttpServer>())
{
    if (m_options.password.isEmpty())
        throw StartupError(QStringLiteral("the family password must not be empty"));
    const int maxInterval = GalleryRotationSchedule::maxDebugAdvanceIntervalSeconds;
    if (m_options.advanceIntervalSeconds
        && (*m_options.advanceIntervalSeconds < 1 || *m_options.advanceIntervalSeconds > maxInterval))
        throw StartupError(QStringLiteral("the advance interval must be between 1 and %1 seconds").arg(maxInterval));
    m_passwordDigest = ServerUtil::sha256(m_options.password.toUtf8());
    if (m_options.demo && m_store.startedWithoutManifest()) {
        try {
            DemoGallery::seed(m_store);
        } catch (const ApiError &e) {
            throw StartupError(QStringLiteral("could not create the demo gallery: %1").arg(e.message));
        }
    }
    installRoutes();
}

GalleryServer::~GalleryServer()
{
    stop();
}

quint16 GalleryServer::bind(const QString &host, quint16 port)
{
    QString error;
    const int bound = m_http->bindListeningSocket(host, port, &error);
    if (bound <= 0)
        throw StartupError(QStringLiteral("cannot listen on %1 port %2: %3").arg(host, QString::number(port), error));
    return quint16(bound);
}

bool GalleryServer::run()
{
    {
        std::lock_guard lock(m_stopMutex);
        if (m_stopping)
            return true;
        m_running = true;
    }
    std::thread rotation([this] { rotationLoop(); });
    m_http->listen_after_bind();
    bool requested = false;
    {
        std::lock_guard lock(m_stopMutex);
        requested = m_stopping;
        m_stopping = true;
    }
    m_stopSignal.notify_all();
    rotation.join();
    m_running = false;
    return requested;
}

void GalleryServer::stop()
{
    {
        std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopSignal.notify_all();
    // httplib ignores stop() until its accept loop is running.
    while (m_running && !m_http->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_http->stop();
}

void GalleryServer::advanceRotation()
{
    try {
        m_store.advanceRotation();
    } catch (const ApiError &e) {
        logLine(QStringLiteral("the rotation failed: %1").arg(e.message));
    }
}

void GalleryServer::rotationLoop()
{
    using namespace std::chrono;
    namespace Schedule = GalleryRotationSchedule;
    const auto dailyBoundaryAfter = [](const QDateTime &time) {
        return Schedule::nextDailyUTCBoundary(time, Schedule::productionCronHourUTC, Schedule::productionCronMinuteUTC,
                                              Schedule::utcCalendar());
    };
    const std::optional<int> interval = m_options.advanceIntervalSeconds;
    // An interval is paced by the steady clock. The daily turn follows the
    // wall clock, looked at again at least hourly so that a clock that was
    // changed (or a machine that slept) is noticed.
    auto nextTick = steady_clock::now() + seconds(interval.value_or(0));
    QDateTime nextBoundary = dailyBoundaryAfter(m_options.clock());
    const auto stopping = [this] { return m_stopping; };

    std::unique_lock lock(m_stopMutex);
    while (!m_stopping) {
        if (interval) {
            if (m_stopSignal.wait_until(lock, nextTick, stopping))
                break;
            nextTick = std::max(nextTick + seconds(*interval), steady_clock::now());
        } else {
            const QDateTime now = m_options.clock();
            const qint64 remaining = now.msecsTo(nextBoundary);
            if (remaining > 0) {
                m_stopSignal.wait_for(lock, milliseconds(std::min<qint64>(remaining, 3600 * 1000)), stopping);
                continue;
            }
            nextBoundary = dailyBoundaryAfter(now);
        }
        lock.unlock();
        advanceRotation();
        lock.lock();
    }
}

void GalleryServer::installRoutes()
{
    httplib::Server &http = *m_http;
    http.set_payload_max_length(m_options.uploadLimitBytes);
    // A connection has a worker of its own from its first byte to its last,
    // so neither a silent nor a trickling client may keep it long: one that
    // sends no request within a second, or lets a request stall for two, is
    // closed, and one connection serves at most 100 requests. Workers are
    // started as connections come, so that a few hundred such clients (on a
    // home network) still leave one for everybody else.
    http.set_keep_alive_timeout(keepAliveSeconds);
    http.set_read_timeout(readTimeoutSeconds);
    http.set_keep_alive_max_count(requestsPerConnection);
    http.new_task_queue = [] { return new WorkerPool(maxWorkers); };
    // httplib writes an answer's head and body separately; with Nagle's
    // algorithm on, a small body then waits for the client's delayed
    // acknowledgement of the head, about 40 ms on a reused connection.
    http.set_tcp_nodelay(true);

    // A request with neither Content-Length nor Transfer-Encoding has no
    // body, yet httplib refuses such a POST or PUT (Qt sends a body-less
    // POST that way). Saying so explicitly lets it through; the Request is
    // httplib's own non-const object.
    http.set_pre_routing_handler([](const Request &req, Response &) {
        const bool mayHaveBody
            = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE";
        if (mayHaveBody && !req.has_header("Content-Length") && !req.has_header("Transfer-Encoding"))
            const_cast<Request &>(req).set_header("Content-Length", "0");
        withoutBrotli(const_cast<Request &>(req));
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http.set_error_handler(httplib::Server::HandlerWithResponse([](const Request &, Response &res) {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        sendJson(res, res.status, {{QLatin1StringView("error"), statusText(res.status)}});
        return httplib::Server::HandlerResponse::Handled;
    }));
    http.set_exception_handler([](const Request &req, Response &res, std::exception_ptr exception) {
        QString what = QStringLiteral("unknown exception");
        try {
            std::rethrow_exception(exception);
        } catch (const std::exception &e) {
            what = QString::fromUtf8(e.what());
        } catch (...) {
        }
        logLine(QStringLiteral("%1 %2 failed: %3")
                    .arg(QString::fromStdString(req.method), QString::fromStdString(req.path), what));
        sendJson(res, 500, {{QLatin1StringView("error"), QStringLiteral("Internal server error")}});
    });
    if (m_options.logRequests) {
        http.set_logger([](const Request &req, const Response &res) {
            // One arg() call: the path may hold "%1" itself.
            logLine(QStringLiteral("%1 %2 -> %3")
                        .arg(QString::fromStdString(req.method), QString::fromStdString(req.path),
                            QString::number(res.status)));
        });
    }

    // Every route but health and sign-in needs a session token.
    const auto route = [this](bool needsSession, RouteHandler handler) {
        return [this, needsSession, handler = std::move(handler)](const Request &req, Response &res) {
            try {
                if (needsSession) {
                    const auto token = bearerCredential(req);
                    if (!token || !m_store.hasSession(*token))
                        throw ApiError{401, QStringLiteral("Not signed in: the session token is missing or not valid"),
                                       std::nullopt};
                }
                handler(req, res);
            } catch (const ApiError &e) {
                sendError(res, e);
            }
        };
    };
    const auto json = [this](const Request &req) { return jsonBody(req, m_options.jsonLimitBytes); };

    http.Get("/api/health", route(false, [](const Request &, Response &res) {
                 sendJson(res, 200, {{QLatin1StringView("ok"), true}});
             }));

    http.Post(
        "/api/auth/session", route(false, [this](const Request &req, Response &res) {
            const QString address = QString::fromStdString(req.remote_addr);
            const SignInThrottle::Admission admission = m_signIns.admit(address, m_options.signInClock());
            if (const auto seconds = admission.refusedFor) {
                res.set_header("Retry-After", std::to_string(*seconds));
                throw ApiError{429,
                               QStringLiteral("Too many wrong passwords: try again in %1 seconds").arg(*seconds),
                               std::nullopt};
            }
            const auto password = bearerCredential(req);
            if (!password
                || !ServerUtil::constantTimeEquals(ServerUtil::sha256(password->toUtf8()), m_passwordDigest)) {
                if (admission.startsBlock) {
                    const SignInThrottle::Limits &limits = m_options.signInLimits;
                    using std::chrono::seconds;
                    logLine(QStringLiteral("%1 wrong passwords from %2 within %3 s: its sign-ins are refused for %4 s")
                                .arg(QString::number(limits.maxFailures), SignInThrottle::keyOf(address),
                                     QString::number(std::chrono::duration_cast<seconds>(limits.window).count()),
                                     QString::number(std::chrono::duration_cast<seconds>(limits.block).count())));
                }
                throw ApiError{401, QStringLiteral("Wrong family password"), std::nullopt};
            }
            m_signIns.recordSuccess(address);
            sendJson(res, 200,
                     {{QLatin1StringView("ok"), true}, {QLatin1StringView("sessionToken"), m_store.createSession()}});
        }));

    http.Get("/api/auth/verify", route(true, [](const Request &, Response &res) {
                 sendJson(res, 200, {{QLatin1StringView("ok"), true}});
             }));

    http.Get("/api/gallery", route(true, [this](const Request &req, Response &res) {
                 const GalleryState state = m_store.state();
                 res.set_header("ETag", stdBytes('"' + state.updatedAt.toUtf8() + '"'));
                 if (req.has_header("If-None-Match")
                     && matchesEntityTag(req.get_header_value("If-None-Match"), state.updatedAt)) {
                     res.status = 304;
                     return;
                 }
                 sendState(res, state);
             }));

    http.Get("/api/gallery/current",
             route(true, [this](const Request &, Response &res) { sendJson(res, 200, m_store.current().toJson()); }));

    http.Put("/api/gallery/current", route(true, [this, json](const Request &req, Response &res) {
                 JsonFields fields(json(req));
                 const QString photoId = fields.string(QLatin1StringView("photoId"));
                 const QString base = fields.string(QLatin1StringView("baseUpdatedAt"));
                 requireValid(fields);
                 sendState(res, m_store.setCurrent(photoId, base));
             }));

    http.Post("/api/gallery/photos", route(true, [this](const Request &req, Response &res) {
                  if (!req.is_multipart_form_data())
                      throw ApiError::badRequest(QStringLiteral("Expected a multipart form with the photo"));
                  const auto uploadedBy = formField(req, "uploadedBy");
                  const auto base = formField(req, "baseUpdatedAt");
                  if (!uploadedBy || !base || !req.has_file("image"))
                      throw ApiError::badRequest(
                          QStringLiteral("The form needs \"uploadedBy\", \"baseUpdatedAt\" and an \"image\" part"));
                  const httplib::MultipartFormData image = req.get_file_value("image");
                  GalleryStore::Upload upload{*uploadedBy, formField(req, "filename").value_or(QString()),
                                              QString::fromStdString(image.filename),
                                              QByteArray::fromStdString(image.content)};
                  sendState(res, m_store.addPhoto(upload, *base));
              }));

    http.Delete(R"(/api/gallery/photos/([^/]+))", route(true, [this, json](const Request &req, Response &res) {
                    JsonFields fields(json(req));
                    const QString base = fields.string(QLatin1StringView("baseUpdatedAt"));
                    requireValid(fields);
                    sendState(res, m_store.deletePhoto(pathId(req), base));
                }));

    http.Get(R"(/api/gallery/photos/([^/]+)/image)", route(true, [this](const Request &req, Response &res) {
                 const auto width = requestedWidth(req);
                 res.set_content(stdBytes(m_store.photoImage(pathId(req), width)), "image/jpeg");
             }));

    http.Put("/api/gallery/order", route(true, [this, json](const Request &req, Response &res) {
                 JsonFields fields(json(req));
                 const QList<QString> order = stringList(fields, QLatin1StringView("order"));
                 const QString base = fields.string(QLatin1StringView("baseUpdatedAt"));
                 requireValid(fields);
                 sendState(res, m_store.reorder(order, base));
             }));

    http.Patch("/api/gallery/uploaders", route(true, [this, json](const Request &req, Response &res) {
                   JsonFields fields(json(req));
                   const QString fromName = fields.string(QLatin1StringView("fromName"));
                   const QString toName = fields.string(QLatin1StringView("toName"));
                   const QString base = fields.string(QLatin1StringView("baseUpdatedAt"));
                   requireValid(fields);
                   sendState(res, m_store.renameUploader(fromName, toName, base));
               }));

    http.Get("/api/devices", route(true, [this](const Request &, Response &res) {
                 sendJson(res, 200, DeviceListResponse{m_store.devices()}.toJson());
             }));

    http.Post("/api/devices", route(true, [this, json](const Request &req, Response &res) {
                  QString error;
                  const auto request = DeviceRegisterRequest::fromJson(json(req), &error);
                  if (!request)
                      throw ApiError::badRequest(QStringLiteral("Invalid request: %1").arg(error));
                  sendJson(res, 200, DeviceRegisterResponse{m_store.registerDevice(*request)}.toJson());
              }));

    http.Get("/api/devices/status", route(true, [this](const Request &, Response &res) {
                 sendJson(res, 200, DeviceStatusResponse{m_store.deviceStatuses()}.toJson());
             }));

    http.Delete(R"(/api/devices/([^/]+))", route(true, [this](const Request &req, Response &res) {
                    if (!m_store.removeDevice(pathId(req)))
                        throw ApiError::notFound(QStringLiteral("No such frame"));
                    res.status = 204;
                }));

    // Controls of the simulation, for tests and demos.
    http.Put(R"(/api/dev/devices/([^/]+))", route(true, [this, json](const Request &req, Response &res) {
                 const DeviceLiveStatus status = m_store.simulateDevice(pathId(req), json(req));
                 sendJson(res, 200, {{QLatin1StringView("device"), status.toJson()}});
             }));

    http.Post("/api/dev/rotate",
              route(true, [this](const Request &, Response &res) { sendState(res, m_store.advanceRotation()); }));

    // The software-update feed, public like a real one.
    http.Get("/api/dev/appcast.xml", route(false, [this](const Request &req, Response &res) {
                 UpdateFeed::Fault fault = UpdateFeed::Fault::none;
                 const std::string corrupt = req.has_param("corrupt") ? req.get_param_value("corrupt") : "";
                 if (corrupt == "signature")
                     fault = UpdateFeed::Fault::signature;
                 else if (corrupt == "length")
                     fault = UpdateFeed::Fault::length;
                 else if (req.has_param("corrupt"))
                     throw ApiError::badRequest(QStringLiteral("\"corrupt\" is \"signature\" or \"length\""));
                 res.set_content(stdBytes(m_updates.appcast(updateFileURL(req), fault)), "application/rss+xml");
             }));

    http.Get(R"(/api/dev/updates/([^/]+))", route(false, [this](const Request &req, Response &res) {
                 if (m_updates.fileName().isEmpty() || pathId(req) != m_updates.fileName())
                     throw ApiError::notFound(QStringLiteral("No such update"));
                 res.set_content(stdBytes(m_updates.file()), "application/octet-stream");
             }));

    http.Get("/api/dev/update-key", route(false, [this](const Request &, Response &res) {
                 sendJson(res, 200,
                          {{QLatin1StringView("publicKey"), m_updates.publicKey()},
                           {QLatin1StringView("version"), m_updates.version()}});
             }));
}

QString GalleryServer::updateFileURL(const Request &req) const
{
    // The address the client used, so the link works however it reached
    // the server; a Host header that is not a plain host[:port] gives a
    // path of this server instead.
    const QString path = QStringLiteral("/api/dev/updates/") + m_updates.fileName();
    static const QRegularExpression plainHost(QStringLiteral("^[A-Za-z0-9.\\-]+(:[0-9]{1,5})?$|^\\[[0-9A-Fa-f:.]+\\](:[0-9]{1,5})?$"));
    const QString host = QString::fromStdString(req.get_header_value("Host"));
    if (!plainHost.match(host).hasMatch())
        return path;
    return QStringLiteral("http://") + host + path;
}
