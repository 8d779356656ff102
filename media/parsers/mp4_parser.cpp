#include "media/parsers/mp4_parser.h"

namespace korvalt {
namespace {

// Start codes are 00 00 01 followed by one of these.
constexpr uint8_t kVisualObjectSequence = 0xB0;
constexpr uint8_t kUserData = 0xB2;
constexpr uint8_t kVisualObject = 0xB5;
constexpr uint8_t kFirstVideoObjectLayer = 0x20;
constexpr uint8_t kLastVideoObjectLayer = 0x2F;
constexpr uint32_t kStartCodePrefix = 0x000001;

constexpr uint32_t kVideoObjectType = 1;      // visual_object_type "video ID"
constexpr uint32_t kSimpleObject = 1;         // video_object_type_indication
constexpr uint32_t kExtendedPar = 15;         // aspect_ratio_info
constexpr uint32_t kChroma420 = 1;            // chroma_format
constexpr uint32_t kRectangular = 0;          // video_object_layer_shape
constexpr uint32_t kH263StartCode = 0x20;     // 22 bits: 0000 0000 0000 0000 1000 00
constexpr uint32_t kVideoObjectPrefix = 0x8;  // 27 bits: 00 00 01 then 000
constexpr uint32_t kMaxSize = 32000;
constexpr uint32_t kMacroblock = 16;

// H.263 source formats 1 to 5: sub-QCIF, QCIF, CIF, 4CIF, 16CIF.
constexpr uint32_t kH263Widths[] = {0, 128, 176, 352, 704, 1408};
constexpr uint32_t kH263Heights[] = {0, 96, 144, 288, 576, 1152};
constexpr uint32_t kH263Extended = 7;
constexpr uint32_t kH263Custom = 6;

// Most significant bit first; any read past the end marks the reader failed.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> data) : Data(data) {}

  uint32_t Bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (Position >= Data.size() * 8) {
        Overrun = true;
        return 0;
      }
      value = (value << 1) | ((Data[Position / 8] >> (7 - Position % 8)) & 1u);
      ++Position;
    }
    return value;
  }
  uint32_t Peek(int count) {
    const size_t saved = Position;
    const bool overrun = Overrun;
    const uint32_t value = Bits(count);
    Position = saved;
    const bool peekedPastEnd = Overrun && !overrun;
    Overrun = overrun;
    return peekedPastEnd ? UINT32_MAX : value;
  }
  bool Marker() { return Bits(1) == 1; }
  void AlignToByte() { Position = (Position + 7) / 8 * 8; }
  bool Failed() const { return Overrun; }

  // The byte after the next 00 00 01 at or after the current byte position, without
  // consuming it; -1 when the data ends first.
  int NextStartCode() {
    AlignToByte();
    for (size_t i = Position / 8; i + 3 < Data.size(); ++i) {
      if (Data[i] == 0 && Data[i + 1] == 0 && Data[i + 2] == 1) {
        Position = i * 8;
        return Data[i + 3];
      }
    }
    Position = Data.size() * 8;
    return -1;
  }
  // Moves past the current start code (when on one) to the following one.
  int FollowingStartCode() {
    AlignToByte();
    Position += 8;
    return NextStartCode();
  }

 private:
  std::span<const uint8_t> Data;
  size_t Position = 0;
  bool Overrun = false;
};

bool IsVideoObjectLayer(int code) {
  return code >= kFirstVideoObjectLayer && code <= kLastVideoObjectLayer;
}

// On a start code 00 00 01 XX: true when XX is the given code.
bool AtStartCode(BitReader& r, uint8_t code) {
  return r.Peek(32) == (kStartCodePrefix << 8 | code);
}

void SkipUserData(BitReader& r) {
  if (!AtStartCode(r, kUserData)) return;
  r.Bits(32);
  r.NextStartCode();
}

// Searches start code by start code for a video object layer; leaves the reader on it.
bool FindVideoObjectLayer(BitReader& r) {
  int code = r.NextStartCode();
  while (code >= 0 && !IsVideoObjectLayer(code)) code = r.FollowingStartCode();
  return code >= 0;
}

uint32_t RoundUp(uint32_t value) {
  return (value + kMacroblock - 1) / kMacroblock * kMacroblock;
}

bool ReadH263Size(BitReader& r, uint32_t& width, uint32_t& height) {
  r.Bits(22);  // picture start code
  r.Bits(8);   // temporal reference
  // PTYPE: marker 1, 0, split screen, document camera, freeze picture release, source format.
  if (r.Bits(1) != 1 || r.Bits(1) != 0 || r.Bits(3) != 0) return false;
  uint32_t format = r.Bits(3);
  if (format == kH263Extended) {
    // PLUSPTYPE: UFEP, then the optional part (OPPTYPE, 18 bits, only with UFEP 1), the
    // mandatory part (MPPTYPE, 9 bits), CPM and PSBI, then the custom picture format.
    const uint32_t ufep = r.Bits(3);
    if (ufep != 1) return false;  // without the optional part the size is not in this header
    format = r.Bits(3);
    r.Bits(15);  // rest of OPPTYPE
    r.Bits(9);   // MPPTYPE
    if (format == kH263Custom) {
      if (r.Bits(1) == 1) r.Bits(2);  // CPM and PSBI
      // CPFMT: pixel aspect ratio code (4), PWI (9), marker, PHI (9).
      const uint32_t par = r.Bits(4);
      const uint32_t pwi = r.Bits(9);
      if (!r.Marker()) return false;
      const uint32_t phi = r.Bits(9);
      if (par == kExtendedPar) r.Bits(16);  // EPAR
      if (r.Failed()) return false;
      width = RoundUp((pwi + 1) * 4);
      height = RoundUp(phi * 4);
      return true;
    }
  }
  if (r.Failed() || format == 0 || format > 5) return false;
  width = kH263Widths[format];
  height = kH263Heights[format];
  return true;
}

bool ReadVideoObjectLayer(BitReader& r, uint32_t& width, uint32_t& height) {
  r.Bits(32);  // start code with video_object_layer_id
  r.Bits(1);   // random_accessible_vol
  if (r.Bits(8) != kSimpleObject) return false;
  if (r.Bits(1) != 0) r.Bits(7);  // is_object_layer_identifier: verid, priority
  if (r.Bits(4) == kExtendedPar) r.Bits(16);
  if (r.Bits(1) != 0) {                                           // vol_control_parameters
    if (r.Bits(2) != kChroma420 || r.Bits(1) != 1) return false;  // chroma_format, low_delay
    if (r.Bits(1) != 0) {                                         // vbv_parameters
      // first_half_bit_rate, latter_half_bit_rate, first_half_vbv_buffer_size,
      // latter_half_vbv_buffer_size + first_half_vbv_occupancy, latter_half_vbv_occupancy
      for (int bits : {15, 15, 15}) {
        r.Bits(bits);
        if (!r.Marker()) return false;
      }
      r.Bits(3);
      r.Bits(11);
      if (!r.Marker()) return false;
      r.Bits(15);
      if (!r.Marker()) return false;
    }
  }
  if (r.Bits(2) != kRectangular || !r.Marker()) return false;
  const uint32_t resolution = r.Bits(16);
  if (resolution == 0 || !r.Marker()) return false;
  if (r.Bits(1) != 0) {  // fixed_vop_rate
    int bits = 1;
    while ((resolution - 1) >> bits != 0) ++bits;
    r.Bits(bits);
  }
  if (!r.Marker()) return false;
  width = r.Bits(13);
  if (!r.Marker()) return false;
  height = r.Bits(13);
  if (r.Failed()) return false;
  width = RoundUp(width);
  height = RoundUp(height);
  return true;
}

bool ReadSize(BitReader& r, uint32_t& width, uint32_t& height) {
  if (AtStartCode(r, kVisualObjectSequence)) {
    r.Bits(32);
    r.Bits(8);  // profile_and_level_indication
    r.NextStartCode();
    SkipUserData(r);
    if (!AtStartCode(r, kVisualObject)) return false;
    r.Bits(32);
    if (r.Bits(1) != 0) r.Bits(7);  // is_visual_object_identifier: verid, priority
    if (r.Bits(4) != kVideoObjectType) {
      return FindVideoObjectLayer(r) && ReadVideoObjectLayer(r, width, height);
    }
    if (r.Bits(1) != 0) {              // video_signal_type
      r.Bits(4);                       // video_format, video_range
      if (r.Bits(1) != 0) r.Bits(24);  // colour_description
    }
    r.NextStartCode();
    SkipUserData(r);
  }
  if (r.Peek(27) != kVideoObjectPrefix) {
    if (r.Peek(22) == kH263StartCode) return ReadH263Size(r, width, height);
    return FindVideoObjectLayer(r) && ReadVideoObjectLayer(r, width, height);
  }
  r.Bits(32);  // video object start code
  if (r.NextStartCode() < 0) return false;
  if (!FindVideoObjectLayer(r)) return false;
  return ReadVideoObjectLayer(r, width, height);
}

}  // namespace

bool CMP4Parser::GetPictureSize(std::span<const uint8_t> data, uint32_t& width, uint32_t& height) const {
  BitReader reader(data);
  uint32_t w = 0;
  uint32_t h = 0;
  if (!ReadSize(reader, w, h) || reader.Failed()) return false;
  if (w == 0 || h == 0 || w > kMaxSize || h > kMaxSize) return false;
  width = w;
  height = h;
  return true;
}

}  // namespace korvalt
