// Live video through the module's exports, as a recorder drives it, against the simulator.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "media/channels/supervision_intervals.h"
#include "streaming/decoding_sink.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/decoder.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using testsupport::DecodingSink;
using Clock = testsupport::SteadyClock;
using testsupport::MsSince;

class StreamingThroughExports : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every start and restart of a channel probes its port pair, 2 s by default. Half a second
    // still lets two channels of one test configure the camera before either opens its session:
    // camsim rebuilds its stream at each profile request, and one that lands in another channel's
    // opening can bring its RTSP server down.
    setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "500", 1);
    ASSERT_TRUE(Camera.Ok());
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
  }

  korvalt::ipcapture::IIPCaptureDriverEx3* OpenDriver(int codec, int channels = 1) {
    Params.Config.Address = "127.0.0.1";
    Params.Config.Port = Camera.HttpPort();
    Params.Config.UserName = "admin";
    Params.Config.Password = "secret";
    Params.Config.CodecType = codec;
    Params.Config.Channels = channels;
    Driver = Module.Create();
    EXPECT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
    return Driver;
  }

  void TearDown() override {
    if (Driver != nullptr) {
      const auto start = Clock::now();
      Module.Delete(Driver);
      EXPECT_LT(MsSince(start), 1000) << "deleting the driver while streaming must be prompt";
    }
    EXPECT_EQ(Allocator.Created.load(), Allocator.Released.load()) << "every sample is released once";
  }

  int32_t State(uint32_t index) {
    int32_t state = -1;
    int32_t reserved = 0;
    EXPECT_TRUE(Driver->GetVideoCapture()->GetChannelState(index, &state, &reserved, nullptr, 0));
    return state;
  }

  static testsupport::CamsimOptions CameraOptions() {
    testsupport::CamsimOptions options;
    options.Auth = "digest";
    options.Rtsp = true;
    return options;
  }

  // Frame sinks outlive the driver, as a recorder's must: TearDown deletes the driver first.
  DecodingSink& NewSink() { return *Sinks.emplace_back(std::make_unique<DecodingSink>()); }

  testsupport::Camsim Camera{CameraOptions()};
  std::vector<std::unique_ptr<DecodingSink>> Sinks;
  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  hostkit::DeviceParams Params;
  korvalt::ipcapture::IIPCaptureDriverEx3* Driver = nullptr;
};

struct CodecCase {
  int CodecType;
  uint32_t KeyFourCC;
  uint32_t OtherFourCC;
};

void PrintTo(const CodecCase& c, std::ostream* os) {
  *os << "codec type " << c.CodecType;
}

class EveryCodec : public StreamingThroughExports, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(EveryCodec, DecodablePicturesOfTheRequestedSizeAndRestartWithNewSize) {
  const CodecCase c = GetParam();
  auto* capture = OpenDriver(c.CodecType)->GetVideoCapture();
  ASSERT_NE(capture, nullptr);
  DecodingSink& frames = NewSink();
  hostkit::ChannelSettings settings(40, 60, 320, 240);
  ASSERT_TRUE(capture->StartChannel(0, &frames.Sink, &settings));
  EXPECT_EQ(State(0), ipc::kChannelStateSignalLost) << "no picture before the first frame";
  ASSERT_TRUE(frames.WaitFrames(10, 20000));
  EXPECT_EQ(State(0), ipc::kChannelStateStreaming);
  {
    std::lock_guard<std::mutex> guard(frames.Lock);
    EXPECT_EQ(frames.DecodeErrors, 0u);
    for (size_t i = 0; i < frames.Frames; ++i) {
      EXPECT_TRUE(frames.FourCCs[i] == c.KeyFourCC || frames.FourCCs[i] == c.OtherFourCC)
          << hostkit::FourCCText(frames.FourCCs[i]);
      EXPECT_EQ(frames.Sizes[i], std::make_pair(320u, 240u));
    }
    EXPECT_EQ(frames.FourCCs.front(), c.KeyFourCC) << "a stream starts with a key frame";
    EXPECT_EQ(frames.DecodedSizes.back(), std::make_pair(320, 240));
  }
  EXPECT_EQ(Debug.Count("Camera 127.0.0.1 is online"), 1u);

  hostkit::PictureSize size(176, 144);
  frames.Reset();
  ASSERT_TRUE(capture->RestartChannel(0, &size, 40));
  ASSERT_TRUE(frames.WaitFrames(5, 20000));
  {
    std::lock_guard<std::mutex> guard(frames.Lock);
    EXPECT_EQ(frames.DecodeErrors, 0u);
    EXPECT_EQ(frames.Sizes.back(), std::make_pair(176u, 144u));
    EXPECT_EQ(frames.DecodedSizes.back(), std::make_pair(176, 144));
  }

  const auto start = Clock::now();
  EXPECT_TRUE(capture->StopChannel(0));
  EXPECT_LT(MsSince(start), 1000);
  const auto lines = Debug.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().Text,
            "korvalt::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is offline. Channel was stopped");
  for (const auto& line : lines) EXPECT_EQ(line.Text.find("Signal was lost"), std::string::npos) << line.Text;
  int32_t state = 0;
  int32_t reserved = 0;
  EXPECT_FALSE(capture->GetChannelState(0, &state, &reserved, nullptr, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, EveryCodec,
    ::testing::Values(CodecCase{ipc::kCodecTypeH264, hostkit::FourCC("H264"), hostkit::FourCC("I264")},
                      CodecCase{ipc::kCodecTypeMJPEG, hostkit::FourCC("JPEG"), hostkit::FourCC("JPEG")},
                      CodecCase{ipc::kCodecTypeMPEG4, hostkit::FourCC("DIVX"), hostkit::FourCC("DIVI")}),
    [](const auto& info) {
      return std::string(info.param.CodecType == ipc::kCodecTypeH264    ? "H264"
                         : info.param.CodecType == ipc::kCodecTypeMJPEG ? "MJPEG"
                                                                        : "MPEG4");
    });

TEST_F(StreamingThroughExports, StartTwiceOnOneIndexReplacesTheChannel) {
  auto* capture = OpenDriver(ipc::kCodecTypeH264)->GetVideoCapture();
  DecodingSink& first = NewSink();
  DecodingSink& second = NewSink();
  hostkit::ChannelSettings settings(40, 60, 320, 240);
  ASSERT_TRUE(capture->StartChannel(0, &first.Sink, &settings));
  ASSERT_TRUE(first.WaitFrames(3, 20000));
  ASSERT_TRUE(capture->StartChannel(0, &second.Sink, &settings));
  const size_t firstCount = [&] {
    std::lock_guard<std::mutex> guard(first.Lock);
    return first.Frames;
  }();
  ASSERT_TRUE(second.WaitFrames(3, 20000));
  std::lock_guard<std::mutex> guard(first.Lock);
  EXPECT_EQ(first.Frames, firstCount) << "the first channel was stopped before the second started";
}

TEST_F(StreamingThroughExports, DeletingTheDriverWhileStreamingIsPrompt) {
  auto* capture = OpenDriver(ipc::kCodecTypeMJPEG, 2)->GetVideoCapture();
  DecodingSink& a = NewSink();
  DecodingSink& b = NewSink();
  hostkit::ChannelSettings settings(100, 60, 176, 144);
  ASSERT_TRUE(capture->StartChannel(0, &a.Sink, &settings));
  ASSERT_TRUE(capture->StartChannel(1, &b.Sink, &settings));
  ASSERT_TRUE(a.WaitFrames(2, 20000));
  ASSERT_TRUE(b.WaitFrames(2, 20000));
  EXPECT_EQ(Debug.Count("Video-server 127.0.0.1 (channel 0) is online"), 1u);
  EXPECT_EQ(Debug.Count("Video-server 127.0.0.1 (channel 1) is online"), 1u);
  // TearDown deletes the driver and checks that it is prompt.
}

}  // namespace
