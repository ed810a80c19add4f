// A failed HTTP exchange with the gallery server, and the two texts it is
// shown as: a one-line summary for the user and a several-line detail for the
// activity log. Response bodies are digested and secrets masked before they
// reach either text; the raw body stays in memory only.
#pragma once

#include <QString>

#include <optional>

namespace ServerConnectivityCopy {
// "Looks like the server is down (<address>). Please try again."
QString serverDown(const QString &address);
} // namespace ServerConnectivityCopy

struct SyncHTTPFailure {
    // -1 when the answer was not an HTTP response.
    int statusCode = 0;
    QString method;
    QString url;
    // UTF-8 text of the body; "" when not valid UTF-8; "no response" for
    // statusCode -1; "image download failed" for image downloads.
    QString responseBody;
    std::optional<qint64> requestBodyBytes;
    std::optional<QString> context;

    QString shortSummary() const;
    QString activityLogDetail() const;

    // The readable core of an error body: a JSON error message, the text of
    // an HTML page, or the plain text, masked and cut to length.
    static QString summarizeResponseBody(const QString &body);
    static std::optional<QString> extractJSONErrorMessage(const QString &text);
    static QString redactSecrets(const QString &text);
    static QString stripHTMLTags(const QString &text);

    bool operator==(const SyncHTTPFailure &) const = default;
};

// User-perceived characters (grapheme clusters) of a text.
qsizetype graphemeCount(const QString &text);
// The first `count` user-perceived characters of a text.
QString graphemePrefix(const QString &text, qsizetype count);
// A byte count in 1000-based units, like a file manager shows it: "532 bytes", "1.2 MB".
QString formatByteCount(qint64 bytes);
