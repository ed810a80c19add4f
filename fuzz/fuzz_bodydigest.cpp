// The digest of an error body and its secret masking. A secret is a random
// credential planted in the body in one of the forms the masking promises to
// cover: after "Bearer ", as the value of a "sessionToken", "token" or
// "password" JSON member, after "password=" or "token:", and in a copied
// Authorization header. The fuzzer chooses the text around it (and whether
// the body is a JSON error, an HTML page or plain text); no text the user or
// the log sees may contain the secret.
#include "server/synchttpfailure.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const char *const plants[] = {
    "Bearer %1",
    "\"sessionToken\":\"%1\"",
    "\"sessionToken\": \"%1\"",
    "\"password\":\"%1\"",
    "\"token\" : \"%1\"",
    "password=%1",
    "token: %1",
    "Authorization: Bearer %1",
    "Authorization: Basic %1",
    "authorization=%1",
    "secret=%1",
};
constexpr int plantCount = int(sizeof(plants) / sizeof(plants[0]));

void mustNotLeak(const QString &text, const QString &secret, const QString &body)
{
    if (!text.contains(secret))
        return;
    std::fprintf(stderr, "secret survived the masking\nbody: %s\ntext: %s\n", qPrintable(body), qPrintable(text));
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int plant = data[0] % plantCount;
    const int shape = data[1] % 3;
    const QByteArray rest(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    const qsizetype cut = rest.indexOf('\0');
    const QString prefix = QString::fromUtf8(cut < 0 ? rest : rest.left(cut));
    const QString suffix = cut < 0 ? QString() : QString::fromUtf8(rest.mid(cut + 1));

    // A credential the input cannot contain by chance: derived from the input.
    const QByteArray digest = QCryptographicHash::hash(rest, QCryptographicHash::Sha256).toHex().left(24);
    const QString secret = QStringLiteral("Zq") + QString::fromLatin1(digest) + QStringLiteral("x9");

    const QString planted = QString::fromLatin1(plants[plant]).arg(secret);
    QString body = prefix + planted + suffix;
    if (shape == 1) {
        body = QString::fromUtf8(
            QJsonDocument(QJsonObject{{QStringLiteral("error"), body}}).toJson(QJsonDocument::Compact));
    } else if (shape == 2) {
        body = QStringLiteral("<html><body><p>") + body + QStringLiteral("</p></body></html>");
    }

    mustNotLeak(SyncHTTPFailure::summarizeResponseBody(body), secret, body);
    const SyncHTTPFailure failure{500, QStringLiteral("GET"), QStringLiteral("http://127.0.0.1/api/gallery"),
                                  body, std::nullopt, std::nullopt};
    mustNotLeak(failure.shortSummary(), secret, body);
    mustNotLeak(failure.activityLogDetail(), secret, body);
    return 0;
}
