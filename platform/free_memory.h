#pragma once

#include <atomic>
#include <cstdint>

namespace korvalt::platform {

// Free memory inside the allocator's heaps, handed back to the system from time to time.
//
// A reconnection frees a channel's buffers between blocks that live on, so the heaps keep holes
// of a few pages that only a block of the same size fills again. Over months of reconnections
// those holes add up in resident memory although the blocks in use stay level. Giving their pages
// back keeps resident memory to what is in use; the heaps' address space stays as it is.
class FreeMemory {
 public:
  // How often at most: giving back walks every arena under its lock and costs page faults later.
  static constexpr int64_t kIntervalMs = 60'000;

  constexpr explicit FreeMemory(int64_t intervalMs = kIntervalMs) : IntervalMs(intervalMs) {}

  // True for one caller at most per interval (the first one ever included): that caller gives
  // back. nowMs comes from MonotonicMs.
  bool Due(int64_t nowMs);

  // The pages of the allocator's free blocks go back to the system. Process-wide; blocks in use
  // are not touched, so it is safe from any thread at any time.
  static void GiveBack();

 private:
  const int64_t IntervalMs;
  std::atomic<int64_t> LastMs{kNever};
  static constexpr int64_t kNever = INT64_MIN;
};

}  // namespace korvalt::platform
