#pragma once

#include <cstdint>
#include <ctime>

namespace korvalt::platform {

// Milliseconds of a monotonic clock: for intervals and time-outs, immune to wall-clock steps.
int64_t MonotonicMs();

// Wall-clock time as 100 ns ticks since 1601-01-01 UTC (the stored "file time" format).
uint64_t FileTimeNow();

// time as UTC calendar time (thread-safe gmtime); false when it cannot be represented.
bool UtcCalendarTime(std::time_t time, std::tm& utc);

}  // namespace korvalt::platform
