// Small pieces the development server shares: its error values, times in
// the wire format, random identifiers and secret comparison.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <stdexcept>

#include "model/gallerystate.h"

// A refusal answered to the client: an HTTP status and the text of its
// "error" member; a 409 carries the manifest as it is on the server.
struct ApiError {
    int status = 400;
    QString message;
    std::optional<GalleryState> state;

    static ApiError badRequest(const QString &message) { return {400, message, std::nullopt}; }
    static ApiError notFound(const QString &message) { return {404, message, std::nullopt}; }
    static ApiError tooLarge(const QString &message) { return {413, message, std::nullopt}; }
    static ApiError stale(const GalleryState &state)
    {
        return {409, QStringLiteral("Gallery changed on server"), state};
    }
};

// Something that keeps the server from starting: an unreadable data folder,
// a corrupt file. The text is meant for the person who started it.
class StartupError : public std::runtime_error
{
public:
    explicit StartupError(const QString &message)
        : std::runtime_error(message.toStdString())
    {
    }
    QString message() const { return QString::fromStdString(what()); }
};

namespace ServerUtil {

// "2026-03-01T07:05:09.250Z": UTC with milliseconds.
QString isoText(const QDateTime &time);
// The time of such a text; invalid when it is not one.
QDateTime parseIsoText(const QString &text);

// `byteCount` bytes from the system's secure generator, as lowercase hex
// (identifiers that are safe in URLs and file names).
QString randomHexId(int byteCount = 16);
// `byteCount` bytes from the system's secure generator, base64url without padding.
QString randomToken(int byteCount = 32);

QByteArray sha256(const QByteArray &bytes);
// Compares in time that depends on the lengths only, never on where the
// contents first differ.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

// Identifiers this server hands out, and nothing that could leave a folder
// when used in a file name: 1-64 of [A-Za-z0-9_-].
bool isSafeId(const QString &id);

QByteArray jsonBytes(const QJsonObject &object);

// The text with everything that could pass for another log line or move a
// terminal's cursor written out: C0 controls, DEL and C1 controls as \n, \r,
// \t or \xHH (\u0080-\u009f for C1), the bidirectional overrides and
// isolates (U+202A-U+202E, U+2066-U+2069) as \uHHHH, and the backslash as
// \\ so that an escape cannot be faked either.
QString escapedForLog(const QString &text);
// One line on standard error, "lunvik-gallery-server: <text>", the text
// escaped as above; whole lines even when threads log at once.
void logLine(const QString &text);

// A data file of the server as a JSON object; none when there is no such
// file. Throws StartupError when it cannot be read or is not a JSON object.
// `hint` tells the person who started the server what to do about it.
std::optional<QJsonObject> readDataFile(const QString &path, const QString &hint);
// Throws the StartupError for a data file whose contents do not decode.
[[noreturn]] void failCorruptDataFile(const QString &path, const QString &reason, const QString &hint);

} // namespace ServerUtil
