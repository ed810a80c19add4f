#include "sessiontokens.h"

#include "serverutil.h"

#include "model/atomicfile.h"
#include "model/jsonfields.h"

#include <QFile>
#include <QJsonArray>

SessionTokens::SessionTokens(QString path)
    : m_path(std::move(path))
{
}

void SessionTokens::load()
{
    const QString hint = QStringLiteral("move it aside to sign every device out");
    const auto object = ServerUtil::readDataFile(m_path, hint);
    if (!object)
        return;
    QList<Entry> entries;
    JsonFields fields(*object);
    const QJsonValue list = fields.required(QLatin1StringView("sessions"));
    if (fields.ok() && !list.isArray())
        fields.fail(QStringLiteral("\"sessions\" is not a list"));
    for (const QJsonValue &value : list.toArray()) {
        if (!fields.ok())
            break;
        if (!value.isObject()) {
            fields.fail(QStringLiteral("a session is not an object"));
            break;
        }
        JsonFields entry(value.toObject());
        const QByteArray digest = QByteArray::fromHex(entry.string(QLatin1StringView("tokenSha256")).toLatin1());
        const QString createdAt = entry.string(QLatin1StringView("createdAt"));
        if (entry.ok() && digest.size() != 32)
            entry.fail(QStringLiteral("\"tokenSha256\" is not a SHA-256 digest"));
        if (!entry.ok())
            fields.fail(entry.error());
        entries.append({digest, createdAt});
    }
    if (!fields.ok())
        ServerUtil::failCorruptDataFile(m_path, fields.error(), hint);
    m_entries = std::move(entries);
}

QString SessionTokens::create(const QDateTime &now)
{
    const QString token = ServerUtil::randomToken();
    QList<Entry> entries = m_entries;
    entries.append({ServerUtil::sha256(token.toUtf8()), ServerUtil::isoText(now)});
    while (entries.size() > maxSessions)
        entries.removeFirst();
    save(entries);
    m_entries = std::move(entries);
    return token;
}

bool SessionTokens::contains(const QString &token) const
{
    if (token.isEmpty())
        return false;
    const QByteArray digest = ServerUtil::sha256(token.toUtf8());
    bool found = false;
    // Every digest is compared, so the time taken tells nothing either.
    for (const Entry &entry : m_entries)
        found = ServerUtil::constantTimeEquals(entry.digest, digest) || found;
    return found;
}

void SessionTokens::save(const QList<Entry> &entries) const
{
    QJsonArray list;
    for (const Entry &entry : entries)
        list.append(QJsonObject{{QLatin1StringView("tokenSha256"), QString::fromLatin1(entry.digest.toHex())},
                                {QLatin1StringView("createdAt"), entry.createdAt}});
    AtomicFile::write(m_path, ServerUtil::jsonBytes({{QLatin1StringView("sessions"), list}}),
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}
