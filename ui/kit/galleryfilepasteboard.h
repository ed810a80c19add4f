// Reading what a drag, a drop or the clipboard carries into the gallery:
// image files to upload, or a thumbnail of the grid being moved.
//
// Files come, in this order of preference, from the local file locations
// (text/uri-list), else from absolute paths in plain text, one a line, else
// from raw image data (JPEG, PNG, HEIC, TIFF or a Qt image), which is written
// to a new file in the temporary folder only when the drop happens.
#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

#include <optional>

class QMimeData;

namespace GalleryFilePasteboard {

// The content types the gallery's drop targets accept.
QStringList draggedTypes();
// File name extensions (lower case) that the gallery uploads.
const QStringList &uploadExtensions();

// An existing regular file (not a folder) with an upload extension, in any
// case; or without an extension, one whose first bytes are those of an image
// the upload reads.
bool isUploadableFile(const QString &path);

// The file locations on `mime` (file URIs, else plain-text paths); no files
// are written.
QStringList fileLocations(const QMimeData *mime);
// The first raw image type `mime` carries, when it names no files.
std::optional<QString> rawImageType(const QMimeData *mime);

// True when dropping `mime` would upload at least one file. Never writes a
// file, so it may run on every drag move.
bool wouldUpload(const QMimeData *mime);

// Every location the drop stands for. Raw image data is written first to
// "gallery-drop-<uuid>.png" (PNG data and Qt images) or ".jpg" (the other
// types) in `temporaryFolder`; data that is no readable image, or a failed
// write, gives nothing.
QStringList urls(const QMimeData *mime, const QString &temporaryFolder = QDir::tempPath());
// The locations of urls() that are uploadable files.
QStringList uploadURLs(const QMimeData *mime, const QString &temporaryFolder = QDir::tempPath());

} // namespace GalleryFilePasteboard

// A thumbnail dragged to a new place in the grid carries the photo's id.
namespace PhotoDragPasteboard {

inline const QString mimeType = QStringLiteral("application/x-lunvik-photo-id");

QStringList draggedTypes();
// A new drag payload for `photoID` (the private type and plain text).
QMimeData *mimeData(const QString &photoID);
// The id under the private type, else the first line of plain text that
// comes without file locations; none when both are empty.
std::optional<QString> photoID(const QMimeData *mime);

} // namespace PhotoDragPasteboard
