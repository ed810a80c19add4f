#include "atomicfile.h"

#include "error.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <unistd.h>

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

bool writeNew(const QString &path, const QByteArray &bytes)
{
    if (QFileInfo::exists(path))
        return false;
    // The bytes go to a temporary file beside the target, which is then
    // hard-linked under the final name: link() fails instead of replacing a
    // file that appeared meanwhile, and a reader never sees a partial file.
    QTemporaryFile temporary(QFileInfo(path).absolutePath() + QStringLiteral("/.lunvik-XXXXXX"));
    if (!temporary.open())
        throw fileError(temporary.error(), temporary.errorString());
    if (temporary.write(bytes) != bytes.size() || !temporary.flush())
        throw fileError(temporary.error(), temporary.errorString());
    ::fsync(temporary.handle());
    const QByteArray from = QFile::encodeName(temporary.fileName());
    const QByteArray to = QFile::encodeName(path);
    if (::link(from.constData(), to.constData()) == 0)
        return true;
    const int linkError = errno;
    if (linkError == EEXIST)
        return false;
    if (linkError != EPERM && linkError != EOPNOTSUPP && linkError != EXDEV)
        throw PlatformError(QStringLiteral("POSIX"), linkError, QString::fromLocal8Bit(std::strerror(linkError)));
    // A file system without hard links (FAT on a memory stick): create the
    // target exclusively and write it in place.
    QFile target(path);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (QFileInfo::exists(path))
            return false;
        throw fileError(target.error(), target.errorString());
    }
    if (target.write(bytes) != bytes.size() || !target.flush()) {
        const auto error = fileError(target.error(), target.errorString());
        target.close();
        target.remove();
        throw error;
    }
    return true;
}

} // namespace AtomicFile
