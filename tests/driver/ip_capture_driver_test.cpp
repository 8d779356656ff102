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

TEST(IPCaptureDriver, ASecondOpenStopsTheEarlierObjectsBeforeItTakesTheNewParameters) {
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
  ASSERT_NE(io, nullptr);
  ASSERT_TRUE(io->SetIOSink(&events));
  // The input thread asks the driver for its counts and device record at every tick.
  auto* base = dynamic_cast<korvalt::CIOBase*>(io);
  ASSERT_NE(base, nullptr);
  base->SetPeriod(1);
  ASSERT_TRUE(io->Start());
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (Polls(camera) < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_GE(Polls(camera), 5u);

  // The recorder re-opens without Close, with other counts, while the input thread polls.
  params.Config.Inputs = 2;
  params.Config.Outputs = 0;
  ASSERT_TRUE(driver.Open(&debug, &allocator, &params));
  korvalt::ICaptureIOApi* fresh = driver.GetCaptureIO();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->GetInputCount(), 2u);
  EXPECT_EQ(fresh->GetOutputCount(), 0u);
  EXPECT_FALSE(fresh->SetOutput(0, korvalt::ipcapture::kIOStateOn))
      << "the I/O object of the first Open was stopped and replaced";
  const size_t polls = Polls(camera);
  EXPECT_EQ(events.Failures(), 0u) << "stopping is no camera failure";

  // Nothing of the first Open polls any more: the new object polls only once it is started.
  ASSERT_TRUE(fresh->SetIOSink(&events));
  dynamic_cast<korvalt::CIOBase*>(fresh)->SetPeriod(korvalt::thread::CTickerThread::kDefaultPeriodMs);
  ASSERT_TRUE(fresh->Start());
  EXPECT_EQ(Polls(camera), polls + 1);
  EXPECT_TRUE(fresh->Stop());
  driver.Close();
}

}  // namespace
