#include "gallerystate.h"

#include "jsonfields.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace {

// Reads an optional "currentPhotoUpdatedBy": an unknown string fails.
bool readUpdatedBy(JsonFields &fields, std::optional<CurrentPhotoUpdatedBy> &out)
{
    const auto raw = fields.optionalString(QLatin1StringView("currentPhotoUpdatedBy"));
    if (!raw)
        return fields.ok();
    out = currentPhotoUpdatedByFromRaw(*raw);
    if (!out)
        fields.fail(QStringLiteral("unknown currentPhotoUpdatedBy \"%1\"").arg(*raw));
    return fields.ok();
}

} // namespace

QString toRawValue(CurrentPhotoUpdatedBy value)
{
    return value == CurrentPhotoUpdatedBy::cron ? QStringLiteral("cron") : QStringLiteral("manual");
}

std::optional<CurrentPhotoUpdatedBy> currentPhotoUpdatedByFromRaw(const QString &raw)
{
    if (raw == QLatin1StringView("cron"))
        return CurrentPhotoUpdatedBy::cron;
    if (raw == QLatin1StringView("manual"))
        return CurrentPhotoUpdatedBy::manual;
    return std::nullopt;
}

QString userText(GalleryDeleteBlockReason reason)
{
    switch (reason) {
    case GalleryDeleteBlockReason::includesCurrentPhoto:
        return QCoreApplication::translate(
            "GalleryDeleteBlockReason", "Can't delete the current photo. Show another photo for today first.");
    case GalleryDeleteBlockReason::wouldRemoveAllPhotos:
        return QCoreApplication::translate("GalleryDeleteBlockReason",
                                           "At least one photo must remain in the gallery.");
    }
    return {};
}

// --- PhotoEntry -------------------------------------------------------------

QJsonObject PhotoEntry::toJson() const
{
    QJsonObject o{{QLatin1StringView("id"), id},
                  {QLatin1StringView("filename"), filename},
                  {QLatin1StringView("blobPath"), blobPath},
                  {QLatin1StringView("sizeBytes"), sizeBytes},
                  {QLatin1StringView("updatedAt"), updatedAt},
                  {QLatin1StringView("uploaderId"), uploaderId}};
    writeOptional(o, QLatin1StringView("deletedAt"), deletedAt);
    writeOptional(o, QLatin1StringView("downloadUrl"), downloadUrl);
    return o;
}

std::optional<PhotoEntry> PhotoEntry::fromJson(const QJsonValue &value, QString *error)
{
    auto raw = RawManifestPhoto::fromJson(value, error);
    if (!raw)
        return std::nullopt;
    if (!raw->uploaderId)
        return failWith<PhotoEntry>(error, QStringLiteral("missing \"uploaderId\""));
    return PhotoEntry{raw->id,        raw->filename,    raw->blobPath,   raw->sizeBytes,
                      raw->updatedAt, raw->deletedAt, *raw->uploaderId, raw->downloadUrl};
}

std::optional<RawManifestPhoto> RawManifestPhoto::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<RawManifestPhoto>(error, QStringLiteral("photo is not an object"));
    JsonFields f(value.toObject());
    RawManifestPhoto p;
    p.id = f.string(QLatin1StringView("id"));
    p.filename = f.string(QLatin1StringView("filename"));
    p.blobPath = f.string(QLatin1StringView("blobPath"));
    p.sizeBytes = f.int64(QLatin1StringView("sizeBytes"));
    p.updatedAt = f.string(QLatin1StringView("updatedAt"));
    p.deletedAt = f.optionalString(QLatin1StringView("deletedAt"));
    p.uploaderId = f.optionalString(QLatin1StringView("uploaderId"));
    p.downloadUrl = f.optionalString(QLatin1StringView("downloadUrl"));
    if (!f.ok())
        return failWith<RawManifestPhoto>(error, f.error());
    return p;
}

// --- GalleryState rules -----------------------------------------------------

QList<PhotoEntry> GalleryState::activePhotos() const
{
    QList<PhotoEntry> result;
    result.reserve(order.size());
    for (const QString &id : order) {
        const auto it = photos.constFind(id);
        if (it != photos.cend() && !it->isDeleted())
            result.append(*it);
    }
    return result;
}

std::optional<PhotoEntry> GalleryState::currentPhoto() const
{
    if (!currentPhotoId)
        return std::nullopt;
    const auto it = photos.constFind(*currentPhotoId);
    if (it == photos.cend() || it->isDeleted())
        return std::nullopt;
    return *it;
}

std::optional<GalleryDeleteBlockReason> GalleryState::deleteBlockReason(const QSet<QString> &ids) const
{
    QSet<QString> active;
    for (const PhotoEntry &p : activePhotos())
        active.insert(p.id);
    QSet<QString> targeted;
    for (const QString &id : ids) {
        if (active.contains(id))
            targeted.insert(id);
    }
    if (targeted.isEmpty())
        return std::nullopt;
    if (currentPhotoId && targeted.contains(*currentPhotoId))
        return GalleryDeleteBlockReason::includesCurrentPhoto;
    if (targeted.size() < active.size())
        return std::nullopt;
    return GalleryDeleteBlockReason::wouldRemoveAllPhotos;
}

bool GalleryState::canSetAsCurrent(const QString &photoID) const
{
    bool visible = false;
    for (const QString &id : order) {
        if (id != photoID)
            continue;
        const auto it = photos.constFind(id);
        if (it != photos.cend() && !it->isDeleted()) {
            visible = true;
            break;
        }
    }
    if (!visible)
        return false;
    return !currentPhotoId || *currentPhotoId != photoID;
}

GalleryState GalleryState::withResolvedCurrentPhoto() const
{
    std::optional<QString> firstVisible;
    bool currentVisible = false;
    for (const QString &id : order) {
        const auto it = photos.constFind(id);
        if (it == photos.cend() || it->isDeleted())
            continue;
        if (!firstVisible)
            firstVisible = id;
        if (currentPhotoId && *currentPhotoId == id) {
            currentVisible = true;
            break;
        }
    }
    if (!firstVisible) {
        GalleryState copy = *this;
        copy.currentPhotoId.reset();
        return copy;
    }
    if (currentVisible)
        return *this;
    GalleryState copy = *this;
    copy.currentPhotoId = firstVisible;
    return copy;
}

QString GalleryState::uploaderId(const QString &displayName)
{
    QString name = displayName.trimmed();
    if (name.isEmpty())
        name = defaultUploaderDisplayName;
    // 32-bit FNV-1a over whole Unicode scalar values (not UTF-8 bytes).
    quint32 h = 2166136261u;
    for (const char32_t c : name.toUcs4()) {
        h ^= static_cast<quint32>(c);
        h *= 16777619u;
    }
    return QStringLiteral("u-%1").arg(h, 8, 16, QLatin1Char('0'));
}

GalleryState::Coalesced GalleryState::coalescingUploaders(const QHash<QString, RawManifestPhoto> &rawPhotos,
                                                          const std::optional<UploaderMap> &rawUploaders)
{
    Coalesced result;
    result.uploaders = rawUploaders.value_or(UploaderMap{});
    result.photos.reserve(rawPhotos.size());
    const QString defaultId = uploaderId(defaultUploaderDisplayName);
    for (auto it = rawPhotos.cbegin(); it != rawPhotos.cend(); ++it) {
        const RawManifestPhoto &raw = it.value();
        const QString uploader = raw.uploaderId.value_or(defaultId);
        if (!result.uploaders.contains(uploader))
            result.uploaders.insert(uploader, defaultUploaderDisplayName);
        result.photos.insert(it.key(), PhotoEntry{raw.id, raw.filename, raw.blobPath, raw.sizeBytes,
                                                  raw.updatedAt, raw.deletedAt, uploader, raw.downloadUrl});
    }
    return result;
}

// --- GalleryState coding ----------------------------------------------------

QJsonObject GalleryState::toJson() const
{
    // A QJsonObject keeps its keys sorted in one array: inserted in hash
    // order, every insert moves the keys behind it (quadratic for a large
    // gallery); in sorted order each one lands at the end.
    QStringList photoIDs = photos.keys();
    std::sort(photoIDs.begin(), photoIDs.end());
    QJsonObject photosObject;
    for (const QString &id : std::as_const(photoIDs))
        photosObject.insert(id, photos.value(id).toJson());
    QStringList uploaderIDs = uploaders.keys();
    std::sort(uploaderIDs.begin(), uploaderIDs.end());
    QJsonObject uploadersObject;
    for (const QString &id : std::as_const(uploaderIDs))
        uploadersObject.insert(id, uploaders.value(id));
    QJsonObject o{{QLatin1StringView("updatedAt"), updatedAt},
                  {QLatin1StringView("order"), QJsonArray::fromStringList(order)},
                  {QLatin1StringView("photos"), photosObject},
                  {QLatin1StringView("uploaders"), uploadersObject}};
    writeOptional(o, QLatin1StringView("currentPhotoId"), currentPhotoId);
    if (currentPhotoUpdatedBy)
        o.insert(QLatin1StringView("currentPhotoUpdatedBy"), toRawValue(*currentPhotoUpdatedBy));
    return o;
}

QByteArray GalleryState::toJsonBytes() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

std::optional<GalleryState> GalleryState::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<GalleryState>(error, QStringLiteral("manifest is not an object"));
    JsonFields f(value.toObject());
    GalleryState state;

    state.updatedAt = f.string(QLatin1StringView("updatedAt"));

    const QJsonValue orderValue = f.required(QLatin1StringView("order"));
    if (f.ok() && !orderValue.isArray())
        f.fail(QStringLiteral("\"order\" is not a list"));
    if (f.ok()) {
        const QJsonArray array = orderValue.toArray();
        state.order.reserve(array.size());
        for (const QJsonValue &id : array) {
            if (!id.isString()) {
                f.fail(QStringLiteral("\"order\" holds a non-string"));
                break;
            }
            state.order.append(id.toString());
        }
    }

    QHash<QString, RawManifestPhoto> rawPhotos;
    const QJsonValue photosValue = f.required(QLatin1StringView("photos"));
    if (f.ok() && !photosValue.isObject())
        f.fail(QStringLiteral("\"photos\" is not an object"));
    if (f.ok()) {
        const QJsonObject object = photosValue.toObject();
        rawPhotos.reserve(object.size());
        for (auto it = object.begin(); it != object.end(); ++it) {
            QString photoError;
            auto raw = RawManifestPhoto::fromJson(it.value(), &photoError);
            if (!raw) {
                f.fail(QStringLiteral("photo \"%1\": %2").arg(it.key(), photoError));
                break;
            }
            rawPhotos.insert(it.key(), *raw);
        }
    }

    std::optional<UploaderMap> rawUploaders;
    const QJsonValue uploadersValue = f.optional(QLatin1StringView("uploaders"));
    if (f.ok() && !uploadersValue.isUndefined()) {
        if (!uploadersValue.isObject()) {
            f.fail(QStringLiteral("\"uploaders\" is not an object"));
        } else {
            const QJsonObject object = uploadersValue.toObject();
            UploaderMap map;
            for (auto it = object.begin(); it != object.end(); ++it) {
                if (!it.value().isString()) {
                    f.fail(QStringLiteral("uploader \"%1\" is not a string").arg(it.key()));
                    break;
                }
                map.insert(it.key(), it.value().toString());
            }
            rawUploaders = std::move(map);
        }
    }
    if (!f.ok())
        return failWith<GalleryState>(error, f.error());

    Coalesced coalesced = coalescingUploaders(rawPhotos, rawUploaders);
    state.photos = std::move(coalesced.photos);
    state.uploaders = std::move(coalesced.uploaders);

    state.currentPhotoId = f.optionalString(QLatin1StringView("currentPhotoId"));
    readUpdatedBy(f, state.currentPhotoUpdatedBy);
    if (!f.ok())
        return failWith<GalleryState>(error, f.error());
    return state;
}

std::optional<GalleryState> GalleryState::fromJsonBytes(const QByteArray &bytes, QString *error)
{
    return decodeJsonBytes<GalleryState>(bytes, error);
}

// --- GalleryResponse / CurrentPhotoResponse ----------------------------------

QJsonObject GalleryResponse::toJson() const
{
    return QJsonObject{{QLatin1StringView("state"), state.toJson()}};
}

std::optional<GalleryResponse> GalleryResponse::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<GalleryResponse>(error, QStringLiteral("response is not an object"));
    JsonFields f(value.toObject());
    const QJsonValue stateValue = f.required(QLatin1StringView("state"));
    if (!f.ok())
        return failWith<GalleryResponse>(error, f.error());
    auto state = GalleryState::fromJson(stateValue, error);
    if (!state)
        return std::nullopt;
    return GalleryResponse{std::move(*state)};
}

std::optional<GalleryResponse> GalleryResponse::fromJsonBytes(const QByteArray &bytes, QString *error)
{
    return decodeJsonBytes<GalleryResponse>(bytes, error);
}

QJsonObject CurrentPhotoResponse::toJson() const
{
    QJsonObject o{{QLatin1StringView("galleryVersion"), galleryVersion},
                  {QLatin1StringView("updatedAt"), updatedAt}};
    writeOptional(o, QLatin1StringView("currentPhotoId"), currentPhotoId);
    if (currentPhotoUpdatedBy)
        o.insert(QLatin1StringView("currentPhotoUpdatedBy"), toRawValue(*currentPhotoUpdatedBy));
    return o;
}

std::optional<CurrentPhotoResponse> CurrentPhotoResponse::fromJson(const QJsonValue &value, QString *error)
{
    if (!value.isObject())
        return failWith<CurrentPhotoResponse>(error, QStringLiteral("response is not an object"));
    JsonFields f(value.toObject());
    CurrentPhotoResponse r;
    r.galleryVersion = f.string(QLatin1StringView("galleryVersion"));
    r.currentPhotoId = f.optionalString(QLatin1StringView("currentPhotoId"));
    readUpdatedBy(f, r.currentPhotoUpdatedBy);
    r.updatedAt = f.string(QLatin1StringView("updatedAt"));
    if (!f.ok())
        return failWith<CurrentPhotoResponse>(error, f.error());
    return r;
}

std::optional<CurrentPhotoResponse> CurrentPhotoResponse::fromJsonBytes(const QByteArray &bytes, QString *error)
{
    return decodeJsonBytes<CurrentPhotoResponse>(bytes, error);
}
