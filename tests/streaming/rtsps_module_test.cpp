// Video over RTSP over TLS through the module's exports: a driver whose CGI goes over HTTPS asks
// for its video over TLS with the same pinned key, and a camera that does not answer TLS gets
// plain RTSP with one line saying the video is unencrypted.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "driver/quenlark_camera_properties.h"
#include "media/channels/supervision_intervals.h"
#include "streaming/decoding_sink.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/scripted_tcp_server.h"
#include "support/tcp_relay.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using testsupport::DecodingSink;
using Clock = testsupport::SteadyClock;
using testsupport::MsSince;

constexpr const char* kTlsLine = "streams over RTSP over TLS";
constexpr const char* kPlainLine = "its video crosses the network unencrypted";
constexpr int kRtspsPortParameter = korvalt::ipcapture::kCustomParameterRtspsPort;
constexpr int kRtspsKeyParameter = korvalt::ipcapture::kCustomParameterRtspsKeySha256;
constexpr const char* kRefusedLine = "not the pinned key";

class RtspOverTlsModule : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
    ASSERT_TRUE(Camera.Ok());
    ASSERT_NE(Camera.RtspsPort(), 0);
    ASSERT_TRUE(Relay.Ok());
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
  }

  void TearDown() override {
    if (Driver != nullptr) {
      const auto start = Clock::now();
      Module.Delete(Driver);
      EXPECT_LT(MsSince(start), 1000) << "deleting the driver must be prompt";
    }
    EXPECT_EQ(Allocator.Created.load(), Allocator.Released.load());
  }

  // A driver of the HTTPS camera, pinned to its key, whose RTSP over TLS port is rtspsPort.
  ipc::IIPVideoCapture* Start(int codec, uint16_t rtspsPort, DecodingSink& frames) {
    Params.Config.Address = "127.0.0.1";
    Params.Config.Port = Camera.HttpsPort();
    Params.Config.UserName = "admin";
    Params.Config.Password = "secret";
    Params.Config.CodecType = codec;
    Params.Config.Custom = {{1, "0"},
                            {2, "(none)"},
                            {3, "(none)"},
                            {4, Camera.KeySha256()},
                            {kRtspsPortParameter, std::to_string(rtspsPort)}};
    Driver = Module.Create();
    EXPECT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
    auto* capture = Driver->GetVideoCapture();
    hostkit::ChannelSettings settings(40, 60, 320, 240);
    EXPECT_TRUE(capture->StartChannel(0, &frames.Sink, &settings));
    return capture;
  }

  void ExpectPromptStop(ipc::IIPVideoCapture* capture) {
    const auto start = Clock::now();
    EXPECT_TRUE(capture->StopChannel(0));
    EXPECT_LT(MsSince(start), 1000);
  }

  testsupport::Camsim Camera{testsupport::TlsCameraOptions()};
  testsupport::TcpRelay Relay{Camera.RtspsPort()};
  DecodingSink Frames;
  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  hostkit::DeviceParams Params;
  ipc::IIPCaptureDriverEx3* Driver = nullptr;
};

class EveryCodecOverTls : public RtspOverTlsModule, public ::testing::WithParamInterface<int> {};

TEST_P(EveryCodecOverTls, DecodablePicturesAndNothingInTheClear) {
  auto* capture = Start(GetParam(), Relay.Port(), Frames);
  ASSERT_TRUE(Frames.WaitFrames(10, 30000));
  {
    std::lock_guard<std::mutex> guard(Frames.Lock);
    EXPECT_EQ(Frames.DecodeErrors, 0u);
    EXPECT_EQ(Frames.DecodedSizes.back(), std::make_pair(320, 240));
  }
  ExpectPromptStop(capture);
  EXPECT_EQ(Debug.Count(kTlsLine), 1u);
  EXPECT_EQ(Debug.Count(kPlainLine), 0u);
  EXPECT_GT(Camera.LogCount("logins_rtsps"), 0);
  EXPECT_EQ(Camera.LogCount("logins_rtsp"), 0);
  // What anyone between recorder and camera could read: TLS records end to end.
  testsupport::ExpectNothingInTheClear(Relay);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EveryCodecOverTls,
                         ::testing::Values(ipc::kCodecTypeH264, ipc::kCodecTypeMJPEG, ipc::kCodecTypeMPEG4),
                         [](const auto& info) {
                           return std::string(info.param == ipc::kCodecTypeH264    ? "H264"
                                              : info.param == ipc::kCodecTypeMJPEG ? "MJPEG"
                                                                                   : "MPEG4");
                         });

TEST_F(RtspOverTlsModule, CameraThatDiesMidRecordIsReconnectedOverTls) {
  auto* capture = Start(ipc::kCodecTypeH264, Relay.Port(), Frames);
  ASSERT_TRUE(Frames.WaitFrames(5, 30000));
  Relay.CutMidRecord();
  EXPECT_TRUE(testsupport::Eventually([&] { return Debug.Count("closed the RTSP connection") > 0; }, 20000));
  Frames.Reset();
  EXPECT_TRUE(Frames.WaitFrames(5, 30000)) << "streams again after the reconnection";
  EXPECT_GE(Relay.Connections(), 2u);
  EXPECT_EQ(Debug.Count(kPlainLine), 0u) << "TLS that worked is never given up";
  ExpectPromptStop(capture);
}

TEST_F(RtspOverTlsModule, CameraRestartedWithAnotherKeyGetsNothingAndOneLine) {
  auto* capture = Start(ipc::kCodecTypeH264, Relay.Port(), Frames);
  ASSERT_TRUE(Frames.WaitFrames(5, 30000));
  const std::string oldKey = Camera.KeySha256();
  ASSERT_TRUE(Camera.Restart());
  ASSERT_NE(Camera.KeySha256(), oldKey);
  EXPECT_TRUE(testsupport::Eventually([&] { return Debug.Count("not the pinned key") > 0; }, 30000));
  const int loginsAfterRefusal = Camera.LogCount("logins_rtsps") + Camera.LogCount("logins_https");
  std::this_thread::sleep_for(std::chrono::seconds(3));  // what the channel would do meanwhile
  EXPECT_EQ(Debug.Count("not the pinned key"), 1u) << "one line for the series";
  EXPECT_EQ(Camera.LogCount("logins_rtsps") + Camera.LogCount("logins_https"), loginsAfterRefusal);
  EXPECT_EQ(Camera.LogCount("logins_rtsp"), 0);
  EXPECT_EQ(Debug.Count(kPlainLine), 0u);
  ExpectPromptStop(capture);
}

TEST_F(RtspOverTlsModule, SilentTlsPortGivesPlainRtspWithOneLineAndStopsPromptlyMeanwhile) {
  testsupport::ScriptedTcpServer silent([](auto& c) { c.StaySilent(); });
  // Stopped while the handshake waits for a camera that never answers.
  auto* capture = Start(ipc::kCodecTypeH264, silent.Port(), Frames);
  ASSERT_TRUE(testsupport::Eventually([&] { return silent.ConnectionCount() > 0; }, 30000));
  ExpectPromptStop(capture);
  EXPECT_EQ(Debug.Count(kPlainLine), 0u) << "a stop is no answer";

  hostkit::ChannelSettings settings(40, 60, 320, 240);
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &settings));
  ASSERT_TRUE(Frames.WaitFrames(5, 40000));
  EXPECT_EQ(Debug.Count(kPlainLine), 1u);
  EXPECT_EQ(Debug.Count(kTlsLine), 0u);
  EXPECT_GT(Camera.LogCount("logins_rtsp"), 0);
  // Kept for the driver's life: a restart goes to plain RTSP at once, without a second line.
  ASSERT_TRUE(capture->StopChannel(0));
  const size_t tries = silent.ConnectionCount();
  Frames.Reset();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &settings));
  ASSERT_TRUE(Frames.WaitFrames(5, 30000));
  EXPECT_EQ(silent.ConnectionCount(), tries);
  EXPECT_EQ(Debug.Count(kPlainLine), 1u);
  ExpectPromptStop(capture);
}

// A camera whose RTSP over TLS port presents another key than its HTTPS: the capability query
// reports that key, and a driver given it back streams over TLS; without it the video is refused.
TEST(RtspOverTlsVideoKey, QueryReportsTheVideoPortsOwnKeyAndTheDriverPinsIt) {
  setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
  for (const bool ownKey : {false, true}) {
    SCOPED_TRACE(ownKey ? "own key" : "the HTTPS key");
    testsupport::CamsimOptions options = testsupport::TlsCameraOptions();
    if (ownKey) options.ExtraArgs = {"--rtsps-own-key"};
    testsupport::Camsim camera(options);
    ASSERT_TRUE(camera.Ok());
    ASSERT_EQ(camera.VideoKeySha256().empty(), !ownKey);

    korvalt::DEVICE_INFO device;
    device.Address = "127.0.0.1";
    device.Port = camera.HttpsPort();
    device.UserName = "admin";
    device.Password = "secret";
    device.Login = std::make_shared<korvalt::CCameraLogin>();
    korvalt::CQuenlarkCameraProperties query(device);
    query.UseRtspsPort(camera.RtspsPort());
    ASSERT_TRUE(query.QueryProperties(nullptr));
    EXPECT_EQ(query.KeySha256(), camera.KeySha256());
    EXPECT_EQ(query.VideoKeySha256(), camera.VideoKeySha256()) << "reported only when it differs";

    for (const bool pinVideo : {true, false}) {
      if (!ownKey && !pinVideo) continue;
      SCOPED_TRACE(pinVideo ? "video key pinned" : "no video pin");
      hostkit::Module module;
      ASSERT_TRUE(module.Load(QUENLARK_MODULE_PATH)) << module.Error();
      hostkit::DebugSink debug;
      hostkit::SampleAllocator allocator;
      DecodingSink frames;
      hostkit::DeviceParams params;
      params.Config.Address = "127.0.0.1";
      params.Config.Port = camera.HttpsPort();
      params.Config.UserName = "admin";
      params.Config.Password = "secret";
      params.Config.CodecType = ipc::kCodecTypeH264;
      params.Config.Custom = {{1, "0"},
                              {2, "(none)"},
                              {3, "(none)"},
                              {4, query.KeySha256()},
                              {kRtspsPortParameter, std::to_string(camera.RtspsPort())}};
      if (pinVideo) params.Config.Custom[kRtspsKeyParameter] = ownKey ? query.VideoKeySha256() : "(none)";
      const int loginsBefore = camera.LogCount("logins_rtsps");
      auto* driver = module.Create();
      ASSERT_TRUE(driver->Open(&debug, &allocator, &params));
      auto* capture = driver->GetVideoCapture();
      hostkit::ChannelSettings settings(40, 60, 320, 240);
      ASSERT_TRUE(capture->StartChannel(0, &frames.Sink, &settings));
      if (pinVideo) {
        EXPECT_TRUE(frames.WaitFrames(5, 30000));
        EXPECT_EQ(debug.Count(kTlsLine), 1u);
        EXPECT_EQ(debug.Count(kRefusedLine), 0u);
      } else {
        EXPECT_TRUE(testsupport::Eventually([&] { return debug.Count(kRefusedLine) > 0; }, 30000));
        EXPECT_EQ(camera.LogCount("logins_rtsps"), loginsBefore) << "nothing sent to a refused key";
      }
      module.Delete(driver);
      EXPECT_EQ(allocator.Created.load(), allocator.Released.load());
    }
  }
}

// The query's handshake with a video port that accepts and says nothing ends at the host's cancel,
// not at the network time-out.
TEST(RtspOverTlsVideoKey, QueryCancelledDuringASilentHandshakeReturnsPromptly) {
  testsupport::Camsim camera(testsupport::TlsCameraOptions());
  ASSERT_TRUE(camera.Ok());
  testsupport::ScriptedTcpServer silent([](auto& c) { c.StaySilent(); });
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = camera.HttpsPort();
  device.UserName = "admin";
  device.Password = "secret";
  device.NetworkTimeout = 60000;
  device.Login = std::make_shared<korvalt::CCameraLogin>();
  korvalt::CQuenlarkCameraProperties query(device);
  query.UseRtspsPort(silent.Port());
  std::thread asking([&] { query.QueryProperties(nullptr); });
  ASSERT_TRUE(testsupport::Eventually([&] { return silent.ConnectionCount() > 0; }, 30000));
  const auto start = Clock::now();
  query.CancelRequest();
  asking.join();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(query.VideoKeySha256().empty());
}

}  // namespace
