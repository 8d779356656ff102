#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

// A recorded RTP stream as tests/data/rtp keeps it: NAME.rtp holds the datagrams in RFC 4571
// framing (a 2-byte big-endian length before each), NAME.json beside it the stream's facts
// (codec, and the parameter sets or configuration when they travel only out of band).
class RtpCapture {
 public:
  // Reads path and its .json side file (optional: without it the codec is guessed from the payload
  // type). False with a reason in error when the file is missing, damaged or holds no RTP packet.
  bool Load(const std::string& path, std::string& error);

  // The session description a camera would answer to DESCRIBE for this stream.
  std::string Sdp(const std::string& address) const;

  std::vector<std::vector<uint8_t>> Packets;  // whole datagrams, header included
  std::string Codec;                          // h264, jpeg or mpeg4
  uint8_t PayloadType = 0;
  uint32_t Ssrc = 0;
  std::string SpropParameterSets;  // H.264 parameter sets sent out of band, if any
  std::string Mpeg4Config;         // MPEG-4 configuration sent out of band, if any

  static constexpr uint32_t kClockRate = 90000;
  static constexpr size_t kMaxFileBytes = 256u << 20;
  static constexpr size_t kMaxSideFileBytes = 64u << 10;
};

// The string value of "key" in a flat JSON object ("" when absent or not a string).
std::string JsonString(const std::string& json, const std::string& key);

}  // namespace camsim
