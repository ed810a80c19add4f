// The error of every gallery server operation. Transport failures (no
// connection, time-out, TLS, cancellation) are not SyncErrors: they arrive
// as TransportError (httpsession.h) so callers can tell "unreachable" apart.
#pragma once

#include "error.h"
#include "model/gallerystate.h"
#include "model/jsonfields.h"
#include "synchttpfailure.h"

class SyncError : public Error
{
public:
    enum class Kind { badURL, http, stale, decode, missingSyncAuth };

    static SyncError badURL(const QString &address);
    static SyncError http(SyncHTTPFailure failure);
    static SyncError stale(GalleryResponse response);
    static SyncError decode();
    static SyncError missingSyncAuth();

    Kind kind() const { return m_kind; }
    // badURL: the trimmed server address.
    const QString &address() const { return m_address; }
    // http: the failed exchange.
    const SyncHTTPFailure &failure() const { return m_failure; }
    // stale: the server's current manifest.
    const GalleryResponse &staleResponse() const { return m_stale; }

    // The one-line text for the user.
    std::optional<QString> errorDescription() const override;
    // The several-line text for the activity log.
    QString activityLogDetail() const;
    Record record() const override;

    bool operator==(const SyncError &other) const;

private:
    explicit SyncError(Kind kind) : m_kind(kind) {}

    Kind m_kind;
    QString m_address;
    SyncHTTPFailure m_failure;
    GalleryResponse m_stale;
};

// Decodes the body of a 2xx answer as T; SyncError::decode when it is not one
// (the decoder's own complaint is dropped).
template<typename T>
T decodeServerAnswer(const QByteArray &body)
{
    auto decoded = decodeJsonBytes<T>(body, nullptr);
    if (!decoded)
        throw SyncError::decode();
    return std::move(*decoded);
}
