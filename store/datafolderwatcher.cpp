#include "datafolderwatcher.h"

#include <QFile>

#include <sys/stat.h>

DataFolderWatcher::DataFolderWatcher(const QString &folder, QStringList files, QObject *parent)
    : QObject(parent), m_files(std::move(files))
{
    for (const QString &path : std::as_const(m_files))
        m_seen.insert(path, stampOf(path));
    m_settle.setSingleShot(true);
    m_settle.setInterval(100);
    connect(&m_settle, &QTimer::timeout, this, &DataFolderWatcher::check);
    m_watcher.addPath(folder);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
}

QByteArray DataFolderWatcher::stampOf(const QString &path) const
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return QByteArray::number(qulonglong(status.st_ino)) + ' ' + QByteArray::number(qlonglong(status.st_size)) + ' '
        + QByteArray::number(qlonglong(status.st_mtim.tv_sec)) + '.'
        + QByteArray::number(qlonglong(status.st_mtim.tv_nsec));
}

void DataFolderWatcher::check()
{
    bool changed = false;
    for (const QString &path : std::as_const(m_files)) {
        QByteArray stamp = stampOf(path);
        if (stamp != m_seen.value(path)) {
            m_seen.insert(path, std::move(stamp));
            changed = true;
        }
    }
    if (changed)
        Q_EMIT filesChanged();
}
