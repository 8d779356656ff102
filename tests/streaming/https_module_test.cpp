// A camera that serves its CGI over HTTPS only, through the module's exports: the capability query
// reports the camera's key, a driver opened with it streams and drives the outputs, and a driver
// opened with another key sends the camera nothing with credentials and streams nothing.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "media/channels/supervision_intervals.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using namespace std::chrono_literals;

int LogCount(testsupport::Camsim& camera, const std::string& name) {
  const std::string log = camera.SimGet("/sim/log");
  const size_t at = log.find(name + "=");
  return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + name.size() + 1);
}

class HttpsOnlyCamera : public ::testing::TestWithParam<bool /*right key*/> {};

TEST_P(HttpsOnlyCamera, QueryReportsTheKeyAndOnlyThatKeyServes) {
  const bool rightKey = GetParam();
  setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
  testsupport::CamsimOptions options;
  options.Auth = "digest";
  options.Rtsp = true;
  options.Https = true;
  options.PlainHttp = false;
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  hostkit::Module module;
  ASSERT_TRUE(module.Load(QUENLARK_MODULE_PATH)) << module.Error();

  // The capability query, given the TLS port and nothing more, finds TLS and reports the key.
  hostkit::CapabilityCallback callback;
  hostkit::CapabilityResults results;
  ASSERT_EQ(module.InitQuery(&callback, 1), 1);
  ASSERT_EQ(module.StartQuery("127.0.0.1", camera.HttpsPort(), "admin", "secret", &results), 1);
  ASSERT_TRUE(callback.Wait(30s));
  module.UninitQuery();
  ASSERT_TRUE(callback.Outcome().Succeeded());
  const auto report = results.Report();
  const auto* key = report.FindCustomParameter("TLS key SHA-256");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Value.value_or(""), camera.KeySha256());
  ASSERT_EQ(camera.SimGet("/sim/clear"), "ok\r\n");

  hostkit::DeviceParams params;
  params.Config.Port = camera.HttpsPort();
  params.Config.UserName = "admin";
  params.Config.Password = "secret";
  params.Config.Inputs = 1;
  params.Config.Outputs = 1;
  for (const auto& [index, parameter] : report.CustomParameters)
    params.Config.Custom[index] = parameter.Value.value_or("");
  if (!rightKey) params.Config.Custom[ipc::kCustomParameterKeySha256] = std::string(64, 'e');
  hostkit::DebugSink debug;
  hostkit::SampleAllocator allocator;
  hostkit::FrameSink frames;
  hostkit::ChannelSettings settings{40, 60, 320, 240};
  auto* driver = module.Create();
  ASSERT_TRUE(driver->Open(&debug, &allocator, &params));
  ASSERT_TRUE(driver->GetVideoCapture()->StartChannel(0, &frames, &settings));
  driver->GetCaptureIO()->Start();
  driver->GetCaptureIO()->SetOutput(0, ipc::kIOStateOn);

  if (rightKey) {
    EXPECT_TRUE(testsupport::Eventually([&] { return frames.Frames.load() >= 5; }, 30000));
    EXPECT_TRUE(testsupport::Eventually(
        [&] { return camera.SimGet("/sim/state").find("out1=on") != std::string::npos; }, 10000));
    EXPECT_EQ(debug.Count("not the pinned key"), 0u);
    EXPECT_GT(LogCount(camera, "logins_https"), 0);
  } else {
    EXPECT_TRUE(testsupport::Eventually([&] { return debug.Count("not the pinned key") > 0; }, 10000));
    std::this_thread::sleep_for(3s);  // what the channel and the I/O would do meanwhile
    EXPECT_EQ(frames.Frames.load(), 0);
    EXPECT_EQ(debug.Count("not the pinned key"), 1u) << "one line for the series";
    EXPECT_EQ(LogCount(camera, "logins_accepted") + LogCount(camera, "logins_refused"), 0);
  }
  // Whatever the key, nothing with credentials before a challenge, no Basic, nothing in plain HTTP.
  EXPECT_EQ(LogCount(camera, "credentials_before_challenge"), 0);
  EXPECT_EQ(LogCount(camera, "logins_basic"), 0);
  EXPECT_EQ(LogCount(camera, "logins_http"), 0);
  module.Delete(driver);
}

INSTANTIATE_TEST_SUITE_P(Keys, HttpsOnlyCamera, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Pinned" : "AnotherKeyPinned"; });

}  // namespace
