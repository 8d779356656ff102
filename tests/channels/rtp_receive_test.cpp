// The channel's receive path between the RTP receiver and the parser: which datagrams belong to
// the stream, their order, and what the loss line then says.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "media/channels/base_rtp_channel.h"
#include "media/channels/h264_channel_rtsp.h"
#include "media/parsers/h264_sps.h"
#include "support/eventually.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/video.h"

namespace {

constexpr uint16_t kNamedPort = 6970;
constexpr uint32_t kSsrc = 7;
constexpr uint32_t kRestartedSsrc = 9;

// A channel without a session: the test hands it datagrams as the receiver would, on a clock of
// its own, and keeps the sequence numbers that reach the parser.
class ReceivingChannel : public korvalt::CBaseRTPChannel {
 public:
  ReceivingChannel(korvalt::IDriver* driver, korvalt::ipcapture::IFrameSink* sink)
      : CBaseRTPChannel(0, driver, sink) {
    ResolvedAddress = htonl(INADDR_LOOPBACK);
    ReportLossIfDue();  // the loss window begins
  }
  bool ConfigureCamera() override { return false; }
  bool SendKeepAlive() override { return true; }
  void ProcessPacket(const korvalt::RTP_PACKET_INFO& packet) override {
    Parsed.push_back(packet.SequenceNumber);
  }
  int64_t ReceiveNowMs() override { return Now; }

  void Expect(uint16_t port) { SourceFilter.Expect(htons(port), std::nullopt, Now); }
  void Datagram(uint16_t sourcePort, uint32_t ssrc, uint16_t sequence) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(sourcePort);
    const uint8_t payload[4] = {1, 2, 3, 4};
    korvalt::RTP_PACKET_INFO info;
    info.SequenceNumber = sequence;
    info.Ssrc = ssrc;
    info.Payload = payload;
    info.PayloadLength = sizeof payload;
    OnRTPPacket(nullptr, from, info);
  }
  void Timeout() { OnRTPTimeout(); }
  void ReportNow() { ReportLossIfDue(true); }

  int64_t Now = 1000;
  std::vector<uint16_t> Parsed;
};

struct LossLine {
  unsigned long long Lost = 0, Expected = 0, Late = 0, Duplicates = 0;
};

// The figures of the one loss line, if there is one.
std::optional<LossLine> ReadLossLine(const testsupport::FakeDriver& driver) {
  std::optional<LossLine> found;
  for (const auto& line : driver.Lines()) {
    const size_t at = line.Text.find(": lost ");
    if (at == std::string::npos) continue;
    LossLine l;
    double share = 0;
    unsigned long long pictures = 0, kernel = 0, seconds = 0;
    const int n =
        std::sscanf(line.Text.c_str() + at,
                    ": lost %llu of %llu RTP packets (%lf %%), dropped %llu pictures, kernel dropped "
                    "%llu datagrams in the last %llu s; dropped %llu late and %llu duplicate RTP packets",
                    &l.Lost, &l.Expected, &share, &pictures, &kernel, &seconds, &l.Late, &l.Duplicates);
    EXPECT_EQ(n, 8) << line.Text;
    EXPECT_FALSE(found.has_value()) << "one line only";
    found = l;
  }
  return found;
}

std::vector<uint16_t> Range(uint16_t first, uint16_t count) {
  std::vector<uint16_t> all;
  for (uint16_t i = 0; i < count; ++i) all.push_back(static_cast<uint16_t>(first + i));
  return all;
}

TEST(RtpReceive, DatagramsFromAMovedPortInAnyOrderReachTheParserInSequence) {
  struct Datagram {
    uint16_t Port;
    uint16_t Sequence;
  };
  struct Case {
    const char* Name;
    std::vector<Datagram> In;
    std::vector<uint16_t> Parsed;
    std::optional<LossLine> Line;
    const char* PortLine;  // nullptr: none
  };
  std::vector<Datagram> moved;
  for (uint16_t n = 1; n <= 50; ++n) moved.push_back({kNamedPort + 7, n});
  // 200 packets from the named port: three neighbour swaps and three packets sent twice.
  std::vector<Datagram> shuffled;
  for (uint16_t n = 1; n <= 200; ++n) {
    const bool swapFirst = n == 10 || n == 50 || n == 120;
    const bool swapSecond = n == 11 || n == 51 || n == 121;
    if (swapFirst) continue;
    shuffled.push_back({kNamedPort, n});
    if (swapSecond) shuffled.push_back({kNamedPort, static_cast<uint16_t>(n - 1)});
    if (n == 30 || n == 99 || n == 150) shuffled.push_back({kNamedPort, n});
  }
  // Packet 60 lost, 70 too late to use.
  std::vector<Datagram> lossy;
  for (uint16_t n = 1; n <= 100; ++n)
    if (n != 60 && n != 70) lossy.push_back({kNamedPort, n});
  lossy.push_back({kNamedPort, 70});
  std::vector<uint16_t> lossyParsed;
  for (uint16_t n = 1; n <= 100; ++n)
    if (n != 60 && n != 70) lossyParsed.push_back(n);

  const Case cases[] = {
      {"a NAT moved the source port", moved, Range(1, 50), std::nullopt,
       "Camera 127.0.0.1 sends RTP from port 6977, not from port 6970 that its SETUP answer named"},
      {"swapped and doubled packets", shuffled, Range(1, 200), LossLine{0, 200, 0, 3}, nullptr},
      {"a lost and a late packet", lossy, lossyParsed, LossLine{1, 100, 1, 0}, nullptr},
  };
  for (const Case& c : cases) {
    testsupport::FakeDriver driver;
    korvalt::DEVICE_INFO device;
    device.Address = "127.0.0.1";
    driver.SetDeviceInfo(device);
    hostkit::FrameSink sink;
    ReceivingChannel channel(&driver, &sink);
    channel.Expect(kNamedPort);
    for (const Datagram& d : c.In) {
      channel.Datagram(d.Port, kSsrc, d.Sequence);
      // One packet every 2 ms; the time bound lets the lost one go after 25 more.
      channel.Now += 2;
    }
    channel.Now += 1000;
    channel.Timeout();
    channel.ReportNow();
    EXPECT_EQ(channel.Parsed, c.Parsed) << c.Name;
    const std::optional<LossLine> line = ReadLossLine(driver);
    ASSERT_EQ(line.has_value(), c.Line.has_value()) << c.Name;
    if (line) {
      EXPECT_EQ(line->Lost, c.Line->Lost) << c.Name;
      EXPECT_EQ(line->Expected, c.Line->Expected) << c.Name;
      EXPECT_EQ(line->Late, c.Line->Late) << c.Name;
      EXPECT_EQ(line->Duplicates, c.Line->Duplicates) << c.Name;
    }
    EXPECT_EQ(driver.Count("sends RTP from port"), c.PortLine != nullptr ? 1u : 0u) << c.Name;
    if (c.PortLine != nullptr) {
      EXPECT_EQ(driver.Count(c.PortLine), 1u) << c.Name;
    }
  }
}

TEST(RtpReceive, AnEncoderRestartStreamsOnWithinAFewFramesAndLosesNothingInTheCount) {
  testsupport::FakeDriver driver;
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  driver.SetDeviceInfo(device);
  hostkit::FrameSink sink;
  ReceivingChannel channel(&driver, &sink);
  channel.Expect(kNamedPort);
  // 25 pictures a second of 3 packets each, for 3 s; then a new SSRC and sequence base, the old
  // one silent.
  constexpr int kFrameMs = 40;
  constexpr int kPackets = 3;
  uint16_t sequence = 1000;
  for (int frame = 0; frame < 75; ++frame, channel.Now += kFrameMs - kPackets)
    for (int p = 0; p < kPackets; ++p, ++channel.Now) channel.Datagram(kNamedPort, kSsrc, sequence++);
  const size_t before = channel.Parsed.size();
  sequence = 40000;
  for (int frame = 0; frame < 25; ++frame, channel.Now += kFrameMs - kPackets)
    for (int p = 0; p < kPackets; ++p, ++channel.Now)
      channel.Datagram(kNamedPort, kRestartedSsrc, sequence++);
  channel.ReportNow();
  ASSERT_EQ(before, 75u * kPackets);
  const size_t taken = channel.Parsed.size() - before;
  EXPECT_GE(taken, (25u - 4u) * kPackets) << "the new stream reaches the parser within 4 frame intervals";
  const std::optional<LossLine> line = ReadLossLine(driver);
  if (line) {
    EXPECT_EQ(line->Lost, 0u) << "a new sequence is no loss";
  }
}

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

int CSeqOf(const std::string& request) {
  const size_t at = request.find("CSeq: ");
  return at == std::string::npos ? 0 : std::stoi(request.substr(at + 6));
}

std::string Ok(const std::string& request, const std::string& extra = "") {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(CSeqOf(request)) + "\r\nSession: 77;timeout=60\r\n" +
         extra + "\r\n";
}

// A camera behind a NAT that moves its RTP source port: SETUP names server_port 16970, the
// datagrams leave from 16977.
class NattedCamera {
 public:
  static constexpr uint16_t kServerPort = 16970;
  static constexpr uint16_t kSourcePort = kServerPort + 7;

  NattedCamera() : Server([this](testsupport::ScriptedTcpServer::Connection& c) { Serve(c); }) {}

  void Serve(testsupport::ScriptedTcpServer::Connection& connection) {
    const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";
    const auto describe = connection.ReadRequest();
    if (!describe) return;
    connection.Send("RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(CSeqOf(*describe)) +
                    "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                    "\r\n\r\n" + sdp);
    const auto setup = connection.ReadRequest();
    if (!setup) return;
    const size_t at = setup->find("client_port=");
    if (at == std::string::npos) return;
    const auto clientPort = static_cast<uint16_t>(std::stoi(setup->substr(at + 12)));
    connection.Send(Ok(*setup, "Transport: RTP/AVP;unicast;client_port=" + std::to_string(clientPort) + "-" +
                                   std::to_string(clientPort + 1) +
                                   ";server_port=" + std::to_string(kServerPort) + "-" +
                                   std::to_string(kServerPort + 1) + "\r\n"));
    const auto play = connection.ReadRequest();
    if (!play) return;
    connection.Send(Ok(*play));
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_port = htons(kSourcePort);
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0;
    sockaddr_in to = source;
    to.sin_port = htons(clientPort);
    for (uint16_t sequence = 0; sequence < 500 && connection.Pause(20); ++sequence) {
      const std::string packet = KeyFrame(sequence);
      ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    ::close(fd);
    connection.StaySilent();
  }

  std::atomic<bool> Bound{false};
  testsupport::ScriptedTcpServer Server;
};

class NattedChannel : public korvalt::CH264ChannelRTSP {
 public:
  NattedChannel(korvalt::IDriver* driver, korvalt::ipcapture::IFrameSink* sink, uint16_t rtspPort)
      : CH264ChannelRTSP(0, driver, sink), Port(rtspPort) {
    Intervals.PortProbeMs = 20;
    Intervals.LoopWaitMs = 50;
    Intervals.TcpFallbackMs = 1000;
  }
  bool ConfigureCamera() override {
    RtspPort = Port;
    return true;
  }
  const uint16_t Port;
};

TEST(RtpReceive, ACameraWhoseNatMovesTheSourcePortStreamsOverUdpWithALineThatSaysSo) {
  testsupport::FakeDriver driver;
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = 80;
  device.NetworkTimeout = 1000;
  device.SignalLossTimeout = 5000;
  driver.SetDeviceInfo(device);
  hostkit::SampleAllocator allocator;
  driver.Allocator = &allocator;
  hostkit::FrameSink sink;
  NattedCamera camera;
  NattedChannel channel(&driver, &sink, camera.Server.Port());
  ASSERT_TRUE(channel.Start(korvalt::StreamSettings{40, 60, 320, 240}));
  const bool streamed = testsupport::Eventually([&] { return sink.Frames.load() >= 10; }, 10000);
  const bool said = testsupport::Eventually([&] { return driver.Count("sends RTP from port") > 0; }, 5000);
  channel.Stop();
  ASSERT_TRUE(camera.Bound.load()) << "port " << NattedCamera::kSourcePort << " was taken";
  EXPECT_TRUE(streamed);
  EXPECT_TRUE(said);
  EXPECT_EQ(
      driver.Count("Camera 127.0.0.1 sends RTP from port 16977, not from port 16970 that its SETUP answer "
                   "named"),
      1u);
  EXPECT_EQ(driver.Count("no RTP arrived"), 0u);
  EXPECT_EQ(driver.Count("streams over TCP"), 0u);
  EXPECT_EQ(allocator.Created.load(), allocator.Released.load());
}

}  // namespace
