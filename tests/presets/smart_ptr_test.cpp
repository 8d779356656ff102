#include "presets/smart_ptr.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using korvalt::TSmartPtr;

struct Counted {
  explicit Counted(int& deletions) : Deletions(deletions) {}
  virtual ~Counted() { ++Deletions; }
  int& Deletions;
};

TEST(SmartPtr, LastShareDeletesTheObjectOnce) {
  int deletions = 0;
  {
    TSmartPtr<Counted> first(new Counted(deletions));
    EXPECT_EQ(first.UseCount(), 1);
    TSmartPtr<Counted> second = first;
    TSmartPtr<Counted> third;
    third = second;
    EXPECT_EQ(first.UseCount(), 3);
    EXPECT_EQ(third.Get(), first.Get());
    first.Reset();
    EXPECT_FALSE(first);
    EXPECT_EQ(first.UseCount(), 0);
    TSmartPtr<Counted>& alias = second;
    second = alias;  // self-assignment keeps the share
    third = second;  // same object: no change
    EXPECT_EQ(second.UseCount(), 2);
    EXPECT_EQ(deletions, 0);
  }
  EXPECT_EQ(deletions, 1);
}

TEST(SmartPtr, ResetToAnotherObjectReleasesTheOldOne) {
  int deletions = 0;
  TSmartPtr<Counted> pointer(new Counted(deletions));
  TSmartPtr<Counted> kept = pointer;
  pointer.Reset(new Counted(deletions));
  EXPECT_EQ(deletions, 0) << "kept still shares the first object";
  EXPECT_EQ(pointer.UseCount(), 1);
  kept = pointer;
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(pointer.UseCount(), 2);
  kept.Reset(nullptr);
  pointer.Reset();
  EXPECT_EQ(deletions, 2);
  TSmartPtr<Counted> empty;
  TSmartPtr<Counted> copy = empty;
  EXPECT_FALSE(copy);
  EXPECT_EQ(copy.UseCount(), 0);
}

TEST(SmartPtr, SharesTakenAndDroppedOnManyThreadsDeleteOnce) {
  int deletions = 0;
  {
    TSmartPtr<Counted> shared(new Counted(deletions));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([shared] {
        for (int i = 0; i < 10000; ++i) {
          TSmartPtr<Counted> copy = shared;
          TSmartPtr<Counted> another(copy);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.UseCount(), 1);
  }
  EXPECT_EQ(deletions, 1);
}

}  // namespace
