#include "media/parsers/h264_rtp_media_parser.h"

#include <cstring>
#include <iterator>

#include "driver/idriver.h"
#include "media/parsers/h264_sps.h"

namespace korvalt {
namespace {

constexpr uint8_t kStartCode[] = {0x00, 0x00, 0x01};
constexpr uint8_t kBuiltPps[] = {0x68, 0xCE, 0x3C, 0x80};
// Access unit delimiter written after every frame (primary_pic_type 1).
constexpr uint8_t kAccessUnitDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};

constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalTypeSps = 7;
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

CH264RTPMediaParser::CH264RTPMediaParser(std::string parserName, IDriver* driver)
    : CRTPMediaParser(std::move(parserName), driver) {}

void CH264RTPMediaParser::Reset() {
  WaitingForKeyFrame = true;
  Width = 0;
  Height = 0;
  EmptyFrame();
}

void CH264RTPMediaParser::EmptyFrame() {
  FrameBuffer.clear();
  FrameHasSps = false;
}

void CH264RTPMediaParser::ProcessPacket(const RTP_PACKET_INFO& packet) {
  try {
    if (!IsContinuous(packet.SequenceNumber)) Reset();
    std::span<const uint8_t> payload;
    const PayloadKind kind = GetPayload(packet, payload);
    if (kind == PayloadKind::kPaddingOnly) return;
    if (kind == PayloadKind::kBroken || !AppendPayload(payload) || !CheckBufferSize()) {
      Reset();
      return;
    }
    if (packet.Marker != 0) {
      DeliverFrame();
      EmptyFrame();
    }
  } catch (...) {
    // The packet is lost; the parser stays usable.
  }
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

bool CH264RTPMediaParser::AppendNal(std::span<const uint8_t> nal) {
  if (!Append(kStartCode) || !Append(nal)) return false;
  if ((nal[0] & kNalTypeMask) == kNalTypeSps) FrameHasSps = true;
  return true;
}

bool CH264RTPMediaParser::AppendFragment(std::span<const uint8_t> payload) {
  if (payload.size() < kMinFuA) return false;
  const uint8_t indicator = payload[0];
  const uint8_t header = payload[1];
  // Only the parameter sets' absence matters here: a camera may send an SEI (or other non-VCL
  // units) ahead of the IDR slice, and the key frame must still carry its SPS and PPS.
  if (header == kFuIdrStart && !FrameHasSps && !PrefixParameterSets()) return false;
  if ((header & kFuStartBit) != 0) {
    const uint8_t nalHeader = static_cast<uint8_t>((indicator & kFuIndicatorKeep) | (header & kNalTypeMask));
    if (!Append(kStartCode) || !Append(&nalHeader, 1)) return false;
  }
  return Append(payload.subspan(kFuHeaderSize));
}

// Puts start code + SPS + start code + PPS at the front of the frame buffer.
bool CH264RTPMediaParser::PrefixParameterSets() {
  if (SpsBytes.empty() || PpsBytes.empty()) BuildParameterSets();
  if (SpsBytes.empty() || PpsBytes.empty()) {
    WaitingForKeyFrame = true;
    return false;
  }
  const size_t prefixSize = 2 * sizeof kStartCode + SpsBytes.size() + PpsBytes.size();
  const size_t held = FrameBuffer.size();
  try {
    FrameBuffer.resize(held + prefixSize);
  } catch (...) {
    return false;
  }
  uint8_t* data = FrameBuffer.data();
  std::memmove(data + prefixSize, data, held);
  for (const auto* set : {&SpsBytes, &PpsBytes}) {
    std::memcpy(data, kStartCode, sizeof kStartCode);
    std::memcpy(data + sizeof kStartCode, set->data(), set->size());
    data += sizeof kStartCode + set->size();
  }
  FrameHasSps = true;
  return true;
}

void CH264RTPMediaParser::BuildParameterSets() {
  SpsBytes.clear();
  PpsBytes.clear();
  if (Client == nullptr) return;
  const auto [width, height] = Client->GetPictureSize();
  Width = width;
  Height = height;
  SpsBytes = BuildH264Sps(width, height);
  if (!SpsBytes.empty()) PpsBytes.assign(std::begin(kBuiltPps), std::end(kBuiltPps));
}

void CH264RTPMediaParser::AcceptParameterSets(std::span<const uint8_t> sps, std::span<const uint8_t> pps) {
  if (sps.empty() || pps.empty()) return;
  try {
    SpsBytes.assign(sps.begin(), sps.end());
    PpsBytes.assign(pps.begin(), pps.end());
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
  ipcapture::ISampleAllocator* allocator = DeliveryAllocator();
  if (allocator == nullptr) return;
  uint32_t fourCC = kFourCCOther;
  if (const auto size = ParseH264SpsSize(FrameBuffer)) {
    Width = size->Width;
    Height = size->Height;
    fourCC = kFourCCKey;
    WaitingForKeyFrame = false;
  } else if (WaitingForKeyFrame) {
    return;  // the caller empties the buffer
  }
  const size_t size = FrameBuffer.size() + sizeof kAccessUnitDelimiter;
  ipcapture::IFrameSample* sample = allocator->CreateSample(fourCC, SampleCapacity(size), ParserName.c_str());
  if (sample == nullptr) return;
  SampleLease lease(allocator, sample);
  uint8_t* data = sample->GetData();
  if (data == nullptr) {
    Reset();
    return;
  }
  std::memcpy(data, FrameBuffer.data(), FrameBuffer.size());
  std::memcpy(data + FrameBuffer.size(), kAccessUnitDelimiter, sizeof kAccessUnitDelimiter);
  sample->SetWidth(Width);
  sample->SetHeight(Height);
  sample->SetResolutionClass(ResolutionClass(Width, Height));
  sample->SetDataSize(static_cast<uint32_t>(size));
  sample->SetFourCC(fourCC);
  sample->Commit();
  if (!Client->DeliverFrame(sample)) Reset();
}

}  // namespace korvalt
