#include "platform/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "support/process_threads.h"

namespace {

using korvalt::platform::Event;
using korvalt::platform::Thread;
using korvalt::platform::WorkerPool;
using testsupport::ProcessThreads;
using testsupport::ProcessThreadsAfterJoins;

uint32_t IdOfABody(Thread& thread) {
  std::atomic<uint32_t> id{0};
  EXPECT_TRUE(thread.Start([&] { id = korvalt::platform::CurrentThreadId(); }));
  EXPECT_TRUE(thread.JoinFor(Event::kInfinite));
  return id.load();
}

// Sessions one after another reuse system threads while anything holds the pool open, a worker
// gives way to a fresh one after a bounded number of bodies, and the last join ends every idle
// worker before it returns.
TEST(WorkerPool, ReusesWorkersWhileHeldAndEndsThemWithTheLastJoin) {
  const size_t before = ProcessThreads();
  {
    Event release(Event::ResetMode::kManual);
    Thread holder;  // a long-lived body, as a channel's is
    ASSERT_TRUE(holder.Start([&] { release.Wait(Event::kInfinite); }));
    Thread session;
    std::set<uint32_t> ids;
    constexpr int kSessions = 40;
    for (int i = 0; i < kSessions; ++i) ids.insert(IdOfABody(session));
    EXPECT_GT(ids.size(), 1u) << "a worker that ran many bodies ends";
    EXPECT_LT(ids.size(), static_cast<size_t>(kSessions) / 2) << "workers are reused";
    EXPECT_LE(ProcessThreads(), before + 2) << "the holder's worker and at most one idle";
    EXPECT_LE(WorkerPool::Instance().IdleWorkers(), 1u);
    release.Set();
    EXPECT_TRUE(holder.JoinFor(Event::kInfinite));
    EXPECT_EQ(WorkerPool::Instance().IdleWorkers(), 0u);
  }
  EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
}

// A worker runs other bodies after its first one ended: only the running body is "current", and
// a body may join another thread, give up its own and start it again.
TEST(WorkerPool, ABodyIsCurrentOnlyWhileItRuns) {
  const size_t before = ProcessThreads();
  {
    Event release(Event::ResetMode::kManual);
    Thread holder;
    ASSERT_TRUE(holder.Start([&] { release.Wait(Event::kInfinite); }));
    Thread ended;
    Event ran(Event::ResetMode::kManual);
    ASSERT_TRUE(ended.Start([&] { ran.Set(); }));
    ASSERT_TRUE(ran.Wait(Event::kInfinite));
    while (WorkerPool::Instance().IdleWorkers() != 1) std::this_thread::yield();
    std::atomic<bool> sameWorker{false}, sawCurrent{true}, joined{false}, restarted{false};
    std::promise<void> bodyDone;  // seen by the sanitizer, unlike an event's descriptor
    Thread next;                  // takes the idle worker that ran `ended`, which nobody joined yet
    ASSERT_TRUE(next.Start([&] {
      sameWorker = ended.Id() == korvalt::platform::CurrentThreadId();
      sawCurrent = ended.IsCurrent();
      joined = ended.JoinFor(Event::kInfinite) && !ended.Attached();
      restarted = next.JoinFor(0) && !next.Attached() && next.Start([] {});
      bodyDone.set_value();
    }));
    bodyDone.get_future().wait();
    EXPECT_TRUE(next.JoinFor(Event::kInfinite));
    EXPECT_TRUE(sameWorker.load());
    EXPECT_FALSE(sawCurrent.load());
    EXPECT_TRUE(joined.load());
    EXPECT_TRUE(restarted.load());
    release.Set();
  }
  EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
}

// A body that ran long (a session) ends its worker, so the next body starts on a fresh thread with
// empty allocator caches; after a short body the worker goes on with the next one.
TEST(WorkerPool, AWorkerEndsAfterALongBodyAndGoesOnAfterAShortOne) {
  constexpr int64_t kLongMs = 30;
  struct LongBodies {
    LongBodies() { WorkerPool::SetLongBodyMs(kLongMs); }
    ~LongBodies() { WorkerPool::SetLongBodyMs(0); }
  } shortened;
  const size_t before = ProcessThreads();
  {
    Event release(Event::ResetMode::kManual);
    Thread holder;  // keeps the pool open, as a running channel does
    ASSERT_TRUE(holder.Start([&] { release.Wait(Event::kInfinite); }));
    struct Case {
      int64_t runsMs;
      bool nextOnSameWorker;
    };
    for (const Case c : {Case{0, true}, Case{2 * kLongMs, false}, Case{0, true}}) {
      Thread body;
      std::atomic<uint32_t> ran{0};
      ASSERT_TRUE(body.Start([&] {
        ran = korvalt::platform::CurrentThreadId();
        Event never(Event::ResetMode::kManual);
        const int64_t until = korvalt::platform::MonotonicMs() + c.runsMs;
        for (int64_t now = korvalt::platform::MonotonicMs(); now < until;
             now = korvalt::platform::MonotonicMs())
          never.Wait(static_cast<int>(until - now));
      }));
      ASSERT_TRUE(body.JoinFor(Event::kInfinite));
      // No SCOPED_TRACE: on Windows GoogleTest starts a thread for it that the count would see.
      EXPECT_EQ(IdOfABody(body) == ran.load(), c.nextOnSameWorker) << "after a body of " << c.runsMs << " ms";
    }
    release.Set();
  }
  EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
}

// A body given up (a join that timed out) keeps the pool open until it ends; then its own worker
// ends the idle ones. A burst keeps no more idle workers than the pool's bound.
TEST(WorkerPool, AGivenUpBodyEndsThePoolAndABurstLeavesABoundedIdleSet) {
  const size_t before = ProcessThreads();
  {
    Event go(Event::ResetMode::kManual);
    std::vector<std::unique_ptr<Thread>> burst;
    for (int i = 0; i < 80; ++i) {
      burst.push_back(std::make_unique<Thread>());
      ASSERT_TRUE(burst.back()->Start([&] { go.Wait(Event::kInfinite); }));
    }
    Thread slow;
    // Given up, the body keeps what it touches: the event outlives this scope.
    auto slowGo = std::make_shared<Event>(Event::ResetMode::kManual);
    ASSERT_TRUE(slow.Start([slowGo] { slowGo->Wait(Event::kInfinite); }));
    EXPECT_FALSE(slow.JoinFor(10));
    slow.Detach();
    go.Set();
    for (auto& t : burst) EXPECT_TRUE(t->JoinFor(Event::kInfinite));
    EXPECT_LE(WorkerPool::Instance().IdleWorkers(), 64u);
    EXPECT_GT(ProcessThreads(), before) << "the given-up body still runs";
    slowGo->Set();
  }
  EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
  EXPECT_EQ(WorkerPool::Instance().IdleWorkers(), 0u);
}

}  // namespace
