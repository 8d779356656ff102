#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "support/test_net.h"
#include "thread/event.h"
#include "thread/spin_mutex.h"
#include "thread/ticker_thread.h"

namespace {

using korvalt::CSpinMutex;
using korvalt::CSpinMutexLock;
using korvalt::platform::Event;

TEST(SpinMutex, RecursiveLockIsFreeAfterAsManyUnlocks) {
  CSpinMutex mutex;
  mutex.Lock();
  mutex.Lock();
  EXPECT_TRUE(mutex.TryLock());
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = mutex.TryLock(); }).join();
  EXPECT_FALSE(otherGotIt);
  mutex.Unlock();
  mutex.Unlock();
  std::thread([&] { otherGotIt = mutex.TryLock(); }).join();
  EXPECT_FALSE(otherGotIt) << "still held once";
  mutex.Unlock();
  std::thread([&] {
    otherGotIt = mutex.TryLock();
    if (otherGotIt) mutex.Unlock();
  }).join();
  EXPECT_TRUE(otherGotIt);
}

TEST(SpinMutex, BlockedThreadRunsWhenTheOwnerUnlocksLast) {
  CSpinMutex mutex;
  mutex.Lock();
  mutex.Lock();
  std::atomic<bool> entered{false};
  Event waiting(Event::ResetMode::kManual);
  std::thread other([&] {
    waiting.Set();
    CSpinMutexLock guard(&mutex);
    entered = true;
  });
  waiting.Wait(Event::kInfinite);
  mutex.Unlock();
  EXPECT_FALSE(entered.load());
  mutex.Unlock();
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(SpinMutex, CountsStayExactUnderContention) {
  CSpinMutex mutex;
  int64_t counter = 0;  // guarded by mutex only: a lost update shows as a wrong total
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        CSpinMutexLock outer(&mutex);
        CSpinMutexLock inner(&mutex);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, int64_t{kThreads} * kRounds);
}

TEST(Events, WaitOnFirstOfTwo) {
  korvalt::CEvent first;
  korvalt::CManualEvent second;
  korvalt::CEvent* pair[2] = {&first, &second};
  EXPECT_EQ(korvalt::CEvent::WaitForFirst(pair, 0), -1);
  second.Set();
  EXPECT_EQ(korvalt::CEvent::WaitForFirst(pair, 1000), 1);
  EXPECT_EQ(korvalt::CEvent::WaitForFirst(pair, 0), 1) << "manual-reset stays set";
  second.Reset();
  first.Set();
  EXPECT_EQ(korvalt::CEvent::WaitForFirst(pair, 1000), 0);
  EXPECT_EQ(korvalt::CEvent::WaitForFirst(pair, 0), -1) << "auto-reset was consumed";
  EXPECT_EQ(korvalt::CEvent::WaitForFirst(nullptr, 0), -1);
}

TEST(Events, SetFromAnotherThreadEndsAnInfiniteWait) {
  korvalt::CEvent event;
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.Wait(Event::kInfinite));
  setter.join();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Events, EventOrSocketWaitPrefersTheStopEvent) {
  korvalt::platform::SocketHandle pair[2];
  ASSERT_TRUE(testsupport::ConnectedPair(pair));
  Event stop(Event::ResetMode::kManual);
  EXPECT_EQ(korvalt::platform::WaitEventOrSocket(stop, pair[0], POLLIN, 0),
            korvalt::platform::WaitResult::kTimeout);
  ASSERT_EQ(korvalt::platform::Send(pair[1], "x", 1), 1);
  EXPECT_EQ(korvalt::platform::WaitEventOrSocket(stop, pair[0], POLLIN, 1000),
            korvalt::platform::WaitResult::kSocket);
  stop.Set();
  EXPECT_EQ(korvalt::platform::WaitEventOrSocket(stop, pair[0], POLLIN, 0),
            korvalt::platform::WaitResult::kEvent);
  korvalt::platform::CloseSocket(pair[0]);
  korvalt::platform::CloseSocket(pair[1]);
}

class CountingTicker : public korvalt::thread::CTickerThread {
 public:
  ~CountingTicker() override { StopTicker(); }
  void OnTick() override {
    if (++Ticks == 3) ThirdTick.Set();
  }
  std::atomic<int> Ticks{0};
  Event ThirdTick{Event::ResetMode::kManual};
};

TEST(TickerThread, TicksEachPeriodAndStopsPromptly) {
  CountingTicker ticker;
  ticker.SetPeriod(1);
  ASSERT_TRUE(ticker.StartTicker("ticker"));
  EXPECT_FALSE(ticker.StartTicker("again"));
  ASSERT_TRUE(ticker.ThirdTick.Wait(5000));
  ticker.SetPeriod(60000);  // a long period must not delay the stop
  ticker.StopTicker();
  EXPECT_FALSE(ticker.IsRunning());
  const int ticks = ticker.Ticks.load();
  ASSERT_TRUE(ticker.StartTicker("restart"));
  ticker.StopTicker();
  EXPECT_EQ(ticker.Ticks.load(), ticks) << "no tick before the first period ends";
}

}  // namespace
