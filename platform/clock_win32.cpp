#include <windows.h>

#include "platform/clock.h"

namespace korvalt::platform {

int64_t MonotonicMs() {
  return static_cast<int64_t>(::GetTickCount64());
}

uint64_t FileTimeNow() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

bool UtcCalendarTime(std::time_t time, std::tm& utc) {
  return ::gmtime_s(&utc, &time) == 0;
}

}  // namespace korvalt::platform
