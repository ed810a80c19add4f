#include "currentphotoactivity.h"

std::optional<CurrentPhotoPullDelta> CurrentPhotoPullDelta::ifCurrentChanged(const std::optional<QString> &previousId,
                                                                           const GalleryState &state)
{
    if (previousId == state.currentPhotoId)
        return std::nullopt;
    return CurrentPhotoPullDelta{previousId, state.currentPhotoId, state.currentPhotoUpdatedBy};
}

bool CurrentPhotoPullDelta::didChange() const
{
    return newId && newId != previousId;
}

namespace GalleryCurrentPhotoActivity {

std::optional<Text> logEntry(const CurrentPhotoPullDelta &delta, const std::optional<PhotoEntry> &photo)
{
    if (!delta.didChange())
        return std::nullopt;
    const QString subject = photo ? photo->filename : *delta.newId;
    if (!delta.updatedBy)
        return Text{QStringLiteral("Server updated current photo"), subject};
    switch (*delta.updatedBy) {
    case CurrentPhotoUpdatedBy::cron:
        return Text{QStringLiteral("Gallery advanced"), QStringLiteral("Scheduled advance \u00B7 ") + subject};
    case CurrentPhotoUpdatedBy::manual:
        return Text{QStringLiteral("Current photo updated from server"), subject};
    }
    return std::nullopt;
}

} // namespace GalleryCurrentPhotoActivity
