#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "thread/thread_annotations.h"

namespace korvalt {

// A standard mutex as a capability: libstdc++ does not annotate its locks, so the analysis could
// not check what a bare std::mutex guards. Lockable (lock, try_lock, unlock), so std::unique_lock
// still takes it where a lock must be passed around.
template <typename StdMutex>
class QL_CAPABILITY("mutex") CAnnotatedMutex {
 public:
  // The bodies are the primitive the analysis reasons about; it has nothing to check in them.
  void lock() QL_ACQUIRE() QL_NO_THREAD_SAFETY_ANALYSIS { Impl.lock(); }
  bool try_lock() QL_TRY_ACQUIRE(true) QL_NO_THREAD_SAFETY_ANALYSIS { return Impl.try_lock(); }
  void unlock() QL_RELEASE() QL_NO_THREAD_SAFETY_ANALYSIS { Impl.unlock(); }
  // For a lock held through a std::unique_lock, which the analysis cannot see: tells it that the
  // caller holds this mutex from here on. Checks nothing at run time.
  void AssertHeld() const QL_ASSERT_CAPABILITY(this) {}

 private:
  StdMutex Impl;
};

// A recursive mutex over std::mutex. MinGW's thread library leaks an event handle for every
// std::recursive_mutex that ever had to wait, and a recorder makes and destroys these with every
// channel it starts.
class CRecursiveStdMutex {
 public:
  void lock() {
    const std::thread::id self = std::this_thread::get_id();
    // Only this thread ever stores its own id, so a relaxed read of it is exact.
    if (Owner.load(std::memory_order_relaxed) == self) {
      ++Depth;
      return;
    }
    Impl.lock();
    Owner.store(self, std::memory_order_relaxed);
    Depth = 1;
  }
  bool try_lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (Owner.load(std::memory_order_relaxed) == self) {
      ++Depth;
      return true;
    }
    if (!Impl.try_lock()) return false;
    Owner.store(self, std::memory_order_relaxed);
    Depth = 1;
    return true;
  }
  void unlock() {
    if (--Depth != 0) return;
    Owner.store(std::thread::id(), std::memory_order_relaxed);
    Impl.unlock();
  }

 private:
  std::mutex Impl;
  std::atomic<std::thread::id> Owner{};
  unsigned Depth = 0;  // the owner's
};

using CMutex = CAnnotatedMutex<std::mutex>;
using CRecursiveMutex = CAnnotatedMutex<CRecursiveStdMutex>;

// Scope guard of CMutex and CRecursiveMutex. Unlock and Lock let the holder step out of the lock
// and back in (to wait, or to call out) within the guard's scope.
template <typename Mutex>
class QL_SCOPED_CAPABILITY CMutexLock {
 public:
  explicit CMutexLock(Mutex& mutex) QL_ACQUIRE(mutex) : Held(mutex) { Held.lock(); }
  ~CMutexLock() QL_RELEASE() {
    if (Owns) Held.unlock();
  }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

  void Unlock() QL_RELEASE() QL_NO_THREAD_SAFETY_ANALYSIS {
    Held.unlock();
    Owns = false;
  }
  void Lock() QL_ACQUIRE() QL_NO_THREAD_SAFETY_ANALYSIS {
    Held.lock();
    Owns = true;
  }

 private:
  Mutex& Held;
  bool Owns = true;
};

}  // namespace korvalt
