#include "gallerystore.h"

#include "photoimages.h"

#include "error.h"
#include "model/atomicfile.h"
#include "model/jsonfields.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cstdio>

namespace {

const QString photosFolderName = QStringLiteral("photos");
const QString scaledFolderName = QStringLiteral("scaled");
const QString defaultFilename = QStringLiteral("photo.jpg");

void warn(const QString &message)
{
    ServerUtil::logLine(message);
}

// Runs a step that writes files; a failed write becomes a 500 answer.
template<typename Step>
auto savingOrFail(const QString &what, Step &&step)
{
    try {
        return step();
    } catch (const Error &e) {
        throw ApiError{500, QStringLiteral("Could not save %1: %2").arg(what, QString::fromUtf8(e.what())),
                       std::nullopt};
    }
}

QString lastPathComponent(const QString &name)
{
    QString last = name.section(QRegularExpression(QStringLiteral("[/\\\\]")), -1).trimmed();
    last.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    if (last == QLatin1StringView(".") || last == QLatin1StringView(".."))
        return {};
    return last;
}

} // namespace

GalleryStore::GalleryStore(QString dataFolder, ClockFunction clock)
    : m_dataFolder(std::move(dataFolder))
    , m_clock(std::move(clock))
    , m_sessions(m_dataFolder + QStringLiteral("/sessions.json"))
    , m_frames(m_dataFolder + QStringLiteral("/devices.json"))
{
    for (const QString &folder : {m_dataFolder, m_dataFolder + QLatin1Char('/') + photosFolderName,
                                  m_dataFolder + QLatin1Char('/') + scaledFolderName}) {
        if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir())
            throw StartupError(QStringLiteral("cannot create the folder %1").arg(folder));
    }
    loadManifest();
    m_sessions.load();
    m_frames.load();
}

QString GalleryStore::manifestPath() const
{
    return m_dataFolder + QStringLiteral("/gallery.json");
}

QString GalleryStore::photoPath(const QString &photoId) const
{
    return QStringLiteral("%1/%2/%3.jpg").arg(m_dataFolder, photosFolderName, photoId);
}

QString GalleryStore::scaledPath(const QString &photoId, int width) const
{
    // One substitution pass: a chained arg() would also fill in a "%1"
    // that the folder's own path holds.
    return QStringLiteral("%1/%2/%3_w%4.jpg").arg(m_dataFolder, scaledFolderName, photoId, QString::number(width));
}

void GalleryStore::loadManifest()
{
    const QString hint = QStringLiteral("move it aside to start with an empty gallery");
    const auto object = ServerUtil::readDataFile(manifestPath(), hint);
    if (!object) {
        m_startedWithoutManifest = true;
        return;
    }
    QString error;
    auto state = GalleryState::fromJson(*object, &error);
    if (!state)
        ServerUtil::failCorruptDataFile(manifestPath(), error, hint);
    m_state = std::move(*state);
    const QJsonValue setAt = object->value(QLatin1StringView("currentPhotoSetAt"));
    m_currentPhotoSetAt = setAt.isString() ? setAt.toString() : QString();
}

void GalleryStore::saveManifest(const GalleryState &state, const QString &currentPhotoSetAt) const
{
    QJsonObject object = state.toJson();
    object.insert(QLatin1StringView("currentPhotoSetAt"), currentPhotoSetAt);
    AtomicFile::write(manifestPath(), ServerUtil::jsonBytes(object));
}

QString GalleryStore::nextVersion() const
{
    QDateTime now = m_clock().toUTC();
    const QDateTime previous = ServerUtil::parseIsoText(m_state.updatedAt);
    if (previous.isValid() && (!now.isValid() || now <= previous))
        now = previous.addMSecs(1);
    return ServerUtil::isoText(now);
}

bool GalleryStore::isServable(const QString &photoId) const
{
    const auto it = m_state.photos.constFind(photoId);
    return ServerUtil::isSafeId(photoId) && it != m_state.photos.cend() && !it->isDeleted();
}

void GalleryStore::removePhotoFiles(const QString &photoId) const
{
    if (!ServerUtil::isSafeId(photoId))
        return;
    QFile::remove(photoPath(photoId));
    QDir scaled(m_dataFolder + QLatin1Char('/') + scaledFolderName);
    const QRegularExpression ownCopy(QStringLiteral("^%1_w[0-9]+\\.jpg$").arg(photoId));
    for (const QString &name : scaled.entryList(QDir::Files)) {
        if (ownCopy.match(name).hasMatch())
            scaled.remove(name);
    }
}

// --- Sessions ----------------------------------------------------------------

QString GalleryStore::createSession()
{
    std::lock_guard lock(m_mutex);
    return savingOrFail(QStringLiteral("the session"), [&] { return m_sessions.create(m_clock()); });
}

bool GalleryStore::hasSession(const QString &token) const
{
    std::lock_guard lock(m_mutex);
    return m_sessions.contains(token);
}

// --- The manifest --------------------------------------------------------------

GalleryState GalleryStore::state() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

CurrentPhotoResponse GalleryStore::current() const
{
    std::lock_guard lock(m_mutex);
    CurrentPhotoResponse response;
    response.galleryVersion = m_state.updatedAt;
    response.currentPhotoId = m_state.currentPhotoId;
    response.currentPhotoUpdatedBy = m_state.currentPhotoUpdatedBy;
    response.updatedAt = m_currentPhotoSetAt.isEmpty() ? m_state.updatedAt : m_currentPhotoSetAt;
    return response;
}

GalleryState GalleryStore::change(const std::optional<QString> &baseUpdatedAt, const Mutation &mutate)
{
    std::lock_guard lock(m_mutex);
    if (baseUpdatedAt && *baseUpdatedAt != m_state.updatedAt)
        throw ApiError::stale(m_state);

    GalleryState next = m_state;
    const QString version = nextVersion();
    FileWork files;
    QString currentPhotoSetAt = m_currentPhotoSetAt;
    bool currentChanged = false;
    try {
        if (!mutate(next, version, files))
            return m_state;
        next.updatedAt = version;
        currentChanged = next.currentPhotoId != m_state.currentPhotoId
                         || next.currentPhotoUpdatedBy != m_state.currentPhotoUpdatedBy;
        if (currentChanged)
            currentPhotoSetAt = version;
        savingOrFail(QStringLiteral("the gallery"), [&] { saveManifest(next, currentPhotoSetAt); });
    } catch (...) {
        for (const QString &path : std::as_const(files.created))
            QFile::remove(path);
        throw;
    }

    m_state = std::move(next);
    m_currentPhotoSetAt = currentPhotoSetAt;
    for (const QString &id : std::as_const(files.obsoletePhotoIds))
        removePhotoFiles(id);
    if (currentChanged) {
        if (const auto failure = m_frames.push(ServerUtil::parseIsoText(version)))
            warn(QStringLiteral("could not record the push to the frames: %1").arg(*failure));
    }
    return m_state;
}

QString GalleryStore::cleanFilename(const QString &formName, const QString &partName)
{
    for (const QString &candidate : {formName, partName}) {
        const QString name = lastPathComponent(candidate);
        if (!name.isEmpty())
            return name;
    }
    return defaultFilename;
}

GalleryState GalleryStore::addPhoto(const Upload &upload, const QString &baseUpdatedAt)
{
    if (!PhotoImages::looksLikeJpeg(upload.jpeg))
        throw ApiError::badRequest(QStringLiteral("The image is not a JPEG file"));
    // Decoded before the lock is taken: that may take a while.
    if (const auto refusal = PhotoImages::refusalOf(upload.jpeg))
        throw ApiError{422, *refusal, std::nullopt};
    return change(baseUpdatedAt, [&](GalleryState &next, const QString &version, FileWork &files) {
        QString id;
        do {
            id = ServerUtil::randomHexId();
        } while (next.photos.contains(id));
        const QString path = photoPath(id);
        savingOrFail(QStringLiteral("the photo"), [&] { AtomicFile::write(path, upload.jpeg); });
        files.created.append(path);

        QString name = upload.uploadedBy.trimmed();
        if (name.isEmpty())
            name = defaultUploaderDisplayName;
        const QString uploaderId = GalleryState::uploaderId(name);
        if (!next.uploaders.contains(uploaderId))
            next.uploaders.insert(uploaderId, name);

        // A gallery without a current photo shows its first upload; nobody
        // chose it, so it is marked neither "cron" nor "manual".
        if (!next.currentPhoto()) {
            next.currentPhotoId = id;
            next.currentPhotoUpdatedBy.reset();
        }
        next.photos.insert(id, PhotoEntry{id, cleanFilename(upload.filename, upload.partFilename),
                                          QStringLiteral("%1/%2.jpg").arg(photosFolderName, id), upload.jpeg.size(),
                                          version, std::nullopt, uploaderId, std::nullopt});
        next.order.append(id);
        return true;
    });
}

GalleryState GalleryStore::deletePhoto(const QString &photoId, const QString &baseUpdatedAt)
{
    return change(baseUpdatedAt, [&](GalleryState &next, const QString &version, FileWork &files) {
        const auto it = next.photos.find(photoId);
        if (it == next.photos.end() || it->isDeleted())
            throw ApiError::notFound(QStringLiteral("No such photo"));
        if (const auto reason = next.deleteBlockReason({photoId}))
            throw ApiError::badRequest(userText(*reason));
        it->deletedAt = version;
        next.order.removeAll(photoId);
        files.obsoletePhotoIds.append(photoId);
        return true;
    });
}

GalleryState GalleryStore::reorder(const QList<QString> &order, const QString &baseUpdatedAt)
{
    return change(baseUpdatedAt, [&](GalleryState &next, const QString &, FileWork &) {
        QSet<QString> visible;
        for (const PhotoEntry &photo : next.activePhotos())
            visible.insert(photo.id);
        QSet<QString> seen;
        for (const QString &id : order) {
            if (!visible.contains(id))
                throw ApiError::badRequest(QStringLiteral("The order names a photo that is not in the gallery"));
            if (seen.contains(id))
                throw ApiError::badRequest(QStringLiteral("The order names a photo twice"));
            seen.insert(id);
        }
        if (seen.size() != visible.size())
            throw ApiError::badRequest(QStringLiteral("The order must name every photo of the gallery"));
        if (next.order == order)
            return false;
        next.order = order;
        return true;
    });
}

GalleryState GalleryStore::renameUploader(const QString &fromName, const QString &toName, const QString &baseUpdatedAt)
{
    const QString from = fromName.trimmed();
    const QString to = toName.trimmed();
    if (to.isEmpty())
        throw ApiError::badRequest(QStringLiteral("The new name must not be blank"));
    return change(baseUpdatedAt, [&](GalleryState &next, const QString &, FileWork &) {
        const QString fromId = GalleryState::uploaderId(from);
        bool changed = false;
        for (auto it = next.uploaders.begin(); it != next.uploaders.end(); ++it) {
            if ((it.key() == fromId || it.value().trimmed() == from) && it.value() != to) {
                it.value() = to;
                changed = true;
            }
        }
        return changed;
    });
}

GalleryState GalleryStore::setCurrent(const QString &photoId, const QString &baseUpdatedAt)
{
    return change(baseUpdatedAt, [&](GalleryState &next, const QString &, FileWork &) {
        const auto it = next.photos.constFind(photoId);
        if (it == next.photos.cend() || it->isDeleted())
            throw ApiError::notFound(QStringLiteral("No such photo"));
        if (!next.order.contains(photoId))
            throw ApiError::badRequest(QStringLiteral("That photo is not shown in the gallery"));
        if (next.currentPhotoId == photoId)
            return false;
        next.currentPhotoId = photoId;
        next.currentPhotoUpdatedBy = CurrentPhotoUpdatedBy::manual;
        return true;
    });
}

GalleryState GalleryStore::advanceRotation()
{
    return change(std::nullopt, [&](GalleryState &next, const QString &, FileWork &) {
        const QList<PhotoEntry> visible = next.activePhotos();
        if (visible.isEmpty())
            return false;
        qsizetype index = -1;
        for (qsizetype i = 0; next.currentPhotoId && i < visible.size(); ++i) {
            if (visible[i].id == *next.currentPhotoId) {
                index = i;
                break;
            }
        }
        const QString nextId = visible[(index + 1) % visible.size()].id;
        if (next.currentPhotoId == nextId && next.currentPhotoUpdatedBy == CurrentPhotoUpdatedBy::cron)
            return false;
        next.currentPhotoId = nextId;
        next.currentPhotoUpdatedBy = CurrentPhotoUpdatedBy::cron;
        return true;
    });
}

// --- Images --------------------------------------------------------------------

QByteArray GalleryStore::photoImage(const QString &photoId, std::optional<int> width)
{
    {
        std::lock_guard lock(m_mutex);
        if (!isServable(photoId))
            throw ApiError::notFound(QStringLiteral("No such photo"));
    }
    // Files are read and scaled without the lock; a photo deleted meanwhile
    // has lost its file, which answers 404 as well.
    const auto readAll = [](const QString &path) -> std::optional<QByteArray> {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return file.readAll();
    };
    if (!width) {
        if (auto jpeg = readAll(photoPath(photoId)))
            return *jpeg;
        throw ApiError::notFound(QStringLiteral("No such photo"));
    }

    // Copies are made at a few widths only, so that a photo has a few of
    // them however many widths are asked for.
    const int copyWidth = PhotoImages::copyWidth(std::min(*width, PhotoImages::maxRequestedWidth));
    const QString cachePath = scaledPath(photoId, copyWidth);
    if (auto cached = readAll(cachePath))
        return *cached;
    const auto jpeg = readAll(photoPath(photoId));
    if (!jpeg)
        throw ApiError::notFound(QStringLiteral("No such photo"));

    const PhotoImages::ScaleResult result = PhotoImages::scaledJpeg(*jpeg, copyWidth);
    switch (result.kind) {
    case PhotoImages::ScaleResult::Kind::notWider:
        return *jpeg;
    case PhotoImages::ScaleResult::Kind::undecodable:
        throw ApiError{422, QStringLiteral("The photo cannot be decoded"), std::nullopt};
    case PhotoImages::ScaleResult::Kind::tooLarge:
        throw ApiError{422, QStringLiteral("The photo is too large to make a copy of that width"), std::nullopt};
    case PhotoImages::ScaleResult::Kind::scaled:
        break;
    }
    std::lock_guard lock(m_mutex);
    // Checked again so that no copy outlives a photo deleted meanwhile.
    if (isServable(photoId)) {
        try {
            AtomicFile::write(cachePath, result.jpeg);
        } catch (const Error &e) {
            warn(QStringLiteral("could not keep %1: %2").arg(cachePath, QString::fromUtf8(e.what())));
        }
    }
    return result.jpeg;
}

// --- Frames --------------------------------------------------------------------

QList<RegisteredDevicePublic> GalleryStore::devices() const
{
    std::lock_guard lock(m_mutex);
    return m_frames.registrations();
}

QList<DeviceLiveStatus> GalleryStore::deviceStatuses() const
{
    std::lock_guard lock(m_mutex);
    return m_frames.statuses();
}

RegisteredDevicePublic GalleryStore::registerDevice(const DeviceRegisterRequest &request)
{
    std::lock_guard lock(m_mutex);
    return savingOrFail(QStringLiteral("the frame"), [&] { return m_frames.add(request, m_clock()); });
}

bool GalleryStore::removeDevice(const QString &id)
{
    std::lock_guard lock(m_mutex);
    return savingOrFail(QStringLiteral("the frames"), [&] { return m_frames.remove(id); });
}

DeviceLiveStatus GalleryStore::simulateDevice(const QString &id, const QJsonObject &changes)
{
    std::lock_guard lock(m_mutex);
    return savingOrFail(QStringLiteral("the frame"), [&] { return m_frames.simulate(id, changes); });
}
