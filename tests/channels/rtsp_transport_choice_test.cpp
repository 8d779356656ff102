// The channel's choice of transport against scripted cameras: RTP inside the RTSP connection when
// UDP does not arrive, kept for the camera; a camera that refuses it stays on UDP; a camera that
// closes the connection is reconnected at once.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "media/channels/h264_channel_rtsp.h"
#include "media/parsers/h264_sps.h"
#include "support/eventually.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/video.h"

namespace {

using Clock = testsupport::SteadyClock;
using testsupport::Eventually;
using testsupport::MsSince;
using testsupport::ScriptedTcpServer;

constexpr int kFallbackMs = 200;

class Channel : public korvalt::CH264ChannelRTSP {
 public:
  Channel(korvalt::IDriver* driver, korvalt::ipcapture::IFrameSink* sink, uint16_t rtspPort)
      : CH264ChannelRTSP(0, driver, sink), Port(rtspPort) {
    Intervals.PortProbeMs = 20;
    Intervals.LoopWaitMs = 50;
    Intervals.TcpFallbackMs = kFallbackMs;
    Intervals.ClosedGraceMs = 50;
  }
  bool ConfigureCamera() override {
    RtspPort = Port;
    return true;
  }
  const uint16_t Port;
};

// One complete H.264 key frame (SPS, PPS, IDR slice in a STAP-A) with the marker bit set.
std::string KeyFrame(uint16_t sequence) {
  const std::vector<uint8_t> sps = korvalt::BuildH264Sps(320, 240);
  std::string packet = {
      '\x80', '\xE0', static_cast<char>(sequence >> 8), static_cast<char>(sequence), 0, 0, 0, 1, 0, 0,
      0,      7};    // V=2, M=1, PT=96, SSRC 7
  packet += '\x78';  // STAP-A
  packet += '\0';
  packet += static_cast<char>(sps.size());
  packet.append(sps.begin(), sps.end());
  for (const uint8_t b : {0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80, 0x00, 0x04, 0x65, 0x88, 0x84, 0x21})
    packet += static_cast<char>(b);
  return packet;
}

// "$", channel, 16-bit length, data.
std::string Frame(uint8_t channel, const std::string& data) {
  return std::string{'$', static_cast<char>(channel), static_cast<char>(data.size() >> 8),
                     static_cast<char>(data.size() & 0xFF)} +
         data;
}

const std::string kSdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";

std::string Described(int cseq) {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) +
         "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(kSdp.size()) + "\r\n\r\n" +
         kSdp;
}

std::string Ok(int cseq, const std::string& extra = "") {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: 77;timeout=60\r\n" + extra +
         "\r\n";
}

int CSeqOf(const std::string& request) {
  const size_t at = request.find("CSeq: ");
  return at == std::string::npos ? 0 : std::stoi(request.substr(at + 6));
}

// A camera whose UDP never arrives (nothing is sent there) and which, when asked, streams key
// frames inside the connection, answering keep-alives between frames.
class Camera {
 public:
  explicit Camera(bool offersTcp)
      : Server(
            [this, offersTcp](ScriptedTcpServer::Connection& connection) { Serve(connection, offersTcp); }) {}

  void Serve(ScriptedTcpServer::Connection& connection, bool offersTcp) {
    auto describe = connection.ReadRequest();
    if (!describe) return;
    connection.Send(Described(CSeqOf(*describe)));
    const auto setup = connection.ReadRequest();
    if (!setup) return;
    const bool tcp = setup->find("RTP/AVP/TCP;unicast;interleaved=0-1") != std::string::npos;
    if (tcp) ++TcpSetups;
    if (tcp && !offersTcp) {
      connection.Send("RTSP/1.0 461 Unsupported Transport\r\nCSeq: " + std::to_string(CSeqOf(*setup)) +
                      "\r\n\r\n");
      connection.StaySilent();
      return;
    }
    connection.Send(Ok(CSeqOf(*setup), tcp ? "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
                                           : "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n"));
    const auto play = connection.ReadRequest();
    if (!play) return;
    connection.Send(Ok(CSeqOf(*play)));
    if (!tcp) {
      connection.StaySilent();
      return;
    }
    uint16_t sequence = 0;
    for (int i = 0; i < 200 && !Closing; ++i) {
      // A sender report on channel 1 between the pictures.
      const std::string report = {'\x80', '\xC8', 0, 6, 0, 0, 0, 7, 1, 2, 3, 4, 5, 6,
                                  7,      8,      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
      const uint16_t first = sequence;
      sequence = static_cast<uint16_t>(sequence + 2);
      const std::string frames =
          Frame(0, KeyFrame(first)) + Frame(1, report) + Frame(0, KeyFrame(static_cast<uint16_t>(first + 1)));
      // Split across writes, so that the reader sees frames cut anywhere.
      if (!connection.Trickle(frames, 7, 0)) return;
      if (!connection.Pause(10)) return;
    }
    connection.StaySilent();
  }

  std::atomic<int> TcpSetups{0};
  std::atomic<bool> Closing{false};
  ScriptedTcpServer Server;
};

class TransportChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    korvalt::DEVICE_INFO device;
    device.Address = "127.0.0.1";
    device.Port = 80;
    device.NetworkTimeout = 1000;
    device.SignalLossTimeout = 3000;
    Driver.SetDeviceInfo(device);
    Driver.Allocator = &Allocator;
  }

  testsupport::FakeDriver Driver;
  hostkit::SampleAllocator Allocator;
  hostkit::FrameSink Sink;
  const korvalt::StreamSettings Settings{40, 60, 320, 240};
};

TEST_F(TransportChoice, SilentUdpFallsBackToTcpWhichTheDriverKeepsForItsOtherChannels) {
  Camera camera(true);
  Channel first(&Driver, &Sink, camera.Server.Port());
  const auto start = Clock::now();
  ASSERT_TRUE(first.Start(Settings));
  const std::string tcpLine =
      "korvalt::CBaseRTSPChannel::ReportTransport: Camera 127.0.0.1 streams over TCP (RTP inside the RTSP "
      "connection): no RTP arrived over UDP within 200 ms after PLAY";
  ASSERT_TRUE(Eventually([&] { return Sink.Frames.load() >= 5; }, 5000));
  EXPECT_GE(MsSince(start), kFallbackMs) << "UDP is given the fallback time first";
  // Pictures reach the sink from the connection's reader before the worker wakes to them and
  // marks the channel streaming: on a busy machine that can take a while.
  EXPECT_TRUE(Eventually([&] { return first.GetState() == korvalt::kStateStreaming; }, 5000));
  EXPECT_TRUE(Eventually([&] { return Driver.Count(tcpLine) >= 1; }, 5000));
  EXPECT_EQ(Driver.Count(tcpLine), 1u);
  const auto stopStart = Clock::now();
  first.Stop();
  EXPECT_LT(MsSince(stopStart), 1000);

  // Another channel of the same driver asks for TCP at once.
  const size_t framesBefore = Sink.Frames.load();
  const size_t connectionsBefore = camera.Server.ConnectionCount();
  Channel second(&Driver, &Sink, camera.Server.Port());
  ASSERT_TRUE(second.Start(Settings));
  const std::string earlierLine =
      "streams over TCP (RTP inside the RTSP connection): chosen earlier for this camera (no RTP arrived "
      "over UDP within 200 ms after PLAY)";
  ASSERT_TRUE(Eventually([&] { return Sink.Frames.load() >= framesBefore + 3; }, 5000));
  EXPECT_TRUE(Eventually([&] { return Driver.Count(earlierLine) >= 1; }, 5000));
  EXPECT_EQ(camera.Server.ConnectionCount(), connectionsBefore + 1) << "no UDP attempt first";
  EXPECT_EQ(Driver.Count(earlierLine), 1u);
  second.Stop();
  EXPECT_EQ(Allocator.Created.load(), Allocator.Released.load());
}

TEST_F(TransportChoice, CameraRefusingTcpStaysOnUdpWithOneClearLine) {
  Camera camera(false);
  Channel channel(&Driver, &Sink, camera.Server.Port());
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return camera.TcpSetups.load() == 1; }, 5000));
  // Later passes stay on UDP.
  ASSERT_TRUE(Eventually([&] { return camera.Server.ConnectionCount() >= 3; }, 15000));
  const auto stopStart = Clock::now();
  channel.Stop();
  EXPECT_LT(MsSince(stopStart), 1000);
  EXPECT_EQ(camera.TcpSetups.load(), 1);
  EXPECT_EQ(Driver.Count("korvalt::CBaseRTSPChannel::SetupStep: Camera 127.0.0.1 refuses RTP inside the RTSP "
                         "connection (461 Unsupported Transport) and no RTP arrived over UDP within 200 ms "
                         "after PLAY"),
            1u);
  EXPECT_EQ(Sink.Frames.load(), 0u);
}

TEST_F(TransportChoice, StopIsPromptWhileFramesArriveInsideTheConnection) {
  Camera camera(true);
  Driver.TransportMemory.UseTcp("127.0.0.1", "a test says so");
  Channel channel(&Driver, &Sink, camera.Server.Port());
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return Sink.Frames.load() >= 2; }, 5000));
  const auto stopStart = Clock::now();
  channel.Stop();
  EXPECT_LT(MsSince(stopStart), 1000);
  EXPECT_EQ(channel.GetState(), korvalt::kStateStopped);
}

TEST_F(TransportChoice, ClosedConnectionIsReconnectedWithoutWaitingForTheSignalLoss) {
  // Every connection streams a few pictures, then the camera closes it.
  std::atomic<int> connections{0};
  ScriptedTcpServer server([&](ScriptedTcpServer::Connection& connection) {
    ++connections;
    auto describe = connection.ReadRequest();
    if (!describe) return;
    connection.Send(Described(CSeqOf(*describe)));
    const auto setup = connection.ReadRequest();
    if (!setup) return;
    connection.Send(Ok(CSeqOf(*setup), "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    const auto play = connection.ReadRequest();
    if (!play) return;
    connection.Send(Ok(CSeqOf(*play)));
    for (uint16_t sequence = 0; sequence < 5; ++sequence) {
      connection.Send(Frame(0, KeyFrame(sequence)));
      if (!connection.Pause(20)) return;
    }
    connection.Close();
  });
  Driver.TransportMemory.UseTcp("127.0.0.1", "a test says so");
  Channel channel(&Driver, &Sink, server.Port());
  ASSERT_TRUE(channel.Start(Settings));
  // Three connections well within one signal-loss time-out (3 s).
  const auto start = Clock::now();
  ASSERT_TRUE(Eventually([&] { return connections.load() >= 3; }, 5000));
  EXPECT_LT(MsSince(start), 2500);
  EXPECT_GE(Driver.Count("Camera 127.0.0.1 closed the RTSP connection; reconnecting"), 2u);
  channel.Stop();
}

}  // namespace
