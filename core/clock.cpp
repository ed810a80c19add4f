#include "clock.h"

namespace {
std::function<QDateTime()> &override()
{
    static std::function<QDateTime()> clock;
    return clock;
}
} // namespace

namespace Clock {

QDateTime now()
{
    if (override())
        return override()();
    return QDateTime::currentDateTimeUtc();
}

void setForTesting(std::function<QDateTime()> clock)
{
    override() = std::move(clock);
}

} // namespace Clock
