// Keeping an RTSP session up against scripted cameras: a transient SETUP failure over TCP is no
// refusal, a camera that closes the connection after PLAY keeps its session over new connections,
// refused keep-alive credentials back off, and a slow host never holds the keep-alive's answer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
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

class Channel : public korvalt::CH264ChannelRTSP {
 public:
  Channel(korvalt::IDriver* driver, korvalt::ipcapture::IFrameSink* sink, uint16_t rtspPort)
      : CH264ChannelRTSP(0, driver, sink), Port(rtspPort) {
    Intervals.PortProbeMs = 20;
    Intervals.LoopWaitMs = 50;
    Intervals.TcpFallbackMs = 200;
    Intervals.ClosedGraceMs = 50;
  }
  bool ConfigureCamera() override {
    RtspPort = Port;
    return true;
  }
  void ReportLossEvery(int ms) { Intervals.LossReportMs = ms; }
  void HandOverAtMost(size_t packets) { HandOverLimit.Packets = packets; }
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

int CSeqOf(const std::string& request) {
  const size_t at = request.find("CSeq: ");
  return at == std::string::npos ? 0 : std::stoi(request.substr(at + 6));
}

std::string Described(const std::string& request) {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(CSeqOf(request)) +
         "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(kSdp.size()) + "\r\n\r\n" +
         kSdp;
}

// A session of one second: keep-alives every half second.
std::string Ok(const std::string& request, const std::string& extra = "") {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(CSeqOf(request)) + "\r\nSession: 77;timeout=1\r\n" +
         extra + "\r\n";
}

bool Is(const std::optional<std::string>& request, const char* method) {
  return request && request->rfind(method, 0) == 0;
}

// Sends key frames to the channel's RTP port from a port of its own, as the camera does.
class UdpSender {
 public:
  explicit UdpSender(const std::atomic<uint16_t>& port)
      : Thread([this, &port] {
          const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
          uint16_t sequence = 0;
          while (!Done) {
            if (port.load() != 0) {
              sockaddr_in to{};
              to.sin_family = AF_INET;
              to.sin_port = htons(port.load());
              to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
              const std::string packet = KeyFrame(sequence++);
              ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
          ::close(fd);
        }) {}
  ~UdpSender() {
    Done = true;
    Thread.join();
  }

 private:
  std::atomic<bool> Done{false};
  std::thread Thread;
};

uint16_t ClientPort(const std::string& setup) {
  const size_t at = setup.find("client_port=");
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(setup.substr(at + 12)));
}

size_t CountStarting(const std::vector<std::string>& requests, const std::string& start) {
  size_t n = 0;
  for (const std::string& request : requests) n += request.rfind(start, 0) == 0 ? 1 : 0;
  return n;
}

class SessionUpkeep : public ::testing::Test {
 protected:
  void SetUp() override {
    korvalt::DEVICE_INFO device;
    device.Address = "127.0.0.1";
    device.Port = 80;
    device.UserName = "admin";
    device.Password = "secret";
    device.NetworkTimeout = 1000;
    device.SignalLossTimeout = 10000;
    Driver.SetDeviceInfo(device);
    Driver.Allocator = &Allocator;
  }

  testsupport::FakeDriver Driver;
  hostkit::SampleAllocator Allocator;
  hostkit::FrameSink Sink;
  const korvalt::StreamSettings Settings{40, 60, 320, 240};
};

TEST_F(SessionUpkeep, TcpSetupIsRetriedUnlessTheCameraRefusesTheInterleavedTransport) {
  struct Case {
    const char* FirstAnswer;  // to the first interleaved SETUP; "%" stands for its CSeq
    bool Refusal;
  };
  const Case cases[] = {
      {"RTSP/1.0 503 Service Unavailable\r\nCSeq: %\r\n\r\n", false},
      {"RTSP/1.0 408 Request Timeout\r\nCSeq: %\r\n\r\n", false},
      {"RTSP/1.0 500 Internal Server Error\r\nCSeq: %\r\n\r\n", false},
      {"RTSP/1.0 461 Unsupported Transport\r\nCSeq: %\r\n\r\n", true},
      {"RTSP/1.0 200 OK\r\nCSeq: %\r\nSession: 77\r\nTransport: "
       "RTP/AVP;unicast;client_port=3556-3557\r\n\r\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.FirstAnswer);
    Driver.TransportMemory.UseTcp("127.0.0.1", "a test says so");
    std::atomic<int> tcpSetups{0};
    ScriptedTcpServer camera([&](ScriptedTcpServer::Connection& connection) {
      const auto describe = connection.ReadRequest();
      if (!Is(describe, "DESCRIBE")) return;
      connection.Send(Described(*describe));
      const auto setup = connection.ReadRequest();
      if (!Is(setup, "SETUP")) return;
      const bool tcp = setup->find("interleaved=0-1") != std::string::npos;
      if (tcp && tcpSetups.fetch_add(1) == 0) {
        std::string answer = c.FirstAnswer;
        answer.replace(answer.find('%'), 1, std::to_string(CSeqOf(*setup)));
        connection.Send(answer);
        connection.StaySilent();
        return;
      }
      connection.Send(Ok(*setup, tcp ? "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" : ""));
      const auto play = connection.ReadRequest();
      if (!Is(play, "PLAY")) return;
      connection.Send(Ok(*play));
      for (uint16_t sequence = 0; tcp && sequence < 500; ++sequence) {
        if (!connection.Send(Frame(0, KeyFrame(sequence))) || !connection.Pause(20)) return;
      }
      connection.StaySilent();
    });
    const uint64_t framesBefore = Sink.Frames.load();
    {
      Channel channel(&Driver, &Sink, camera.Port());
      ASSERT_TRUE(channel.Start(Settings));
      if (c.Refusal) {
        // The next pass asks for UDP.
        EXPECT_TRUE(Eventually([&] { return camera.ConnectionCount() >= 2; }, 5000));
      } else {
        EXPECT_TRUE(Eventually([&] { return Sink.Frames.load() >= framesBefore + 3; }, 5000));
      }
      channel.Stop();
    }
    EXPECT_EQ(Driver.TransportMemory.RefusesTcp("127.0.0.1"), c.Refusal);
    EXPECT_EQ(tcpSetups.load() >= 2, !c.Refusal);
    // The memory of the next case starts afresh.
    Driver.TransportMemory.For("another camera");
  }
}

TEST_F(SessionUpkeep, CameraThatClosesAfterPlayKeepsItsSessionOverNewConnections) {
  std::atomic<uint16_t> clientPort{0};
  ScriptedTcpServer camera([&](ScriptedTcpServer::Connection& connection) {
    const auto request = connection.ReadRequest();
    if (Is(request, "DESCRIBE")) {
      connection.Send(Described(*request));
      const auto setup = connection.ReadRequest();
      if (!Is(setup, "SETUP")) return;
      connection.Send(Ok(*setup));
      const auto play = connection.ReadRequest();
      if (!Is(play, "PLAY")) return;
      connection.Send(Ok(*play));
      clientPort = ClientPort(*setup);
    } else if (request) {
      // A keep-alive or the TEARDOWN, on a connection of its own.
      connection.Send(Ok(*request));
    }
    // Streams on over UDP, without the RTSP connection.
    connection.Close();
  });
  UdpSender sender(clientPort);
  Channel channel(&Driver, &Sink, camera.Port());
  ASSERT_TRUE(channel.Start(Settings));
  ASSERT_TRUE(Eventually([&] { return CountStarting(camera.Requests(), "OPTIONS") >= 3; }, 10000));
  const uint64_t frames = Sink.Frames.load();
  channel.Stop();
  EXPECT_GT(frames, 0u);
  const std::vector<std::string> requests = camera.Requests();
  EXPECT_EQ(CountStarting(requests, "DESCRIBE"), 1u) << "the session was never opened again";
  EXPECT_EQ(CountStarting(requests, "TEARDOWN"), 1u);
  for (const std::string& request : requests) {
    if (request.rfind("OPTIONS", 0) == 0 || request.rfind("TEARDOWN", 0) == 0) {
      EXPECT_NE(request.find("Session: 77\r\n"), std::string::npos) << request;
    }
  }
  EXPECT_EQ(Driver.Count("reconnecting"), 0u);
  EXPECT_EQ(Driver.Count("keep-alive"), 0u);
}

TEST_F(SessionUpkeep, RefusedKeepAliveCredentialsBackOffWithTheRefusalLine) {
  std::atomic<uint16_t> clientPort{0};
  std::mutex lock;
  std::vector<Clock::time_point> refusedKeepAlives;  // guarded by lock
  Clock::time_point lastRequest;                     // likewise
  ScriptedTcpServer camera([&](ScriptedTcpServer::Connection& connection) {
    const auto describe = connection.ReadRequest();
    if (!Is(describe, "DESCRIBE")) return;
    connection.Send(Described(*describe));
    const auto setup = connection.ReadRequest();
    if (!Is(setup, "SETUP")) return;
    connection.Send(Ok(*setup));
    const auto play = connection.ReadRequest();
    if (!Is(play, "PLAY")) return;
    connection.Send(Ok(*play));
    clientPort = ClientPort(*setup);
    // The password changed on the camera while the session runs: every keep-alive is refused, each
    // time with a fresh nonce.
    for (int nonce = 0;; ++nonce) {
      const auto request = connection.ReadRequest(30000);
      if (!request) return;
      {
        // A keep-alive is its OPTIONS and the retry that follows it at once.
        std::lock_guard<std::mutex> guard(lock);
        const auto now = Clock::now();
        if (refusedKeepAlives.empty() || now - lastRequest > std::chrono::milliseconds(250))
          refusedKeepAlives.push_back(now);
        lastRequest = now;
      }
      connection.Send("RTSP/1.0 401 Unauthorized\r\nCSeq: " + std::to_string(CSeqOf(*request)) +
                      "\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"n" + std::to_string(nonce) +
                      "\"\r\n\r\n");
    }
  });
  UdpSender sender(clientPort);
  Channel channel(&Driver, &Sink, camera.Port());
  ASSERT_TRUE(channel.Start(Settings));
  // The first keep-alive is refused at once (its retry with credentials), the next ones each
  // after a back-off of 1 s, then 2 s (shortened by up to a tenth).
  const bool thirdRefusal = Eventually(
      [&] {
        std::lock_guard<std::mutex> guard(lock);
        return refusedKeepAlives.size() >= 3;
      },
      15000);
  channel.Stop();
  ASSERT_TRUE(thirdRefusal);
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_GE(
        std::chrono::duration_cast<std::chrono::milliseconds>(refusedKeepAlives[2] - refusedKeepAlives[0])
            .count(),
        2500);
  }
  EXPECT_EQ(Driver.Count("refused the credentials"), 1u);
  EXPECT_EQ(
      Driver.Count("korvalt::CBaseRTSPChannel::KeepAliveTick: camera 127.0.0.1 refused the credentials of "
                   "user \"admin\" (OPTIONS rtsp://127.0.0.1:" +
                   std::to_string(camera.Port()) + "/rtpvideo1.sdp); next try in "),
      1u);
  EXPECT_EQ(Driver.Count("secret"), 0u);
}

TEST_F(SessionUpkeep, SlowHostLosesPicturesButNeverTheKeepAliveAnswer) {
  // A camera streaming small pictures inside the connection as fast as it can, and answering every
  // keep-alive at once.
  std::atomic<int> answered{0};
  ScriptedTcpServer camera([&](ScriptedTcpServer::Connection& connection) {
    const auto describe = connection.ReadRequest();
    if (!Is(describe, "DESCRIBE")) return;
    connection.Send(Described(*describe));
    const auto setup = connection.ReadRequest();
    if (!Is(setup, "SETUP")) return;
    connection.Send(Ok(*setup, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    const auto play = connection.ReadRequest();
    if (!Is(play, "PLAY")) return;
    connection.Send(Ok(*play));
    std::string burst;
    for (uint16_t sequence = 0;; ++sequence) {
      burst += Frame(0, KeyFrame(sequence));
      if (sequence % 64 != 63) continue;
      if (!connection.Send(burst)) return;
      burst.clear();
      const auto request = connection.ReadRequest(1);
      if (Is(request, "OPTIONS")) {
        connection.Send(Ok(*request));
        ++answered;
      } else if (request) {
        connection.Send(Ok(*request));
        connection.StaySilent();
        return;
      }
    }
  });
  Driver.TransportMemory.UseTcp("127.0.0.1", "a test says so");
  // The host takes 50 ms over each picture.
  hostkit::FrameSink slowSink([](const hostkit::FrameSample&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return true;
  });
  Channel channel(&Driver, &slowSink, camera.Port());
  channel.ReportLossEvery(500);
  channel.HandOverAtMost(256);
  ASSERT_TRUE(channel.Start(Settings));
  const bool kept = Eventually([&] { return answered.load() >= 4; }, 15000);
  const bool lossReported =
      Eventually([&] { return Driver.Count("korvalt::CBaseRTPChannel::ReportLoss") > 0; }, 5000);
  channel.Stop();
  EXPECT_TRUE(kept);
  EXPECT_TRUE(lossReported);
  EXPECT_GT(slowSink.Frames.load(), 0u);
  EXPECT_EQ(camera.ConnectionCount(), 1u);
  EXPECT_EQ(Driver.Count("keep-alive"), 0u);
  EXPECT_EQ(Allocator.Created.load(), Allocator.Released.load());
}

}  // namespace
