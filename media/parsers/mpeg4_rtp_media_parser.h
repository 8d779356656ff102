#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "media/parsers/mp4_parser.h"
#include "media/parsers/rtp_media_parser.h"

namespace korvalt {

// Reassembles MPEG-4 Visual pictures from RTP payloads that carry the elementary stream with
// its start codes. Keeps the configuration headers last seen in the stream (or, while the stream
// carries none, those the SDP announced) and puts them in front of every I-VOP, also one led by a
// group-of-VOP header; a payload holding several whole VOPs gives one picture each. Key frames
// are "DIVX", other frames "DIVI".
class CMpeg4RTPMediaParser : public CRTPMediaParser {
 public:
  using CRTPMediaParser::CRTPMediaParser;

  void Reset() override;

  // The configuration headers the SDP announced for the video ("config="): used for key frames
  // while the stream has carried none of its own. Called between DESCRIBE and PLAY (on the
  // receive thread, before the next packet); an empty one is ignored.
  void AcceptConfiguration(std::span<const uint8_t> configuration);

  const std::vector<uint8_t>& GetConfiguration() const { return Configuration; }

 private:
  void AddPayload(std::span<const uint8_t> payload, bool marker) override;
  void EndPicture() override;
  // One payload, or the part of it that holds one picture (or its continuation); marker says
  // whether the picture ends with it.
  void ProcessPiece(std::span<const uint8_t> piece, bool marker);
  // Puts the configuration in front of an I-VOP; ownGov: the picture brings its own group-of-VOP
  // header, so a stored one is left out.
  bool AppendConfiguration(bool ownGov);
  void DeliverPicture();

  bool WaitingForKeyFrame = true;
  bool KeyFrame = false;
  CMP4Parser HeaderParser;
  // What preceded the first VOP start code in the last payload that began with a visual
  // object sequence or video object start code.
  std::vector<uint8_t> Configuration;
  std::vector<uint8_t> AnnouncedConfiguration;  // from the SDP
};

}  // namespace korvalt
