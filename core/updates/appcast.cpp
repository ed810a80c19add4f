#include "appcast.h"

#include <QXmlStreamReader>

namespace {

const QString enclosureSignatureAttribute = QStringLiteral("edSignature");
constexpr int ed25519SignatureBytes = 64;

struct ItemFields {
    QString title;
    QString version;
    QString shortVersion;
    QString description;
    bool hasEnclosure = false;
    QString url;
    QString length;
    QString signature;
    QString enclosureVersion;
    QString enclosureShortVersion;
};

std::optional<AppcastItem> usableItem(const ItemFields &fields, const QUrl &feedURL)
{
    AppcastItem item;
    item.title = fields.title.trimmed();
    item.version = (fields.version.isEmpty() ? fields.enclosureVersion : fields.version).trimmed();
    const QString shown
        = (fields.shortVersion.isEmpty() ? fields.enclosureShortVersion : fields.shortVersion).trimmed();
    item.displayVersionString = shown.isEmpty() ? item.version : shown;
    item.releaseNotes = fields.description.trimmed();
    if (!fields.hasEnclosure || item.version.isEmpty())
        return std::nullopt;

    const QUrl url = feedURL.resolved(QUrl(fields.url.trimmed(), QUrl::StrictMode));
    const QString scheme = url.scheme().toLower();
    if (fields.url.trimmed().isEmpty() || !url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1StringView("https") && scheme != QLatin1StringView("http")))
        return std::nullopt;
    item.fileURL = url;

    bool ok = false;
    item.length = fields.length.trimmed().toLongLong(&ok);
    if (!ok || item.length <= 0)
        return std::nullopt;

    const auto decoded = QByteArray::fromBase64Encoding(
        fields.signature.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != ed25519SignatureBytes)
        return std::nullopt;
    item.edSignature = decoded.decoded;
    return item;
}

bool isSparkle(const QXmlStreamReader &xml, QLatin1StringView name)
{
    return xml.namespaceUri() == Appcast::sparkleNamespace && xml.name() == name;
}

bool isPlain(const QXmlStreamReader &xml, QLatin1StringView name)
{
    return xml.namespaceUri().isEmpty() && xml.name() == name;
}

// Reads one <item>; the reader stands on its start element.
ItemFields readItem(QXmlStreamReader &xml)
{
    ItemFields fields;
    while (xml.readNextStartElement()) {
        if (isPlain(xml, QLatin1StringView("title"))) {
            fields.title = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (isPlain(xml, QLatin1StringView("description"))) {
            fields.description = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (isSparkle(xml, QLatin1StringView("version"))) {
            fields.version = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (isSparkle(xml, QLatin1StringView("shortVersionString"))) {
            fields.shortVersion = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (isPlain(xml, QLatin1StringView("enclosure")) && !fields.hasEnclosure) {
            const QXmlStreamAttributes attributes = xml.attributes();
            fields.hasEnclosure = true;
            fields.url = attributes.value(QLatin1StringView("url")).toString();
            fields.length = attributes.value(QLatin1StringView("length")).toString();
            fields.signature = attributes.value(Appcast::sparkleNamespace, enclosureSignatureAttribute).toString();
            fields.enclosureVersion = attributes.value(Appcast::sparkleNamespace, QStringLiteral("version")).toString();
            fields.enclosureShortVersion
                = attributes.value(Appcast::sparkleNamespace, QStringLiteral("shortVersionString")).toString();
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    return fields;
}

// A version string cut into runs of digits and runs of letters; everything
// else separates.
struct VersionPart {
    bool isNumber = false;
    QString text; // digits without leading zeros, or the word in lower case
};

QList<VersionPart> versionParts(const QString &version)
{
    QList<VersionPart> parts;
    qsizetype i = 0;
    while (i < version.size()) {
        const QChar c = version.at(i);
        if (!c.isLetterOrNumber()) {
            ++i;
            continue;
        }
        const bool digits = c.isDigit();
        const qsizetype start = i;
        while (i < version.size() && version.at(i).isLetterOrNumber() && version.at(i).isDigit() == digits)
            ++i;
        QString text = version.mid(start, i - start);
        if (digits) {
            while (text.size() > 1 && text.startsWith(QLatin1Char('0')))
                text.remove(0, 1);
        } else {
            text = text.toLower();
        }
        parts.append({ digits, text });
    }
    return parts;
}

int compareNumbers(const QString &a, const QString &b)
{
    // Both are digit runs without leading zeros, of any length.
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

int sign(int value)
{
    return (value > 0) - (value < 0);
}

} // namespace

std::optional<QList<AppcastItem>> Appcast::parse(const QByteArray &bytes, const QUrl &feedURL, QString *error)
{
    QXmlStreamReader xml(bytes);
    QList<AppcastItem> items;
    bool sawChannel = false;
    if (xml.readNextStartElement()) {
        if (!isPlain(xml, QLatin1StringView("rss"))) {
            xml.raiseError(QStringLiteral("the document is not an RSS feed"));
        } else {
            while (xml.readNextStartElement()) {
                if (!isPlain(xml, QLatin1StringView("channel"))) {
                    xml.skipCurrentElement();
                    continue;
                }
                sawChannel = true;
                while (xml.readNextStartElement()) {
                    if (isPlain(xml, QLatin1StringView("item"))) {
                        if (const auto item = usableItem(readItem(xml), feedURL))
                            items.append(*item);
                    } else {
                        xml.skipCurrentElement();
                    }
                }
            }
        }
    }
    // Whatever follows the root element must be well-formed too.
    while (!xml.atEnd() && !xml.hasError())
        xml.readNext();
    if (!xml.hasError() && !sawChannel)
        xml.raiseError(QStringLiteral("the feed has no channel"));
    if (xml.hasError()) {
        if (error) {
            *error = QStringLiteral("line %1, column %2: %3")
                         .arg(xml.lineNumber())
                         .arg(xml.columnNumber())
                         .arg(xml.errorString());
        }
        return std::nullopt;
    }
    return items;
}

int Appcast::compareVersions(const QString &a, const QString &b)
{
    const QList<VersionPart> left = versionParts(a);
    const QList<VersionPart> right = versionParts(b);
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const bool hasLeft = i < left.size();
        const bool hasRight = i < right.size();
        if (hasLeft && hasRight) {
            const VersionPart &l = left.at(i);
            const VersionPart &r = right.at(i);
            int order = 0;
            if (l.isNumber && r.isNumber)
                order = compareNumbers(l.text, r.text);
            else if (l.isNumber != r.isNumber)
                order = l.isNumber ? 1 : -1; // "1.0.1" is after "1.0b1"
            else
                order = sign(l.text.compare(r.text));
            if (order != 0)
                return order;
            continue;
        }
        // One version goes on: more numbers make it later unless they are
        // zeros; a word makes it a pre-release of the shorter one.
        const VersionPart &rest = hasLeft ? left.at(i) : right.at(i);
        const int longerIsLater = hasLeft ? 1 : -1;
        if (!rest.isNumber)
            return -longerIsLater;
        if (rest.text != QLatin1StringView("0"))
            return longerIsLater;
    }
    return 0;
}

std::optional<AppcastItem> Appcast::bestUpdate(const QList<AppcastItem> &items, const QString &currentVersion)
{
    std::optional<AppcastItem> best;
    for (const AppcastItem &item : items) {
        if (compareVersions(item.version, currentVersion) <= 0)
            continue;
        if (!best || compareVersions(item.version, best->version) > 0)
            best = item;
    }
    return best;
}
