#include "media/parsers/mpeg4_rtp_media_parser.h"

#include <cstring>

#include "driver/idriver.h"

namespace korvalt {
namespace {

constexpr size_t kStartCodeSize = 4;
constexpr size_t kMinConfigPayload = 5;
constexpr uint8_t kVisualObjectSequence = 0xB0;
constexpr uint8_t kFirstVideoObject = 0x00;
constexpr uint8_t kLastVideoObjectLayer = 0x2F;
constexpr uint8_t kGroupOfVop = 0xB3;
constexpr uint8_t kVop = 0xB6;
constexpr size_t kNone = static_cast<size_t>(-1);
// vop_coding_type is the top two bits after the VOP start code; 0 is an I-VOP.
constexpr uint8_t kFirstNonIntraVop = 0x40;

constexpr uint32_t kFourCCKey = MakeFourCC("DIVX");
constexpr uint32_t kFourCCOther = MakeFourCC("DIVI");

bool IsStartCode(std::span<const uint8_t> data, size_t at, uint8_t code) {
  return at + kStartCodeSize <= data.size() && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1 &&
         data[at + 3] == code;
}

// Offset of the first start code at or after from that is followed by code, or kNone.
size_t FindStartCode(std::span<const uint8_t> data, size_t from, uint8_t code) {
  for (size_t i = from; i + kStartCodeSize <= data.size(); ++i) {
    if (IsStartCode(data, i, code)) return i;
  }
  return kNone;
}

// Start codes that open a picture: its configuration (video object, video object layer, visual
// object sequence), its group-of-VOP header or the VOP itself.
bool OpensPicture(uint8_t code) {
  return code <= kLastVideoObjectLayer || code == kVisualObjectSequence || code == kGroupOfVop ||
         code == kVop;
}

// Where a second picture begins in a payload, or kNone. A packet may carry several whole VOPs;
// start codes never occur inside VOP data, so the first start code that opens a picture after a
// VOP (or after the tail of one continued from the packet before) is the next picture.
size_t NextPictureStart(std::span<const uint8_t> payload) {
  auto startsCode = [&](size_t i) { return payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] == 1; };
  // A payload that does not begin with a start code continues a picture from the packet before.
  bool hasPicture = payload.size() < kStartCodeSize || !startsCode(0);
  for (size_t i = 0; i + kStartCodeSize <= payload.size(); ++i) {
    if (!startsCode(i)) continue;
    const uint8_t code = payload[i + 3];
    if (hasPicture && i > 0 && OpensPicture(code)) return i;
    if (code == kVop) hasPicture = true;
  }
  return kNone;
}

}  // namespace

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(std::string parserName, IDriver* driver)
    : CRTPMediaParser(std::move(parserName), driver) {}

void CMpeg4RTPMediaParser::Reset() {
  WaitingForKeyFrame = true;
  KeyFrame = false;
  Width = 0;
  Height = 0;
  FrameBuffer.clear();
}

void CMpeg4RTPMediaParser::AcceptConfiguration(std::span<const uint8_t> configuration) {
  if (configuration.empty()) return;
  try {
    AnnouncedConfiguration.assign(configuration.begin(), configuration.end());
  } catch (...) {
    AnnouncedConfiguration.clear();
  }
}

void CMpeg4RTPMediaParser::ProcessPacket(const RTP_PACKET_INFO& packet) {
  if (!IsContinuous(packet.SequenceNumber)) Reset();
  std::span<const uint8_t> payload;
  const PayloadKind kind = GetPayload(packet, payload);
  if (kind == PayloadKind::kBroken) {
    Reset();
    return;
  }
  // Each whole VOP of the payload is a picture of its own.
  for (;;) {
    const size_t next = NextPictureStart(payload);
    if (next == kNone) break;
    ProcessPiece(payload.first(next), true);
    payload = payload.subspan(next);
  }
  ProcessPiece(payload, packet.Marker != 0);
}

void CMpeg4RTPMediaParser::ProcessPiece(std::span<const uint8_t> piece, bool marker) {
  const size_t n = piece.size();
  size_t c = 0;
  if (n >= kMinConfigPayload &&
      (IsStartCode(piece, 0, kVisualObjectSequence) || IsStartCode(piece, 0, kFirstVideoObject))) {
    const size_t i = FindStartCode(piece, kStartCodeSize, kVop);
    if (i != kNone) {
      try {
        Configuration.assign(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(i));
      } catch (...) {
        Reset();
        return;
      }
      c = i;
    }
  }
  // Encoders that keep the configuration out of band (in the SDP) lead each I-VOP with a
  // group-of-VOP header instead.
  size_t vop = c;
  if (IsStartCode(piece, c, kGroupOfVop)) {
    const size_t found = FindStartCode(piece, c + kStartCodeSize, kVop);
    if (found != kNone) vop = found;
  }
  if (vop + kStartCodeSize < n && IsStartCode(piece, vop, kVop)) {
    FrameBuffer.clear();
    if (piece[vop + kStartCodeSize] >= kFirstNonIntraVop) {
      KeyFrame = false;
    } else {
      if (!AppendConfiguration(vop != c)) {
        Reset();
        return;
      }
      KeyFrame = true;
      WaitingForKeyFrame = false;
    }
  } else if (FrameBuffer.empty()) {
    // Bytes that continue no picture (a server that marked the end of a picture too early
    // sends the rest with the same time stamp) are dropped; the next VOP is still delivered.
    return;
  }
  if (WaitingForKeyFrame) return;
  if (!Append(piece.subspan(c)) || !CheckBufferSize()) {
    Reset();
    return;
  }
  if (marker) {
    DeliverPicture();
    FrameBuffer.clear();
  }
}

bool CMpeg4RTPMediaParser::AppendConfiguration(bool ownGov) {
  std::span<const uint8_t> configuration = Configuration.empty() ? AnnouncedConfiguration : Configuration;
  if (ownGov) {
    const size_t gov = FindStartCode(configuration, 0, kGroupOfVop);
    if (gov != kNone) configuration = configuration.first(gov);
  }
  return Append(configuration);
}

void CMpeg4RTPMediaParser::DeliverPicture() {
  ipcapture::ISampleAllocator* allocator = DeliveryAllocator();
  if (allocator == nullptr) return;
  uint32_t fourCC = kFourCCOther;
  if (KeyFrame) {
    uint32_t width = 0;
    uint32_t height = 0;
    bool parsed = false;
    try {
      parsed = HeaderParser.GetPictureSize(FrameBuffer, width, height);
    } catch (...) {
    }
    if (!parsed) {
      Reset();
      return;
    }
    Width = width;
    Height = height;
    fourCC = kFourCCKey;
  }
  const size_t size = FrameBuffer.size();
  ipcapture::IFrameSample* sample = allocator->CreateSample(fourCC, SampleCapacity(size), ParserName.c_str());
  if (sample == nullptr) return;
  SampleLease lease(allocator, sample);
  sample->SetWidth(Width);
  sample->SetHeight(Height);
  sample->SetResolutionClass(ResolutionClass(Width, Height));
  sample->SetDataSize(static_cast<uint32_t>(size));
  sample->SetFourCC(fourCC);
  sample->Commit();
  // This parser fills the data after the commit; the sample is still the module's until it
  // is delivered.
  uint8_t* data = sample->GetData();
  if (data == nullptr) {
    Reset();
    return;
  }
  std::memcpy(data, FrameBuffer.data(), size);
  if (!Client->DeliverFrame(sample)) Reset();
}

}  // namespace korvalt
