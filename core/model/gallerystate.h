// The gallery manifest: photos, their display order, uploaders and the photo
// that is current ("Showing for today"). One JSON format serves the wire and
// the local state file. Everything here is a pure value operation.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

// Shown for uploaders the manifest does not name, and for a blank display name.
inline const QString defaultUploaderDisplayName = QStringLiteral("Kelvo");

enum class CurrentPhotoUpdatedBy { cron, manual };

QString toRawValue(CurrentPhotoUpdatedBy value);
std::optional<CurrentPhotoUpdatedBy> currentPhotoUpdatedByFromRaw(const QString &raw);

enum class GalleryDeleteBlockReason { includesCurrentPhoto, wouldRemoveAllPhotos };

// The user-facing text of a refusal, shown under the title "Cannot delete".
QString userText(GalleryDeleteBlockReason reason);

struct PhotoEntry {
    QString id;
    QString filename;
    QString blobPath;
    qint64 sizeBytes = 0;
    QString updatedAt;
    std::optional<QString> deletedAt;
    QString uploaderId;
    std::optional<QString> downloadUrl;

    // A tombstone: any deletedAt, even an empty one, marks the photo deleted.
    bool isDeleted() const { return deletedAt.has_value(); }

    QJsonObject toJson() const;
    // Requires uploaderId; only the manifest decode fills in a missing one.
    static std::optional<PhotoEntry> fromJson(const QJsonValue &value, QString *error = nullptr);

    bool operator==(const PhotoEntry &) const = default;
};

// A photo as it arrives inside a manifest, before uploaders are coalesced.
struct RawManifestPhoto {
    QString id;
    QString filename;
    QString blobPath;
    qint64 sizeBytes = 0;
    QString updatedAt;
    std::optional<QString> deletedAt;
    std::optional<QString> uploaderId;
    std::optional<QString> downloadUrl;

    static std::optional<RawManifestPhoto> fromJson(const QJsonValue &value, QString *error = nullptr);

    bool operator==(const RawManifestPhoto &) const = default;
};

using PhotoMap = QHash<QString, PhotoEntry>;
using UploaderMap = QHash<QString, QString>;

struct GalleryState {
    static inline const QString emptyUpdatedAt = QStringLiteral("1970-01-01T00:00:00.000Z");

    QString updatedAt = emptyUpdatedAt;
    QList<QString> order;
    PhotoMap photos;
    UploaderMap uploaders;
    std::optional<QString> currentPhotoId;
    std::optional<CurrentPhotoUpdatedBy> currentPhotoUpdatedBy;

    // The state of a client that has never synced.
    static GalleryState empty() { return {}; }

    // Visible photos in display order: ids of `order` that have an entry
    // without deletedAt (an id listed twice is yielded twice).
    QList<PhotoEntry> activePhotos() const;
    std::optional<PhotoEntry> currentPhoto() const;
    std::optional<GalleryDeleteBlockReason> deleteBlockReason(const QSet<QString> &ids) const;
    bool canDeletePhotos(const QSet<QString> &ids) const { return !deleteBlockReason(ids); }
    bool canSetAsCurrent(const QString &photoID) const;
    // Points a missing or deleted current photo at the first visible one.
    GalleryState withResolvedCurrentPhoto() const;

    static QString uploaderId(const QString &displayName);

    struct Coalesced {
        PhotoMap photos;
        UploaderMap uploaders;
    };
    static Coalesced coalescingUploaders(const QHash<QString, RawManifestPhoto> &rawPhotos,
                                         const std::optional<UploaderMap> &rawUploaders);

    QJsonObject toJson() const;
    QByteArray toJsonBytes() const;
    static std::optional<GalleryState> fromJson(const QJsonValue &value, QString *error = nullptr);
    static std::optional<GalleryState> fromJsonBytes(const QByteArray &bytes, QString *error = nullptr);

    bool operator==(const GalleryState &) const = default;
};

// The server's envelope of a manifest: {"state": {...}}.
struct GalleryResponse {
    GalleryState state;

    QJsonObject toJson() const;
    static std::optional<GalleryResponse> fromJson(const QJsonValue &value, QString *error = nullptr);
    static std::optional<GalleryResponse> fromJsonBytes(const QByteArray &bytes, QString *error = nullptr);

    bool operator==(const GalleryResponse &) const = default;
};

// The light answer about the current photo.
struct CurrentPhotoResponse {
    QString galleryVersion;
    std::optional<QString> currentPhotoId;
    std::optional<CurrentPhotoUpdatedBy> currentPhotoUpdatedBy;
    QString updatedAt;

    QJsonObject toJson() const;
    static std::optional<CurrentPhotoResponse> fromJson(const QJsonValue &value, QString *error = nullptr);
    static std::optional<CurrentPhotoResponse> fromJsonBytes(const QByteArray &bytes, QString *error = nullptr);

    bool operator==(const CurrentPhotoResponse &) const = default;
};
