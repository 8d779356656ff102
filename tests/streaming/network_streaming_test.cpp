// Live video through the module's exports over imperfect networks, against the simulator: UDP
// that never arrives (RTP inside the RTSP connection instead), cameras that refuse that, cameras
// that serve TCP only, and cameras that restart.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "media/channels/supervision_intervals.h"
#include "streaming/decoding_sink.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using Clock = testsupport::SteadyClock;
using testsupport::DecodingSink;
using testsupport::Eventually;
using testsupport::MsSince;

constexpr const char* kOverTcp = "Camera 127.0.0.1 streams over TCP (RTP inside the RTSP connection)";
constexpr const char* kOverUdp = "Camera 127.0.0.1 streams over UDP";

class NetworkStreaming : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
  }

  void StartCamera(std::vector<std::string> extraArgs) {
    testsupport::CamsimOptions options;
    options.Rtsp = true;
    options.ExtraArgs = std::move(extraArgs);
    Camera = std::make_unique<testsupport::Camsim>(options);
    ASSERT_TRUE(Camera->Ok());
  }

  ipc::IIPVideoCapture* OpenDriver() {
    Params.Config.Address = "127.0.0.1";
    Params.Config.Port = Camera->HttpPort();
    Params.Config.UserName = "admin";
    Params.Config.Password = "secret";
    Params.Config.CodecType = ipc::kCodecTypeH264;
    Params.Config.Channels = 1;
    Driver = Module.Create();
    EXPECT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
    return Driver->GetVideoCapture();
  }

  void TearDown() override {
    if (Driver != nullptr) {
      const auto start = Clock::now();
      Module.Delete(Driver);
      EXPECT_LT(MsSince(start), 1000) << "deleting the driver must be prompt";
    }
    EXPECT_EQ(Allocator.Created.load(), Allocator.Released.load());
  }

  size_t Decoded(DecodingSink& sink, size_t* errors = nullptr) {
    std::lock_guard<std::mutex> guard(sink.Lock);
    if (errors != nullptr) *errors = sink.DecodeErrors;
    return sink.Frames;
  }

  size_t ErrorLines(const std::string& needle) {
    size_t n = 0;
    for (const auto& line : Debug.Lines())
      if (line.Level == ipc::kDebugLevelError && line.Text.find(needle) != std::string::npos) ++n;
    return n;
  }

  std::unique_ptr<testsupport::Camsim> Camera;
  DecodingSink Frames;  // outlives the driver: TearDown deletes the driver first
  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  hostkit::DeviceParams Params;
  ipc::IIPCaptureDriverEx3* Driver = nullptr;
  hostkit::ChannelSettings Settings{40, 60, 320, 240};
};

TEST_F(NetworkStreaming, BlockedUdpStreamsOverTcpWithKeepAlivesAmongTheFrames) {
  // A 4-second session: OPTIONS every 2 s go out and come back among the frames.
  StartCamera({"--udp-blocked", "--session-timeout", "4"});
  auto* capture = OpenDriver();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(10, 20000));
  EXPECT_EQ(Debug.Count(kOverTcp), 1u);
  EXPECT_EQ(Debug.Count("no RTP arrived over UDP within 5000 ms after PLAY"), 1u);
  const size_t before = Decoded(Frames);
  // Past two keep-alives and the camera's session time-out.
  ASSERT_TRUE(Frames.WaitFrames(before + 150, 20000));
  size_t errors = 0;
  EXPECT_GT(Decoded(Frames, &errors), before);
  EXPECT_EQ(errors, 0u) << "every picture decodes";
  int32_t state = -1, reserved = 0;
  ASSERT_TRUE(capture->GetChannelState(0, &state, &reserved, nullptr, 0));
  EXPECT_EQ(state, ipc::kChannelStateStreaming);
  EXPECT_EQ(Debug.Count("Signal was lost"), 0u);
  const auto stopStart = Clock::now();
  EXPECT_TRUE(capture->StopChannel(0));
  EXPECT_LT(MsSince(stopStart), 1000);

  // The driver keeps TCP for this camera: the next start streams at once, without the fallback.
  Frames.Reset();
  const auto restart = Clock::now();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(3, 20000));
  EXPECT_LT(MsSince(restart), 4000);
  EXPECT_EQ(Debug.Count("chosen earlier for this camera (no RTP arrived over UDP within 5000 ms after PLAY)"),
            1u);
}

TEST_F(NetworkStreaming, CameraRefusingTcpWithWorkingUdpStaysOnUdp) {
  StartCamera({"--tcp", "no"});
  auto* capture = OpenDriver();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(10, 20000));
  EXPECT_EQ(Debug.Count(kOverUdp), 1u);
  EXPECT_EQ(Debug.Count(kOverTcp), 0u);
}

TEST_F(NetworkStreaming, BlockedUdpAndRefusedTcpLoseTheSignalWithOneClearLine) {
  StartCamera({"--udp-blocked", "--tcp", "no"});
  auto* capture = OpenDriver();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  // GStreamer's reason phrase is "Unsupported transport".
  const std::string clear =
      "Camera 127.0.0.1 refuses RTP inside the RTSP connection (461 Unsupported transport) and no RTP "
      "arrived over UDP within 5000 ms after PLAY";
  ASSERT_TRUE(Eventually([&] { return ErrorLines(clear) == 1; }, 20000)) << [&] {
    std::string all;
    for (const auto& line : Debug.Lines()) all += std::to_string(line.Level) + " " + line.Text + "\n";
    return all;
  }();
  // The rest of the pass goes on over UDP; the camera is not asked for TCP again.
  ASSERT_TRUE(Eventually([&] { return Debug.Count("no picture from camera 127.0.0.1") >= 1; }, 20000));
  EXPECT_EQ(ErrorLines(clear), 1u);
  EXPECT_EQ(Decoded(Frames), 0u);
  int32_t state = -1, reserved = 0;
  ASSERT_TRUE(capture->GetChannelState(0, &state, &reserved, nullptr, 0));
  EXPECT_EQ(state, ipc::kChannelStateSignalLost);
  const auto stopStart = Clock::now();
  EXPECT_TRUE(capture->StopChannel(0));
  EXPECT_LT(MsSince(stopStart), 1000);
}

TEST_F(NetworkStreaming, ServerOfferingTcpOnlyIsStreamedFrom) {
  // GStreamer's RTSP server with TCP as its only transport answers a UDP SETUP with 461.
  StartCamera({"--tcp", "only"});
  auto* capture = OpenDriver();
  const auto start = Clock::now();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(10, 20000));
  EXPECT_LT(MsSince(start), 8000) << "no fallback time is spent on a camera that says it has no UDP";
  size_t errors = 0;
  Decoded(Frames, &errors);
  EXPECT_EQ(errors, 0u);
  // The worker reports the transport when it wakes to the first picture, which may be after ten.
  const std::string tcpLine =
      "streams over TCP (RTP inside the RTSP connection): the camera refuses RTP over UDP";
  EXPECT_TRUE(Eventually([&] { return Debug.Count(tcpLine) >= 1; }, 5000));
  EXPECT_EQ(Debug.Count(tcpLine), 1u);
}

// The number after "name=" in a /sim/state reply; -1 when absent.
long long StateValue(const std::string& state, const std::string& name) {
  const size_t at = state.find(name + "=");
  return at == std::string::npos ? -1 : std::stoll(state.substr(at + name.size() + 1));
}

TEST_F(NetworkStreaming, LostDatagramsAreReportedWithFiguresNearTheTruth) {
  constexpr int kReportMs = 2000;
  setenv(korvalt::SupervisionIntervals::kLossReportVariable, std::to_string(kReportMs).c_str(), 1);
  StartCamera({"--udp-loss", "2", "--seed", "7"});
  auto* capture = OpenDriver();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(5, 20000));
  const std::string before = Camera->SimGet("/sim/state");
  const size_t deliveredBefore = Decoded(Frames);
  const auto start = Clock::now();
  ASSERT_TRUE(Eventually(
      [&] { return Debug.Count("korvalt::CBaseRTPChannel::ReportLoss: Camera 127.0.0.1: lost ") >= 3; },
      20000));
  const std::string after = Camera->SimGet("/sim/state");
  const size_t delivered = Decoded(Frames) - deliveredBefore;
  const double seconds = static_cast<double>(MsSince(start)) / 1000;
  EXPECT_TRUE(capture->StopChannel(0));

  unsigned long long lost = 0, expected = 0, pictures = 0, kernel = 0, windows = 0;
  for (const auto& line : Debug.Lines()) {
    unsigned long long l = 0, e = 0, p = 0, k = 0, w = 0;
    double share = 0;
    const size_t at = line.Text.find(": lost ");
    if (at == std::string::npos) continue;
    ASSERT_EQ(line.Level, ipc::kDebugLevelInformation);
    ASSERT_EQ(
        std::sscanf(line.Text.c_str() + at,
                    ": lost %llu of %llu RTP packets (%lf %%), dropped %llu pictures, kernel dropped %llu "
                    "datagrams in the last %llu s",
                    &l, &e, &share, &p, &k, &w),
        6)
        << line.Text;
    lost += l;
    expected += e;
    pictures += p;
    kernel += k;
    windows += w;
  }
  ASSERT_GT(expected, 0u);
  const double sent = static_cast<double>(StateValue(after, "rtp_udp_sent"));
  const double dropped = static_cast<double>(StateValue(after, "rtp_udp_dropped"));
  ASSERT_GT(dropped, 0);
  const double trueShare = dropped / sent;
  const double reportedShare = static_cast<double>(lost) / static_cast<double>(expected);
  EXPECT_GT(reportedShare, trueShare / 2)
      << lost << " of " << expected << " against " << dropped << " of " << sent;
  EXPECT_LT(reportedShare, trueShare * 2)
      << lost << " of " << expected << " against " << dropped << " of " << sent;
  // Pictures the camera sent that the host did not get, per second, against those reported.
  const double framesSent =
      static_cast<double>(StateValue(after, "frames_sent") - StateValue(before, "frames_sent"));
  const double trueRate = (framesSent - static_cast<double>(delivered)) / seconds;
  const double reportedRate = static_cast<double>(pictures) / static_cast<double>(windows);
  EXPECT_GT(reportedRate, trueRate / 2) << pictures << " in " << windows << " s";
  EXPECT_LT(reportedRate, trueRate * 2) << pictures << " in " << windows << " s";
  EXPECT_EQ(kernel, 0u);
}

// The figures of every loss line so far, summed.
struct LossTotals {
  unsigned long long Lost = 0, Expected = 0, Late = 0, Duplicates = 0;
};

LossTotals SumLossLines(const std::vector<hostkit::DebugLine>& lines) {
  LossTotals sum;
  for (const auto& line : lines) {
    const size_t at = line.Text.find(": lost ");
    if (at == std::string::npos) continue;
    unsigned long long l = 0, e = 0, p = 0, k = 0, w = 0, late = 0, twice = 0;
    double share = 0;
    EXPECT_EQ(
        std::sscanf(line.Text.c_str() + at,
                    ": lost %llu of %llu RTP packets (%lf %%), dropped %llu pictures, kernel dropped %llu "
                    "datagrams in the last %llu s; dropped %llu late and %llu duplicate RTP packets",
                    &l, &e, &share, &p, &k, &w, &late, &twice),
        8)
        << line.Text;
    sum.Lost += l;
    sum.Expected += e;
    sum.Late += late;
    sum.Duplicates += twice;
  }
  return sum;
}

TEST_F(NetworkStreaming, ReorderedAndDoubledDatagramsLoseNoPictureAndAreCountedTruly) {
  setenv(korvalt::SupervisionIntervals::kLossReportVariable, "2000", 1);
  StartCamera({"--reorder", "5", "--duplicate", "3", "--seed", "7"});
  auto* capture = OpenDriver();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(5, 20000));
  const std::string before = Camera->SimGet("/sim/state");
  const size_t decodedBefore = Decoded(Frames);
  // About 300 pictures.
  ASSERT_TRUE(Eventually(
      [&] {
        return StateValue(Camera->SimGet("/sim/state"), "frames_sent") - StateValue(before, "frames_sent") >=
               300;
      },
      30000));
  const std::string after = Camera->SimGet("/sim/state");
  // Pictures on their way (the reorder stage holds a packet for at most 50 ms) come in meanwhile.
  const size_t sentThen =
      static_cast<size_t>(StateValue(after, "frames_sent") - StateValue(before, "frames_sent"));
  Eventually([&] { return Decoded(Frames) - decodedBefore >= sentThen; }, 2000);
  size_t errors = 0;
  const size_t decoded = Decoded(Frames, &errors) - decodedBefore;
  EXPECT_TRUE(capture->StopChannel(0));
  RecordProperty("decoded", std::to_string(decoded) + " of " + std::to_string(sentThen));
  EXPECT_GE(static_cast<double>(decoded), 0.99 * static_cast<double>(sentThen))
      << decoded << " of " << sentThen;
  EXPECT_EQ(errors, 0u);
  ASSERT_GT(StateValue(after, "rtp_udp_reordered"), 0);
  const long long doubled = StateValue(Camera->SimGet("/sim/state"), "rtp_udp_duplicated");
  ASSERT_GT(doubled, 0);
  const LossTotals totals = SumLossLines(Debug.Lines());
  EXPECT_EQ(totals.Lost, 0u);
  EXPECT_EQ(totals.Late, 0u);
  // Every datagram sent twice arrived twice over loopback.
  EXPECT_EQ(totals.Duplicates, static_cast<unsigned long long>(doubled));
}

TEST_F(NetworkStreaming, LossAmongReorderedDatagramsIsReportedWithinATenth) {
  setenv(korvalt::SupervisionIntervals::kLossReportVariable, "2000", 1);
  StartCamera({"--udp-loss", "2", "--reorder", "5", "--duplicate", "3", "--seed", "11"});
  auto* capture = OpenDriver();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(5, 20000));
  ASSERT_TRUE(
      Eventually([&] { return StateValue(Camera->SimGet("/sim/state"), "rtp_udp_dropped") >= 100; }, 60000));
  EXPECT_TRUE(capture->StopChannel(0));  // the last line gives what the others left
  const std::string state = Camera->SimGet("/sim/state");
  const double trueShare = static_cast<double>(StateValue(state, "rtp_udp_dropped")) /
                           static_cast<double>(StateValue(state, "rtp_udp_sent"));
  const LossTotals totals = SumLossLines(Debug.Lines());
  ASSERT_GT(totals.Expected, 0u);
  const double reportedShare = static_cast<double>(totals.Lost) / static_cast<double>(totals.Expected);
  RecordProperty("shares",
                 std::to_string(reportedShare) + " reported, " + std::to_string(trueShare) + " true");
  EXPECT_NEAR(reportedShare, trueShare, trueShare / 10)
      << totals.Lost << " of " << totals.Expected << " against " << state;
  EXPECT_GT(totals.Duplicates, 0u);
}

struct RestartCase {
  const char* Name;
  std::vector<std::string> Args;
};

class CameraRestart : public NetworkStreaming, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(CameraRestart, PicturesAgainWithinFiveSecondsOfTheCamerasReturn) {
  StartCamera(GetParam().Args);
  auto* capture = OpenDriver();
  ASSERT_TRUE(capture->StartChannel(0, &Frames.Sink, &Settings));
  ASSERT_TRUE(Frames.WaitFrames(5, 20000));

  // The streaming service restarts: every RTSP connection closes, HTTP stays.
  Frames.Reset();
  EXPECT_EQ(Camera->SimGet("/sim/rtsp?act=close"), "closed=1\r\n");
  const auto closed = Clock::now();
  ASSERT_TRUE(Frames.WaitFrames(3, 10000));
  EXPECT_LT(MsSince(closed), 5000);

  // The whole camera goes away and comes back.
  Camera->Kill();
  ASSERT_TRUE(Camera->Restart());
  Frames.Reset();
  const auto back = Clock::now();
  ASSERT_TRUE(Frames.WaitFrames(3, 15000));
  EXPECT_LT(MsSince(back), 5000);
  EXPECT_EQ(Debug.Count("Signal was lost"), 0u);
  size_t errors = 0;
  Decoded(Frames, &errors);
  EXPECT_EQ(errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, CameraRestart,
                         ::testing::Values(RestartCase{"Udp", {}}, RestartCase{"Tcp", {"--tcp", "only"}}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
