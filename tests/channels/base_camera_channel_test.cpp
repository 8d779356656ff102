// A channel made while the process has no descriptor left has no stop event: its start and
// restart must fail without running a worker that could not be stopped.

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "media/channels/h264_channel_rtsp.h"
#include "platform/event.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/video.h"

namespace {

// While it exists, events are made without a descriptor, as when the process has none left.
class NoEventDescriptors {
 public:
  NoEventDescriptors() { korvalt::platform::Event::SetCreationFailsForTest(true); }
  ~NoEventDescriptors() { korvalt::platform::Event::SetCreationFailsForTest(false); }
  NoEventDescriptors(const NoEventDescriptors&) = delete;
  NoEventDescriptors& operator=(const NoEventDescriptors&) = delete;
};

TEST(BaseCameraChannel, AChannelMadeWithoutDescriptorsFailsToStartAndStopsQuietly) {
  testsupport::FakeDriver driver;
  hostkit::FrameSink frames;
  std::unique_ptr<korvalt::CH264ChannelRTSP> channel;
  {
    NoEventDescriptors exhausted;
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
