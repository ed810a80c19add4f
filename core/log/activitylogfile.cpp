#include "activitylogfile.h"

#include "model/appconfig.h"
#include "model/jsonfields.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>

#include <cerrno>
#include <sys/stat.h>

namespace {

QMutex &fileLock()
{
    static QMutex mutex;
    return mutex;
}

// A log that is no regular file (a pipe, a device, a folder) is not ours:
// opening or reading it could block for ever.
bool isUsableLog(const QString &path, bool mayBeMissing)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return mayBeMissing && errno == ENOENT;
    return S_ISREG(status.st_mode);
}

// How much of the end of the file a read takes: a file that another
// program (or a fault) let grow is never read whole.
constexpr qint64 readLimitBytes = 8 * ActivityLogFile::trimThresholdBytes;

// The non-empty whole lines among the last `maxBytes` bytes of the file (a
// line cut by that bound is left out); none when it is missing or
// unreadable, or when `requireUtf8` is set and it is not valid UTF-8.
std::optional<QList<QByteArray>> readLines(const QString &path, bool requireUtf8, qint64 maxBytes)
{
    if (!isUsableLog(path, false))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const qint64 size = file.size();
    const qint64 start = std::max<qint64>(0, size - maxBytes);
    if (start > 0 && !file.seek(start))
        return std::nullopt;
    QByteArray bytes = file.read(maxBytes);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    if (start > 0) {
        // The bytes before the first line feed end a line that began earlier.
        const qsizetype firstBreak = bytes.indexOf('\n');
        bytes = firstBreak < 0 ? QByteArray() : bytes.mid(firstBreak + 1);
    }
    if (requireUtf8 && !decodeUtf8(bytes))
        return std::nullopt;
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeIf([](const QByteArray &line) { return line.isEmpty(); });
    return lines;
}

void trimIfLarge(QFile &file, const QString &path)
{
    const qint64 size = QFileInfo(path).size();
    if (size <= ActivityLogFile::trimThresholdBytes)
        return;
    // Only the lines that fit under the threshold can stay, so only that
    // much of the end is read; a line longer than the threshold never fits
    // and goes, so the file never stays over it. Lines are cut as bytes: a
    // stray non-UTF-8 line must not stop the file from being bounded, and it
    // drops out once it is older than the kept lines.
    const auto lines = readLines(path, false, ActivityLogFile::trimThresholdBytes);
    if (!lines)
        return;
    const qsizetype keep = std::min<qsizetype>(lines->size(), ActivityLogFile::linesKeptAfterTrim);
    QByteArray kept;
    for (qsizetype i = lines->size() - keep; i < lines->size(); ++i) {
        kept += lines->at(i);
        kept += '\n';
    }
    file.close();
    QFile out(path);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(kept);
}

} // namespace

namespace ActivityLogFile {

QString url()
{
    return QDir(AppConfig::supportFolder()).filePath(QStringLiteral("activity.log"));
}

void append(const LogEntry &entry)
{
    const QByteArray line = entry.toLine() + '\n';
    const QString path = url();
    QMutexLocker locker(&fileLock());
    if (!isUsableLog(path, true))
        return;
    const bool existed = QFileInfo::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        return;
    // A write cut short (a crash, a full disk) can leave a last line without
    // its line feed; end it first so the new record is not glued onto it.
    QByteArray bytes = line;
    if (existed && file.size() > 0 && file.seek(file.size() - 1)) {
        char last = '\n';
        if (file.getChar(&last) && last != '\n')
            bytes.prepend('\n');
    }
    file.write(bytes);
    file.flush();
    if (existed)
        trimIfLarge(file, path);
}

QList<LogEntry> loadRecent(int limit)
{
    QList<LogEntry> entries;
    if (limit <= 0)
        return entries;
    std::optional<QList<QByteArray>> lines;
    {
        QMutexLocker locker(&fileLock());
        lines = readLines(url(), true, readLimitBytes);
    }
    if (!lines)
        return entries;
    const qsizetype first = std::max<qsizetype>(0, lines->size() - limit);
    entries.reserve(lines->size() - first);

    // The live reload reads the whole file every few seconds, and between two
    // reads it mostly gains a line or two at its end. Decoding a record (JSON,
    // its id and its time) costs far more than looking its line up, so the
    // records of the previous read are kept by their line and reused; only
    // new lines are decoded. What is kept is replaced by each read, so it
    // never holds more than one read's lines.
    static QMutex decodedLock;
    static QHash<QByteArray, std::optional<LogEntry>> decoded;
    QMutexLocker decodedLocker(&decodedLock);
    QHash<QByteArray, std::optional<LogEntry>> decodedNow;
    decodedNow.reserve(lines->size() - first);
    for (qsizetype i = first; i < lines->size(); ++i) {
        const QByteArray &line = lines->at(i);
        auto known = decoded.constFind(line);
        const std::optional<LogEntry> entry = known != decoded.cend() ? *known : LogEntry::fromLine(line);
        decodedNow.insert(line, entry);
        if (entry)
            entries.append(*entry);
    }
    decoded = std::move(decodedNow);
    return entries;
}

void clear()
{
    QMutexLocker locker(&fileLock());
    if (!isUsableLog(url(), true))
        return;
    QFile file(url());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.close();
}

} // namespace ActivityLogFile
