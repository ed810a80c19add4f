#include "atomicfile.h"

#include "../error.h"

#include <QSaveFile>

namespace AtomicFile {

void write(const QString &path, const QByteArray &bytes, std::optional<QFileDevice::Permissions> permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw fileError(file.error(), file.errorString());
    // Set on the temporary file before any byte is written, so a secret never
    // sits in a file with wider permissions, not even for a moment.
    if (permissions && !file.setPermissions(*permissions)) {
        const auto error = fileError(file.error(), file.errorString());
        file.cancelWriting();
        throw error;
    }
    // QSaveFile buffers the bytes and its commit() renames the temporary file
    // even when flushing that buffer failed (e.g. disk full), so flush first
    // and check: a short file must never replace the old one.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const auto error = fileError(file.error(), file.errorString());
        file.cancelWriting();
        throw error;
    }
    if (!file.commit())
        throw fileError(file.error(), file.errorString());
}

} // namespace AtomicFile
