// Cameras' RTSP dialects through the exports: an H.265-only camera gets a clear word and the slow
// retry, and a keep-alive the camera answers with 454 reconnects at once.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "http/refusal_backoff.h"
#include "media/channels/supervision_intervals.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;

class SessionDialects : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
    setenv(korvalt::CRefusalBackoff::kFirstDelayVariable, "100", 1);
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
  }

  void TearDown() override {
    if (Driver != nullptr) Module.Delete(Driver);
  }

  void Open(uint16_t httpPort) {
    Params.Config.Address = "127.0.0.1";
    Params.Config.Port = httpPort;
    Params.Config.UserName = "admin";
    Params.Config.Password = "secret";
    Params.Config.CodecType = ipc::kCodecTypeH264;
    Params.Config.Channels = 1;
    Driver = Module.Create();
    ASSERT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
    ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
  }

  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  hostkit::DeviceParams Params;
  hostkit::FrameSink Frames;
  hostkit::ChannelSettings Settings{40, 60, 320, 240};
  ipc::IIPCaptureDriverEx3* Driver = nullptr;
};

TEST_F(SessionDialects, AnH265OnlyCameraIsToldOnceAndAskedAgainOnlySlowly) {
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H265/90000\r\na=control:trackID=0\r\n";
  const std::string describe =
      "RTSP/1.0 200 OK\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
      "\r\n\r\n" + sdp;
  testsupport::ScriptedTcpServer rtsp(
      testsupport::ScriptedTcpServer::Replies(std::vector<std::string>(50, describe)));
  testsupport::CamsimOptions options;
  options.RtspPort = rtsp.Port();
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  Open(camera.HttpPort());
  // 9 s here are 90 s at the back-off's real pace.
  std::this_thread::sleep_for(std::chrono::seconds(9));
  Module.Delete(Driver);
  Driver = nullptr;

  const std::vector<std::string> requests = rtsp.Requests();
  const auto count = [&](const std::string& method) {
    return std::count_if(requests.begin(), requests.end(),
                         [&](const std::string& r) { return r.rfind(method + " ", 0) == 0; });
  };
  EXPECT_EQ(count("SETUP"), 0) << "a track the channel cannot hand over is not set up";
  EXPECT_GE(count("DESCRIBE"), 3);
  EXPECT_LE(count("DESCRIBE"), 8) << "a retry per second would be 9";
  const std::string line =
      "korvalt::CBaseRTSPChannel::StartSession: camera 127.0.0.1 offers only H265/90000, the channel needs "
      "H264: set the camera's stream to H.264; next try in ";
  EXPECT_EQ(Debug.Count(line), 1u);
  for (const auto& l : Debug.Lines()) {
    if (l.Text.rfind(line, 0) == 0) {
      EXPECT_EQ(l.Level, ipc::kDebugLevelError);
    }
  }
  EXPECT_EQ(Frames.Frames.load(), 0u);
}

TEST_F(SessionDialects, AKeepAliveAnsweredWith454ReconnectsAtOnce) {
  testsupport::CamsimOptions options;
  options.Rtsp = true;
  options.ExtraArgs = {"--session-timeout", "4"};  // a keep-alive every 2 s
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  Open(camera.HttpPort());
  ASSERT_TRUE(testsupport::Eventually([&] { return Frames.Frames.load() >= 10; }, 30000));
  EXPECT_NE(camera.SimGet("/sim/sessions?act=drop"), "dropped=0\r\n");
  ASSERT_TRUE(testsupport::Eventually(
      [&] {
        return Debug.Count(
                   "korvalt::CBaseRTSPChannel::KeepAliveTick: camera 127.0.0.1: keep-alive OPTIONS "
                   "failed: 454") == 1;
      },
      10000));
  const uint64_t before = Frames.Frames.load();
  EXPECT_TRUE(testsupport::Eventually([&] { return Frames.Frames.load() >= before + 10; }, 15000));
  EXPECT_EQ(Debug.Count("Signal was lost"), 0u) << "reconnected before the signal-loss time-out";
  for (const auto& l : Debug.Lines()) {
    if (l.Text.find("keep-alive") != std::string::npos) {
      EXPECT_EQ(l.Level, ipc::kDebugLevelError);
    }
  }
}

}  // namespace
