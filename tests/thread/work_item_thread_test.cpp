#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/worker_pool.h"
#include "support/process_threads.h"
#include "thread/ticker_thread.h"
#include "thread/work_item_thread.h"
#include "thread/work_item_thread_ex.h"

namespace {

using korvalt::platform::Event;

// Shared record of what happened to items: handled ids in order and destroyed ids.
struct Journal {
  std::mutex Lock;
  std::vector<int> Handled;
  std::vector<int> Destroyed;
  Event HandledOne{Event::ResetMode::kAuto};

  void Handle(int id) {
    {
      std::lock_guard<std::mutex> guard(Lock);
      Handled.push_back(id);
    }
    HandledOne.Set();
  }
  std::vector<int> HandledIds() {
    std::lock_guard<std::mutex> guard(Lock);
    return Handled;
  }
  std::vector<int> DestroyedIds() {
    std::lock_guard<std::mutex> guard(Lock);
    return Destroyed;
  }
};

template <typename Base>
struct Item : Base {
  Item(Journal& journal, int id) : J(journal), Id(id) {}
  ~Item() override {
    std::lock_guard<std::mutex> guard(J.Lock);
    J.Destroyed.push_back(Id);
  }
  Journal& J;
  int Id;
};

using ExItem = Item<korvalt::CWorkItemThreadEx::IWorkItem>;
using PlainItem = Item<korvalt::thread::CWorkItemThread::IWorkItem>;

constexpr int kThrowId = -1;
constexpr int kGateId = 0;

// Handles ids; id 0 blocks until Gate is set, id -1 throws.
class ExWorker : public korvalt::CWorkItemThreadEx {
 public:
  explicit ExWorker(Journal& journal) : J(journal) {}
  ~ExWorker() override { Stop(); }
  void HandleWorkItem(IWorkItem* item) override {
    auto* typed = static_cast<ExItem*>(item);
    if (typed->Id == kGateId) {
      InGate.Set();
      Gate.Wait(Event::kInfinite);
    }
    J.Handle(typed->Id);
    if (typed->Id == kThrowId) throw std::runtime_error("handler failed");
  }
  Journal& J;
  Event Gate{Event::ResetMode::kManual};
  Event InGate{Event::ResetMode::kManual};  // the gate item has left the queue
};

class PlainWorker : public korvalt::thread::CWorkItemThread {
 public:
  explicit PlainWorker(Journal& journal) : J(journal) {}
  ~PlainWorker() override { StopWorker(); }
  void HandleWorkItem(IWorkItem* item) override {
    auto* typed = static_cast<PlainItem*>(item);
    if (typed->Id == kGateId) Gate.Wait(Event::kInfinite);
    J.Handle(typed->Id);
    if (typed->Id == kThrowId) throw 7;
  }
  Journal& J;
  Event Gate{Event::ResetMode::kManual};
};

bool WaitForHandled(Journal& journal, size_t count) {
  for (int i = 0; i < 100; ++i) {
    if (journal.HandledIds().size() >= count) return true;
    journal.HandledOne.Wait(100);
  }
  return false;
}

TEST(WorkItemThreadEx, StartOnRunningThreadFailsAndKeepsTheFirst) {
  Journal journal;
  ExWorker worker(journal);
  ASSERT_TRUE(worker.Start("first"));
  EXPECT_FALSE(worker.Start("second"));
  EXPECT_EQ(worker.Name(), "first");
  ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, 5), 0));
  ASSERT_TRUE(WaitForHandled(journal, 1));
  EXPECT_EQ(journal.HandledIds(), std::vector<int>{5});
}

TEST(WorkItemThreadEx, BoundedQueueDropsOldestItems) {
  struct Case {
    uint32_t MaxLength;
    std::vector<int> ExpectedHandled;  // after the gate item
  };
  std::vector<int> newest15;
  for (int id = 6; id <= 20; ++id) newest15.push_back(id);
  newest15.push_back(100);
  std::vector<int> all20;
  for (int id = 1; id <= 20; ++id) all20.push_back(id);
  all20.push_back(100);
  const Case cases[] = {{16, newest15}, {1, {100}}, {0, all20}};

  for (const Case& c : cases) {
    Journal journal;
    ExWorker worker(journal);
    ASSERT_TRUE(worker.Start("bounded"));
    // The gate item holds the thread so that the queue fills without being drained.
    ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, kGateId), 0));
    ASSERT_TRUE(worker.InGate.Wait(5000));
    for (int id = 1; id <= 20; ++id) ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, id), 0));
    ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, 100), c.MaxLength));
    EXPECT_EQ(worker.QueueLength(), c.ExpectedHandled.size()) << "N=" << c.MaxLength;
    worker.Gate.Set();
    ASSERT_TRUE(WaitForHandled(journal, c.ExpectedHandled.size() + 1));
    std::vector<int> handled = journal.HandledIds();
    handled.erase(handled.begin());  // the gate item
    EXPECT_EQ(handled, c.ExpectedHandled) << "N=" << c.MaxLength;
    worker.Stop();  // the last item is destroyed after its handler returns
    EXPECT_EQ(journal.DestroyedIds().size(), 22u) << "dropped items are destroyed, not leaked";
  }
}

TEST(WorkItemThreadEx, PostToStoppedThreadDestroysTheItem) {
  Journal journal;
  ExWorker worker(journal);
  EXPECT_FALSE(worker.PostWorkItem(new ExItem(journal, 1), 0));
  ASSERT_TRUE(worker.Start("w"));
  worker.Stop();
  EXPECT_FALSE(worker.PostWorkItem(new ExItem(journal, 2), 0));
  EXPECT_EQ(journal.DestroyedIds(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(journal.HandledIds().empty());
}

TEST(WorkItemThreadEx, StopDestroysQueuedItemsUnhandled) {
  Journal journal;
  ExWorker worker(journal);
  ASSERT_TRUE(worker.Start("w"));
  ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, kGateId), 0));
  ASSERT_TRUE(worker.InGate.Wait(5000));
  for (int id = 1; id <= 3; ++id) ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, id), 0));
  std::thread opener([&] {
    // Let the gate go only once Stop has cleared the queue.
    while (worker.QueueLength() != 0) std::this_thread::yield();
    worker.Gate.Set();
  });
  worker.Stop();
  opener.join();
  EXPECT_EQ(journal.HandledIds(), std::vector<int>{kGateId});
  EXPECT_EQ(journal.DestroyedIds().size(), 4u);
}

TEST(WorkItemThreadEx, ThrowingHandlerDoesNotEndTheLoop) {
  Journal journal;
  ExWorker worker(journal);
  ASSERT_TRUE(worker.Start("w"));
  ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, kThrowId), 0));
  ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, 9), 0));
  ASSERT_TRUE(WaitForHandled(journal, 2));
  EXPECT_EQ(journal.HandledIds(), (std::vector<int>{kThrowId, 9}));
}

TEST(WorkItemThreadEx, CanBeStartedAgainAfterStop) {
  Journal journal;
  ExWorker worker(journal);
  ASSERT_TRUE(worker.Start("w"));
  worker.Stop();
  ASSERT_TRUE(worker.Start("w"));
  ASSERT_TRUE(worker.PostWorkItem(new ExItem(journal, 3), 0));
  ASSERT_TRUE(WaitForHandled(journal, 1));
}

TEST(WorkItemThread, PostToStoppedThreadLeavesTheItemWithTheCaller) {
  Journal journal;
  PlainWorker worker(journal);
  PlainItem item(journal, 1);
  EXPECT_FALSE(worker.Post(&item));
  ASSERT_TRUE(worker.StartWorker("w"));
  worker.StopWorker();
  EXPECT_FALSE(worker.Post(&item));
  EXPECT_FALSE(worker.Post(nullptr));
  EXPECT_TRUE(journal.DestroyedIds().empty());
}

TEST(WorkItemThread, HandlesInArrivalOrderAndSurvivesThrowingHandler) {
  Journal journal;
  PlainWorker worker(journal);
  ASSERT_TRUE(worker.StartWorker("w"));
  EXPECT_FALSE(worker.StartWorker("again"));
  for (int id : {1, kThrowId, 2, 3}) ASSERT_TRUE(worker.Post(new PlainItem(journal, id)));
  ASSERT_TRUE(WaitForHandled(journal, 4));
  EXPECT_EQ(journal.HandledIds(), (std::vector<int>{1, kThrowId, 2, 3}));
  worker.StopWorker();
  EXPECT_EQ(journal.DestroyedIds().size(), 4u);
}

TEST(WorkItemThread, StopDestroysItemsStillQueued) {
  Journal journal;
  PlainWorker worker(journal);
  ASSERT_TRUE(worker.StartWorker("w"));
  ASSERT_TRUE(worker.Post(new PlainItem(journal, kGateId)));
  for (int id = 1; id <= 3; ++id) ASSERT_TRUE(worker.Post(new PlainItem(journal, id)));
  worker.Gate.Set();
  worker.StopWorker();
  EXPECT_EQ(journal.DestroyedIds().size(), 4u);
}

using testsupport::ProcessThreads;
using testsupport::ProcessThreadsAfterJoins;

// Threads that run a body: the process's, less the pool's workers waiting for one.
size_t RunningBodiesAfterJoins(size_t expected) {
  return testsupport::CountAfterJoins(
      expected, [] { return ProcessThreads() - korvalt::platform::WorkerPool::Instance().IdleWorkers(); });
}

constexpr int kRestartId = 99;

// Restarts itself from the handler of item 99, as a host callback may; stops itself for good at 98.
class RestartingExWorker : public ExWorker {
 public:
  using ExWorker::ExWorker;
  void HandleWorkItem(IWorkItem* item) override {
    const int id = static_cast<ExItem*>(item)->Id;
    if (id == kRestartId) {
      Stop();
      Restarted = Start("again");
    } else if (id == kRestartId - 1) {
      Stop();
    }
    ExWorker::HandleWorkItem(item);
  }
  std::atomic<bool> Restarted{false};
};

class RestartingPlainWorker : public PlainWorker {
 public:
  using PlainWorker::PlainWorker;
  void HandleWorkItem(IWorkItem* item) override {
    const int id = static_cast<PlainItem*>(item)->Id;
    if (id == kRestartId) {
      StopWorker();
      Restarted = StartWorker("again");
    } else if (id == kRestartId - 1) {
      StopWorker();
    }
    PlainWorker::HandleWorkItem(item);
  }
  std::atomic<bool> Restarted{false};
};

template <typename Worker, typename ItemType>
void RestartFromTheHandlerKeepsOneThread(bool (Worker::*start)(const std::string&),
                                         bool (Worker::*post)(ItemType*)) {
  const size_t before = ProcessThreads();
  Journal journal;
  {
    Worker worker(journal);
    ASSERT_TRUE((worker.*start)("w"));
    ASSERT_TRUE((worker.*post)(new ItemType(journal, kRestartId)));
    ASSERT_TRUE(WaitForHandled(journal, 1));
    EXPECT_TRUE(worker.Restarted.load());
    EXPECT_EQ(ProcessThreads(), before + 1) << "restarted, one thread";
    for (int id = 1; id <= 3; ++id) ASSERT_TRUE((worker.*post)(new ItemType(journal, id)));
    ASSERT_TRUE(WaitForHandled(journal, 4));
    EXPECT_EQ(journal.HandledIds(), (std::vector<int>{kRestartId, 1, 2, 3}));
    // Stopped for good from a handler: the thread ends when the handler returns; the next Start
    // from the owner starts a fresh one.
    ASSERT_TRUE((worker.*post)(new ItemType(journal, kRestartId - 1)));
    ASSERT_TRUE(WaitForHandled(journal, 5));
    // Its worker waits for another body until the owner lets go of the thread.
    EXPECT_EQ(RunningBodiesAfterJoins(before), before) << "the self-stopped body ended after its handler";
    ASSERT_TRUE((worker.*start)("fresh"));
    ASSERT_TRUE((worker.*post)(new ItemType(journal, 4)));
    ASSERT_TRUE(WaitForHandled(journal, 6));
  }
  EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
}

TEST(WorkItemThreads, RestartFromTheirOwnHandlerKeepsOneThread) {
  {
    SCOPED_TRACE("CWorkItemThreadEx");
    struct Adapter : RestartingExWorker {
      using RestartingExWorker::RestartingExWorker;
      bool Begin(const std::string& name) { return Start(name); }
      bool Put(ExItem* item) { return PostWorkItem(item, 0); }
    };
    RestartFromTheHandlerKeepsOneThread<Adapter, ExItem>(&Adapter::Begin, &Adapter::Put);
  }
  {
    SCOPED_TRACE("CWorkItemThread");
    struct Adapter : RestartingPlainWorker {
      using RestartingPlainWorker::RestartingPlainWorker;
      bool Begin(const std::string& name) { return StartWorker(name); }
      bool Put(PlainItem* item) { return Post(item); }
    };
    RestartFromTheHandlerKeepsOneThread<Adapter, PlainItem>(&Adapter::Begin, &Adapter::Put);
  }
}

// Restarts itself from its third tick.
class RestartingTicker : public korvalt::thread::CTickerThread {
 public:
  ~RestartingTicker() override { StopTicker(); }
  void OnTick() override {
    if (++Ticks == 3) {
      StopTicker();
      Restarted = StartTicker("again");
    }
  }
  std::atomic<int> Ticks{0};
  std::atomic<bool> Restarted{false};
};

TEST(TickerThread, RestartFromItsOwnTickKeepsOneThreadThatStopsPromptly) {
  const size_t before = ProcessThreads();
  {
    RestartingTicker ticker;
    ticker.SetPeriod(1);
    ASSERT_TRUE(ticker.StartTicker("t"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ticker.Ticks.load() < 10 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(ticker.Ticks.load(), 10) << "ticks on after the restart";
    EXPECT_TRUE(ticker.Restarted.load());
    EXPECT_EQ(ProcessThreads(), before + 1);
    ticker.StopTicker();
    EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
  }
}

}  // namespace
