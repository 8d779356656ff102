#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "media/parsers/rtp_media_parser.h"

namespace korvalt {

// Reassembles Motion-JPEG pictures from RTP payloads (JPEG payload format) and turns each into
// a complete baseline JPEG file by rebuilding the headers that the payload format leaves out.
class CJpegRTPMediaParser : public CRTPMediaParser {
 public:
  static constexpr size_t kHeaderSize = 605;  // rebuilt JPEG header, SOI to SOS
  static constexpr size_t kTablesSize = 128;  // luminance then chrominance table, zigzag order

  using CRTPMediaParser::CRTPMediaParser;

  void Reset() override;

  // Quantisation tables for a Q factor below 128, scaled from the standard tables.
  static std::array<uint8_t, kTablesSize> TablesFromQ(uint8_t q);

 private:
  void AddPayload(std::span<const uint8_t> payload, bool marker) override;
  void EndPicture() override;
  // Writes the rebuilt file into out (at least buffer size + 1,024 bytes); its size, or 0.
  size_t WritePicture(uint8_t* out) override;

  bool WaitingForFirstFragment = true;
  size_t ScanStart = 0;  // where the scan data starts in the frame buffer
  // Tables of the last Q seen below 128, kept so steady streams scale them once.
  int CachedQ = -1;
  std::array<uint8_t, kTablesSize> CachedTables{};
  // Tables last received in a payload, with their Q.
  int InBandQ = -1;
  std::array<uint8_t, kTablesSize> InBandTables{};
};

}  // namespace korvalt
