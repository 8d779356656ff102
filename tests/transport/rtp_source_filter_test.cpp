#include "transport/rtp_source_filter.h"

#include <gtest/gtest.h>

#include "platform/socket.h"
#include "transport/rtsp_method.h"
#include "transport/rtsp_response_parser.h"

namespace korvalt {
namespace {

constexpr uint16_t kCameraPort = 6970;
constexpr uint16_t kOtherPort = 6972;
constexpr uint32_t kCamera = 0x11111111;
constexpr uint32_t kForeign = 0x22222222;
constexpr uint32_t kRestarted = 0x33333333;

using Verdict = CRtpSourceFilter::Verdict;

TEST(RtpSourceFilter, TakesOneSsrcFromAnySourcePortUntilItFallsSilent) {
  CRtpSourceFilter filter;
  filter.Expect(htons(kCameraPort), std::nullopt, 0);
  struct Step {
    uint16_t Port;
    uint32_t Ssrc;
    int64_t Ms;
    Verdict Result;
  };
  const Step steps[] = {
      {kOtherPort, kCamera, 10, Verdict::kTaken},      // a NAT moved the source port: still the stream
      {kCameraPort, kCamera, 20, Verdict::kTaken},     //
      {kCameraPort, kForeign, 30, Verdict::kDropped},  // another stream through the same port
      {kCameraPort, kCamera, 1500, Verdict::kTaken},   //
      {kCameraPort, kRestarted, 3000, Verdict::kDropped},
      {kCameraPort, kRestarted, 3600, Verdict::kNewStream},  // the old one silent for 2 s
      {kCameraPort, kCamera, 3700, Verdict::kDropped},
  };
  for (const Step& s : steps) EXPECT_EQ(filter.Accept(htons(s.Port), s.Ssrc, s.Ms), s.Result) << s.Ms;
  EXPECT_EQ(filter.Dropped(), 3u);
  const auto moved = filter.TakePortMismatch();
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->first, kOtherPort);
  EXPECT_EQ(moved->second, kCameraPort);
  EXPECT_FALSE(filter.TakePortMismatch().has_value()) << "said once per session";
  filter.Reset();
  EXPECT_EQ(filter.Dropped(), 0u);
  EXPECT_EQ(filter.Accept(htons(kOtherPort), kForeign, 4000), Verdict::kTaken)
      << "without a session everything passes";
}

TEST(RtpSourceFilter, AnEncoderRestartTakesOverWithinAFewFramesAndAForeignStreamNever) {
  constexpr int64_t kFrameMs = 40;
  constexpr int kPacketsPerFrame = 3;
  struct Case {
    const char* Name;
    bool OldStops;        // the old stream falls silent when the new one begins
    int64_t TakenWithin;  // ms after the new one began; 0 = never
  };
  const Case cases[] = {
      {"an encoder restart", true, 4 * kFrameMs},
      {"a foreign stream beside the live one", false, 0},
  };
  for (const Case& c : cases) {
    CRtpSourceFilter filter;
    filter.Expect(htons(kCameraPort), std::nullopt, 0);
    constexpr int64_t kNewBeginsMs = 3000;
    int64_t takenAt = 0;
    for (int64_t frame = 0; frame * kFrameMs < 10000 && takenAt == 0; ++frame) {
      const int64_t at = frame * kFrameMs;
      for (int p = 0; p < kPacketsPerFrame; ++p) {
        if (!c.OldStops || at < kNewBeginsMs) {
          EXPECT_NE(filter.Accept(htons(kCameraPort), kCamera, at + p), Verdict::kDropped)
              << c.Name << " " << at;
        }
        // The new one sends half a frame interval after the old one.
        if (at >= kNewBeginsMs) {
          const Verdict v = filter.Accept(htons(kCameraPort), kRestarted, at + kFrameMs / 2 + p);
          if (v == Verdict::kNewStream) takenAt = at + kFrameMs / 2 + p;
        }
      }
    }
    if (c.TakenWithin == 0) {
      EXPECT_EQ(takenAt, 0) << c.Name;
    } else {
      EXPECT_GT(takenAt, 0) << c.Name;
      EXPECT_LE(takenAt - kNewBeginsMs, c.TakenWithin) << c.Name;
    }
  }
}

TEST(RtpSourceFilter, TheSsrcSetupNamedHoldsFromTheStart) {
  CRtpSourceFilter filter;
  filter.Expect(0, kCamera, 0);
  EXPECT_EQ(filter.Accept(kOtherPort, kForeign, 100), Verdict::kDropped);
  EXPECT_EQ(filter.Accept(kOtherPort, kCamera, 200), Verdict::kTaken) << "no port named: any port";
  EXPECT_FALSE(filter.TakePortMismatch().has_value());
  // A camera that named an SSRC it never uses still streams, once the named one stayed silent.
  CRtpSourceFilter wrong;
  wrong.Expect(0, kForeign, 0);
  EXPECT_EQ(wrong.Accept(kCameraPort, kCamera, 1000), Verdict::kDropped);
  EXPECT_EQ(wrong.Accept(kCameraPort, kCamera, 2000), Verdict::kNewStream);
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
