#pragma once

#include <algorithm>
#include <cstdint>

namespace Web {

// The network time-out bounds each phase of a request (connecting, waiting for the reply,
// reading it) and any stall within one; it does not bound the request: a camera that sends one
// byte just before each time-out would hold it, and the host call waiting behind it, for ever.
// Every request therefore ends at the latest this long after it began, in every HTTP backend.
constexpr int64_t kRequestPhases = 3;

inline int64_t RequestDeadlineMs(int32_t networkTimeoutMs) {
  return kRequestPhases * std::max<int64_t>(networkTimeoutMs, 1);
}

}  // namespace Web
