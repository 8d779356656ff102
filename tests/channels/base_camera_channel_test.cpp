// A channel made while the process has no descriptor left: it has no stop event, and its start
// and restart must fail without running a worker that could not be stopped.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "media/channels/h264_channel_rtsp.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/video.h"

namespace {

// While it exists, the process cannot open one more descriptor: the soft limit is lowered to
// the lowest free descriptor number, the one the next open would get.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    Valid = ::getrlimit(RLIMIT_NOFILE, &Saved) == 0;
    const int lowestFree = ::dup(STDERR_FILENO);
    if (lowestFree < 0) Valid = false;
    if (!Valid) return;
    ::close(lowestFree);
    rlimit lowered = Saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    Valid = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorsExhausted() {
    if (Valid) ::setrlimit(RLIMIT_NOFILE, &Saved);
  }
  DescriptorsExhausted(const DescriptorsExhausted&) = delete;
  DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

  bool Ok() const { return Valid; }

 private:
  rlimit Saved{};
  bool Valid = false;
};

TEST(BaseCameraChannel, AChannelMadeWithoutDescriptorsFailsToStartAndStopsQuietly) {
  testsupport::FakeDriver driver;
  hostkit::FrameSink frames;
  std::unique_ptr<korvalt::CH264ChannelRTSP> channel;
  {
    DescriptorsExhausted exhausted;
    ASSERT_TRUE(exhausted.Ok());
    ASSERT_LT(::dup(STDERR_FILENO), 0) << "the simulation lets descriptors through";
    channel = std::make_unique<korvalt::CH264ChannelRTSP>(0, &driver, &frames);
  }
  // Descriptors are back, but the channel has no stop event: no worker may run.
  const korvalt::StreamSettings settings{40, 60, 320, 240};
  EXPECT_FALSE(channel->Start(settings));
  EXPECT_EQ(channel->GetState(), korvalt::kStateStopped);
  EXPECT_FALSE(channel->Restart(settings));
  EXPECT_EQ(channel->GetState(), korvalt::kStateStopped);
  channel->Stop();
  channel.reset();
  EXPECT_EQ(driver.Count("is online"), 0u);
}

TEST(BaseCameraChannel, RestartAndStopFromTwoHostThreadsAtOnceLeaveOneStoppedChannel) {
  // A camera that accepts and never answers: every worker waits in its profile request.
  testsupport::ScriptedTcpServer camera(testsupport::ScriptedTcpServer::Silent());
  testsupport::FakeDriver driver;
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = camera.Port();
  device.NetworkTimeout = 20000;
  driver.SetDeviceInfo(device);
  hostkit::FrameSink frames;
  korvalt::CH264ChannelRTSP channel(0, &driver, &frames);
  const korvalt::StreamSettings settings{40, 60, 320, 240};
  ASSERT_TRUE(channel.Start(settings));
  std::thread restarter([&] {
    for (int i = 0; i < 50; ++i) channel.Restart(settings);
  });
  for (int i = 0; i < 50; ++i) channel.Stop();
  restarter.join();
  channel.Stop();
  EXPECT_EQ(channel.GetState(), korvalt::kStateStopped);
}

}  // namespace
