#include "activitylogfile.h"

#include "model/appconfig.h"
#include "model/jsonfields.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
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

// The log file opened and held under an advisory lock (flock), so that the
// desktop app and command-line clients writing the same folder never
// interleave: an append is one write of whole lines under the exclusive
// lock, a trim replaces the file under it. A trim renames a new file over
// the log, so a program that opened the old file and waited for the lock
// finds the name pointing elsewhere once it has it, and opens again.
class LockedLog
{
public:
    LockedLog(const QString &path, bool exclusive, bool create)
    {
        const QByteArray name = QFile::encodeName(path);
        for (int attempt = 0; attempt < 8; ++attempt) {
            // Non-blocking: a pipe put there must not hang the open.
            m_fd = ::open(name.constData(),
                          (exclusive ? O_RDWR | O_APPEND : O_RDONLY) | (create ? O_CREAT : 0) | O_NONBLOCK | O_CLOEXEC,
                          0600);
            if (m_fd < 0)
                return;
            struct stat opened {};
            if (::fstat(m_fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
                release();
                return;
            }
            int locked;
            do
                locked = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
            while (locked != 0 && errno == EINTR);
            struct stat named {};
            if (locked == 0 && ::stat(name.constData(), &named) == 0 && named.st_dev == opened.st_dev
                && named.st_ino == opened.st_ino)
                return;
            release();
        }
    }
    ~LockedLog() { release(); }
    LockedLog(const LockedLog &) = delete;
    LockedLog &operator=(const LockedLog &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    qint64 size() const
    {
        struct stat status {};
        return ::fstat(m_fd, &status) == 0 ? qint64(status.st_size) : -1;
    }

private:
    void release()
    {
        if (m_fd >= 0)
            ::close(m_fd); // also releases the lock
        m_fd = -1;
    }
    int m_fd = -1;
};

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// The non-empty whole lines among the last `maxBytes` bytes of an open log
// (a line cut by that bound is left out); none when it is unreadable, or
// when `requireUtf8` is set and it is not valid UTF-8.
std::optional<QList<QByteArray>> readLinesFrom(const LockedLog &log, bool requireUtf8, qint64 maxBytes)
{
    QFile file;
    if (!file.open(log.fd(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    const qint64 size = log.size();
    if (size < 0)
        return std::nullopt;
    const qint64 start = std::max<qint64>(0, size - maxBytes);
    if (!file.seek(start))
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

// Under the exclusive lock of `log`: past the threshold, the file is
// replaced (a temporary file renamed over it) by its last lines.
std::optional<QList<QByteArray>> readLines(const QString &path, bool requireUtf8, qint64 maxBytes)
{
    if (!isUsableLog(path, false))
        return std::nullopt;
    const LockedLog log(path, false, false);
    if (!log.isOpen())
        return std::nullopt;
    return readLinesFrom(log, requireUtf8, maxBytes);
}

void trimIfLarge(const LockedLog &log, const QString &path)
{
    if (log.size() <= ActivityLogFile::trimThresholdBytes)
        return;
    // Only the lines that fit under the threshold can stay, so only that
    // much of the end is read; a line longer than the threshold never fits
    // and goes, so the file never stays over it. Lines are cut as bytes: a
    // stray non-UTF-8 line must not stop the file from being bounded, and it
    // drops out once it is older than the kept lines.
    const auto lines = readLinesFrom(log, false, ActivityLogFile::trimThresholdBytes);
    if (!lines)
        return;
    const qsizetype keep = std::min<qsizetype>(lines->size(), ActivityLogFile::linesKeptAfterTrim);
    QByteArray kept;
    for (qsizetype i = lines->size() - keep; i < lines->size(); ++i) {
        kept += lines->at(i);
        kept += '\n';
    }
    // The rename keeps every record if the trim is cut short: the old file
    // stays until the new one is whole.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (out.write(kept) != kept.size() || !out.flush()) {
        out.cancelWriting();
        return;
    }
    out.commit();
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
    const LockedLog log(path, true, true);
    if (!log.isOpen())
        return;
    const qint64 size = log.size();
    // A write cut short (a crash, a full disk) can leave a last line without
    // its line feed; end it first so the new record is not glued onto it.
    QByteArray bytes = line;
    char last = '\n';
    if (size > 0 && ::pread(log.fd(), &last, 1, size - 1) == 1 && last != '\n')
        bytes.prepend('\n');
    // One write under the lock: records of two programs never mix in a line.
    writeAll(log.fd(), bytes);
    if (size > 0)
        trimIfLarge(log, path);
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
    const LockedLog log(url(), true, true);
    if (log.isOpen())
        (void)::ftruncate(log.fd(), 0);
}

} // namespace ActivityLogFile
