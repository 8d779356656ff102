// Opening a stream against scripted servers: what an operator reads when it fails, what the host
// gets while ports are probed, and name look-ups that take their time.

#include "media/channels/base_rtsp_channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/camera_login.h"
#include "media/channels/h264_channel_rtsp.h"
#include "media/channels/mpeg_channel_rtsp.h"
#include "media/parsers/h264_sps.h"
#include "platform/clock.h"
#include "support/eventually.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/video.h"
#include "transport/host_resolver.h"

namespace {

using Clock = testsupport::SteadyClock;
using testsupport::Eventually;
using testsupport::MsSince;
using testsupport::ScriptedTcpServer;

// A channel whose camera needs no profile set-up and streams RTSP on a given port.
template <typename Channel>
class WithoutProfileSetUp : public Channel {
 public:
  WithoutProfileSetUp(korvalt::IDriver* driver, korvalt::ipcapture::IFrameSink* sink, uint16_t rtspPort)
      : Channel(0, driver, sink), Port(rtspPort) {
    // Long enough to hear a stream at 25 pictures a second that another test's camera still sends
    // to a port its channel just let go: the channel now takes RTP by address and SSRC, not port.
    this->Intervals.PortProbeMs = 200;
  }
  bool ConfigureCamera() override {
    this->RtspPort = Port;
    return true;
  }
  void PassEvery(int ms) { this->Intervals.LoopWaitMs = ms; }

  const uint16_t Port;
};

class OpeningChannel : public WithoutProfileSetUp<korvalt::CH264ChannelRTSP> {
 public:
  using WithoutProfileSetUp::WithoutProfileSetUp;
  void UseLookup(korvalt::CHostResolver::Lookup lookup) { Resolver.SetLookup(std::move(lookup)); }
  // As if the camera had refused RTP inside the RTSP connection before: UDP only.
  void RefuseTcp() { TransportMemory().RefuseTcp("127.0.0.1"); }
};

using MpegOpeningChannel = WithoutProfileSetUp<korvalt::CMPEGChannelRTSP>;

class Opening : public ::testing::Test {
 protected:
  void Configure(const std::string& address, int networkMs, int signalLossMs) {
    korvalt::DEVICE_INFO device;
    device.Address = address;
    device.Port = 80;
    device.NetworkTimeout = networkMs;
    device.SignalLossTimeout = signalLossMs;
    Driver.SetDeviceInfo(device);
    Driver.Allocator = &Allocator;
  }

  testsupport::FakeDriver Driver;
  hostkit::SampleAllocator Allocator;
  hostkit::FrameSink Sink;
  const korvalt::StreamSettings Settings{40, 60, 320, 240};
};

// Answers the requests with the replies in order, then stays silent.
ScriptedTcpServer::Handler Script(std::vector<std::string> replies) {
  return [replies](ScriptedTcpServer::Connection& connection) {
    for (const std::string& reply : replies) {
      if (!connection.ReadRequest()) return;
      connection.Send(reply);
    }
    connection.StaySilent();
  };
}

const std::string kSdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";
const std::string kDescribed =
    "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Type: application/sdp\r\nContent-Length: " +
    std::to_string(kSdp.size()) + "\r\n\r\n" + kSdp;
const std::string kSetUp = "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 77;timeout=60\r\n\r\n";
const std::string kPlaying = "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 77\r\n\r\n";

TEST_F(Opening, FailureIsLoggedOnceWithWhatTheCameraAnswered) {
  struct Case {
    const char* Name;
    std::vector<std::string> Replies;  // none: nobody listens on the port
    std::string Expected;              // "@" stands for the presentation URL, "%" for host:port
  };
  const Case cases[] = {
      {"connection refused",
       {},
       "korvalt::CBaseRTSPChannel::StartSession: connect to % failed: connection refused"},
      {"DESCRIBE refused",
       {"RTSP/1.0 404 Stream Not Found\r\nCSeq: 1\r\n\r\n"},
       "korvalt::CBaseRTSPChannel::StartSession: DESCRIBE @ failed: 404 Stream Not Found"},
      {"challenge the module cannot answer",
       {"RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\", "
        "algorithm=SHA-512-256\r\n\r\n"},
       "korvalt::CBaseRTSPChannel::StartSession: DESCRIBE @ failed: 401 Unauthorized: the camera asks for "
       "Digest (algorithm SHA-512-256), which the module cannot answer; no credentials were sent"},
      {"SETUP refused",
       {kDescribed, "RTSP/1.0 461 Unsupported Transport\r\nCSeq: 2\r\n\r\n"},
       "korvalt::CBaseRTSPChannel::StartSession: SETUP @/trackID=1 failed: 461 Unsupported Transport"},
      {"PLAY unanswered",
       {kDescribed, kSetUp},
       "korvalt::CBaseRTSPChannel::StartSession: PLAY @ failed: no answer within 300 ms"},
      {"no picture after PLAY",
       {kDescribed, kSetUp, kPlaying},
       "korvalt::CBaseRTPChannel::Run: no picture from camera 127.0.0.1 within 300 ms after the stream was "
       "opened"},
  };
  for (const Case& c : cases) {
    Driver.ClearLines();
    std::unique_ptr<ScriptedTcpServer> server;
    uint16_t port = 0;
    if (c.Replies.empty()) {
      // A port nobody listens on: bound and closed again.
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof address;
      ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
      port = ntohs(address.sin_port);
      ::close(fd);
    } else {
      server = std::make_unique<ScriptedTcpServer>(Script(c.Replies));
      port = server->Port();
    }
    Configure("127.0.0.1", 300, 300);
    std::string expected = c.Expected;
    const std::string hostPort = "127.0.0.1:" + std::to_string(port);
    if (const size_t at = expected.find('@'); at != std::string::npos) {
      expected.replace(at, 1, "rtsp://" + hostPort + "/rtpvideo1.sdp");
    }
    if (const size_t at = expected.find('%'); at != std::string::npos) expected.replace(at, 1, hostPort);

    OpeningChannel channel(&Driver, &Sink, port);
    channel.RefuseTcp();
    // One pass only: on a loaded machine a second one could report the signal lost before the stop.
    channel.PassEvery(60000);
    ASSERT_TRUE(channel.Start(Settings)) << c.Name;
    // Generous: under a sanitizer on a loaded machine one opening can take seconds.
    const bool logged = Eventually([&] { return Driver.Count(expected) > 0; }, 20000);
    channel.Stop();
    EXPECT_TRUE(logged) << c.Name << "\nexpected: " << expected;
    size_t errors = 0;
    for (const auto& line : Driver.Lines()) {
      if (line.Level != korvalt::ipcapture::kDebugLevelError) continue;
      ++errors;
      EXPECT_EQ(line.Text, expected) << c.Name;
    }
    EXPECT_GE(errors, 1u) << c.Name;
  }
}

// A camera that refuses the password, with a fresh nonce and no "stale": the DESCRIBE that carried
// the credentials is the only login of the try, no TEARDOWN follows a session that never began,
// and the refusal counts for the whole driver, so the next try waits for the camera's turn.
TEST_F(Opening, ARefusedLoginIsOnePerTryAndCountsForTheCamera) {
  const std::string challenge =
      "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: Digest realm=\"cam\", "
      "nonce=\"n1\"\r\n\r\n";
  const std::string refused =
      "RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\nWWW-Authenticate: Digest realm=\"cam\", "
      "nonce=\"n2\"\r\n\r\n";
  ScriptedTcpServer server(Script({challenge, refused, refused, refused, refused}));
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.NetworkTimeout = 500;
  device.SignalLossTimeout = 300;
  device.UserName = "admin";
  device.Password = "Wr0ng-Pass";
  device.Login = std::make_shared<korvalt::CCameraLogin>(1000);
  Driver.SetDeviceInfo(device);
  Driver.Allocator = &Allocator;
  OpeningChannel channel(&Driver, &Sink, server.Port());
  channel.RefuseTcp();
  channel.PassEvery(20);
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return Driver.Count("refused the credentials") > 0; }, 5000));
  // Passes every 20 ms: without the camera's turn each would log in again.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  channel.Stop();
  const auto requests = server.Requests();
  size_t withCredentials = 0;
  for (const auto& request : requests) {
    EXPECT_EQ(request.rfind("TEARDOWN", 0), std::string::npos) << request;
    withCredentials += request.find("\r\nAuthorization: ") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(withCredentials, 1u);
  EXPECT_GT(device.Login->WaitMs(korvalt::platform::MonotonicMs()), 5000);
}

// One complete H.264 key frame (SPS, PPS, IDR slice in a STAP-A) with the marker bit set.
std::vector<uint8_t> KeyFramePacket(uint16_t sequence) {
  const std::vector<uint8_t> sps = korvalt::BuildH264Sps(320, 240);
  std::vector<uint8_t> packet = {
      0x80, 0xE0, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence), 0, 0, 0, 1, 0, 0,
      0,    7};            // V=2, M=1, PT=96, SSRC 7
  packet.push_back(0x78);  // STAP-A
  packet.push_back(0);
  packet.push_back(static_cast<uint8_t>(sps.size()));
  packet.insert(packet.end(), sps.begin(), sps.end());
  for (const uint8_t b : {0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80, 0x00, 0x04, 0x65, 0x88, 0x84, 0x21})
    packet.push_back(b);
  return packet;
}

TEST_F(Opening, PacketsHeardWhileAPortIsProbedReachNeitherParserNorHost) {
  ScriptedTcpServer rtsp(ScriptedTcpServer::Silent());
  Configure("127.0.0.1", 500, 10000);
  // Another stream from the camera's address arrives on the first ports the channel tries.
  std::atomic<bool> sending{true};
  std::thread stray([&] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    uint16_t sequence = 0;
    while (sending) {
      for (uint16_t port = 3556; port <= 3600; port += 2) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::vector<uint8_t> packet = KeyFramePacket(sequence++);
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
  });
  OpeningChannel channel(&Driver, &Sink, rtsp.Port());
  ASSERT_TRUE(channel.Start(Settings));
  const bool reachedServer = Eventually([&] { return rtsp.ConnectionCount() > 0; }, 10000);
  channel.Stop();
  sending = false;
  stray.join();
  EXPECT_TRUE(reachedServer) << "the channel found a quiet port and went on";
  EXPECT_EQ(Sink.Frames.load(), 0u);
  EXPECT_EQ(Driver.Count("is online"), 0u);
  EXPECT_EQ(Allocator.Created.load(), 0u);
}

TEST_F(Opening, Mpeg4WithItsConfigurationOnlyInTheSdpStreams) {
  // As FFmpeg's RTP muxer relays an MP4 file: "config=" in the SDP (visual object sequence to
  // video object layer of a 320x180 picture) and key frames led by a group-of-VOP header.
  const std::string config =
      "000001B001000001B58913000001000000012000C48D8800550A04169443000001B24C61766335392E33372E313030";
  const std::string sdp =
      "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\n"
      "a=fmtp:96 profile-level-id=1; config=" +
      config + "\r\na=control:streamid=0\r\n";
  std::atomic<uint16_t> clientPort{0};
  ScriptedTcpServer rtsp([&](ScriptedTcpServer::Connection& connection) {
    if (!connection.ReadRequest()) return;
    connection.Send("RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: " + std::to_string(sdp.size()) +
                    "\r\n\r\n" + sdp);
    const auto setup = connection.ReadRequest();
    if (!setup) return;
    const size_t at = setup->find("client_port=");
    if (at == std::string::npos) return;
    connection.Send(kSetUp);
    if (!connection.ReadRequest()) return;
    connection.Send(kPlaying);
    clientPort = static_cast<uint16_t>(std::stoi(setup->substr(at + 12)));
    connection.StaySilent();
  });
  Configure("127.0.0.1", 2000, 10000);
  MpegOpeningChannel channel(&Driver, &Sink, rtsp.Port());
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return clientPort.load() != 0; }, 10000));
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(clientPort.load());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  uint16_t sequence = 0;
  const bool streamed = Eventually(
      [&] {
        // V=2, M=1, PT=96, SSRC 7; group of VOP, then an I-VOP.
        const std::vector<uint8_t> packet = {0x80,
                                             0xE0,
                                             static_cast<uint8_t>(sequence >> 8),
                                             static_cast<uint8_t>(sequence),
                                             0,
                                             0,
                                             0,
                                             1,
                                             0,
                                             0,
                                             0,
                                             7,
                                             0,
                                             0,
                                             1,
                                             0xB3,
                                             0x00,
                                             0x10,
                                             0x07,
                                             0,
                                             0,
                                             1,
                                             0xB6,
                                             0x10,
                                             0x55,
                                             0x55,
                                             0x55,
                                             0x55};
        ++sequence;
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return Sink.Frames.load() > 0;
      },
      5000);
  ::close(fd);
  EXPECT_TRUE(streamed);
  // The channel says "online" just after the sink took the first picture, on its own thread.
  const char* const online = "korvalt::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is online";
  EXPECT_TRUE(Eventually([&] { return Driver.Count(online) > 0; }, 5000));
  EXPECT_EQ(Driver.Count(online), 1u);
  channel.Stop();
}

// A name service that answers only when the test lets it. Shared with the look-up thread, which
// the channel abandons and which may outlive it.
struct SlowNameService {
  korvalt::platform::Event Answer{korvalt::platform::Event::ResetMode::kManual};
  std::atomic<int> Lookups{0};
  std::atomic<bool> OnTestThread{false};
  std::thread::id TestThread = std::this_thread::get_id();
};

TEST_F(Opening, SlowNameServiceHoldsNeitherTheHostNorTheStop) {
  auto service = std::make_shared<SlowNameService>();
  Configure("camera.example", 20000, 10000);
  const auto constructing = Clock::now();
  auto channel = std::make_unique<OpeningChannel>(&Driver, &Sink, 554);
  channel->UseLookup([service](const std::string&) -> uint32_t {
    ++service->Lookups;
    if (std::this_thread::get_id() == service->TestThread) service->OnTestThread = true;
    service->Answer.Wait(korvalt::platform::Event::kInfinite);
    return 0;
  });
  ASSERT_TRUE(channel->Start(Settings));
  EXPECT_LT(MsSince(constructing), 500) << "construction and start do not wait for the name";
  ASSERT_TRUE(Eventually([&] { return service->Lookups.load() > 0; }, 5000));
  const auto stopping = Clock::now();
  channel->Stop();
  channel.reset();
  EXPECT_LT(MsSince(stopping), 1000) << "the stop does not wait for the name service";
  EXPECT_FALSE(service->OnTestThread.load());
  EXPECT_EQ(service->Lookups.load(), 1);
  service->Answer.Set();  // the abandoned look-up ends by itself
  // and is joined by the next call into the table, not left for the process's exit.
  EXPECT_TRUE(Eventually([] { return korvalt::CHostResolver::LookupsUnderWay() == 0; }, 5000));
}

}  // namespace
