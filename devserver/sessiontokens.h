// The session tokens handed out for the family password. Only their SHA-256
// digests are kept, in a file of the data folder readable by its owner only,
// so the file alone never lets anyone in. Not thread-safe: the gallery store
// guards it with its mutex.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

class SessionTokens
{
public:
    // The oldest sessions are forgotten beyond this many.
    static constexpr int maxSessions = 256;

    explicit SessionTokens(QString path);

    // Reads the file when there is one; throws StartupError when it is corrupt.
    void load();

    // A new random token, saved before it is returned; throws the write's
    // Error (nothing is kept then).
    QString create(const QDateTime &now);
    bool contains(const QString &token) const;

private:
    struct Entry {
        QByteArray digest;
        QString createdAt;
    };

    void save(const QList<Entry> &entries) const;

    QString m_path;
    QList<Entry> m_entries;
};
