#pragma once

#include <mutex>

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

using CMutex = CAnnotatedMutex<std::mutex>;
using CRecursiveMutex = CAnnotatedMutex<std::recursive_mutex>;

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
