// The client of the gallery server's HTTP API, made afresh from the settings
// for each piece of work. It is a plain value: no state, no cache.
#pragma once

#include "devicerecords.h"
#include "httpsession.h"
#include "model/appsettings.h"
#include "model/gallerystate.h"
#include "syncerror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QNetworkRequest>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class SyncClient
{
public:
    // Throws SyncError::badURL when the address is not a URL (checked first),
    // SyncError::missingSyncAuth when there is no session token. Requests go
    // through `group` when one is given, so that aborting it ends them.
    explicit SyncClient(const AppSettings &settings, HttpSession &session = HttpSession::shared(),
                        std::shared_ptr<RequestGroup> group = nullptr);

    const QUrl &baseURL() const { return m_baseURL; }
    const QString &bearer() const { return m_bearer; }
    HttpSession &session() const { return *m_session; }
    // The group was aborted: the work this client serves has ended.
    bool isAborted() const { return m_group && m_group->isAborted(); }

    // The base URL with `path` appended as path segments ("/api/x" and
    // "api/x" are the same), characters a path cannot hold percent-encoded.
    QUrl url(const QString &path) const;
    // The base URL with `prefix` + one segment naming `id` + `suffix`, the id
    // percent-encoded whole ("/", "?" and "#" included), so that it cannot
    // reach another path of the server. Ids that no encoding keeps in one
    // segment ("", ".", "..") throw a PlatformError: they are never sent.
    QUrl url(const QString &prefix, const QString &id, const QString &suffix) const;

    // The largest answers taken, by kind, far above what a family's gallery
    // needs (a manifest of 20,000 photos is about 5 MB; a phone photo 5 to
    // 20 MB). A larger answer fails (TransportError::isTooLarge) and nothing
    // of it is kept. Error bodies: HttpSession::maxErrorBodyBytes.
    static constexpr qint64 maxManifestBytes = 16 * 1024 * 1024;
    static constexpr qint64 maxImageBytes = 200 * 1024 * 1024;
    static constexpr qint64 maxFramesBytes = 4 * 1024 * 1024;
    static constexpr qint64 maxSmallAnswerBytes = 1024 * 1024;

    // Parses a server address as the client accepts it; none when it is not
    // an absolute URL (or an http(s) URL without a host).
    static std::optional<QUrl> parseServerURL(const QString &trimmedAddress);

    // The one request routine of the JSON endpoints: sends the bearer
    // credential and returns the body of a 2xx answer. Throws SyncError::stale
    // for a 409 carrying a manifest, SyncError::http for any other status or
    // a non-HTTP answer, and TransportError unchanged.
    // Answers longer than `maxResponseBytes` fail.
    QCoro::Task<QByteArray> request(QString path, QString method, std::optional<QByteArray> body = std::nullopt,
                                    std::optional<QString> contentType = std::nullopt,
                                    std::optional<QString> context = std::nullopt,
                                    qint64 maxResponseBytes = maxManifestBytes) const;
    QCoro::Task<QByteArray> request(QUrl url, QString method, std::optional<QByteArray> body,
                                    std::optional<QString> contentType, std::optional<QString> context,
                                    qint64 maxResponseBytes) const;

    // ---- The gallery manifest --------------------------------------------
    //
    // Every change carries the version of the manifest the caller holds as
    // `baseUpdatedAt` and answers the server's whole new manifest; a 409 with
    // the server's manifest throws SyncError::stale.

    struct GalleryFetch {
        // None: the server answered 304 Not Modified.
        std::optional<GalleryResponse> modified;

        bool isNotModified() const { return !modified; }
    };

    // With a non-empty `ifNoneMatch`, asks with "If-None-Match" and may get
    // a not-modified answer. Any status but 2xx and 304 (409 included)
    // throws SyncError::http.
    QCoro::Task<GalleryFetch> fetchGallery(std::optional<QString> ifNoneMatch = std::nullopt) const;
    QCoro::Task<CurrentPhotoResponse> fetchCurrentPhoto() const;
    QCoro::Task<GalleryResponse> uploadPhoto(QByteArray jpegData, QString filename, QString uploadedBy,
                                             QString baseUpdatedAt) const;
    QCoro::Task<GalleryResponse> deletePhoto(QString id, QString baseUpdatedAt) const;
    QCoro::Task<GalleryResponse> reorder(QList<QString> order, QString baseUpdatedAt) const;
    QCoro::Task<GalleryResponse> renameUploader(QString fromName, QString toName, QString baseUpdatedAt) const;
    QCoro::Task<GalleryResponse> setCurrentPhoto(QString id, QString baseUpdatedAt) const;

    // The multipart body of an upload, framed by "--" + boundary lines.
    static QByteArray uploadBody(const QByteArray &jpegData, const QString &filename, const QString &uploadedBy,
                                 const QString &baseUpdatedAt, const QString &boundary);

    // ---- Images into the cache folder -----------------------------------
    //
    // A file that exists is never fetched again and never replaced; a new
    // one is written whole or not at all.

    // The photo's image, scaled by the server to `width` when given.
    QUrl imageURL(const PhotoEntry &photo, std::optional<int> width = std::nullopt) const;
    QCoro::Task<> cachePhotoIfMissing(PhotoEntry photo) const;
    // Writes `bytes` to each cache file, off the caller's thread; throws the
    // first write error. Nothing lands once the request group is aborted.
    QCoro::Task<> writeCacheFiles(QStringList files, QByteArray bytes) const;
    // A thumbnail is asked for ahead of the full-size downloads of
    // downloadMissing: it is on screen now.
    QCoro::Task<> cacheThumbnailIfMissing(PhotoEntry photo, int width) const;

    // The full-size downloads downloadMissing keeps in flight. Over a link
    // with a round trip of tens of milliseconds one request at a time leaves
    // it idle most of the time; four fill it, and leave the connections Qt
    // opens to a host (six) free for the thumbnails on screen.
    static constexpr int maxDownloadsInFlight = 4;
    // Called on the main thread as photos finish (downloaded or failed):
    // how many of those the pass found missing have finished.
    using DownloadProgress = std::function<void(int finished, int total)>;
    // Caches every visible photo, up to maxDownloadsInFlight at a time,
    // taken in the manifest's order. Never throws: each failure is logged as
    // a warning and the rest go on; the warnings come in the manifest's
    // order, whatever order the answers arrive in. Files are written (and
    // flushed to disk) on worker threads; every one is written or has failed
    // when this returns. Once the client's request group is aborted it stops
    // without a word, and no file lands after that.
    QCoro::Task<> downloadMissing(GalleryState state, DownloadProgress progress = {}) const;

    // ---- Photo frames ---------------------------------------------------

    QCoro::Task<QList<RegisteredDevicePublic>> listDevices() const;
    QCoro::Task<RegisteredDevicePublic> registerDevice(QString setupText, std::optional<QString> displayName,
                                                       QString registeredBy) const;
    QCoro::Task<> deleteDevice(QString id) const;
    QCoro::Task<QList<DeviceLiveStatus>> fetchDeviceStatus() const;

private:
    QCoro::Task<GalleryResponse> sendGalleryChange(QString method, QUrl url, QJsonObject body,
                                                   std::optional<QString> context) const;
    QCoro::Task<> downloadImageIfMissing(PhotoEntry photo, std::optional<int> width, QString file) const;
    // The image's bytes from a 2xx answer; throws SyncError::http otherwise.
    // Thumbnails go ahead of other requests waiting for a connection.
    QCoro::Task<QByteArray> fetchImage(PhotoEntry photo, std::optional<int> width,
                                       QNetworkRequest::Priority priority = QNetworkRequest::NormalPriority) const;
    struct DownloadPass;
    // One of the downloaders of a downloadMissing pass: takes the pass's
    // next photo until none is left.
    static QCoro::Task<> downloadInTurn(SyncClient client, std::shared_ptr<DownloadPass> pass);

    QUrl m_baseURL;
    QString m_bearer;
    HttpSession *m_session;
    std::shared_ptr<RequestGroup> m_group;
};
