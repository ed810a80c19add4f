// The software-update feed (an "appcast"): an RSS 2.0 channel whose items
// each describe one release with the Sparkle namespace's elements:
//
//   <item>
//     <title>Lunvik Photos 0.2.0</title>
//     <sparkle:version>0.2.0</sparkle:version>                    (or an enclosure attribute)
//     <sparkle:shortVersionString>0.2</sparkle:shortVersionString> (optional: shown to the user)
//     <description>release notes, HTML</description>               (optional)
//     <enclosure url="https://…/lunvik-photos-0.2.0.deb" length="123456"
//                type="application/octet-stream" sparkle:edSignature="base64"/>
//   </item>
//
// Parsing is pure: it reads bytes and returns values. Items that could not be
// installed safely (no enclosure, no address of http or https, no positive
// length, no well-formed Ed25519 signature, no version) are left out, so the
// rest of the updater only ever sees usable releases.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

struct AppcastItem {
    QString title;
    // The machine version compared against the running build.
    QString version;
    // The version as shown to people; the machine version when the feed has none.
    QString displayVersionString;
    QUrl fileURL;
    qint64 length = 0;
    // The 64 raw bytes of the Ed25519 signature of the file.
    QByteArray edSignature;
    // HTML (or plain text) release notes; may be empty.
    QString releaseNotes;

    bool operator==(const AppcastItem &) const = default;
};

namespace Appcast {

inline const QString sparkleNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

// Bigger feeds are refused before they are read.
constexpr qint64 maxFeedBytes = 4 * 1024 * 1024;

// The usable items of a feed, in feed order; none (with `error` set) when
// the bytes are not a well-formed RSS document. Relative enclosure addresses
// are resolved against `feedURL`.
std::optional<QList<AppcastItem>> parse(const QByteArray &xml, const QUrl &feedURL, QString *error = nullptr);

// Orders version strings the way people number releases: runs of digits
// compare as numbers ("1.10" > "1.9"), missing numbers count as zero
// ("1.0" == "1.0.0"), and a trailing word marks a pre-release ("1.0b2" <
// "1.0"). Negative, zero or positive like strcmp.
int compareVersions(const QString &a, const QString &b);

// The newest item whose version is above `currentVersion`; none when there
// is no such item.
std::optional<AppcastItem> bestUpdate(const QList<AppcastItem> &items, const QString &currentVersion);

} // namespace Appcast
