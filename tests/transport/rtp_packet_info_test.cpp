#include "transport/rtp_packet_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/socket.h"

namespace korvalt {
namespace {

// Builds an RTP datagram: fixed header, csrcCount CSRC words, an optional extension of
// extensionWords words, then payload bytes.
std::vector<uint8_t> Packet(uint8_t firstByte, size_t csrcCount, int extensionWords, size_t payloadSize) {
  std::vector<uint8_t> p = {
      firstByte,
      0x80 | 96,                    // M=1, PT=96
      0x12,      0x34,              // sequence 0x1234
      0xDE,      0xAD, 0xBE, 0xEF,  // timestamp
      0x01,      0x02, 0x03, 0x04,  // SSRC
  };
  for (size_t i = 0; i < 4 * csrcCount; ++i) p.push_back(static_cast<uint8_t>(0xC0 + i));
  if (extensionWords >= 0) {
    p.insert(p.end(),
             {0xBE, 0xDE, static_cast<uint8_t>(extensionWords >> 8), static_cast<uint8_t>(extensionWords)});
    p.insert(p.end(), 4 * static_cast<size_t>(extensionWords), 0xEE);
  }
  for (size_t i = 0; i < payloadSize; ++i) p.push_back(static_cast<uint8_t>(i));
  return p;
}

struct HeaderCase {
  const char* Name;
  std::vector<uint8_t> Datagram;
  bool Accepted;
  size_t PayloadOffset;
};
void PrintTo(const HeaderCase& c, std::ostream* os) {
  *os << c.Name;
}

class RtpHeaderParse : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(RtpHeaderParse, AcceptsOnlyWholeVersion2Headers) {
  const HeaderCase& c = GetParam();
  RTP_PACKET_INFO info;
  ASSERT_EQ(ParseRtpHeader(c.Datagram.data(), c.Datagram.size(), info), c.Accepted);
  if (!c.Accepted) return;
  EXPECT_EQ(info.Payload, c.Datagram.data() + c.PayloadOffset);
  EXPECT_EQ(info.PayloadLength, c.Datagram.size() - c.PayloadOffset);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtpHeaderParse,
    ::testing::Values(HeaderCase{"BareFixedHeader", Packet(0x80, 0, -1, 0), false, 0},
                      HeaderCase{"Empty", {}, false, 0},
                      HeaderCase{"OnePayloadByte", Packet(0x80, 0, -1, 1), true, 12},
                      HeaderCase{"Version1", Packet(0x40, 0, -1, 10), false, 0},
                      HeaderCase{"Version3", Packet(0xC0, 0, -1, 10), false, 0},
                      // V=2, X=1, CC=2; extension of one word: 12 + 8 + 4 + 4.
                      HeaderCase{"CsrcAndExtension", Packet(0x92, 2, 1, 5), true, 28},
                      // CC=15 announced, the datagram ends inside the CSRC list.
                      HeaderCase{"CsrcListTruncated", Packet(0x8F, 2, -1, 0), false, 0},
                      // X=1 but the extension header itself is cut off.
                      HeaderCase{"ExtensionHeaderTruncated", Packet(0x90, 0, -1, 2), false, 0},
                      // Extension claims 0xFFFF words; only a few are there.
                      HeaderCase{"ExtensionLengthLies",
                                 [] {
                                   auto p = Packet(0x90, 0, 1, 8);
                                   p[14] = 0xFF;
                                   p[15] = 0xFF;
                                   return p;
                                 }(),
                                 false, 0},
                      // A header that ends exactly at the datagram's end leaves an empty payload.
                      HeaderCase{"HeaderFillsDatagram", Packet(0x91, 1, 0, 0), true, 20}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(RtpHeaderFields, AreReadAsTheWireCarriesThem) {
  const std::vector<uint8_t> p = Packet(0xB2, 2, 1, 4);  // V=2, P=1, X=1, CC=2
  RTP_PACKET_INFO info;
  ASSERT_TRUE(ParseRtpHeader(p.data(), p.size(), info));
  EXPECT_EQ(info.Marker, 1);
  EXPECT_EQ(info.Padding, 1);
  EXPECT_EQ(info.PayloadType, 96);
  EXPECT_EQ(info.SequenceNumber, 0x1234);
  EXPECT_EQ(info.Timestamp, 0xDEADBEEFu);
  EXPECT_EQ(info.Ssrc, htonl(0x01020304));  // left in network order
  EXPECT_EQ(info.CsrcCount, 2);
  EXPECT_EQ(info.CsrcList, p.data() + 12);
  EXPECT_EQ(info.ExtensionProfile, htons(0xBEDE));
  EXPECT_EQ(info.ExtensionLength, 1);
  EXPECT_EQ(info.ExtensionData, p.data() + 24);
  // Padding bytes are not removed: the payload runs to the datagram's end.
  EXPECT_EQ(info.PayloadLength, 4u);
}

TEST(RtpHeaderFields, LongExtensionIsSkippedWholeAndReportedModulo256) {
  const std::vector<uint8_t> p = Packet(0x90, 0, 300, 3);
  RTP_PACKET_INFO info;
  ASSERT_TRUE(ParseRtpHeader(p.data(), p.size(), info));
  EXPECT_EQ(info.ExtensionLength, 44);  // 300 mod 256
  EXPECT_EQ(info.Payload, p.data() + 12 + 4 + 1200);
  EXPECT_EQ(info.PayloadLength, 3u);
}

TEST(RtpHeaderFields, AbsentPartsStayZero) {
  const std::vector<uint8_t> p = Packet(0x80, 0, -1, 2);
  RTP_PACKET_INFO info;
  info.CsrcCount = 9;
  ASSERT_TRUE(ParseRtpHeader(p.data(), p.size(), info));
  EXPECT_EQ(info.CsrcCount, 0);
  EXPECT_EQ(info.CsrcList, nullptr);
  EXPECT_EQ(info.ExtensionData, nullptr);
  EXPECT_EQ(info.ExtensionLength, 0);
  EXPECT_EQ(info.Padding, 0);
}

}  // namespace
}  // namespace korvalt
