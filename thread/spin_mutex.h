#pragma once

#include <atomic>
#include <cstdint>
#include <semaphore>

#include "thread/thread_annotations.h"

namespace korvalt {

// Recursive lock that spins briefly before it blocks. The lock count counts the owner's
// acquisitions plus every thread committed to wait, so a spinning newcomer cannot overtake a
// waiter; the final unlock hands the lock to exactly one waiter.
class QL_CAPABILITY("mutex") CSpinMutex {
 public:
  CSpinMutex();
  ~CSpinMutex() = default;
  CSpinMutex(const CSpinMutex&) = delete;
  CSpinMutex& operator=(const CSpinMutex&) = delete;

  void Lock() QL_ACQUIRE();
  bool TryLock() QL_TRY_ACQUIRE(true);
  void Unlock() QL_RELEASE();  // only by the owner

 private:
  // At most one release is outstanding at any time (see Unlock), so a counting semaphore
  // behaves as the auto-reset wake event.
  std::counting_semaphore<> Wake{0};
  int32_t SpinCount = 0;
  std::atomic<int32_t> LockCount{0};
  std::atomic<uint32_t> Owner{0};  // thread id, 0 when free
  int32_t Recursion = 0;           // touched by the owner only
};

// Scope guard of CSpinMutex.
class QL_SCOPED_CAPABILITY CSpinMutexLock {
 public:
  explicit CSpinMutexLock(CSpinMutex* mutex) QL_ACQUIRE(mutex) : Mutex(mutex) { Mutex->Lock(); }
  ~CSpinMutexLock() QL_RELEASE() { Mutex->Unlock(); }
  CSpinMutexLock(const CSpinMutexLock&) = delete;
  CSpinMutexLock& operator=(const CSpinMutexLock&) = delete;

 private:
  CSpinMutex* Mutex;
};

}  // namespace korvalt
