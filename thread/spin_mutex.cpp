#include "thread/spin_mutex.h"

#include <thread>

#include "platform/thread.h"

namespace korvalt {
namespace {
constexpr int32_t kMultiProcessorSpins = 4000;

bool SingleProcessor() {
  static const bool single = std::thread::hardware_concurrency() == 1;
  return single;
}
}  // namespace

CSpinMutex::CSpinMutex() : SpinCount(SingleProcessor() ? 0 : kMultiProcessorSpins) {}

// The lock itself is built from atomics the analysis does not model: it has nothing to check here.
bool CSpinMutex::TryLock() QL_NO_THREAD_SAFETY_ANALYSIS {
  const uint32_t self = platform::CurrentThreadId();
  for (int32_t attempt = 0; attempt <= SpinCount; ++attempt) {
    int32_t expected = 0;
    if (LockCount.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
      Owner.store(self, std::memory_order_relaxed);
      Recursion = 1;
      return true;
    }
    if (Owner.load(std::memory_order_relaxed) == self) {
      LockCount.fetch_add(1, std::memory_order_relaxed);
      ++Recursion;
      return true;
    }
  }
  return false;
}

void CSpinMutex::Lock() QL_NO_THREAD_SAFETY_ANALYSIS {
  if (TryLock()) return;
  const uint32_t self = platform::CurrentThreadId();
  if (LockCount.fetch_add(1, std::memory_order_acquire) + 1 == 1) {
    Owner.store(self, std::memory_order_relaxed);
    Recursion = 1;
    return;
  }
  if (Owner.load(std::memory_order_relaxed) == self) {
    ++Recursion;
    return;
  }
  Wake.Acquire();
  Owner.store(self, std::memory_order_relaxed);
  Recursion = 1;
}

void CSpinMutex::Unlock() QL_NO_THREAD_SAFETY_ANALYSIS {
  if (--Recursion > 0) {
    LockCount.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  Owner.store(0, std::memory_order_relaxed);
  if (LockCount.fetch_sub(1, std::memory_order_release) - 1 > 0) Wake.Release();
}

}  // namespace korvalt
