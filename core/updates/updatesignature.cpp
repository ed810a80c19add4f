#include "updatesignature.h"

#include <sodium.h>

static_assert(UpdateSignature::publicKeyBytes == crypto_sign_PUBLICKEYBYTES);
static_assert(UpdateSignature::signatureBytes == crypto_sign_BYTES);

std::optional<QByteArray> UpdateSignature::decodePublicKey(const QString &base64)
{
    const auto decoded
        = QByteArray::fromBase64Encoding(base64.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != publicKeyBytes)
        return std::nullopt;
    return decoded.decoded;
}

bool UpdateSignature::verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey)
{
    if (signature.size() != signatureBytes || publicKey.size() != publicKeyBytes)
        return false;
    // Safe to call more than once and from any thread.
    if (sodium_init() < 0)
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
               reinterpret_cast<const unsigned char *>(message.constData()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char *>(publicKey.constData()))
        == 0;
}
