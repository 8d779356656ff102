#include "transport/rtp_source_filter.h"

#include <gtest/gtest.h>

#include "transport/rtsp_method.h"
#include "transport/rtsp_response_parser.h"

namespace korvalt {
namespace {

constexpr uint16_t kCameraPort = 6970;
constexpr uint16_t kOtherPort = 6972;
constexpr uint32_t kCamera = 0x11111111;
constexpr uint32_t kForeign = 0x22222222;
constexpr uint32_t kRestarted = 0x33333333;

TEST(RtpSourceFilter, TakesTheNamedPortAndOneSsrcUntilItFallsSilent) {
  CRtpSourceFilter filter;
  filter.Expect(kCameraPort, std::nullopt, 0);
  struct Step {
    uint16_t Port;
    uint32_t Ssrc;
    int64_t Ms;
    bool Accepted;
  };
  const Step steps[] = {
      {kOtherPort, kCamera, 10, false},    // another source port of the same address
      {kCameraPort, kCamera, 20, true},    // the first SSRC after PLAY is the stream's
      {kCameraPort, kForeign, 30, false},  // another stream through the same port
      {kCameraPort, kCamera, 1500, true},  //
      {kCameraPort, kRestarted, 3000, false},
      {kCameraPort, kRestarted, 3600, true},  // the old one silent for 2 s: a camera restart
      {kCameraPort, kCamera, 3700, false},
  };
  for (const Step& s : steps) EXPECT_EQ(filter.Accept(s.Port, s.Ssrc, s.Ms), s.Accepted) << s.Ms;
  EXPECT_EQ(filter.Dropped(), 4u);
  filter.Reset();
  EXPECT_EQ(filter.Dropped(), 0u);
  EXPECT_TRUE(filter.Accept(kOtherPort, kForeign, 4000)) << "without a session everything passes";
}

TEST(RtpSourceFilter, TheSsrcSetupNamedHoldsFromTheStart) {
  CRtpSourceFilter filter;
  filter.Expect(0, kCamera, 0);
  EXPECT_FALSE(filter.Accept(kOtherPort, kForeign, 100));
  EXPECT_TRUE(filter.Accept(kOtherPort, kCamera, 200)) << "no port named: any port";
  // A camera that named an SSRC it never uses still streams, once the named one stayed silent.
  CRtpSourceFilter wrong;
  wrong.Expect(0, kForeign, 0);
  EXPECT_FALSE(wrong.Accept(kCameraPort, kCamera, 1000));
  EXPECT_TRUE(wrong.Accept(kCameraPort, kCamera, 2000));
}

TEST(TransportHeader, NamesTheSourcePortAndSsrcAndOddFormsNameNothing) {
  struct Case {
    const char* Transport;
    uint16_t Port;
    std::optional<uint32_t> Ssrc;
  };
  const Case cases[] = {
      {"RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971;ssrc=1A2B3C4D", 6970, 0x1A2B3C4D},
      {"RTP/AVP;unicast;client_port=3556-3557;server_port=6970", 6970, std::nullopt},
      {"RTP/AVP;unicast;ssrc=0x1234", 0, std::nullopt},
      {"RTP/AVP;unicast;ssrc=123456789;server_port=x-1", 0, std::nullopt},
      {"RTP/AVP;unicast; SSRC = 0000abcd ;Server_Port=554-555", 554, 0xABCD},
      {"RTP/AVP;unicast;server_port=70000-70001", 0, std::nullopt},
  };
  for (const Case& c : cases) {
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.Parse(
        std::string("RTSP/1.0 200 OK\r\nSession: 1\r\nTransport: ") + c.Transport + "\r\n\r\n", kRtspSetup))
        << c.Transport;
    EXPECT_EQ(parser.ServerRtpPort, c.Port) << c.Transport;
    EXPECT_EQ(parser.TransportSsrc, c.Ssrc) << c.Transport;
  }
}

}  // namespace
}  // namespace korvalt
