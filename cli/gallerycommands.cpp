// The commands on the gallery's photos: sync, list, upload, delete, reorder,
// show for today, download and the e-paper preview.
#include "commands.h"

#include "commandsupport.h"
#include "console.h"

#include "store/photoformatters.h"

#include "safetext.h"

#include "log/activitylogfile.h"
#include "log/activitylogstore.h"
#include "model/appconfig.h"
#include "model/atomicfile.h"
#include "rules/bloomin8.h"
#include "rules/epaperrendering.h"
#include "taskwait.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>
#include <QBuffer>
#include <QImageWriter>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <functional>

using namespace CommandText;

namespace {

// On a terminal, tells how far a pull's photo downloads have come, from the
// counts the store publishes (the desktop app's bar shows the same); a first
// sync of a large gallery downloads for a while. At most one line a second.
class CacheDownloadProgress
{
public:
    explicit CacheDownloadProgress(GalleryStore &store) : m_store(store)
    {
        if (!Console::standardErrorIsTerminal())
            return;
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start(1000);
    }
    CacheDownloadProgress(const CacheDownloadProgress &) = delete;
    CacheDownloadProgress &operator=(const CacheDownloadProgress &) = delete;

private:
    void tick()
    {
        const TransferProgress progress = m_store.photoDownloadProgress();
        if (!progress.isRunning() || progress == m_shown)
            return;
        m_shown = progress;
        Console::printError(QStringLiteral("Downloading photos %1 of %2").arg(progress.done).arg(progress.total));
    }

    GalleryStore &m_store;
    QTimer m_timer;
    TransferProgress m_shown;
};

// A rendering as a PNG of six palette entries: the pixels exactly, and a
// fraction of the size of a true-colour file.
QByteArray renderingPNG(const QImage &rendering)
{
    QList<QRgb> palette;
    for (const EpaperRendering::Ink &ink : EpaperRendering::inks())
        palette << (ink.color | 0xff000000);
    const QImage indexed = rendering.convertToFormat(QImage::Format_Indexed8, palette, Qt::ThresholdDither | Qt::AvoidDither);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(indexed))
        return {};
    return bytes;
}

// "<download name without .jpg> (e-paper).png".
QString renderingFilename(const PhotoEntry &photo)
{
    const QString jpeg = GalleryStore::downloadFilename(photo);
    return jpeg.left(jpeg.lastIndexOf(QLatin1Char('.'))) + QStringLiteral(" (e-paper).png");
}

} // namespace

// ---- Gallery ---------------------------------------------------------------

QCoro::Task<int> CommandRunner::sync()
{
    {
        const CacheDownloadProgress progress(m_store);
        co_await m_store.syncAll();
    }
    if (co_await settle())
        co_return ExitStatus::locked;
    co_return m_log->has(QStringLiteral("Server sync failed")) ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::list(bool json, bool offline)
{
    // As the gallery does when it appears. A failed refresh is logged and
    // the cached gallery is listed all the same.
    if (!offline) {
        const CacheDownloadProgress progress(m_store);
        co_await m_store.pullFromServer(PullKind::refresh);
    }
    if (co_await settle())
        co_return ExitStatus::locked;

    const GalleryState &state = m_store.state();
    const std::optional<GalleryRotationPlan> plan = m_store.rotationPlan();
    if (json) {
        QJsonArray photos;
        for (const PhotoEntry &photo : state.activePhotos()) {
            const std::optional<QString> tag = m_store.showingTag(photo.id, plan);
            photos.append(QJsonObject{
                {QStringLiteral("id"), photo.id},
                {QStringLiteral("filename"), photo.filename},
                {QStringLiteral("uploader"), uploaderName(photo, state.uploaders)},
                {QStringLiteral("tag"), tag ? QJsonValue(*tag) : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("current"), state.currentPhotoId == photo.id},
            });
        }
        Console::printJSON(QString::fromUtf8(QJsonDocument(photos).toJson(QJsonDocument::Indented)).trimmed());
        co_return ExitStatus::done;
    }
    for (const PhotoEntry &photo : state.activePhotos()) {
        Console::printLine(row({photo.id, photo.filename, uploaderName(photo, state.uploaders),
                                m_store.showingTag(photo.id, plan).value_or(QString())}));
    }
    co_return ExitStatus::done;
}

QCoro::Task<int> CommandRunner::upload(QStringList files)
{
    QStringList paths;
    for (const QString &file : files)
        paths << QFileInfo(file).absoluteFilePath();

    const bool showProgress = Console::standardErrorIsTerminal();
    QStringList uploadedNames;
    {
        const ListenerScope scope(*m_log, [&](const LogEntry &entry) {
            if (entry.category == LogCategory::gallery && entry.message == QLatin1StringView("Uploaded to server")
                && entry.detail) {
                // "<file name> → <new ids>"; the ids never hold the arrow.
                Console::printLine(*entry.detail);
                uploadedNames << entry.detail->left(entry.detail->lastIndexOf(QStringLiteral(" \u2192 ")));
            }
        });
        // The store's count, as the desktop app shows it.
        const QMetaObject::Connection counting =
            QObject::connect(&m_store, &GalleryStore::uploadProgressChanged, &m_store, [this, showProgress] {
                const TransferProgress progress = m_store.uploadProgress();
                if (showProgress && progress.total > 1 && progress.done > 0)
                    Console::printError(QStringLiteral("Uploaded %1 of %2").arg(progress.done).arg(progress.total));
            });
        co_await m_store.uploadFiles(paths);
        QObject::disconnect(counting);
    }

    // The files go up in the order given, and a failure ends the batch, so
    // the uploaded names follow the arguments in order.
    qsizetype next = 0;
    for (const QString &path : std::as_const(paths)) {
        if (next < uploadedNames.size() && uploadedNames.at(next) == QFileInfo(path).fileName())
            ++next;
        else
            Console::printError(QStringLiteral("Not uploaded: ") + path);
    }

    if (co_await settle())
        co_return ExitStatus::locked;
    const bool failed = uploadedNames.isEmpty() || m_log->has(QStringLiteral("Upload failed"));
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::deletePhotos(QStringList ids)
{
    const QSet<QString> targets(ids.cbegin(), ids.cend());
    // The store refuses these itself and logs only the reason's name.
    const std::optional<GalleryDeleteBlockReason> refusal = m_store.state().deleteBlockReason(targets);
    co_await m_store.deletePhotos(targets);
    if (refusal)
        Console::printError(userText(*refusal));
    if (co_await settle())
        co_return ExitStatus::locked;
    const bool failed = refusal || m_log->has(QStringLiteral("Delete failed"));
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::reorder(QStringList ids)
{
    co_await m_store.applyOrder(ids);
    if (co_await settle())
        co_return ExitStatus::locked;
    const bool failed = m_log->has(QStringLiteral("Reorder skipped")) || m_log->has(QStringLiteral("Reorder failed"));
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::showToday(QString id)
{
    const GalleryState &state = m_store.state();
    if (!state.canSetAsCurrent(id)) {
        Console::printError(state.currentPhotoId == id
                                ? QStringLiteral("%1 is already the photo for today.").arg(id)
                                : QStringLiteral("No photo %1 in the gallery.").arg(id));
        co_await settle();
        co_return ExitStatus::failed;
    }
    co_await m_store.setAsCurrent(id);
    if (co_await settle())
        co_return ExitStatus::locked;
    co_return m_log->has(QStringLiteral("Set current failed")) ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::download(QStringList ids)
{
    QSet<QString> known;
    bool unknown = false;
    for (const QString &id : std::as_const(ids)) {
        // A deleted photo keeps its entry, but its image is gone from the server.
        const auto entry = m_store.state().photos.constFind(id);
        if (entry != m_store.state().photos.cend() && !entry->isDeleted()) {
            known.insert(id);
        } else {
            Console::printError(QStringLiteral("No photo %1 in the gallery.").arg(id));
            unknown = true;
        }
    }
    {
        const QDir folder(m_downloadsFolder);
        const ListenerScope scope(*m_log, [&folder](const LogEntry &entry) {
            if (entry.category == LogCategory::gallery && entry.message == QLatin1StringView("Saved to Downloads")
                && entry.detail)
                Console::printLine(folder.absoluteFilePath(*entry.detail));
        });
        co_await m_store.downloadPhotos(known);
    }
    if (co_await settle())
        co_return ExitStatus::locked;
    // The label is "Download" or "Download (N)".
    const bool failed = unknown || m_log->hasFailure([](const QString &message) {
        return message.startsWith(QLatin1StringView("Download")) && message.endsWith(QLatin1StringView(" failed"));
    });
    co_return failed ? ExitStatus::failed : ExitStatus::done;
}

QCoro::Task<int> CommandRunner::preview(QString id, std::optional<QSize> size, std::optional<QString> outputFile)
{
    const auto entry = m_store.state().photos.constFind(id);
    if (entry == m_store.state().photos.cend() || entry->isDeleted()) {
        Console::printError(QStringLiteral("No photo %1 in the gallery.").arg(id));
        co_await settle();
        co_return ExitStatus::failed;
    }
    const PhotoEntry photo = *entry;
    // The screen of the first reachable frame, as the preview pane shows it;
    // the default 13-inch screen when no frame tells.
    if (!size)
        co_await m_store.updateDeviceStatus();
    const QSize screen = size.value_or(m_store.deviceScreenSize());
    co_await m_store.ensurePhotoCached(id);
    if (co_await settle())
        co_return ExitStatus::locked;
    const QString cached = AppConfig::cacheURL(id);
    if (!AppConfig::cachedFileExists(cached)) {
        Console::printError(QStringLiteral("Photo %1 is not in the cache and could not be downloaded.").arg(id));
        co_return ExitStatus::failed;
    }
    const std::optional<QImage> rendering = co_await EpaperRendering::renderFileAsync(cached, screen);
    if (!rendering) {
        Console::printError(QStringLiteral("Could not render photo %1: its cached image cannot be read.").arg(id));
        co_return ExitStatus::failed;
    }
    QFuture<QByteArray> encoding = QtConcurrent::run(renderingPNG, *rendering);
    const QByteArray png = co_await encoding;
    if (png.isEmpty()) {
        Console::printError(QStringLiteral("Could not encode the rendering of photo %1.").arg(id));
        co_return ExitStatus::failed;
    }

    // Never over an existing file, as downloads.
    std::optional<QString> target;
    try {
        if (outputFile) {
            const QString path = QFileInfo(*outputFile).absoluteFilePath();
            if (!AtomicFile::writeNew(path, png)) {
                Console::printError(QStringLiteral("%1 exists: not overwritten.").arg(path));
                co_return ExitStatus::failed;
            }
            target = path;
        } else {
            if (m_downloadsFolder.isEmpty() || !QDir().mkpath(m_downloadsFolder)) {
                Console::printError(QStringLiteral("Downloads folder unavailable."));
                co_return ExitStatus::failed;
            }
            const QString name = renderingFilename(photo);
            for (int attempt = 0; attempt < GalleryStore::maxFreeNameTries && !target; ++attempt) {
                const std::optional<QString> candidate = GalleryStore::uniqueFileURL(m_downloadsFolder, name);
                if (!candidate)
                    break;
                if (AtomicFile::writeNew(*candidate, png))
                    target = candidate;
            }
            if (!target) {
                Console::printError(QStringLiteral("No free file name for %1 in the Downloads folder.").arg(name));
                co_return ExitStatus::failed;
            }
        }
    } catch (const Error &error) {
        Console::printError(QStringLiteral("Could not write the rendering: ") + QString::fromUtf8(error.what()));
        co_return ExitStatus::failed;
    }
    Console::printLine(QFileInfo(*target).absoluteFilePath());
    co_return ExitStatus::done;
}

