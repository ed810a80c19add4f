// Who moved the current photo during a pull, and the log text for it.
#pragma once

#include "model/gallerystate.h"

#include <optional>

struct CurrentPhotoPullDelta {
    std::optional<QString> previousId;
    std::optional<QString> newId;
    std::optional<CurrentPhotoUpdatedBy> updatedBy;

    // None when the pulled state names the same current photo (or none both times).
    static std::optional<CurrentPhotoPullDelta> ifCurrentChanged(const std::optional<QString> &previousId,
                                                                 const GalleryState &state);
    // Only a move to a photo counts; a current photo cleared is not logged.
    bool didChange() const;

    bool operator==(const CurrentPhotoPullDelta &) const = default;
};

namespace GalleryCurrentPhotoActivity {

struct Text {
    QString message;
    std::optional<QString> detail;

    bool operator==(const Text &) const = default;
};

// `photo` is the pulled state's current photo, when it has an entry.
std::optional<Text> logEntry(const CurrentPhotoPullDelta &delta, const std::optional<PhotoEntry> &photo);

} // namespace GalleryCurrentPhotoActivity
