// Ed25519 signatures of downloaded updates (libsodium). A release is signed
// with the publisher's secret key; the build carries the matching public key
// as base64, and a download is handed to the user only when its signature
// verifies against it.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace UpdateSignature {

constexpr int publicKeyBytes = 32;
constexpr int signatureBytes = 64;

// The 32 raw bytes of a base64 public key; none when it is not one.
std::optional<QByteArray> decodePublicKey(const QString &base64);

// Whether `signature` (64 raw bytes) is `publicKey`'s signature of `message`.
// False for keys or signatures of the wrong size, and when libsodium cannot
// be initialised.
bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey);

} // namespace UpdateSignature
