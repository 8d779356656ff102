#include <gtest/gtest.h>

#include <thread>

#include "thread/annotated_mutex.h"

namespace {

using korvalt::CMutex;
using korvalt::CMutexLock;
using korvalt::CRecursiveMutex;

template <typename Mutex>
bool FreeForAnotherThread(Mutex& mutex) {
  bool taken = false;
  std::thread([&] {
    taken = mutex.try_lock();
    if (taken) mutex.unlock();
  }).join();
  return taken;
}

template <typename Mutex>
class AnnotatedMutex : public ::testing::Test {};
using MutexTypes = ::testing::Types<CMutex, CRecursiveMutex>;
TYPED_TEST_SUITE(AnnotatedMutex, MutexTypes);

TYPED_TEST(AnnotatedMutex, GuardStepsOutAndBackIn) {
  TypeParam mutex;
  {
    CMutexLock guard(mutex);
    EXPECT_FALSE(FreeForAnotherThread(mutex));
    guard.Unlock();
    EXPECT_TRUE(FreeForAnotherThread(mutex));
    guard.Lock();
    EXPECT_FALSE(FreeForAnotherThread(mutex));
  }
  EXPECT_TRUE(FreeForAnotherThread(mutex));
}

TYPED_TEST(AnnotatedMutex, GuardLeftUnlockedDoesNotUnlockAgainAtScopeEnd) {
  TypeParam mutex;
  {
    CMutexLock guard(mutex);
    guard.Unlock();
    mutex.lock();  // held apart from the guard: its end must not release it
  }
  EXPECT_FALSE(FreeForAnotherThread(mutex));
  mutex.unlock();
  EXPECT_TRUE(FreeForAnotherThread(mutex));
}

TEST(AnnotatedRecursiveMutex, NestedGuardsReleaseOnlyAtTheOuterEnd) {
  CRecursiveMutex mutex;
  {
    CMutexLock outer(mutex);
    { CMutexLock inner(mutex); }
    EXPECT_FALSE(FreeForAnotherThread(mutex)) << "still held by the outer guard";
  }
  EXPECT_TRUE(FreeForAnotherThread(mutex));
}

}  // namespace
