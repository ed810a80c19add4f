// The server's rotation of the current photo, mirrored on the client to tell
// when each photo was or will be shown: photo after photo in display order,
// one period each, starting from the current one. Pure functions; the time
// is always passed in.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QTimeZone>

#include <optional>

struct GalleryRotationScheduleKind {
    enum class Case { debugInterval, productionDailyUTC };

    Case kind = Case::productionDailyUTC;
    // The payload of debugInterval; zero for productionDailyUTC.
    int seconds = 0;

    static GalleryRotationScheduleKind debugInterval(int seconds) { return {Case::debugInterval, seconds}; }
    static GalleryRotationScheduleKind productionDailyUTC() { return {Case::productionDailyUTC, 0}; }

    bool operator==(const GalleryRotationScheduleKind &) const = default;
};

struct GalleryRotationPlan {
    // When each visible photo started (the current one) or will start being shown.
    QHash<QString, QDateTime> showingStartByPhotoID;
    std::optional<QDateTime> currentShowingUntil;
    // The next rotation boundary after "now".
    QDateTime nextCron;

    bool operator==(const GalleryRotationPlan &) const = default;
};

namespace GalleryRotationSchedule {

inline constexpr int productionCronHourUTC = 11;
inline constexpr int productionCronMinuteUTC = 0;
inline constexpr int defaultDebugAdvanceIntervalSeconds = 1800;
inline constexpr int minDebugAdvanceIntervalSeconds = 60;
inline constexpr int maxDebugAdvanceIntervalSeconds = 86400;

// Day arithmetic runs in a time zone of the Gregorian calendar; callers
// pass this one, UTC.
QTimeZone utcCalendar();

int clampedDebugInterval(int seconds);
GalleryRotationScheduleKind kind(bool debugMode, int debugAdvanceIntervalSeconds);
// In seconds.
double periodDuration(const GalleryRotationScheduleKind &kind);
// The first hour:minute of a day in `calendar` strictly after `after`.
QDateTime nextDailyUTCBoundary(const QDateTime &after, int hour, int minute, const QTimeZone &calendar);
QDateTime nextBoundary(const QDateTime &after, const GalleryRotationScheduleKind &kind, const QTimeZone &calendar);
// None for an empty order. A current photo that is not in the order counts
// as the first one.
std::optional<GalleryRotationPlan> plan(const QList<QString> &activeOrder, const std::optional<QString> &currentPhotoID,
                                        const QDateTime &now, const GalleryRotationScheduleKind &kind,
                                        const QTimeZone &calendar);

} // namespace GalleryRotationSchedule
