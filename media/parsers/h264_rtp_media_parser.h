#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "media/parsers/rtp_media_parser.h"

namespace korvalt {

// Rebuilds Annex B access units from H.264 RTP payloads (single NAL unit, STAP-A, FU-A). The
// first frame delivered after construction or a reset is one that carries an SPS; fragmented
// IDR frames get the parameter sets put in front of them.
class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  CH264RTPMediaParser(std::string parserName, IDriver* driver);

  void ProcessPacket(const RTP_PACKET_INFO& packet) override;
  void Reset() override;

  // The parameter sets announced in the SDP ("sprop-parameter-sets"), NAL header included.
  // Called by the channel between DESCRIBE and PLAY. Ignored when either is empty.
  void AcceptParameterSets(std::span<const uint8_t> sps, std::span<const uint8_t> pps);

  const std::vector<uint8_t>& GetSps() const { return SpsBytes; }
  const std::vector<uint8_t>& GetPps() const { return PpsBytes; }

 private:
  bool AppendPayload(std::span<const uint8_t> payload);
  bool AppendNal(std::span<const uint8_t> nal);
  bool AppendFragment(std::span<const uint8_t> payload);
  bool PrefixParameterSets();
  void BuildParameterSets();
  void DeliverFrame();
  void EmptyFrame();

  bool WaitingForKeyFrame = true;
  bool FrameHasSps = false;  // an SPS was written into the frame being assembled
  std::vector<uint8_t> SpsBytes;
  std::vector<uint8_t> PpsBytes;
};

}  // namespace korvalt
