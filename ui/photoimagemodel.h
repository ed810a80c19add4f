// The state of one photo on screen: the image decoded from the local cache
// at the size the view needs, whether a load runs, and whether the last load
// found no readable file. A missing file is asked for from the store once,
// then read again.
//
// Main thread only. Decoding runs on worker threads (ThumbnailDecoder);
// decoded images are shared through DecodedImageCache::shared().
#pragma once

#include "decodedimagecache.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class GalleryStore;
class RequestGroup;

class PhotoImageModel : public QObject
{
    Q_OBJECT
public:
    // Makes the file present if it can (downloads it), on the main thread.
    // The load aborts `cancel` when it is no longer wanted (another photo or
    // size, or the model is gone): a download for it ends then.
    using EnsureCached = std::function<QCoro::Task<>(std::shared_ptr<RequestGroup> cancel)>;
    // What an identical request does after a load that failed: nothing, or
    // read (and fetch) once more. A view asks again only when it is shown
    // again, which is what the "not in cache" notice tells the user to do.
    enum class FailedLoad { keep, retry };

    explicit PhotoImageModel(QObject *parent = nullptr);
    ~PhotoImageModel() override;

    // The image shown; null when there is none.
    const QImage &image() const { return m_image; }
    bool hasImage() const { return !m_image.isNull(); }
    // A load runs and nothing is shown yet.
    bool isLoading() const { return m_isLoading; }
    // The last load for this photo and size found no readable file.
    bool loadFailed() const { return m_loadFailed; }
    const std::optional<QString> &loadedPhotoID() const { return m_loadedPhotoID; }
    std::optional<int> loadedMaxPixelSize() const { return m_loadedMaxPixelSize; }
    // Loads started so far (a repeated identical request starts none).
    int loadsStarted() const { return m_loadsStarted; }

    // Shows `photoID` decoded at `maxPixelSize` (longest side, pixels) from
    // the thumbnail cache file of `thumbnailWidth`, or the full-size file.
    // Returns at once. A request identical to the latest one does nothing
    // while that one runs or is shown; after it failed, it does nothing
    // unless `failedLoad` is retry. Another photo clears the
    // image at once; another size of the same photo keeps the old image on
    // screen until the new one is decoded. An image already in memory is
    // shown before this returns.
    void load(const QString &photoID, int maxPixelSize, std::optional<int> thumbnailWidth,
        EnsureCached ensureCached = {}, FailedLoad failedLoad = FailedLoad::keep);

    // Stops a load still running (its download too), for a photo that left
    // the screen; the same request loads again when asked for. What is
    // shown stays.
    void abandonLoad();

    // What the views pass as `ensureCached`: the store's download of the
    // thumbnail of `thumbnailWidth`, or of the full-size file.
    static EnsureCached storeEnsureCached(
        GalleryStore &store, const QString &photoID, std::optional<int> thumbnailWidth);

Q_SIGNALS:
    // Any of image, isLoading and loadFailed changed.
    void changed();

private:
    struct Request {
        QString photoID;
        int maxPixelSize = 0;
        QString file;
        std::shared_ptr<DecodeTicket> ticket;
        std::shared_ptr<RequestGroup> download;
    };

    QCoro::Task<> runLoad(Request request, EnsureCached ensureCached);
    // The cached image, else a decode on a worker thread.
    static QCoro::Task<std::optional<QImage>> readThumbnail(
        QString file, int maxPixelSize, std::shared_ptr<DecodeTicket> ticket);
    bool isCurrent(const Request &request) const;
    void finish(const Request &request, std::optional<QImage> image);
    void cancelLoad();

    QImage m_image;
    bool m_isLoading = false;
    bool m_loadFailed = false;
    // The latest load has not finished yet.
    bool m_loadRunning = false;
    std::optional<QCoro::Task<>> m_loadTask;
    std::shared_ptr<DecodeTicket> m_ticket;
    std::shared_ptr<RequestGroup> m_download;
    std::optional<QString> m_loadedPhotoID;
    std::optional<int> m_loadedMaxPixelSize;
    int m_loadsStarted = 0;
};
