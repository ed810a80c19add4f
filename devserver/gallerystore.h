// Everything the development server keeps, behind one mutex: the gallery
// manifest with its photo files, the session tokens and the simulated frames,
// all in one data folder:
//
//   gallery.json    the manifest (plus "currentPhotoSetAt")
//   sessions.json   digests of the session tokens (owner-only)
//   devices.json    frame registrations, their tokens and simulation (owner-only)
//   photos/         <id>.jpg: the photos as uploaded
//   scaled/         <id>_w<width>.jpg: narrower copies at a few widths, made on first request
//
// Every change works on a copy: its files are written first and the copy
// replaces the state only when all of them were. Refusals are thrown as
// ApiError (a failed write as status 500).
#pragma once

#include "serverutil.h"
#include "sessiontokens.h"
#include "simulatedframes.h"

#include "model/gallerystate.h"
#include "server/devicerecords.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>
#include <optional>

class GalleryStore
{
public:
    using ClockFunction = std::function<QDateTime()>;

    // Loads what the folder holds (creating it when missing); throws
    // StartupError when it cannot be used or a file in it is corrupt.
    GalleryStore(QString dataFolder, ClockFunction clock);

    const QString &dataFolder() const { return m_dataFolder; }
    // True when the folder held no manifest at start.
    bool startedWithoutManifest() const { return m_startedWithoutManifest; }

    // Sessions.
    QString createSession();
    bool hasSession(const QString &token) const;

    // The manifest and the light answer about its current photo.
    GalleryState state() const;
    CurrentPhotoResponse current() const;

    // Changes. Each checks `baseUpdatedAt` against the manifest first (409),
    // and answers the manifest after the change. A change that changes
    // nothing leaves updatedAt as it is.
    struct Upload {
        QString uploadedBy;
        QString filename; // the form's "filename" field
        QString partFilename; // the file name of the image part
        QByteArray jpeg;
    };
    // A JPEG that does not decode within PhotoImages' bounds is refused
    // with 422.
    GalleryState addPhoto(const Upload &upload, const QString &baseUpdatedAt);
    GalleryState deletePhoto(const QString &photoId, const QString &baseUpdatedAt);
    GalleryState reorder(const QList<QString> &order, const QString &baseUpdatedAt);
    GalleryState renameUploader(const QString &fromName, const QString &toName, const QString &baseUpdatedAt);
    GalleryState setCurrent(const QString &photoId, const QString &baseUpdatedAt);
    // The rotation: the next visible photo after the current one becomes
    // current, marked "cron".
    GalleryState advanceRotation();

    // The JPEG of a photo that is not deleted; with a width, a copy at the
    // narrowest of PhotoImages::copyWidths not narrower than that (the
    // original when it is no wider), made once and kept beside the
    // original. Throws ApiError 404 for an unknown or deleted photo, 422
    // for one that cannot be scaled.
    QByteArray photoImage(const QString &photoId, std::optional<int> width);

    // Frames.
    QList<RegisteredDevicePublic> devices() const;
    QList<DeviceLiveStatus> deviceStatuses() const;
    RegisteredDevicePublic registerDevice(const DeviceRegisterRequest &request);
    // False when there is no such frame.
    bool removeDevice(const QString &id);
    DeviceLiveStatus simulateDevice(const QString &id, const QJsonObject &changes);

    // The file name kept for an upload: the last path component of the
    // form's name, else of the part's name, else "photo.jpg".
    static QString cleanFilename(const QString &formName, const QString &partName);

private:
    // What a change leaves to be done with files.
    struct FileWork {
        QStringList created; // removed again when the change fails
        QStringList obsoletePhotoIds; // their files go once the change is saved
    };
    using Mutation = std::function<bool(GalleryState &next, const QString &version, FileWork &files)>;

    GalleryState change(const std::optional<QString> &baseUpdatedAt, const Mutation &mutate);
    QString nextVersion() const;
    void saveManifest(const GalleryState &state, const QString &currentPhotoSetAt) const;
    void loadManifest();
    void removePhotoFiles(const QString &photoId) const;
    bool isServable(const QString &photoId) const;
    QString photoPath(const QString &photoId) const;
    QString scaledPath(const QString &photoId, int width) const;
    QString manifestPath() const;

    QString m_dataFolder;
    ClockFunction m_clock;
    bool m_startedWithoutManifest = false;

    mutable std::mutex m_mutex;
    GalleryState m_state;
    QString m_currentPhotoSetAt;
    SessionTokens m_sessions;
    SimulatedFrames m_frames;
};
