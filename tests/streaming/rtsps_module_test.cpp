// Video over RTSP over TLS through the module's exports: a driver whose CGI goes over HTTPS asks
// for its video over TLS with the same pinned key, and a camera that does not answer TLS gets
// plain RTSP with one line saying the video is unencrypted.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

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

int LogCount(testsupport::Camsim& camera, const std::string& name) {
  const std::string log = camera.SimGet("/sim/log");
  const size_t at = log.find(name + "=");
  return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + name.size() + 1);
}

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

  static testsupport::CamsimOptions CameraOptions() {
    testsupport::CamsimOptions options;
    options.Auth = "digest";
    options.Rtsp = true;
    options.Https = true;
    options.PlainHttp = false;
    options.Rtsps = true;
    return options;
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

  testsupport::Camsim Camera{CameraOptions()};
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
  EXPECT_GT(LogCount(Camera, "logins_rtsps"), 0);
  EXPECT_EQ(LogCount(Camera, "logins_rtsp"), 0);
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
  const int loginsAfterRefusal = LogCount(Camera, "logins_rtsps") + LogCount(Camera, "logins_https");
  std::this_thread::sleep_for(std::chrono::seconds(3));  // what the channel would do meanwhile
  EXPECT_EQ(Debug.Count("not the pinned key"), 1u) << "one line for the series";
  EXPECT_EQ(LogCount(Camera, "logins_rtsps") + LogCount(Camera, "logins_https"), loginsAfterRefusal);
  EXPECT_EQ(LogCount(Camera, "logins_rtsp"), 0);
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
  EXPECT_GT(LogCount(Camera, "logins_rtsp"), 0);
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

}  // namespace
