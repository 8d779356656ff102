#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace testsupport {

using SteadyClock = std::chrono::steady_clock;

inline int64_t MsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// Polls cond every 10 ms until it holds; false when timeoutMs pass first.
template <typename Cond>
bool Eventually(Cond cond, int timeoutMs) {
  const auto start = SteadyClock::now();
  while (!cond()) {
    if (MsSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testsupport
