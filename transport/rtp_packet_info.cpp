#include "transport/rtp_packet_info.h"

#include <cstring>

namespace korvalt {
namespace {

constexpr size_t kFixedHeaderSize = 12;
constexpr size_t kCsrcSize = 4;
constexpr size_t kExtensionHeaderSize = 4;
constexpr size_t kWordSize = 4;
constexpr uint8_t kVersion = 2;

uint16_t ReadBe16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ReadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// |                           timestamp                           |
// |           synchronization source (SSRC) identifier            |
// |            contributing source (CSRC) identifiers             |  CC words
// |      defined by profile       |           length              |  if X
// |                        header extension                       |  length words
bool ParseRtpHeader(const uint8_t* data, size_t length, RTP_PACKET_INFO& info) {
  info = RTP_PACKET_INFO{};
  // A datagram of the bare fixed header carries no payload at all.
  if (data == nullptr || length <= kFixedHeaderSize) return false;
  if ((data[0] >> 6) != kVersion) return false;

  size_t headerLength = kFixedHeaderSize;
  const uint8_t csrcCount = data[0] & 0x0F;
  if (csrcCount != 0) {
    info.CsrcCount = csrcCount;
    info.CsrcList = data + kFixedHeaderSize;
    headerLength += kCsrcSize * csrcCount;
  }

  if ((data[0] & 0x10) != 0) {
    headerLength += kExtensionHeaderSize;
    if (length < headerLength) return false;
    const uint8_t* extension = data + headerLength - kExtensionHeaderSize;
    const uint16_t words = ReadBe16(extension + 2);
    std::memcpy(&info.ExtensionProfile, extension, sizeof info.ExtensionProfile);
    info.ExtensionLength = static_cast<uint8_t>(words & 0xFF);
    info.ExtensionData = data + headerLength;
    headerLength += kWordSize * words;
  }
  if (length < headerLength) {
    info = RTP_PACKET_INFO{};
    return false;
  }

  info.Marker = data[1] >> 7;
  info.Padding = (data[0] >> 5) & 0x01;
  info.PayloadType = data[1] & 0x7F;
  info.SequenceNumber = ReadBe16(data + 2);
  info.Timestamp = ReadBe32(data + 4);
  std::memcpy(&info.Ssrc, data + 8, sizeof info.Ssrc);
  info.PayloadLength = static_cast<uint32_t>(length - headerLength);
  info.Payload = data + headerLength;
  return true;
}

}  // namespace korvalt
