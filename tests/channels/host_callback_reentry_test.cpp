// A recorder that stops or restarts a channel from inside the module's own callbacks: from the
// signal-loss call (the channel's worker) and from a frame delivery (its receive thread).

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "driver/ip_video_capture.h"
#include "media/channels/h264_channel_rtsp.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/fake_driver.h"
#include "support/process_threads.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using testsupport::Eventually;

constexpr int kProbeMs = 100;
constexpr int kLoopWaitMs = 100;
constexpr int kSignalLossMs = 400;

class ShortChannel : public korvalt::CH264ChannelRTSP {
 public:
  ShortChannel(uint32_t channelNumber, korvalt::IDriver* driver, ipc::IFrameSink* sink)
      : CH264ChannelRTSP(channelNumber, driver, sink) {
    Intervals.PortProbeMs = kProbeMs;
    Intervals.LoopWaitMs = kLoopWaitMs;
  }
};

class ShortChannelCreator : public korvalt::ICustomCreator {
 public:
  explicit ShortChannelCreator(korvalt::IDriver* driver) : Driver(driver) {}
  korvalt::ICameraChannel* CreateChannel(int index, ipc::IFrameSink* sink) override {
    ++Created;
    return new ShortChannel(static_cast<uint32_t>(index), Driver, sink);
  }
  std::atomic<int> Created{0};

 private:
  korvalt::IDriver* Driver;
};

// A frame sink whose calls run a reaction of the test; counts what it receives after the
// reaction stopped the channel, which must be nothing.
class ReactingSink final : public ipc::IFrameSink {
 public:
  QUENLARK_HOST_DESTRUCTOR
  std::function<void()> OnFrame;
  std::function<void()> OnSignalLost;
  std::atomic<bool> AcceptFrames{true};
  std::atomic<bool> Stopped{false};
  std::atomic<int> Frames{0};
  std::atomic<int> SignalLosses{0};
  std::atomic<int> CallsAfterStop{0};

  bool Deliver(ipc::IFrameSample*) override {
    if (Stopped.load()) ++CallsAfterStop;
    ++Frames;
    Run(OnFrame);
    return AcceptFrames.load();
  }
  void Reserved2() override {}
  void SignalLost() override {
    if (Stopped.load()) ++CallsAfterStop;
    ++SignalLosses;
    Run(OnSignalLost);
  }

 private:
  void Run(std::function<void()>& reaction) {
    std::function<void()> once;
    {
      std::lock_guard<std::mutex> guard(Lock);
      once.swap(reaction);
    }
    if (once) once();
  }
  std::mutex Lock;
};

enum class Callback { kSignalLost, kFrame };
enum class Reaction { kStop, kRestart };

struct Case {
  const char* Name;
  Callback From;
  Reaction Does;
};

class HostCallbackReentry : public ::testing::TestWithParam<Case> {};

// Every reaction returns at once, no call reaches the sink after a stop, a restart keeps one
// worker that streams again, and the capture object's later calls join what the callback left.
TEST_P(HostCallbackReentry, StopOrRestartFromInsideACallbackIsSafe) {
  const Case c = GetParam();
  testsupport::CamsimOptions options;
  options.Rtsp = true;
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  testsupport::FakeDriver driver;
  hostkit::SampleAllocator allocator;
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = camera.HttpPort();
  device.NetworkTimeout = 1000;
  device.SignalLossTimeout = kSignalLossMs;
  driver.SetDeviceInfo(device);
  driver.Allocator = &allocator;
  ShortChannelCreator creator(&driver);
  ReactingSink sink;
  const size_t threadsBefore = testsupport::ProcessThreads();
  {
    korvalt::CIPVideoCapture capture(&creator, 1);
    std::atomic<bool> reacted{false};
    std::atomic<bool> reactionResult{false};
    auto react = [&] {
      if (c.Does == Reaction::kStop) {
        reactionResult = capture.StopChannel(0);
        sink.Stopped = true;
      } else {
        hostkit::PictureSize size(320, 240);
        reactionResult = capture.RestartChannel(0, &size, 40);
      }
      reacted = true;
    };
    if (c.From == Callback::kSignalLost) {
      // Every frame refused: the signal counts as lost although the stream runs.
      sink.AcceptFrames = false;
      sink.OnSignalLost = react;
    } else {
      sink.OnFrame = react;
    }
    hostkit::ChannelSettings settings(40, 60, 320, 240);
    ASSERT_TRUE(capture.StartChannel(0, &sink, &settings));
    ASSERT_TRUE(Eventually([&] { return reacted.load(); }, 20000));
    EXPECT_TRUE(reactionResult.load());

    int32_t state = -1;
    int32_t reserved = 0;
    if (c.Does == Reaction::kStop) {
      EXPECT_FALSE(capture.GetChannelState(0, &state, &reserved, nullptr, 0)) << "the channel is gone";
    } else {
      // The same worker opens a new session with the new settings and delivers again.
      sink.AcceptFrames = true;
      const int framesAtRestart = sink.Frames.load();
      EXPECT_TRUE(Eventually(
          [&] {
            return capture.GetChannelState(0, &state, &reserved, nullptr, 0) &&
                   state == ipc::kChannelStateStreaming && sink.Frames.load() > framesAtRestart;
          },
          20000));
      EXPECT_EQ(creator.Created.load(), 1);
      EXPECT_TRUE(capture.StopChannel(0));
      sink.Stopped = true;
    }
  }
  // The capture object is gone: every thread of the channel was joined and nothing more came.
  EXPECT_EQ(sink.CallsAfterStop.load(), 0);
  EXPECT_EQ(testsupport::ProcessThreadsAfterJoins(threadsBefore), threadsBefore);
  EXPECT_EQ(allocator.Created.load(), allocator.Released.load());
  // The offline line of the stop is the last word on the camera: no "online" after it.
  const auto lines = driver.Lines();
  size_t lastOnline = 0;
  size_t lastStopped = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].Text.find("is online") != std::string::npos) lastOnline = i + 1;
    if (lines[i].Text.find("Channel was stopped") != std::string::npos) lastStopped = i + 1;
  }
  EXPECT_LE(lastOnline, lastStopped);
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, HostCallbackReentry,
    ::testing::Values(Case{"StopFromSignalLost", Callback::kSignalLost, Reaction::kStop},
                      Case{"RestartFromSignalLost", Callback::kSignalLost, Reaction::kRestart},
                      Case{"StopFromFrame", Callback::kFrame, Reaction::kStop},
                      Case{"RestartFromFrame", Callback::kFrame, Reaction::kRestart}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.Name); });

}  // namespace
