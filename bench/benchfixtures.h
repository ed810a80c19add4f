// The inputs of the benchmarks, generated on the machine that runs them
// (nothing large is kept in the repository): photo-like pictures, cached
// galleries in client data folders, a full activity log and the data folder
// of a development server with a gallery of its own.
//
// Everything is deterministic (a fixed random seed), so two runs measure the
// same bytes; a file that is already there is kept.
#pragma once

#include "model/gallerystate.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace BenchFixtures {

// A picture with the texture of a photograph (soft gradients and fine grain),
// so that it compresses and decodes like one; `seed` varies it.
QImage photoLikeImage(QSize size, quint32 seed);

// `jpeg` with an EXIF block whose only tag is the orientation (1 to 8),
// placed after the JFIF header. `jpeg` must start with the SOI marker.
QByteArray withExifOrientation(const QByteArray &jpeg, int orientation);

QByteArray encodeJPEG(const QImage &image, int quality);

// A manifest of `photoCount` visible photos (and a few deleted ones) by five
// uploaders, with ids of 32 hex digits as the server makes them.
GalleryState manifest(int photoCount, quint32 seed);

// A client data folder (its XDG_DATA_HOME) whose support folder holds a
// signed-in, debug-mode config.json with `token`, and, when `state` is
// given, local-gallery.json.
void writeClientFolder(const QString &xdgDataHome, const QString &token, const GalleryState *state);

// Fills the cache of a client folder for every visible photo of `state`:
// the full-size file and the server thumbnails of every width the grid may
// ask for (256, 512, 768, 1024). The files are hard links to a few distinct
// pictures, so a large gallery costs little disk.
void writePhotoCache(const QString &xdgDataHome, const GalleryState &state, const QString &scratchFolder);

// activity.log of a client folder with `count` records, as the log file
// holds them when full (just under its trim threshold for 2,000 records).
void writeActivityLog(const QString &xdgDataHome, int count);

// The data folder of a development server with `photoCount` photos of about
// `photoBytes` bytes each, all visible. Returns the manifest written.
GalleryState writeServerFolder(const QString &folder, int photoCount, int photoBytes);

// Writes `bytes` to `path` (creating its folder) unless the file exists.
void writeFileOnce(const QString &path, const QByteArray &bytes);

} // namespace BenchFixtures
