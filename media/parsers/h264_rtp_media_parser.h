#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "media/parsers/rtp_media_parser.h"

namespace korvalt {

// Rebuilds Annex B access units from H.264 RTP payloads (single NAL unit, STAP-A, FU-A). The
// first frame delivered after construction or a reset is one that carries an SPS. The last
// parameter sets the camera sent (in the SDP or in the stream) are put in front of every IDR
// picture that lacks them; only a camera that never sent any gets sets built from the size the
// host asked for. A sample without any slice is no picture and is not delivered.
class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  using CRTPMediaParser::CRTPMediaParser;

  void Reset() override;

  // The parameter sets announced in the SDP ("sprop-parameter-sets"), NAL header included.
  // Called by the channel between DESCRIBE and PLAY (on the receive thread, before the next
  // packet). Ignored when either is empty.
  void AcceptParameterSets(std::span<const uint8_t> sps, std::span<const uint8_t> pps);

  const std::vector<uint8_t>& GetSps() const { return SpsBytes; }
  const std::vector<uint8_t>& GetPps() const { return PpsBytes; }

 private:
  void AddPayload(std::span<const uint8_t> payload, bool marker) override;
  void EndPicture() override;
  // The frame, then an access unit delimiter.
  size_t WritePicture(uint8_t* out) override;

  // One NAL unit of the frame being assembled.
  struct NalUnit {
    size_t Offset = 0;  // of its start code in the frame buffer
    uint8_t Type = 0;
    bool IdrStart = false;  // an IDR slice that is to have the parameter sets in front
  };

  bool AppendPayload(std::span<const uint8_t> payload);
  bool AppendNal(std::span<const uint8_t> nal);
  bool AppendFragment(std::span<const uint8_t> payload);
  bool StartUnit(uint8_t type, bool idrStart);
  // The NAL unit's bytes (header included, start code not) in the frame buffer.
  std::span<const uint8_t> UnitBytes(size_t index) const;
  void RememberParameterSets();
  // Puts the remembered (or built) sets that the IDR picture lacks in front of its slices.
  bool CompleteKeyFrame(bool hasSps, bool hasPps, size_t firstSlice);
  void BuildParameterSets();
  void DeliverFrame();
  void EmptyFrame();

  bool WaitingForKeyFrame = true;
  std::vector<NalUnit> Units;  // of the frame being assembled; reused from frame to frame
  std::vector<uint8_t> SpsBytes;
  std::vector<uint8_t> PpsBytes;
  bool BuiltSets = false;  // SpsBytes and PpsBytes were built, for BuiltSize
  std::pair<uint32_t, uint32_t> BuiltSize{0, 0};
};

}  // namespace korvalt
