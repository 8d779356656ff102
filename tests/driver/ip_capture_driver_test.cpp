// The driver object's own lifetimes against the camera simulator: what a second Open without
// Close does to the objects the first one made.

#include "driver/quenlark_ip_capture_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "io/io_base.h"
#include "support/camsim_fixture.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/io_sink.h"
#include "tools/hostkit/video.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 5s;
constexpr const char* kPoll = "GET /config/io.cgi HTTP/1.1";

size_t Polls(testsupport::Camsim& camera) {
  const auto log = camera.RequestLog();
  return static_cast<size_t>(std::count(log.begin(), log.end(), kPoll));
}

TEST(IPCaptureDriver, ASecondOpenKeepsTheObjectsTheHostHoldsAndTheirThreadsReadTheNewRecord) {
  testsupport::CamsimOptions options;
  options.Inputs = 2;
  options.Outputs = 1;
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  hostkit::DeviceConfig config;
  config.Port = camera.HttpPort();
  config.Inputs = 1;
  config.Outputs = 1;
  hostkit::DeviceParams params(config);
  hostkit::DebugSink debug;
  hostkit::SampleAllocator allocator;
  hostkit::IOEventSink events;
  korvalt::CQuenlarkIPCaptureDriver driver;

  ASSERT_TRUE(driver.Open(&debug, &allocator, &params));
  korvalt::ICaptureIOApi* io = driver.GetCaptureIO();
  korvalt::ipcapture::IIPPTZDriver* ptz = driver.GetPTZDriver();
  ASSERT_NE(io, nullptr);
  ASSERT_NE(ptz, nullptr);
  ASSERT_TRUE(io->SetIOSink(&events));
  // The input thread asks the driver for its counts at every tick.
  auto* base = dynamic_cast<korvalt::CIOBase*>(io);
  ASSERT_NE(base, nullptr);
  base->SetPeriod(1);
  ASSERT_TRUE(io->Start());
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (Polls(camera) < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_GE(Polls(camera), 5u);

  // The recorder re-opens without Close, with other counts and parameters, while the input
  // thread polls: the objects it holds stay, and read the new record.
  for (int round = 0; round < 20; ++round) {
    params.Config.Inputs = 1 + round % 2;
    params.Config.Custom = {{1, "1"}, {2, round % 2 ? "2.0" : "1.0"}};
    ASSERT_TRUE(driver.Open(&debug, &allocator, &params));
  }
  EXPECT_EQ(driver.GetCaptureIO(), io);
  EXPECT_EQ(driver.GetPTZDriver(), ptz);
  EXPECT_EQ(io->GetInputCount(), 2u);
  EXPECT_EQ(driver.GetCustomParameter(2), "2.0");
  const size_t polls = Polls(camera);
  const auto later = std::chrono::steady_clock::now() + kWait;
  while (Polls(camera) < polls + 3 && std::chrono::steady_clock::now() < later)
    std::this_thread::sleep_for(1ms);
  EXPECT_GE(Polls(camera), polls + 3) << "the kept I/O object goes on polling";
  EXPECT_TRUE(io->Stop());
  EXPECT_EQ(events.Failures(), 0u);
  driver.Close();
  EXPECT_EQ(driver.GetCaptureIO(), nullptr);
}

}  // namespace
