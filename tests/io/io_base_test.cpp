// The camera-independent I/O logic, without a network: state bookkeeping and failure reports.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "io/io_base.h"
#include "support/fake_driver.h"
#include "support/process_threads.h"
#include "tools/hostkit/io_sink.h"

namespace {

using namespace std::chrono_literals;
using korvalt::CIOBase;
using korvalt::ipcapture::kIOStateOff;
using korvalt::ipcapture::kIOStateOn;

constexpr auto kWait = 5s;

// Polls report input 0 as on and off in turn; every output request fails.
class FlakyIO : public CIOBase {
 public:
  explicit FlakyIO(korvalt::IDriver* driver) : CIOBase(driver) {}
  ~FlakyIO() override { Stop(); }

  bool SetOutputNow(int32_t, int32_t) override {
    ++OutputRequests;
    return false;
  }
  bool PollInputs() override {
    ++Polls;
    ApplyInputState(0, (Polls.load() % 2) != 0 ? kIOStateOn : kIOStateOff);
    return true;
  }

  std::atomic<int> OutputRequests{0};
  std::atomic<int> Polls{0};
};

TEST(IOBase, EveryFailedOutputIsReportedOnceWhilePollsRunBeside) {
  // The failure's reset clears the input map that the input thread is using at the same moment.
  testsupport::FakeDriver driver;
  driver.IOCounts = {1, 1};
  hostkit::IOEventSink sink;
  FlakyIO io(&driver);
  ASSERT_TRUE(io.SetIOSink(&sink));
  io.SetPeriod(1);
  // The initial "off" of the output fails at once.
  EXPECT_TRUE(io.Start());
  ASSERT_EQ(sink.Failures(), 1u);
  ASSERT_TRUE(sink.WaitForChanges(3, kWait)) << "the input thread is polling";

  constexpr int kChanges = 50;
  // Each failure resets the output to "not yet known", so the same change is sent again every time.
  for (int i = 0; i < kChanges; ++i) {
    ASSERT_TRUE(io.SetOutput(0, kIOStateOn));
    ASSERT_TRUE(sink.WaitForFailures(2 + static_cast<size_t>(i), kWait));
  }
  EXPECT_TRUE(io.Stop());
  EXPECT_EQ(sink.Failures(), 1u + kChanges);
  EXPECT_EQ(io.OutputRequests.load(), 1 + kChanges);
}

TEST(IOBase, RefusesWhatItCannotDo) {
  testsupport::FakeDriver driver;
  driver.IOCounts = {0, 1};
  FlakyIO io(&driver);
  EXPECT_FALSE(io.SetIOSink(nullptr));
  EXPECT_FALSE(io.SetOutput(0, kIOStateOn)) << "before Start";
  ASSERT_TRUE(io.Start());
  EXPECT_TRUE(io.SetOutput(0, kIOStateOn));
  EXPECT_TRUE(io.Stop());
  EXPECT_FALSE(io.SetOutput(0, kIOStateOn)) << "after Stop";

  testsupport::FakeDriver noOutputs;
  noOutputs.IOCounts = {1, 0};
  FlakyIO inputsOnly(&noOutputs);
  ASSERT_TRUE(inputsOnly.Start());
  EXPECT_FALSE(inputsOnly.SetOutput(0, kIOStateOn)) << "no output thread";
  EXPECT_TRUE(inputsOnly.Stop());
}

TEST(IOBase, ASecondStartFailsBeforeAnyRequest) {
  // Inputs only, outputs only, and both: a second Start must not poll or switch outputs on the
  // host's thread while the input and output threads use the same connections.
  struct Case {
    int32_t Inputs;
    int32_t Outputs;
  };
  for (const Case c : {Case{1, 0}, Case{0, 1}, Case{2, 2}}) {
    SCOPED_TRACE(std::to_string(c.Inputs) + " inputs, " + std::to_string(c.Outputs) + " outputs");
    testsupport::FakeDriver driver;
    driver.IOCounts = {c.Inputs, c.Outputs};
    FlakyIO io(&driver);
    io.Start();  // the outputs' initial "off" fails, which does not fail Start
    const int polls = io.Polls.load();
    const int outputs = io.OutputRequests.load();
    EXPECT_FALSE(io.Start());
    EXPECT_EQ(io.Polls.load(), polls);
    EXPECT_EQ(io.OutputRequests.load(), outputs);
    EXPECT_TRUE(io.Stop());
    EXPECT_TRUE(io.Start()) << "after Stop it starts again";
    EXPECT_TRUE(io.Stop());
  }
}

TEST(IOBase, StartsAndStopsFromSeveralHostThreadsLeaveOneOrNoTicker) {
  testsupport::FakeDriver driver;
  driver.IOCounts = {1, 1};
  hostkit::IOEventSink sink;
  FlakyIO io(&driver);
  ASSERT_TRUE(io.SetIOSink(&sink));
  std::atomic<int> started{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if ((i + t) % 3 == 2) {
          io.Stop();
        } else if (io.Start()) {
          ++started;
        }
        io.SetOutput(0, kIOStateOn);
      }
    });
  }
  for (auto& host : hosts) host.join();
  EXPECT_GT(started.load(), 0);
  EXPECT_TRUE(io.Stop());
  EXPECT_FALSE(io.SetOutput(0, kIOStateOn)) << "nothing runs after the last Stop";
}

using testsupport::ProcessThreads;
using testsupport::ProcessThreadsAfterJoins;

// A host sink that runs a reaction on the module's thread at the first failure reported there.
class ReactingSink : public korvalt::ipcapture::IIOEventSink {
 public:
  explicit ReactingSink(std::function<void()> reaction) : Reaction(std::move(reaction)) {}
  void InputChanged(uint32_t, int32_t) override {}
  void IOFailure() override {
    ++Failures;
    if (std::this_thread::get_id() == Host || Reacted.exchange(true)) return;
    Reaction();
    Done = true;
  }
  const std::thread::id Host = std::this_thread::get_id();
  std::atomic<int> Failures{0};
  std::atomic<bool> Reacted{false};
  std::atomic<bool> Done{false};

 private:
  std::function<void()> Reaction;
};

class SwitchableIO : public FlakyIO {
 public:
  using FlakyIO::FlakyIO;
  bool PollInputs() override {
    FlakyIO::PollInputs();
    return !FailPolls.load();
  }
  std::atomic<bool> FailPolls{false};
};

TEST(IOBase, RestartFromAFailureCallbackLeavesOneThreadOfEachKind) {
  // A recorder answers IOFailure with Stop(); Start(); on the module's thread that reported it:
  // the output thread (a failed output change) or the input thread (a failed poll).
  for (const bool fromInputThread : {false, true}) {
    SCOPED_TRACE(fromInputThread ? "input thread" : "output thread");
    const size_t before = ProcessThreads();
    {
      testsupport::FakeDriver driver;
      driver.IOCounts = {1, 1};
      SwitchableIO io(&driver);
      ReactingSink sink([&io] {
        EXPECT_TRUE(io.Stop());
        EXPECT_TRUE(io.Start());
      });
      ASSERT_TRUE(io.SetIOSink(&sink));
      io.SetPeriod(fromInputThread ? 1 : 60000);
      io.FailPolls = fromInputThread;
      ASSERT_TRUE(io.Start());
      if (!fromInputThread) {
        ASSERT_TRUE(io.SetOutput(0, kIOStateOn));
      }
      const auto deadline = std::chrono::steady_clock::now() + kWait;
      while (!sink.Done && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
      ASSERT_TRUE(sink.Done);
      io.FailPolls = false;

      // Restarted: both threads serve again, one of each.
      EXPECT_EQ(ProcessThreadsAfterJoins(before + 2), before + 2);
      const int requests = io.OutputRequests.load();
      ASSERT_TRUE(io.SetOutput(0, kIOStateOn));
      const auto later = std::chrono::steady_clock::now() + kWait;
      while (io.OutputRequests.load() == requests && std::chrono::steady_clock::now() < later)
        std::this_thread::sleep_for(1ms);
      EXPECT_GT(io.OutputRequests.load(), requests);

      const auto stopStart = std::chrono::steady_clock::now();
      EXPECT_TRUE(io.Stop());
      EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 2s);
      EXPECT_EQ(ProcessThreadsAfterJoins(before), before) << "no thread of the I/O object outlives Stop";
      const int polls = io.Polls.load();
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(io.Polls.load(), polls);
    }
    EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
  }
}

TEST(IOBase, StopFromACallbackThenAPromptDeleteWaitsForTheCallbackToReturn) {
  testsupport::FakeDriver driver;
  driver.IOCounts = {0, 1};
  std::mutex lock;
  std::condition_variable stopped;
  bool stopReturned = false;
  std::atomic<bool> callbackReturned{false};
  auto io = std::make_unique<FlakyIO>(&driver);
  ReactingSink sink([&] {
    EXPECT_TRUE(io->Stop());
    {
      std::lock_guard<std::mutex> guard(lock);
      stopReturned = true;
    }
    stopped.notify_all();
    // The recorder goes on in its callback while another of its threads closes the driver.
    std::this_thread::sleep_for(100ms);
    callbackReturned = true;
  });
  ASSERT_TRUE(io->SetIOSink(&sink));
  const size_t before = ProcessThreads();
  ASSERT_TRUE(io->Start());
  ASSERT_TRUE(io->SetOutput(0, kIOStateOn));
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(stopped.wait_for(guard, kWait, [&] { return stopReturned; }));
  }
  io.reset();  // what Close does with the I/O object
  EXPECT_TRUE(callbackReturned) << "the object went while its thread was still in the callback";
  EXPECT_EQ(ProcessThreadsAfterJoins(before), before);
}

// Resuming the senders is slow here, so that a Start right behind a Stop would see them aborted.
class SlowResumeIO : public CIOBase {
 public:
  explicit SlowResumeIO(korvalt::IDriver* driver) : CIOBase(driver) {}
  ~SlowResumeIO() override { Stop(); }
  bool SetOutputNow(int32_t, int32_t) override {
    ++OutputRequests;
    return !Aborted.load();
  }
  bool PollInputs() override { return true; }
  std::atomic<int> OutputRequests{0};
  std::atomic<bool> Aborted{false};
  std::atomic<bool> Resuming{false};

 protected:
  void AbortRequests() override { Aborted = true; }
  void ResumeRequests() override {
    Resuming = true;
    std::this_thread::sleep_for(100ms);
    Aborted = false;
  }
};

TEST(IOBase, StartRightAfterStopRunsAgainstResumedRequests) {
  testsupport::FakeDriver driver;
  driver.IOCounts = {1, 1};
  hostkit::IOEventSink sink;
  SlowResumeIO io(&driver);
  ASSERT_TRUE(io.SetIOSink(&sink));
  ASSERT_TRUE(io.Start());
  std::thread stopper([&io] { io.Stop(); });
  while (!io.Resuming.load()) std::this_thread::sleep_for(1ms);
  // The initial "off" of this Start must reach the camera, not an aborted sender.
  EXPECT_TRUE(io.Start());
  stopper.join();
  EXPECT_EQ(sink.Failures(), 0u);
  EXPECT_EQ(io.OutputRequests.load(), 2);
  EXPECT_TRUE(io.Stop());
}

// Output requests block until the test lets them through: a camera that stalls.
class StallingIO : public CIOBase {
 public:
  explicit StallingIO(korvalt::IDriver* driver) : CIOBase(driver) {}
  ~StallingIO() override {
    Release();
    Stop();
  }
  bool SetOutputNow(int32_t index, int32_t state) override {
    std::unique_lock<std::mutex> guard(Lock);
    Sent.emplace_back(index, state);
    Changed.notify_all();
    Changed.wait(guard, [this] { return Open; });
    return true;
  }
  bool PollInputs() override { return true; }
  void Release() {
    std::lock_guard<std::mutex> guard(Lock);
    Open = true;
    Changed.notify_all();
  }
  bool WaitForSent(size_t count) {
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, kWait, [&] { return Sent.size() >= count; });
  }
  std::vector<std::pair<int32_t, int32_t>> SentChanges() {
    std::lock_guard<std::mutex> guard(Lock);
    return Sent;
  }

 private:
  std::mutex Lock;
  std::condition_variable Changed;
  bool Open = false;
  std::vector<std::pair<int32_t, int32_t>> Sent;
};

TEST(IOBase, WhileTheCameraStallsOnlyTheLatestChangesWait) {
  testsupport::FakeDriver driver;
  driver.IOCounts = {0, 2};  // no inputs: no initial requests
  StallingIO io(&driver);
  ASSERT_TRUE(io.Start());
  ASSERT_TRUE(io.SetOutput(0, kIOStateOn));
  ASSERT_TRUE(io.WaitForSent(1));  // the output thread is stuck in this request
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(io.SetOutput(0, i % 2 ? kIOStateOn : kIOStateOff));
    ASSERT_TRUE(io.SetOutput(1, i % 2 ? kIOStateOff : kIOStateOn));
    ASSERT_TRUE(io.SetOutput(7, kIOStateOn)) << "accepted and ignored: no such output";
  }
  io.Release();
  // The newest changes are sent in the order they were made, ending with the last of each output.
  ASSERT_TRUE(io.WaitForSent(1 + CIOBase::kMaxQueuedChanges));
  std::this_thread::sleep_for(50ms);
  const auto sent = io.SentChanges();
  EXPECT_EQ(sent.size(), 1 + CIOBase::kMaxQueuedChanges);
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[sent.size() - 2], std::make_pair(int32_t{0}, kIOStateOn));
  EXPECT_EQ(sent.back(), std::make_pair(int32_t{1}, kIOStateOff));
  EXPECT_TRUE(io.Stop());
}

}  // namespace
