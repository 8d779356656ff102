// The simulated camera's picture follows its PTZ state, so a recorder sees a move: pictures
// taken through the module before and after a pan and zoom differ.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "ptz/ptz_fixture.h"
#include "tools/hostkit/decoder.h"

namespace ptztest {
namespace {

namespace ipc = korvalt::ipcapture;

// Keeps the mean luma of the latest picture, decoded on the module's receive thread.
class LumaSink {
 public:
  LumaSink() : Sink([this](const hostkit::FrameSample& sample) { return OnFrame(sample); }) {}

  bool OnFrame(const hostkit::FrameSample& sample) {
    std::lock_guard<std::mutex> guard(Lock);
    if (!Decoder) Decoder = std::make_unique<hostkit::Decoder>(sample.FourCC);
    if (Decoder->Decode(sample.Data.data(), sample.DataSize)) {
      Luma = Decoder->MeanLuma();
      ++Frames;
      Changed.notify_all();
    }
    return true;
  }

  // Mean luma of a picture that arrived after count further pictures; -1 on time-out.
  double After(size_t count) {
    std::unique_lock<std::mutex> guard(Lock);
    const size_t target = Frames + count;
    if (!Changed.wait_for(guard, std::chrono::seconds(10), [&] { return Frames >= target; })) return -1;
    return Luma;
  }

  hostkit::FrameSink Sink;

 private:
  std::mutex Lock;
  std::condition_variable Changed;
  std::unique_ptr<hostkit::Decoder> Decoder;
  double Luma = -1;
  size_t Frames = 0;
};

class CameraViewThroughExports : public PtzThroughExports {
 protected:
  // SMPTE bars: panning and zooming change how much of each bar is seen.
  static testsupport::CamsimOptions StreamingOptions() {
    testsupport::CamsimOptions options = CameraOptions();
    options.Rtsp = true;
    options.ExtraArgs = {"--pattern", "smpte"};
    return options;
  }
  void SetUp() override {
    PtzThroughExports::SetUp();
    ASSERT_TRUE(StreamingCamera.Ok());
  }

  testsupport::Camsim StreamingCamera{StreamingOptions()};
};

TEST_F(CameraViewThroughExports, PanAndZoomChangeThePicture) {
  Params.Config.CodecType = ipc::kCodecTypeMJPEG;  // every picture decodes on its own
  Params.Config.Address = "127.0.0.1";
  Params.Config.Port = StreamingCamera.HttpPort();
  Params.Config.Channels = 1;
  Params.Config.Custom = {{ipc::kCustomParameterVideoStandard, "0"},
                          {ipc::kCustomParameterFirmware, "1.10"},
                          {ipc::kCustomParameterMacAddress, kMac}};
  Driver = Module.Create();
  ASSERT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
  LumaSink sink;
  hostkit::ChannelSettings settings(40, 60, 320, 240);
  ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &sink.Sink, &settings));
  const double before = sink.After(3);
  ASSERT_GE(before, 0) << "no picture arrived";

  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  ASSERT_EQ(ptz->Move(ipc::kPtzMoveRight, 16), ipc::kPtzSuccess);
  ASSERT_EQ(ptz->ZoomIn(16), ipc::kPtzSuccess);
  const double during = sink.After(50);  // about two seconds of moving at 25 pictures a second
  ASSERT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
  const double after = sink.After(10);
  const double later = sink.After(10);
  EXPECT_GT(std::fabs(after - before), 5.0) << before << " " << during << " " << after;
  EXPECT_LT(std::fabs(later - after), 1.0) << "after the stop the view stays";
  EXPECT_TRUE(Driver->GetVideoCapture()->StopChannel(0));
  DeleteDriver();
}

}  // namespace
}  // namespace ptztest
