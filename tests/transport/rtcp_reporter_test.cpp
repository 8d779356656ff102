#include "transport/rtcp_reporter.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "udp_test_util.h"

namespace korvalt {
namespace {

using transporttest::LoopbackAddress;
using transporttest::UdpPeer;
constexpr int kWaitMs = 5000;
constexpr int kSilenceMs = 300;

uint32_t Be32(const std::vector<uint8_t>& p, size_t at) {
  return (uint32_t{p[at]} << 24) | (uint32_t{p[at + 1]} << 16) | (uint32_t{p[at + 2]} << 8) | p[at + 3];
}

// What a strict RTCP receiver takes from a compound packet; Error names the first violation.
struct Compound {
  std::string Error;
  uint32_t ReporterSsrc = 0;
  uint32_t ReporteeSsrc = 0;
  uint32_t LastSr = 0;
  std::string Cname;
};

Compound ParseCompound(const std::vector<uint8_t>& p) {
  Compound c;
  size_t at = 0;
  bool first = true;
  bool sawSdes = false;
  while (at < p.size()) {
    if (p.size() - at < 4) return c.Error = "truncated header", c;
    if ((p[at] >> 6) != 2) return c.Error = "version", c;
    if ((p[at] & 0x20) != 0) return c.Error = "padding bit", c;
    const size_t count = p[at] & 0x1F;
    const uint8_t type = p[at + 1];
    const size_t bytes = 4 * (size_t{static_cast<uint16_t>((p[at + 2] << 8) | p[at + 3])} + 1);
    if (bytes > p.size() - at) return c.Error = "length past datagram", c;
    if (first && type != 200 && type != 201) return c.Error = "compound must start with SR or RR", c;
    first = false;
    if (type == 201) {
      if (bytes != 8 + 24 * count) return c.Error = "RR length", c;
      c.ReporterSsrc = Be32(p, at + 4);
      if (count >= 1) {
        c.ReporteeSsrc = Be32(p, at + 8);
        c.LastSr = Be32(p, at + 24);
      }
    } else if (type == 202) {
      sawSdes = true;
      size_t chunk = at + 4;
      const size_t end = at + bytes;
      for (size_t i = 0; i < count; ++i) {
        if (end - chunk < 4) return c.Error = "SDES chunk SSRC", c;
        chunk += 4;
        for (;;) {
          if (chunk >= end) return c.Error = "SDES items not ended by a null item", c;
          const uint8_t item = p[chunk];
          if (item == 0) break;
          if (end - chunk < 2 || end - chunk - 2 < p[chunk + 1]) return c.Error = "SDES item length", c;
          if (item == 1) c.Cname.assign(p.begin() + chunk + 2, p.begin() + chunk + 2 + p[chunk + 1]);
          chunk += 2 + p[chunk + 1];
        }
        // The null item and padding run to the next 32-bit boundary, all zero.
        do {
          if (chunk >= end || p[chunk] != 0) return c.Error = "SDES chunk padding", c;
          ++chunk;
        } while ((chunk - at) % 4 != 0);
      }
      if (chunk != end) return c.Error = "SDES length does not match its chunks", c;
    }
    at += bytes;
  }
  if (!sawSdes) c.Error = "no SDES";
  return c;
}

// A sender report: header, SSRC 0x11223344, NTP 0xA0A1A2A3.B0B1B2B3, RTP time, counts.
std::vector<uint8_t> SenderReport() {
  return {0x80, 200,  0x00, 0x06, 0x11, 0x22, 0x33, 0x44, 0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1,
          0xB2, 0xB3, 0,    0,    0,    1,    0,    0,    0,    2,    0,    0,    0,    3};
}

class RTCPReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Reporter.Open(0));
    ASSERT_NE(Reporter.BoundPort(), 0);
    Reporter.SetCameraAddress(LoopbackAddress("127.0.0.1"));
    ASSERT_TRUE(Reporter.Start());
  }

  CRTCPReporter Reporter;
  UdpPeer Camera{"127.0.0.1"};
};

TEST_F(RTCPReporterTest, SenderReportIsAnsweredWithStrictlyValidReceiverReportAndSdes) {
  ASSERT_TRUE(Camera.SendTo(Reporter.BoundPort(), SenderReport()));
  const auto answer = Camera.Receive(kWaitMs);
  ASSERT_TRUE(answer.has_value());
  const Compound c = ParseCompound(*answer);
  EXPECT_EQ(c.Error, "");
  EXPECT_EQ(c.ReporterSsrc, Reporter.Ssrc());
  EXPECT_EQ(c.ReporteeSsrc, 0x11223344u);
  EXPECT_EQ(c.LastSr, 0xA2A3B0B1u);  // middle 32 bits of the NTP time stamp
  EXPECT_FALSE(c.Cname.empty());
}

TEST_F(RTCPReporterTest, ElevenBytePacketIsAnsweredWithoutReadingPastIt) {
  ASSERT_TRUE(Camera.SendTo(Reporter.BoundPort(), {0x80, 201, 0, 1, 0x55, 0x66, 0x77, 0x88, 9, 9, 9}));
  const auto answer = Camera.Receive(kWaitMs);
  ASSERT_TRUE(answer.has_value());
  const Compound c = ParseCompound(*answer);
  EXPECT_EQ(c.Error, "");
  EXPECT_EQ(c.ReporteeSsrc, 0x55667788u);
  EXPECT_EQ(c.LastSr, 0u);  // no sender report, nothing to echo
}

TEST_F(RTCPReporterTest, ShortPacketEndsTheThreadWithBye) {
  // A bare BYE from the camera: 8 bytes.
  ASSERT_TRUE(Camera.SendTo(Reporter.BoundPort(), {0x81, 203, 0, 1, 1, 2, 3, 4}));
  const auto bye = Camera.Receive(kWaitMs);
  ASSERT_TRUE(bye.has_value());
  ASSERT_EQ(bye->size(), 8u);
  EXPECT_EQ((*bye)[0], 0x81);
  EXPECT_EQ((*bye)[1], 203);
  EXPECT_EQ(Be32(*bye, 4), Reporter.Ssrc());
  EXPECT_TRUE(Reporter.Join(kWaitMs));
  EXPECT_FALSE(Reporter.IsRunning());
  // Joining an ended reporter again is immediate.
  EXPECT_TRUE(Reporter.Join(0));
}

TEST_F(RTCPReporterTest, PacketsFromAnotherAddressGetNoAnswer) {
  if (!transporttest::LoopbackSendersAreTold())
    GTEST_SKIP() << "this system does not tell loopback senders apart";
  UdpPeer stranger("127.0.0.2");
  ASSERT_TRUE(stranger.Ok());
  ASSERT_TRUE(stranger.SendTo(Reporter.BoundPort(), SenderReport()));
  ASSERT_TRUE(stranger.SendTo(Reporter.BoundPort(), {0x81, 203, 0, 1, 1, 2, 3, 4}));
  EXPECT_FALSE(stranger.Receive(kSilenceMs).has_value());
  // The stranger's short packet did not stop the reporter: the camera is still answered.
  ASSERT_TRUE(Camera.SendTo(Reporter.BoundPort(), SenderReport()));
  EXPECT_TRUE(Camera.Receive(kWaitMs).has_value());
  Reporter.Stop();
  ASSERT_TRUE(Reporter.Join(kWaitMs));
  // BYE goes to the camera, never to the stranger.
  EXPECT_TRUE(Camera.Receive(kWaitMs).has_value());
  EXPECT_FALSE(stranger.Receive(0).has_value());
}

TEST_F(RTCPReporterTest, StopWakesTheThreadAndJoinSucceeds) {
  Reporter.Stop();
  EXPECT_TRUE(Reporter.Join(kWaitMs));
  EXPECT_FALSE(Reporter.IsRunning());
  // Never heard from the camera: no BYE to send anywhere.
  EXPECT_FALSE(Camera.Receive(0).has_value());
}

TEST(RTCPReporter, JoinOverrunDetachesAndTheThreadOutlivesTheReporterSafely) {
  auto reporter = std::make_unique<CRTCPReporter>();
  ASSERT_TRUE(reporter->Open(0));
  ASSERT_TRUE(reporter->Start());
  // Not told to stop: the thread is still waiting, so a zero-length join overruns.
  EXPECT_FALSE(reporter->Join(0));
  EXPECT_TRUE(reporter->IsRunning());
  // Destroying the reporter stops the detached thread, which still owns what it uses.
  reporter.reset();
}

TEST(RTCPReporter, TwoReportersChooseDifferentSsrcs) {
  CRTCPReporter a;
  CRTCPReporter b;
  ASSERT_TRUE(a.Open(0));
  ASSERT_TRUE(b.Open(0));
  EXPECT_NE(a.Ssrc(), b.Ssrc());
}

TEST(RTCPReporter, OpenFailsOnATakenPort) {
  CRTCPReporter a;
  ASSERT_TRUE(a.Open(0));
  CRTCPReporter b;
  EXPECT_FALSE(b.Open(a.BoundPort()));
  EXPECT_FALSE(b.Start());
  EXPECT_TRUE(b.Join(0));
}

}  // namespace
}  // namespace korvalt
