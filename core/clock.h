// The current time, injectable so tests can move it instead of sleeping.
#pragma once

#include <QDateTime>

#include <functional>

namespace Clock {

QDateTime now();
// Replaces the clock until called again with an empty function.
void setForTesting(std::function<QDateTime()> clock);

} // namespace Clock
