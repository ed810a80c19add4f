// The manifest decoder, both as the server's envelope and as the local state
// file. Whatever decodes must encode again to a manifest that decodes to the
// same value, and the derived views must not trip over it.
#include "model/gallerystate.h"
#include "model/photomanifestreorder.h"

#include <cstdint>
#include <cstdlib>

namespace {
void check(const GalleryState &state)
{
    const QByteArray bytes = state.toJsonBytes();
    const auto again = GalleryState::fromJsonBytes(bytes);
    if (!again || !(*again == state))
        std::abort();
    (void)state.activePhotos();
    (void)state.currentPhoto();
    (void)state.withResolvedCurrentPhoto();
    QSet<QString> ids;
    for (const QString &id : state.order)
        ids.insert(id);
    (void)state.deleteBlockReason(ids);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto response = GalleryResponse::fromJsonBytes(bytes))
        check(response->state);
    if (const auto state = GalleryState::fromJsonBytes(bytes))
        check(*state);
    (void)CurrentPhotoResponse::fromJsonBytes(bytes);
    return 0;
}
