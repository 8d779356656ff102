#include "media/parsers/h264_rtp_media_parser.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "media/parsers/h264_sps.h"

namespace korvalt {
namespace {

constexpr uint8_t kStartCode[] = {0x00, 0x00, 0x01};
constexpr uint8_t kBuiltPps[] = {0x68, 0xCE, 0x3C, 0x80};
// Access unit delimiter written after every frame (primary_pic_type 1).
constexpr uint8_t kAccessUnitDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};

constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kFirstSliceType = 1;  // non-IDR slice
constexpr uint8_t kIdrSliceType = 5;
constexpr uint8_t kNalTypeSps = 7;
constexpr uint8_t kNalTypePps = 8;
constexpr size_t kMinParameterSet = 2;  // header byte and at least one byte of payload
constexpr uint8_t kLastSingleNalType = 23;
constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;

constexpr size_t kMinSingleNal = 3;
constexpr uint8_t kAudNalType = 9;
constexpr size_t kMinStapA = 4;
constexpr size_t kStapHeaderSize = 1;
constexpr size_t kStapSizeField = 2;
constexpr size_t kFuHeaderSize = 2;
constexpr size_t kMinFuA = 3;

// FU indicator: |F|NRI|Type=28|   FU header: |S|E|R| Type |
constexpr uint8_t kFuIndicatorKeep = 0xE0;
constexpr uint8_t kFuStartBit = 0x80;
// Start of a fragmented IDR slice with the end and reserved bits clear.
constexpr uint8_t kFuIdrStart = 0x85;

constexpr uint32_t kFourCCKey = MakeFourCC("H264");
constexpr uint32_t kFourCCOther = MakeFourCC("I264");

}  // namespace

void CH264RTPMediaParser::Reset() {
  WaitingForKeyFrame = true;
  Width = 0;
  Height = 0;
  EmptyFrame();
}

void CH264RTPMediaParser::EmptyFrame() {
  FrameBuffer.clear();
  Units.clear();
}

void CH264RTPMediaParser::AddPayload(std::span<const uint8_t> payload, bool marker) {
  EndPayload(AppendPayload(payload), marker);
}

void CH264RTPMediaParser::EndPicture() {
  DeliverFrame();
  EmptyFrame();
}

bool CH264RTPMediaParser::AppendPayload(std::span<const uint8_t> payload) {
  if (payload.empty()) return false;
  const uint8_t type = payload[0] & kNalTypeMask;
  if (type >= 1 && type <= kLastSingleNalType) {
    // The camera's own access unit delimiters (2 bytes from x264) carry nothing we keep: every
    // delivered picture ends with ours. Treating them as too short would drop each P-frame.
    if (type == kAudNalType) return true;
    return payload.size() >= kMinSingleNal && AppendNal(payload);
  }
  if (type == kStapA) {
    if (payload.size() < kMinStapA) return false;
    // STAP-A: header byte, then per unit a 16-bit size and the NAL unit.
    std::span<const uint8_t> rest = payload.subspan(kStapHeaderSize);
    while (rest.size() > 1) {
      const size_t size = static_cast<size_t>(rest[0]) << 8 | rest[1];
      if (rest.size() - kStapSizeField < size) return false;
      if (rest.size() == kStapSizeField) break;  // a bare size field ends the packet
      // A zero-sized unit carries nothing; writing its start code alone would corrupt the stream.
      if (size != 0 && !AppendNal(rest.subspan(kStapSizeField, size))) return false;
      rest = rest.subspan(kStapSizeField + size);
    }
    return true;
  }
  if (type == kFuA) return AppendFragment(payload);
  return false;  // STAP-B, MTAP, FU-B and reserved types
}

bool CH264RTPMediaParser::StartUnit(uint8_t type, bool idrStart) {
  try {
    Units.push_back({FrameBuffer.size(), type, idrStart});
  } catch (...) {
    return false;
  }
  return Append(kStartCode);
}

bool CH264RTPMediaParser::AppendNal(std::span<const uint8_t> nal) {
  const uint8_t type = nal[0] & kNalTypeMask;
  return StartUnit(type, type == kIdrSliceType) && Append(nal);
}

bool CH264RTPMediaParser::AppendFragment(std::span<const uint8_t> payload) {
  if (payload.size() < kMinFuA) return false;
  const uint8_t indicator = payload[0];
  const uint8_t header = payload[1];
  if ((header & kFuStartBit) != 0) {
    const uint8_t nalHeader = static_cast<uint8_t>((indicator & kFuIndicatorKeep) | (header & kNalTypeMask));
    // Only the exact start of a fragmented IDR slice (end and reserved bits clear) has the
    // parameter sets put in front.
    if (!StartUnit(header & kNalTypeMask, header == kFuIdrStart) || !Append(&nalHeader, 1)) return false;
  }
  return Append(payload.subspan(kFuHeaderSize));
}

std::span<const uint8_t> CH264RTPMediaParser::UnitBytes(size_t index) const {
  const size_t begin = Units[index].Offset + sizeof kStartCode;
  const size_t end = index + 1 < Units.size() ? Units[index + 1].Offset : FrameBuffer.size();
  return std::span<const uint8_t>(FrameBuffer).subspan(begin, end - begin);
}

// The camera's own parameter sets replace whatever was known: it may send them with some key
// frames only, and the rest must be decoded with the same sets, not with built ones.
void CH264RTPMediaParser::RememberParameterSets() {
  for (size_t i = 0; i < Units.size(); ++i) {
    if (Units[i].Type != kNalTypeSps && Units[i].Type != kNalTypePps) continue;
    const std::span<const uint8_t> bytes = UnitBytes(i);
    if (bytes.size() < kMinParameterSet) continue;
    if (Units[i].Type == kNalTypeSps) {
      // Only an SPS the decoder can read replaces the one held.
      const size_t withStartCode =
          std::min(FrameBuffer.size() - Units[i].Offset, bytes.size() + sizeof kStartCode);
      if (!ParseH264SpsSize(std::span<const uint8_t>(FrameBuffer).subspan(Units[i].Offset, withStartCode)))
        continue;
      SpsBytes.assign(bytes.begin(), bytes.end());
      BuiltSets = false;
    } else {
      PpsBytes.assign(bytes.begin(), bytes.end());
    }
  }
}

bool CH264RTPMediaParser::CompleteKeyFrame(bool hasSps, bool hasPps, size_t firstSlice) {
  if (!hasSps && !hasPps) {
    // Sets built for one picture size are built again when the host asked for another.
    if (SpsBytes.empty() || PpsBytes.empty() ||
        (BuiltSets && Client != nullptr && Client->GetPictureSize() != BuiltSize)) {
      BuildParameterSets();
    }
    if (SpsBytes.empty() || PpsBytes.empty()) {
      WaitingForKeyFrame = true;
      return false;
    }
  }
  // A picture that brings one set of its own gets the other only when the camera sent it before:
  // a built set would not match the camera's.
  const std::vector<uint8_t>& set = hasSps ? PpsBytes : SpsBytes;
  if ((hasSps || hasPps) && (set.empty() || BuiltSets)) return true;
  std::vector<uint8_t> missing;
  if (!hasSps) {
    missing.insert(missing.end(), std::begin(kStartCode), std::end(kStartCode));
    missing.insert(missing.end(), SpsBytes.begin(), SpsBytes.end());
  }
  if (!hasPps) {
    missing.insert(missing.end(), std::begin(kStartCode), std::end(kStartCode));
    missing.insert(missing.end(), PpsBytes.begin(), PpsBytes.end());
  }
  // Both sets go to the very front; a PPS alone goes just before the slices, after the
  // picture's own SPS, which it refers to.
  const size_t at = hasSps ? firstSlice : 0;
  FrameBuffer.insert(FrameBuffer.begin() + static_cast<std::ptrdiff_t>(at), missing.begin(), missing.end());
  return CheckBufferSize();
}

void CH264RTPMediaParser::BuildParameterSets() {
  SpsBytes.clear();
  PpsBytes.clear();
  BuiltSets = false;
  if (Client == nullptr) return;
  const auto [width, height] = Client->GetPictureSize();
  Width = width;
  Height = height;
  SpsBytes = BuildH264Sps(width, height);
  if (SpsBytes.empty()) return;
  PpsBytes.assign(std::begin(kBuiltPps), std::end(kBuiltPps));
  BuiltSets = true;
  BuiltSize = {width, height};
}

void CH264RTPMediaParser::AcceptParameterSets(std::span<const uint8_t> sps, std::span<const uint8_t> pps) {
  if (sps.empty() || pps.empty()) return;
  try {
    SpsBytes.assign(sps.begin(), sps.end());
    PpsBytes.assign(pps.begin(), pps.end());
    BuiltSets = false;
    EmptyFrame();
    if (Append(kStartCode) && Append(sps) && Append(kStartCode) && Append(pps)) {
      if (const auto size = ParseH264SpsSize(FrameBuffer)) {
        Width = size->Width;
        Height = size->Height;
      } else {
        BuildParameterSets();
      }
    }
  } catch (...) {
  }
  EmptyFrame();
}

void CH264RTPMediaParser::DeliverFrame() {
  RememberParameterSets();
  bool hasSlice = false;
  bool hasSps = false;
  bool hasPps = false;
  bool idrStart = false;
  size_t firstSlice = FrameBuffer.size();
  for (const NalUnit& unit : Units) {
    const bool slice = unit.Type >= kFirstSliceType && unit.Type <= kIdrSliceType;
    if (slice && !hasSlice) firstSlice = unit.Offset;
    hasSlice = hasSlice || slice;
    hasSps = hasSps || unit.Type == kNalTypeSps;
    hasPps = hasPps || unit.Type == kNalTypePps;
    idrStart = idrStart || unit.IdrStart;
  }
  // A sample without a slice is no picture (a server that marks the end of its parameter sets as
  // the end of a picture): its sets are remembered above for the picture that follows.
  if (!hasSlice) return;
  if (idrStart && (!hasSps || !hasPps) && !CompleteKeyFrame(hasSps, hasPps, firstSlice)) {
    Reset();
    return;
  }

  if (!CanDeliver()) return;
  uint32_t fourCC = kFourCCOther;
  if (const auto size = ParseH264SpsSize(FrameBuffer)) {
    Width = size->Width;
    Height = size->Height;
    fourCC = kFourCCKey;
    WaitingForKeyFrame = false;
  } else if (WaitingForKeyFrame) {
    return;  // EndPicture empties the buffer
  }
  DeliverSample(fourCC, SampleCapacity(FrameBuffer.size() + sizeof kAccessUnitDelimiter));
}

size_t CH264RTPMediaParser::WritePicture(uint8_t* out) {
  const size_t size = CRTPMediaParser::WritePicture(out);
  std::memcpy(out + size, kAccessUnitDelimiter, sizeof kAccessUnitDelimiter);
  return size + sizeof kAccessUnitDelimiter;
}

}  // namespace korvalt
