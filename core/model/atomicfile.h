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

} // namespace AtomicFile
