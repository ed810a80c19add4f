#include "updatefeed.h"

#include "serverutil.h"

#include "model/atomicfile.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QXmlStreamWriter>

#include <sodium.h>

namespace {

const QString sparkleNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");
const QString keyHint = QStringLiteral("remove it to make a new key; client builds then need the new public key");

// A file that stands in for a package: a line saying what it is, then
// bytes that depend on the version only.
QByteArray releaseFile(const QString &version)
{
    QByteArray bytes
        = QStringLiteral("Lunvik Photos %1: a test update of the development server\n").arg(version).toUtf8();
    QRandomGenerator generator(qHash(version));
    const qsizetype header = bytes.size();
    bytes.resize(header + 128 * 1024);
    for (qsizetype i = header; i < bytes.size(); ++i)
        bytes[i] = char(generator.bounded(256));
    return bytes;
}

} // namespace

UpdateFeed::UpdateFeed(const QString &keyPath, QString version)
    : m_version(std::move(version).trimmed())
{
    if (sodium_init() < 0)
        throw StartupError(QStringLiteral("libsodium could not be initialised"));

    QByteArray seed;
    QFile keyFile(keyPath);
    if (keyFile.exists()) {
        if (!keyFile.open(QIODevice::ReadOnly))
            throw StartupError(QStringLiteral("cannot read %1: %2").arg(keyPath, keyFile.errorString()));
        const auto decoded
            = QByteArray::fromBase64Encoding(keyFile.readAll().trimmed(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() != crypto_sign_SEEDBYTES)
            ServerUtil::failCorruptDataFile(
                keyPath, QStringLiteral("it is not a base64 Ed25519 seed of 32 bytes"), keyHint);
        seed = decoded.decoded;
    } else {
        seed.resize(crypto_sign_SEEDBYTES);
        randombytes_buf(seed.data(), size_t(seed.size()));
        try {
            AtomicFile::write(keyPath, seed.toBase64() + '\n', QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        } catch (const std::exception &e) {
            throw StartupError(QStringLiteral("cannot write %1: %2").arg(keyPath, QString::fromUtf8(e.what())));
        }
    }
    m_publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    m_secretKey.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(m_publicKey.data()),
        reinterpret_cast<unsigned char *>(m_secretKey.data()),
        reinterpret_cast<const unsigned char *>(seed.constData()));
    sodium_memzero(seed.data(), size_t(seed.size()));

    if (!m_version.isEmpty()) {
        static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._+~-]"));
        m_fileName = QStringLiteral("lunvik-photos-%1-test-update.bin")
                         .arg(QString(m_version).replace(unsafe, QStringLiteral("_")));
        m_file = releaseFile(m_version);
        m_signature = sign(m_file);
    }
}

QByteArray UpdateFeed::sign(const QByteArray &message) const
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
        reinterpret_cast<const unsigned char *>(message.constData()), static_cast<unsigned long long>(message.size()),
        reinterpret_cast<const unsigned char *>(m_secretKey.constData()));
    return signature;
}

QByteArray UpdateFeed::appcast(const QString &fileURL, Fault fault) const
{
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeNamespace(sparkleNamespace, QStringLiteral("sparkle"));
    xml.writeStartElement(QStringLiteral("rss"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("2.0"));
    xml.writeStartElement(QStringLiteral("channel"));
    xml.writeTextElement(QStringLiteral("title"), QStringLiteral("Lunvik Photos (development server)"));
    if (!m_version.isEmpty()) {
        const QByteArray signature = fault == Fault::signature ? sign(m_file + "tampered") : m_signature;
        const qint64 length = m_file.size() - (fault == Fault::length ? 1 : 0);
        xml.writeStartElement(QStringLiteral("item"));
        xml.writeTextElement(QStringLiteral("title"), QStringLiteral("Lunvik Photos %1").arg(m_version));
        xml.writeTextElement(sparkleNamespace, QStringLiteral("version"), m_version);
        xml.writeTextElement(sparkleNamespace, QStringLiteral("shortVersionString"), m_version);
        xml.writeStartElement(QStringLiteral("description"));
        xml.writeCDATA(QStringLiteral("<h3>Lunvik Photos %1</h3><ul><li>A test update served by the development "
                                      "server.</li><li>It is verified like a real release, but it installs "
                                      "nothing.</li></ul>")
                           .arg(m_version.toHtmlEscaped()));
        xml.writeEndElement();
        xml.writeEmptyElement(QStringLiteral("enclosure"));
        xml.writeAttribute(QStringLiteral("url"), fileURL);
        xml.writeAttribute(QStringLiteral("length"), QString::number(length));
        xml.writeAttribute(QStringLiteral("type"), QStringLiteral("application/octet-stream"));
        xml.writeAttribute(sparkleNamespace, QStringLiteral("edSignature"), QString::fromLatin1(signature.toBase64()));
        xml.writeEndElement(); // item
    }
    xml.writeEndElement(); // channel
    xml.writeEndElement(); // rss
    xml.writeEndDocument();
    return bytes;
}
