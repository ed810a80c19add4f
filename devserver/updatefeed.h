// The development server's software-update feed: an RSS appcast offering one
// generated release file, signed with an Ed25519 key that is made on the
// first start and kept in the data folder (`update-signing-key`, the base64
// seed, owner-only), so a client built with its public key keeps finding
// updates after restarts. For tests it can also announce a wrong signature
// or a wrong length. Immutable after construction, so safe from any thread.
#pragma once

#include <QByteArray>
#include <QString>

class UpdateFeed
{
public:
    enum class Fault {
        none,
        signature, // a well-formed signature of other bytes
        length, // announces one byte less than the file has
    };

    // Reads the signing key at `keyPath`, or makes and saves one. With an
    // empty `version` the feed lists no release. Throws StartupError.
    UpdateFeed(const QString &keyPath, QString version);

    // The base64 Ed25519 public key a client build is given.
    QString publicKey() const { return QString::fromLatin1(m_publicKey.toBase64()); }
    const QString &version() const { return m_version; }
    // The release file's name and bytes; empty without a version.
    const QString &fileName() const { return m_fileName; }
    const QByteArray &file() const { return m_file; }

    // The feed, with the release file at `fileURL`.
    QByteArray appcast(const QString &fileURL, Fault fault) const;

private:
    QByteArray sign(const QByteArray &message) const;

    QString m_version;
    QByteArray m_secretKey;
    QByteArray m_publicKey;
    QString m_fileName;
    QByteArray m_file;
    QByteArray m_signature;
};
