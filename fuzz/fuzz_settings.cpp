// The settings decoder: a decoded value keeps its numbers in their ranges and
// survives a round trip through the file format unchanged.
#include "model/appsettings.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto settings = AppSettings::fromJsonBytes(bytes);
    if (!settings)
        return 0;
    if (!(settings->previewPaneSplitFraction >= AppSettings::previewPaneSplitFractionMin
          && settings->previewPaneSplitFraction <= AppSettings::previewPaneSplitFractionMax))
        std::abort();
    if (settings->galleryGridColumnCount < AppSettings::galleryGridColumnCountMin
        || settings->galleryGridColumnCount > AppSettings::galleryGridColumnCountMax)
        std::abort();
    if (settings->debugAdvanceIntervalSeconds < AppSettings::debugAdvanceIntervalSecondsMin
        || settings->debugAdvanceIntervalSeconds > AppSettings::debugAdvanceIntervalSecondsMax)
        std::abort();
    if (settings->displayName.trimmed().isEmpty())
        std::abort();
    const auto again = AppSettings::fromJsonBytes(settings->toJsonBytes());
    if (!again || !(*again == *settings))
        std::abort();
    (void)settings->syncBearer();
    return 0;
}
