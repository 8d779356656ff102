#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "media/parsers/mp4_parser.h"
#include "media/parsers/rtp_media_parser.h"

namespace korvalt {

// Reassembles MPEG-4 Visual pictures from RTP payloads that carry the elementary stream with
// its start codes. Keeps the configuration headers last seen in the stream and puts them in
// front of every I-VOP; key frames are "DIVX", other frames "DIVI".
class CMpeg4RTPMediaParser : public CRTPMediaParser {
 public:
  CMpeg4RTPMediaParser(std::string parserName, IDriver* driver);

  void ProcessPacket(const RTP_PACKET_INFO& packet) override;
  void Reset() override;

  const std::vector<uint8_t>& GetConfiguration() const { return Configuration; }

 private:
  void DeliverPicture();

  bool WaitingForKeyFrame = true;
  bool KeyFrame = false;
  CMP4Parser HeaderParser;
  // What preceded the first VOP start code in the last payload that began with a visual
  // object sequence or video object start code.
  std::vector<uint8_t> Configuration;
};

}  // namespace korvalt
