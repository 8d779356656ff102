#pragma once

#include <cstddef>
#include <cstdint>

namespace korvalt {

// The parsed header of one RTP datagram. Pointers point into the receive
// buffer and are valid only during the callback that hands the record on.
struct RTP_PACKET_INFO {
  uint8_t CsrcCount = 0;                   // CC field; set only when not 0
  const uint8_t* CsrcList = nullptr;       // first CSRC word (network order); set only when CC != 0
  uint32_t Ssrc = 0;                       // bytes 8..11 as they stand (network order, not converted)
  uint8_t Marker = 0;                      // 0 or 1
  uint8_t Padding = 0;                     // P bit; the padding bytes stay inside the payload
  uint8_t PayloadType = 0;                 // 0..127
  uint16_t SequenceNumber = 0;             // host order
  uint32_t Timestamp = 0;                  // host order
  uint8_t ExtensionLength = 0;             // low 8 bits of the extension length (32-bit words); X only
  uint16_t ExtensionProfile = 0;           // first 16 bits of the extension (network order); X only
  const uint8_t* ExtensionData = nullptr;  // first word after the 4-byte extension header; X only
  uint32_t PayloadLength = 0;              // bytes from the end of the header to the end of the datagram
  const uint8_t* Payload = nullptr;        // first payload byte
};

// Parses the fixed header, CSRC list and header extension of an RTP datagram
// into `info` (which it zeroes first). Returns false, leaving nothing usable,
// for a datagram of 12 bytes or less, a version other than 2, or a header
// that runs past the end of the datagram.
bool ParseRtpHeader(const uint8_t* data, size_t length, RTP_PACKET_INFO& info);

}  // namespace korvalt
