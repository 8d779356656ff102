// Credentials and HTTPS through the module's exports, over a driver's start with four channels,
// digital I/O and PTZ: a Digest camera sees no Basic login and no credentials before its challenge;
// a camera that serves its CGI over HTTPS only has its key reported by the capability query, a
// driver opened with that key streams and drives the outputs, and one opened with another key sends
// the camera nothing with credentials and streams nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "media/channels/supervision_intervals.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using namespace std::chrono_literals;

struct KEY_CASE {
  const char* Name;
  bool Https;     // TLS only, else plain HTTP
  bool RightKey;  // the driver is opened with the key the query reported
};

class CameraLogins : public ::testing::TestWithParam<KEY_CASE> {};

TEST_P(CameraLogins, OnlyTheReportedKeyServesAndNoCredentialsGoBeforeAChallenge) {
  const KEY_CASE& c = GetParam();
  const bool rightKey = c.RightKey;
  setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
  testsupport::TempDir presets;
  setenv("QUENLARK_PRESET_DIR", presets.Path().c_str(), 1);
  testsupport::CamsimOptions options;
  options.Auth = "digest";
  options.Rtsp = true;
  options.Https = c.Https;
  options.PlainHttp = !c.Https;
  options.Rtsps = c.Https;
  options.Ptz = true;
  options.Model = "QL-6250";
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  const uint16_t port = c.Https ? camera.HttpsPort() : camera.HttpPort();
  hostkit::Module module;
  ASSERT_TRUE(module.Load(QUENLARK_MODULE_PATH)) << module.Error();

  // The capability query, given the TLS port and nothing more, finds TLS and reports the key.
  hostkit::CapabilityCallback callback;
  hostkit::CapabilityResults results;
  ASSERT_EQ(module.InitQuery(&callback, 1), 1);
  ASSERT_EQ(module.StartQuery("127.0.0.1", port, "admin", "secret", &results), 1);
  ASSERT_TRUE(callback.Wait(30s));
  module.UninitQuery();
  ASSERT_TRUE(callback.Outcome().Succeeded());
  const auto report = results.Report();
  const auto* key = report.FindCustomParameter("TLS key SHA-256");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Value.value_or(""), c.Https ? camera.KeySha256() : "(none)");
  ASSERT_EQ(camera.SimGet("/sim/clear"), "ok\r\n");

  hostkit::DeviceParams params;
  params.Config.Port = port;
  params.Config.Model = "QL-6250";
  params.Config.Channels = 4;
  params.Config.UserName = "admin";
  params.Config.Password = "secret";
  params.Config.Inputs = 1;
  params.Config.Outputs = 1;
  for (const auto& [index, parameter] : report.CustomParameters)
    params.Config.Custom[index] = parameter.Value.value_or("");
  if (!rightKey) params.Config.Custom[ipc::kCustomParameterKeySha256] = std::string(64, 'e');
  // The camera's own RTSP over TLS port, not whatever may listen on the registered one here.
  if (c.Https) params.Config.Custom[ipc::kCustomParameterRtspsPort] = std::to_string(camera.RtspsPort());
  hostkit::DebugSink debug;
  hostkit::SampleAllocator allocator;
  hostkit::FrameSink frames[4];
  hostkit::ChannelSettings settings{40, 60, 320, 240};
  auto* driver = module.Create();
  ASSERT_TRUE(driver->Open(&debug, &allocator, &params));
  for (int channel = 0; channel < 4; ++channel)
    ASSERT_TRUE(driver->GetVideoCapture()->StartChannel(channel, &frames[channel], &settings));
  driver->GetCaptureIO()->Start();
  driver->GetCaptureIO()->SetOutput(0, ipc::kIOStateOn);
  ipc::IIPPTZApi* ptz = driver->GetPTZDriver()->GetPTZApi(1);
  ASSERT_NE(ptz, nullptr);
  ptz->Move(ipc::kPtzMoveLeft, 4);
  ptz->StopAll();
  const auto pictures = [&frames] {
    int64_t least = INT64_MAX;
    for (const auto& f : frames) least = std::min<int64_t>(least, f.Frames.load());
    return least;
  };

  if (rightKey) {
    EXPECT_TRUE(testsupport::Eventually([&] { return pictures() >= 5; }, 30000));
    EXPECT_TRUE(testsupport::Eventually(
        [&] { return camera.SimGet("/sim/state").find("out1=on") != std::string::npos; }, 10000));
    EXPECT_EQ(debug.Count("not the pinned key"), 0u);
    if (c.Https) {
      EXPECT_GT(debug.Count("streams over RTSP over TLS"), 0u);
    }
    EXPECT_TRUE(testsupport::Eventually(
        [&] { return camera.SimGet("/sim/log").find("ptz_move_cont.cgi") != std::string::npos; }, 10000));
    EXPECT_GT(camera.LogCount(c.Https ? "logins_https" : "logins_http"), 0);
  } else {
    EXPECT_TRUE(testsupport::Eventually([&] { return debug.Count("not the pinned key") > 0; }, 10000));
    std::this_thread::sleep_for(3s);  // what the channel and the I/O would do meanwhile
    EXPECT_EQ(pictures(), 0);
    EXPECT_EQ(debug.Count("not the pinned key"), 1u) << "one line for the series";
    EXPECT_EQ(camera.LogCount("logins_accepted") + camera.LogCount("logins_refused"), 0);
  }
  // Whatever the key, nothing with credentials before a challenge and no Basic; to a TLS camera,
  // nothing in plain HTTP.
  EXPECT_EQ(camera.LogCount("credentials_before_challenge"), 0);
  EXPECT_EQ(camera.LogCount("logins_basic"), 0);
  if (c.Https) {
    EXPECT_EQ(camera.LogCount("logins_http"), 0);
  }
  module.Delete(driver);
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraLogins,
                         ::testing::Values(KEY_CASE{"PlainDigest", false, true},
                                           KEY_CASE{"HttpsPinned", true, true},
                                           KEY_CASE{"HttpsAnotherKeyPinned", true, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
