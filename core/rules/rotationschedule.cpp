#include "rotationschedule.h"

#include <algorithm>
#include <cmath>

namespace GalleryRotationSchedule {

QTimeZone utcCalendar()
{
    return QTimeZone::utc();
}

int clampedDebugInterval(int seconds)
{
    return std::min(std::max(seconds, minDebugAdvanceIntervalSeconds), maxDebugAdvanceIntervalSeconds);
}

GalleryRotationScheduleKind kind(bool debugMode, int debugAdvanceIntervalSeconds)
{
    if (debugMode)
        return GalleryRotationScheduleKind::debugInterval(clampedDebugInterval(debugAdvanceIntervalSeconds));
    return GalleryRotationScheduleKind::productionDailyUTC();
}

double periodDuration(const GalleryRotationScheduleKind &kind)
{
    return kind.kind == GalleryRotationScheduleKind::Case::productionDailyUTC ? 86400.0 : double(kind.seconds);
}

QDateTime nextDailyUTCBoundary(const QDateTime &after, int hour, int minute, const QTimeZone &calendar)
{
    const QDate day = after.toTimeZone(calendar).date();
    QDateTime boundary(day, QTime(hour, minute, 0, 0), calendar);
    if (!boundary.isValid())
        boundary = after;
    if (boundary <= after) {
        const QDateTime nextDay = boundary.toTimeZone(calendar).addDays(1);
        boundary = nextDay.isValid() ? nextDay : boundary.addSecs(86400);
    }
    return boundary;
}

QDateTime nextBoundary(const QDateTime &after, const GalleryRotationScheduleKind &kind, const QTimeZone &calendar)
{
    if (kind.kind == GalleryRotationScheduleKind::Case::productionDailyUTC)
        return nextDailyUTCBoundary(after, productionCronHourUTC, productionCronMinuteUTC, calendar);
    return after.addSecs(kind.seconds);
}

std::optional<GalleryRotationPlan> plan(const QList<QString> &activeOrder, const std::optional<QString> &currentPhotoID,
                                        const QDateTime &now, const GalleryRotationScheduleKind &kind,
                                        const QTimeZone &calendar)
{
    const qsizetype n = activeOrder.size();
    if (n == 0)
        return std::nullopt;
    qsizetype current = currentPhotoID ? activeOrder.indexOf(*currentPhotoID) : 0;
    if (current < 0)
        current = 0;

    const qint64 periodMs = std::llround(periodDuration(kind) * 1000.0);
    GalleryRotationPlan result;
    result.nextCron = nextBoundary(now, kind, calendar);
    for (qsizetype i = 0; i < n; ++i) {
        const qsizetype k = (i - current + n) % n;
        QDateTime start;
        if (k == 0) {
            start = result.nextCron.addMSecs(-periodMs);
            result.currentShowingUntil = result.nextCron;
        } else {
            start = result.nextCron.addMSecs((k - 1) * periodMs);
        }
        result.showingStartByPhotoID.insert(activeOrder.at(i), start);
    }
    return result;
}

} // namespace GalleryRotationSchedule
