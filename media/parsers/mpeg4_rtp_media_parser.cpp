#include "media/parsers/mpeg4_rtp_media_parser.h"

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

constexpr uint8_t kUserData = 0xB2;
constexpr uint8_t kVisualObject = 0xB5;
// A visual object sequence, visual object and video object layer header, even with quantiser
// matrices and a short user-data note, stay far below this. The stored configuration is copied
// in front of every key frame, so it must stay small whatever a camera sends.
constexpr size_t kMaxConfiguration = 1024;
// Cameras send one picture per packet, a few small ones at most. A packet of thousands of tiny
// VOPs would otherwise make thousands of samples, each with the configuration in front.
constexpr size_t kMaxPicturesPerPacket = 8;

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

// Start codes of the headers a key frame needs in front: visual object sequence, visual object,
// video object, video object layer, group of VOP, and their user data.
bool IsConfigurationUnit(uint8_t code) {
  return code <= kLastVideoObjectLayer || code == kVisualObjectSequence || code == kVisualObject ||
         code == kGroupOfVop || code == kUserData;
}

// The configuration units of the bytes before the first VOP (which begin with a start code),
// without their user data when all of them would not fit in kMaxConfiguration; empty when even
// the headers alone do not.
std::vector<uint8_t> ConfigurationUnits(std::span<const uint8_t> headers) {
  std::vector<uint8_t> all;
  std::vector<uint8_t> withoutUserData;
  size_t at = 0;
  while (at + kStartCodeSize <= headers.size()) {
    size_t next = at + kStartCodeSize;
    while (next + kStartCodeSize <= headers.size() &&
           !(headers[next] == 0 && headers[next + 1] == 0 && headers[next + 2] == 1))
      ++next;
    if (next + kStartCodeSize > headers.size()) next = headers.size();
    const uint8_t code = headers[at + 3];
    const std::span<const uint8_t> unit = headers.subspan(at, next - at);
    if (IsConfigurationUnit(code)) {
      all.insert(all.end(), unit.begin(), unit.end());
      if (code != kUserData) withoutUserData.insert(withoutUserData.end(), unit.begin(), unit.end());
    }
    at = next;
  }
  if (all.size() <= kMaxConfiguration) return all;
  if (withoutUserData.size() <= kMaxConfiguration) return withoutUserData;
  return {};
}

}  // namespace

void CMpeg4RTPMediaParser::Reset() {
  WaitingForKeyFrame = true;
  KeyFrame = false;
  Width = 0;
  Height = 0;
  FrameBuffer.clear();
}

void CMpeg4RTPMediaParser::AcceptConfiguration(std::span<const uint8_t> configuration) {
  if (configuration.empty() || configuration.size() > kMaxConfiguration) return;
  try {
    AnnouncedConfiguration.assign(configuration.begin(), configuration.end());
  } catch (...) {
    AnnouncedConfiguration.clear();
  }
}

void CMpeg4RTPMediaParser::AddPayload(std::span<const uint8_t> payload, bool marker) {
  // Each whole VOP of the payload is a picture of its own, up to a few per packet.
  for (size_t pictures = 1;; ++pictures) {
    const size_t next = NextPictureStart(payload);
    if (next == kNone) break;
    if (pictures == kMaxPicturesPerPacket) {
      // The rest of such a packet is dropped, and with it the pictures that refer to it.
      Reset();
      return;
    }
    ProcessPiece(payload.first(next), true);
    payload = payload.subspan(next);
  }
  ProcessPiece(payload, marker);
}

void CMpeg4RTPMediaParser::EndPicture() {
  DeliverPicture();
  FrameBuffer.clear();
}

void CMpeg4RTPMediaParser::ProcessPiece(std::span<const uint8_t> piece, bool marker) {
  const size_t n = piece.size();
  size_t c = 0;
  if (n >= kMinConfigPayload &&
      (IsStartCode(piece, 0, kVisualObjectSequence) || IsStartCode(piece, 0, kFirstVideoObject))) {
    const size_t i = FindStartCode(piece, kStartCodeSize, kVop);
    if (i != kNone) {
      // Headers that cannot be kept within the bound leave the last good configuration in place.
      std::vector<uint8_t> units = ConfigurationUnits(piece.first(i));
      if (!units.empty()) Configuration = std::move(units);
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
  EndPayload(Append(piece.subspan(c)), marker);
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
  if (!CanDeliver()) return;
  uint32_t fourCC = kFourCCOther;
  if (KeyFrame) {
    uint32_t width = 0;
    uint32_t height = 0;
    if (!HeaderParser.GetPictureSize(FrameBuffer, width, height)) {
      Reset();
      return;
    }
    Width = width;
    Height = height;
    fourCC = kFourCCKey;
  }
  DeliverSample(fourCC, SampleCapacity(FrameBuffer.size()));
}

}  // namespace korvalt
