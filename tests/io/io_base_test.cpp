// The camera-independent I/O logic, without a network: state bookkeeping and failure reports.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "io/io_base.h"
#include "support/fake_driver.h"
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
  for (int i = 0; i < kChanges; ++i) ASSERT_TRUE(io.SetOutput(0, kIOStateOn));
  ASSERT_TRUE(sink.WaitForFailures(1 + kChanges, kWait));
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

}  // namespace
