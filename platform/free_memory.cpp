#include "platform/free_memory.h"

namespace korvalt::platform {

bool FreeMemory::Due(int64_t nowMs) {
  int64_t last = LastMs.load(std::memory_order_relaxed);
  if (last != kNever && nowMs - last < IntervalMs) return false;
  // Of callers racing for the same interval, one wins the exchange.
  return LastMs.compare_exchange_strong(last, nowMs, std::memory_order_relaxed);
}

}  // namespace korvalt::platform
