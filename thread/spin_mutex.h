#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

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
  // The auto-reset wake event of the waiters: at most one release is outstanding at any time
  // (see Unlock). Not std::counting_semaphore: where the standard library has no futex to build
  // it on (MinGW-w64's GCC 12), its acquire can miss a release and sleep for good.
  class WakeEvent {
   public:
    void Acquire() {
      std::unique_lock<std::mutex> guard(Lock);
      Changed.wait(guard, [this] { return Pending; });
      Pending = false;
    }
    void Release() {
      // Notified under the lock: the woken owner may destroy the mutex as soon as it is free.
      std::lock_guard<std::mutex> guard(Lock);
      Pending = true;
      Changed.notify_one();
    }

   private:
    std::mutex Lock;
    std::condition_variable Changed;
    bool Pending = false;
  };
  WakeEvent Wake;
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
