// Whole-file writes that a reader (or a crash) never sees half done: the
// bytes go to a temporary file beside the target, are flushed to disk, and
// the temporary file is renamed over the target.
#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <optional>

namespace AtomicFile {

// Throws PlatformError (domain "QFileDevice") when the write fails; the
// previous file, if any, is then left untouched. With `permissions` the new
// file gets exactly those permissions, whatever the old one had.
void write(const QString &path, const QByteArray &bytes,
           std::optional<QFileDevice::Permissions> permissions = std::nullopt);

// Like write(), but never replaces anything: false (and nothing written)
// when a file already exists at `path`, also one created while the bytes
// were being written. Throws PlatformError for any other failure.
bool writeNew(const QString &path, const QByteArray &bytes);

} // namespace AtomicFile
