// The input poll against a camera that refuses the credentials: logins only at the camera's turns,
// one line, and a try at once after Stop and Start.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/camera_login.h"
#include "io/digital_io.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/fake_driver.h"
#include "tools/hostkit/io_sink.h"

namespace {

constexpr uint32_t kPeriodMs = 10;
constexpr int kTicks = 100;

size_t Refused(testsupport::Camsim& camera) {
  const std::string log = camera.SimGet("/sim/log");
  size_t n = 0;
  for (size_t at = log.find("login=refused http GET /config/io.cgi\r"); at != std::string::npos;
       at = log.find("login=refused http GET /config/io.cgi\r", at + 1))
    ++n;
  return n;
}

TEST(InputPollBackoff, RefusedPollsWaitForTheCamerasTurnAndAStopStartsAfresh) {
  testsupport::CamsimOptions options;
  options.Auth = "basic";
  options.Outputs = 0;
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  testsupport::FakeDriver driver;
  driver.IOCounts = {1, 0};
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = camera.HttpPort();
  device.NetworkTimeout = 1000;
  device.UserName = "admin";
  device.Password = "Wr0ng-Pass";
  // The driver's schedule at a fiftieth of its times: waits of 0.2 s, then 1.2 s.
  device.Login = std::make_shared<korvalt::CCameraLogin>(20);
  driver.SetDeviceInfo(device);
  auto io = std::make_unique<korvalt::CDigitalIO>(&driver);
  hostkit::IOEventSink sink;
  io->SetIOSink(&sink);
  io->SetPeriod(kPeriodMs);

  ASSERT_TRUE(io->Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(kTicks * kPeriodMs));
  ASSERT_TRUE(io->Stop());
  // A poll per tick would be a hundred logins; the camera's turns leave two.
  const size_t first = Refused(camera);
  EXPECT_GE(first, 1u);
  EXPECT_LE(first, 3u);
  EXPECT_EQ(driver.Count("refused the credentials"), 1u);
  EXPECT_EQ(driver.Count("korvalt::CDigitalIO::PollInputs: camera 127.0.0.1 refused the credentials of user "
                         "\"admin\" (request \"/config/io.cgi\"); next try in 0.2 s"),
            1u);
  EXPECT_EQ(sink.Failures(), 0u) << "a refused poll changes nothing, as any failed poll";

  // Started again, the object polls at once; the series goes on, so no second line.
  ASSERT_TRUE(io->Start());
  EXPECT_EQ(Refused(camera), first + 1);
  EXPECT_EQ(driver.Count("refused the credentials"), 1u);
  const auto stopStart = std::chrono::steady_clock::now();
  ASSERT_TRUE(io->Stop());
  EXPECT_LT(testsupport::MsSince(stopStart), 500);
}

}  // namespace
