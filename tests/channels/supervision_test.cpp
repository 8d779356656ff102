// The streaming loop's supervision against the simulator, with short time-outs and intervals:
// signal loss, reconnection, port probing, keep-alive and prompt stops.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "media/channels/h264_channel_rtsp.h"
#include "platform/event.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/video.h"

namespace {

using Clock = testsupport::SteadyClock;
using korvalt::kStateStopped;
using korvalt::kStateStreaming;
using korvalt::platform::Event;
using testsupport::Eventually;
using testsupport::MsSince;

// Passes of the loop every 100 ms instead of every second. A probe of 100 ms still hears the stray
// streams that other tests send every 2 to 50 ms, so that a channel here keeps off their ports.
constexpr int kProbeMs = 100;
constexpr int kLoopWaitMs = 100;

class TestChannel : public korvalt::CH264ChannelRTSP {
 public:
  TestChannel(uint32_t channelNumber, korvalt::IDriver* driver, korvalt::ipcapture::IFrameSink* sink)
      : CH264ChannelRTSP(channelNumber, driver, sink) {
    Intervals.PortProbeMs = kProbeMs;
    Intervals.LoopWaitMs = kLoopWaitMs;
  }
  uint16_t BoundRtpPort() const { return RtpPort; }
  void ProbePortsFor(int ms) { Intervals.PortProbeMs = ms; }
};

class Supervision : public ::testing::Test {
 protected:
  void Configure(uint16_t httpPort, int networkMs, int signalLossMs) {
    korvalt::DEVICE_INFO device;
    device.Address = "127.0.0.1";
    device.Port = httpPort;
    device.UserName = "admin";
    device.Password = "secret";
    device.NetworkTimeout = networkMs;
    device.SignalLossTimeout = signalLossMs;
    Driver.SetDeviceInfo(device);
    Driver.Allocator = &Allocator;
  }

  static testsupport::CamsimOptions WithRtsp() {
    testsupport::CamsimOptions options;
    options.Rtsp = true;
    return options;
  }

  testsupport::FakeDriver Driver;
  hostkit::SampleAllocator Allocator;
  hostkit::FrameSink Sink;
  const korvalt::StreamSettings Settings{40, 60, 320, 240};
};

TEST_F(Supervision, SignalLossIsReportedOnceAndTheStreamComesBack) {
  constexpr int kSignalLossMs = 1000;
  testsupport::Camsim camera(WithRtsp());
  ASSERT_TRUE(camera.Ok());
  Configure(camera.HttpPort(), 1000, kSignalLossMs);
  TestChannel channel(0, &Driver, &Sink);
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return channel.GetState() == kStateStreaming; }, 15000));
  // The receive thread sets the state with the first picture; the worker logs "online" after it.
  EXPECT_TRUE(Eventually([&] { return Driver.Count("Camera 127.0.0.1 is online") == 1u; }, 5000));

  camera.Kill();
  const auto killed = Clock::now();
  // The camera's closed RTSP connection is noticed at once: the channel reconnects (the host reads
  // that state as a lost signal) without waiting for the signal-loss time-out.
  ASSERT_TRUE(Eventually([&] { return channel.GetState() != 0; }, 6000));
  EXPECT_LT(MsSince(killed), kSignalLossMs * 3 / 4) << "a closed connection is noticed before the time-out";
  ASSERT_TRUE(Eventually([&] { return Sink.SignalLosses.load() >= 2; }, 15000));
  EXPECT_GE(MsSince(killed), kSignalLossMs * 7 / 4) << "the host hears of the loss after twice the time-out";
  EXPECT_EQ(Driver.Count("Signal was lost for camera 127.0.0.1"), 1u);
  EXPECT_EQ(Sink.Frames.load() > 0, true);

  ASSERT_TRUE(camera.Restart());
  ASSERT_TRUE(Eventually([&] { return channel.GetState() == kStateStreaming; }, 20000));
  EXPECT_TRUE(Eventually([&] { return Driver.Count("Camera 127.0.0.1 is online") == 2u; }, 5000));
  EXPECT_EQ(Driver.Count("Signal was lost"), 1u);

  const auto stopStart = Clock::now();
  channel.Stop();
  EXPECT_LT(MsSince(stopStart), 1000);
  EXPECT_EQ(channel.GetState(), kStateStopped);
}

TEST_F(Supervision, StrayTrafficOnTheFirstPortMovesTheChannelUp) {
  testsupport::Camsim camera(WithRtsp());
  ASSERT_TRUE(camera.Ok());
  Configure(camera.HttpPort(), 1000, 5000);

  // Another stream already arrives at 3556 from the camera's address.
  std::atomic<bool> sending{true};
  std::thread stray([&] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(3556);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const uint8_t rtp[16] = {0x80, 96, 0, 1, 0, 0, 0, 1, 0, 0, 0, 7, 0x09, 0x10, 0, 0};
    while (sending) {
      ::sendto(fd, rtp, sizeof rtp, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::close(fd);
  });
  TestChannel channel(0, &Driver, &Sink);
  // Long enough to hear several packets of the stray stream on a loaded machine.
  channel.ProbePortsFor(300);
  ASSERT_TRUE(channel.Start(Settings));
  const bool streamed = Eventually([&] { return channel.GetState() == kStateStreaming; }, 20000);
  channel.Stop();
  sending = false;
  stray.join();
  ASSERT_TRUE(streamed);
  // 3558 unless another process holds it; never the port that hears foreign traffic.
  EXPECT_NE(channel.BoundRtpPort(), 3556);
  EXPECT_EQ(channel.BoundRtpPort() % 2, 0);
}

TEST_F(Supervision, StopIsPromptWhileTheCameraNeverAnswersDescribe) {
  testsupport::ScriptedTcpServer rtsp(testsupport::ScriptedTcpServer::Silent());
  testsupport::CamsimOptions options;
  options.RtspPort = rtsp.Port();
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  Configure(camera.HttpPort(), 20000, 10000);
  TestChannel channel(0, &Driver, &Sink);
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return rtsp.ConnectionCount() > 0; }, 15000)) << "no RTSP connection";
  const auto stopStart = Clock::now();
  channel.Stop();
  EXPECT_LT(MsSince(stopStart), 1000);
  EXPECT_EQ(Sink.Frames.load(), 0u);
}

TEST_F(Supervision, StopIsPromptWhileTheProfileRequestStalls) {
  testsupport::Camsim camera(WithRtsp());
  ASSERT_TRUE(camera.Ok());
  ASSERT_TRUE(camera.InjectFault("stall", 5, 30000));
  Configure(camera.HttpPort(), 20000, 10000);
  TestChannel channel(0, &Driver, &Sink);
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return !camera.RequestLog().empty(); }, 5000));
  const auto stopStart = Clock::now();
  channel.Stop();
  EXPECT_LT(MsSince(stopStart), 1000);
}

// A name service that fails the first lookups, as while a DNS server is unreachable.
class LateResolvingChannel : public TestChannel {
 public:
  using TestChannel::TestChannel;
  uint32_t ResolveCameraAddress() override {
    return ++Lookups <= 2 ? 0 : TestChannel::ResolveCameraAddress();
  }
  // As if the lookup at construction had failed.
  void ForgetAddress() { ResolvedAddress = 0; }
  std::atomic<int> Lookups{0};
};

TEST_F(Supervision, NameThatResolvesLaterStreamsWithoutRestart) {
  testsupport::Camsim camera(WithRtsp());
  ASSERT_TRUE(camera.Ok());
  Configure(camera.HttpPort(), 1000, 2000);
  LateResolvingChannel channel(0, &Driver, &Sink);
  channel.ForgetAddress();
  ASSERT_TRUE(channel.Start(Settings));
  EXPECT_TRUE(Eventually([&] { return channel.GetState() == kStateStreaming; }, 15000));
  channel.Stop();
  EXPECT_GE(channel.Lookups.load(), 3);
}

// Counts the keep-alive requests the loop sends.
class KeepAliveChannel : public TestChannel {
 public:
  using TestChannel::TestChannel;
  bool SendKeepAlive() override {
    ++KeepAlives;
    return TestChannel::SendKeepAlive();
  }
  std::atomic<int> KeepAlives{0};
};

TEST_F(Supervision, OptionsKeepTheSessionAliveAtHalfItsTimeout) {
  testsupport::CamsimOptions options = WithRtsp();
  options.ExtraArgs = {"--session-timeout", "1"};  // OPTIONS due every half second
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  Configure(camera.HttpPort(), 1000, 2500);
  KeepAliveChannel channel(0, &Driver, &Sink);
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return channel.GetState() == kStateStreaming; }, 15000));
  const int before = channel.KeepAlives.load();
  // Longer than the session time-out: without keep-alive the server would end the session.
  bool stayedUp = true;
  const auto start = Clock::now();
  while (MsSince(start) < 2500) {
    stayedUp = stayedUp && channel.GetState() == kStateStreaming;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const int sent = channel.KeepAlives.load() - before;
  channel.Stop();
  EXPECT_TRUE(stayedUp);
  EXPECT_GE(sent, 3);
  EXPECT_LE(sent, 6);
  EXPECT_EQ(Driver.Count("Signal was lost"), 0u);
}

}  // namespace
