// Digital I/O against the camera simulator: the requests on the wire and the events the host sees.

#include "io/digital_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/quenlark_ip_capture_driver.h"
#include "support/camsim_fixture.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/io_sink.h"
#include "tools/hostkit/video.h"

namespace {

using namespace std::chrono_literals;
using korvalt::CDigitalIO;
using korvalt::CIOBase;
using korvalt::ipcapture::kIOStateOff;
using korvalt::ipcapture::kIOStateOn;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 5s;
constexpr int32_t kShortTimeoutMs = 1000;
constexpr int32_t kFamilyTimeoutMs = 20000;  // what the driver gives this camera family
constexpr uint32_t kFastPeriodMs = 20;
constexpr auto kPromptStop = 500ms;
constexpr const char* kPoll = "GET /config/io.cgi HTTP/1.1";

std::string OutputRequest(int number, const char* state) {
  return "GET /config/io.cgi?out" + std::to_string(number) + "=" + state + " HTTP/1.1";
}

size_t CountOf(const std::vector<std::string>& log, const std::string& line) {
  return static_cast<size_t>(std::count(log.begin(), log.end(), line));
}

// Polls the camera's request log until it satisfies done; false after kWait.
bool WaitForLog(testsupport::Camsim& camera,
                const std::function<bool(const std::vector<std::string>&)>& done) {
  const auto deadline = Clock::now() + kWait;
  while (Clock::now() < deadline) {
    if (done(camera.RequestLog())) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

testsupport::CamsimOptions CameraWith(int inputs, int outputs) {
  testsupport::CamsimOptions options;
  options.Inputs = inputs;
  options.Outputs = outputs;
  return options;
}

korvalt::DEVICE_INFO DeviceAt(uint16_t port, int32_t timeoutMs) {
  korvalt::DEVICE_INFO info;
  info.Address = "127.0.0.1";
  info.Port = port;
  info.NetworkTimeout = timeoutMs;
  return info;
}

std::vector<std::pair<uint32_t, int32_t>> Changes(const hostkit::IOEventSink& sink) {
  std::vector<std::pair<uint32_t, int32_t>> changes;
  for (const auto& e : sink.Changes()) changes.emplace_back(e.Index, e.State);
  return changes;
}

// A camera, a driver that knows its counts, and the I/O object with a sink registered.
struct Rig {
  Rig(testsupport::CamsimOptions options, int32_t inputs, int32_t outputs,
      int32_t timeoutMs = kShortTimeoutMs)
      : Camera(std::move(options)) {
    Driver.IOCounts = {inputs, outputs};
    Driver.SetDeviceInfo(DeviceAt(Camera.HttpPort(), timeoutMs));
    IO = std::make_unique<CDigitalIO>(&Driver);
    IO->SetIOSink(&Sink);
  }
  Rig(int inputs, int outputs, int32_t timeoutMs = kShortTimeoutMs)
      : Rig(CameraWith(inputs, outputs), inputs, outputs, timeoutMs) {}

  testsupport::Camsim Camera;
  testsupport::FakeDriver Driver;
  hostkit::IOEventSink Sink;
  std::unique_ptr<CDigitalIO> IO;
};

TEST(DigitalIO, FirstPollRunsOnTheHostsThreadAndLaterPollsReportOnlyChanges) {
  Rig rig(2, 0);
  ASSERT_TRUE(rig.Camera.Ok());
  ASSERT_TRUE(rig.Camera.SetInput(1, true));
  std::mutex lock;
  std::vector<std::thread::id> threads;
  rig.Sink.SetCallback([&](const hostkit::IOEvent&) {
    std::lock_guard<std::mutex> guard(lock);
    threads.push_back(std::this_thread::get_id());
  });
  rig.IO->SetPeriod(kFastPeriodMs);

  ASSERT_TRUE(rig.IO->Start());
  using Change = std::pair<uint32_t, int32_t>;
  EXPECT_EQ(Changes(rig.Sink), (std::vector<Change>{{0, kIOStateOn}, {1, kIOStateOff}}));
  EXPECT_EQ(rig.Camera.RequestLog().front(), kPoll);

  // Identical replies report nothing more.
  ASSERT_TRUE(WaitForLog(rig.Camera, [](const auto& log) { return CountOf(log, kPoll) >= 4; }));
  EXPECT_EQ(rig.Sink.Changes().size(), 2u);

  ASSERT_TRUE(rig.Camera.SetInput(2, true));
  ASSERT_TRUE(rig.Sink.WaitForChanges(3, kWait));
  EXPECT_TRUE(rig.IO->Stop());
  EXPECT_EQ(Changes(rig.Sink), (std::vector<Change>{{0, kIOStateOn}, {1, kIOStateOff}, {1, kIOStateOn}}));
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads[0], std::this_thread::get_id());
  EXPECT_EQ(threads[1], std::this_thread::get_id());
  EXPECT_NE(threads[2], std::this_thread::get_id()) << "later polls run on the input thread";
}

TEST(DigitalIO, AnInputValueContainingOnAnywhereCountsAsOn) {
  struct Case {
    const char* Line;  // reply line for input n (empty: none)
    int32_t Expected;  // reported state, 0 for no report
  };
  const std::vector<Case> cases = {
      {"on", kIOStateOn},
      {"off", kIOStateOff},
      {"moon", kIOStateOn},
      {"ON", kIOStateOff},
      {" on", kIOStateOn},
      {"closed", kIOStateOff},
      {"", 0},
      {nullptr, 0},
  };
  std::string body;
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].Line != nullptr) body += "in" + std::to_string(i + 1) + "=" + cases[i].Line + "\r\n";
  }
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n\r\n" + body;
  testsupport::ScriptedTcpServer camera([reply](testsupport::ScriptedTcpServer::Connection& connection) {
    while (connection.ReadRequest()) {
      if (!connection.Send(reply)) return;
    }
  });
  testsupport::FakeDriver driver;
  driver.IOCounts = {static_cast<int32_t>(cases.size()), 0};
  driver.SetDeviceInfo(DeviceAt(camera.Port(), kShortTimeoutMs));
  hostkit::IOEventSink sink;
  CDigitalIO io(&driver);
  io.SetIOSink(&sink);
  io.SetPeriod(kFastPeriodMs);

  ASSERT_TRUE(io.Start());
  std::vector<std::pair<uint32_t, int32_t>> expected;
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].Expected != 0) expected.emplace_back(static_cast<uint32_t>(i), cases[i].Expected);
  }
  EXPECT_EQ(Changes(sink), expected);
  const auto deadline = Clock::now() + kWait;
  while (camera.Requests().size() < 3 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_GE(camera.Requests().size(), 3u);
  EXPECT_TRUE(io.Stop());
  EXPECT_EQ(Changes(sink), expected) << "the same reply again reports nothing";
}

TEST(DigitalIO, StartSwitchesEveryOutputOffAfterTheFirstPoll) {
  Rig rig(1, 2);
  ASSERT_TRUE(rig.Camera.Ok());
  ASSERT_TRUE(rig.IO->Start());
  EXPECT_EQ(rig.Camera.RequestLog(),
            (std::vector<std::string>{kPoll, OutputRequest(1, "off"), OutputRequest(2, "off")}));
  EXPECT_TRUE(rig.IO->Stop());
  EXPECT_EQ(rig.Sink.Failures(), 0u);
}

TEST(DigitalIO, OutputChangesAreSentInOrderAndOnlyWhenTheStateChanges) {
  Rig rig(1, 1);
  ASSERT_TRUE(rig.Camera.Ok());
  ASSERT_TRUE(rig.IO->Start());
  EXPECT_TRUE(rig.IO->SetOutput(0, kIOStateOn));
  EXPECT_TRUE(rig.IO->SetOutput(0, kIOStateOn));
  EXPECT_TRUE(rig.IO->SetOutput(4, kIOStateOn)) << "accepted, then ignored: the device has one output";
  EXPECT_TRUE(rig.IO->SetOutput(0, kIOStateOff));
  ASSERT_TRUE(
      WaitForLog(rig.Camera, [](const auto& log) { return CountOf(log, OutputRequest(1, "off")) >= 2; }));
  EXPECT_TRUE(rig.IO->Stop());
  EXPECT_EQ(rig.Camera.RequestLog(),
            (std::vector<std::string>{kPoll, OutputRequest(1, "off"), OutputRequest(1, "on"),
                                      OutputRequest(1, "off")}));
  EXPECT_FALSE(rig.IO->SetOutput(0, kIOStateOn)) << "after Stop";
}

TEST(DigitalIO, AFailedOutputIsReportedOnceAndEveryInputAgainAtTheNextPoll) {
  // The camera has one output; the host counts two, so every request for the second fails (400).
  Rig rig(CameraWith(2, 1), 2, 2);
  ASSERT_TRUE(rig.Camera.Ok());
  ASSERT_TRUE(rig.Camera.SetInput(1, true));
  rig.IO->SetPeriod(kFastPeriodMs);

  // Start: the poll reports both inputs, out1=off works, out2=off fails.
  ASSERT_TRUE(rig.IO->Start());
  EXPECT_EQ(rig.Sink.Failures(), 1u);
  ASSERT_TRUE(rig.Sink.WaitForChanges(4, kWait)) << "the next poll reports every input again";
  const size_t polls = CountOf(rig.Camera.RequestLog(), kPoll);
  ASSERT_TRUE(WaitForLog(rig.Camera, [&](const auto& log) { return CountOf(log, kPoll) >= polls + 2; }));
  EXPECT_EQ(rig.Sink.Changes().size(), 4u);

  ASSERT_TRUE(rig.IO->SetOutput(1, kIOStateOn));
  ASSERT_TRUE(rig.Sink.WaitForFailures(2, kWait));
  ASSERT_TRUE(rig.Sink.WaitForChanges(6, kWait));
  // The reset forgot that output 1 is off, so switching it off is sent again.
  ASSERT_TRUE(rig.IO->SetOutput(0, kIOStateOff));
  ASSERT_TRUE(
      WaitForLog(rig.Camera, [](const auto& log) { return CountOf(log, OutputRequest(1, "off")) >= 2; }));
  EXPECT_TRUE(rig.IO->Stop());
  EXPECT_EQ(rig.Sink.Failures(), 2u);
  // Only the camera's real states are ever reported, however often.
  for (const auto& change : Changes(rig.Sink)) {
    EXPECT_TRUE(change == std::make_pair(0u, kIOStateOn) || change == std::make_pair(1u, kIOStateOff))
        << change.first << "=" << change.second;
  }
}

TEST(DigitalIO, ADeviceWithoutInputsHasNoInputThreadButSetsOutputs) {
  Rig rig(0, 1);
  ASSERT_TRUE(rig.Camera.Ok());
  rig.IO->SetPeriod(kFastPeriodMs);
  ASSERT_TRUE(rig.IO->Start());
  EXPECT_TRUE(rig.Camera.RequestLog().empty()) << "no poll and no initial output at start";
  EXPECT_FALSE(rig.IO->korvalt::thread::CTickerThread::IsRunning());
  ASSERT_TRUE(rig.IO->SetOutput(0, kIOStateOn));
  ASSERT_TRUE(
      WaitForLog(rig.Camera, [](const auto& log) { return CountOf(log, OutputRequest(1, "on")) == 1; }));
  EXPECT_TRUE(rig.IO->Stop());
  EXPECT_EQ(rig.Camera.RequestLog(), std::vector<std::string>{OutputRequest(1, "on")});
}

// Both threads wait on a camera that answers only after half a minute, far beyond the stop's bound.
void StallBothThreads(Rig& rig) {
  rig.IO->SetPeriod(kFastPeriodMs);
  ASSERT_TRUE(rig.IO->Start());
  rig.Camera.ClearLog();
  ASSERT_TRUE(rig.Camera.InjectFault("stall", 1000, 30000));
  ASSERT_TRUE(rig.IO->SetOutput(0, kIOStateOn));
  // camsim logs a request before it stalls on it.
  ASSERT_TRUE(WaitForLog(rig.Camera, [](const auto& log) {
    return CountOf(log, OutputRequest(1, "on")) == 1 && CountOf(log, kPoll) >= 1;
  }));
}

TEST(DigitalIO, StopReturnsPromptlyWhileTheCameraStallsAndStartWorksAgain) {
  Rig rig(1, 1, kFamilyTimeoutMs);
  ASSERT_TRUE(rig.Camera.Ok());
  StallBothThreads(rig);
  if (HasFatalFailure()) return;

  const auto begin = Clock::now();
  EXPECT_TRUE(rig.IO->Stop());
  EXPECT_LT(Clock::now() - begin, kPromptStop);
  EXPECT_EQ(rig.Sink.Failures(), 0u) << "requests cut short by Stop are no camera failure";

  ASSERT_TRUE(rig.Camera.InjectFault("none"));
  rig.Camera.ClearLog();
  rig.Sink.Clear();
  rig.IO->SetPeriod(korvalt::thread::CTickerThread::kDefaultPeriodMs);  // only Start's own requests below
  ASSERT_TRUE(rig.IO->Start());
  EXPECT_EQ(rig.Camera.RequestLog(), (std::vector<std::string>{kPoll, OutputRequest(1, "off")}));
  EXPECT_EQ(rig.Sink.Changes().size(), 1u) << "Stop reset the input states";
  EXPECT_TRUE(rig.IO->Stop());
}

TEST(DigitalIO, DestroyingAStartedObjectStopsPromptlyWhileTheCameraStalls) {
  Rig rig(1, 1, kFamilyTimeoutMs);
  ASSERT_TRUE(rig.Camera.Ok());
  StallBothThreads(rig);
  if (HasFatalFailure()) return;

  const auto begin = Clock::now();
  rig.IO.reset();
  EXPECT_LT(Clock::now() - begin, kPromptStop);
}

TEST(DigitalIO, TheDriverCreatesOneObjectThatWorksThroughTheHostInterface) {
  testsupport::Camsim camera(CameraWith(2, 1));
  ASSERT_TRUE(camera.Ok());
  ASSERT_TRUE(camera.SetInput(2, true));
  hostkit::DeviceConfig config;
  config.Port = camera.HttpPort();
  config.Inputs = 2;
  config.Outputs = 1;
  hostkit::DeviceParams params(config);
  hostkit::DebugSink debug;
  hostkit::SampleAllocator allocator;
  hostkit::IOEventSink sink;
  korvalt::CQuenlarkIPCaptureDriver driver;

  ASSERT_TRUE(driver.Open(&debug, &allocator, &params));
  korvalt::ICaptureIOApi* io = driver.GetCaptureIO();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(driver.GetCaptureIO(), io) << "one object for every call";
  EXPECT_EQ(io->GetInputCount(), 2u);
  EXPECT_EQ(io->GetOutputCount(), 1u);

  ASSERT_TRUE(io->SetIOSink(&sink));
  ASSERT_TRUE(io->Start());
  using Change = std::pair<uint32_t, int32_t>;
  EXPECT_EQ(Changes(sink), (std::vector<Change>{{0, kIOStateOff}, {1, kIOStateOn}}));
  ASSERT_TRUE(io->SetOutput(0, kIOStateOn));
  ASSERT_TRUE(WaitForLog(camera, [](const auto& log) { return CountOf(log, OutputRequest(1, "on")) == 1; }));
  // Closing without Stop: the object stops its own threads.
  driver.Close();
  EXPECT_EQ(driver.GetCaptureIO(), nullptr);
}

}  // namespace

namespace {

// The host's thread sends Start's initial output states while an output worker stopped from its
// own callback and revived sends the next change: both use the object's output connection. Each
// request must have it to itself (a shared connection corrupts both), and each reaches the camera.
TEST(DigitalIO, RequestsOfTwoThreadsOnOneConnectionTakeTurns) {
  Rig rig(1, 1);
  ASSERT_TRUE(rig.Camera.Ok());
  constexpr int kEach = 40;
  std::atomic<int> failed{0};
  auto send = [&](int32_t state) {
    for (int i = 0; i < kEach; ++i)
      if (!rig.IO->SetOutputNow(0, state)) ++failed;
  };
  auto poll = [&] {
    for (int i = 0; i < kEach; ++i)
      if (!rig.IO->PollInputs()) ++failed;
  };
  {
    std::thread host(send, kIOStateOn);
    std::thread worker(send, kIOStateOff);
    std::thread hostPoll(poll);
    std::thread ticker(poll);
    host.join();
    worker.join();
    hostPoll.join();
    ticker.join();
  }
  EXPECT_EQ(failed.load(), 0);
  const auto log = rig.Camera.RequestLog();
  EXPECT_EQ(CountOf(log, OutputRequest(1, "on")), size_t{kEach});
  EXPECT_EQ(CountOf(log, OutputRequest(1, "off")), size_t{kEach});
  EXPECT_EQ(CountOf(log, kPoll), size_t{2 * kEach});
}

}  // namespace
