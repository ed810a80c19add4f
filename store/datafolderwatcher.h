// Notices when files of the data folder change: the settings and the
// manifest, which the command-line client writes while the desktop app
// runs. Both are replaced by a rename, which a watch on the file itself
// would not survive, so the folder is watched and the files are compared
// by their inode, size and modification time. Main thread.
#pragma once

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

class DataFolderWatcher : public QObject
{
    Q_OBJECT
public:
    DataFolderWatcher(const QString &folder, QStringList files, QObject *parent = nullptr);

Q_SIGNALS:
    // One of the files is another than when last seen (or was seen missing).
    void filesChanged();

private:
    QByteArray stampOf(const QString &path) const;
    void check();

    QFileSystemWatcher m_watcher;
    QStringList m_files;
    QHash<QString, QByteArray> m_seen;
    // A save is a burst of changes (lock file, temporary file, rename): one
    // look after it settles.
    QTimer m_settle;
};
