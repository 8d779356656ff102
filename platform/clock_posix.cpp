#include "platform/clock.h"

#include <chrono>

namespace korvalt::platform {
namespace {
// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
}  // namespace

int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t FileTimeNow() {
  using namespace std::chrono;
  const auto ticks =
      duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(system_clock::now().time_since_epoch());
  return kUnixEpochAsFileTime + static_cast<uint64_t>(ticks.count());
}

bool UtcCalendarTime(std::time_t time, std::tm& utc) {
  return ::gmtime_r(&time, &utc) != nullptr;
}

}  // namespace korvalt::platform
