#include "media/parsers/h264_sps.h"

#include <algorithm>

namespace korvalt {
namespace {

constexpr size_t kSpsSearchLength = 64;
constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalTypeSps = 7;
constexpr int kMaxExpGolombZeros = 31;
constexpr uint32_t kMaxPocCycle = 255;
constexpr uint32_t kMacroblockSize = 16;
constexpr uint32_t kMaxBuiltSize = 65535;

// Built SPS: Baseline profile, constraint_set0, level 4.0, one reference frame, POC type 2.
constexpr uint8_t kSpsNalHeader = 0x67;
constexpr uint32_t kBaselineProfile = 66;
constexpr uint32_t kBuiltLevel = 40;
constexpr uint32_t kPocTypeNone = 2;

// Reads the RBSP of a NAL unit most significant bit first, dropping the emulation-prevention
// byte of every 00 00 03 on the way. A read past the end yields zeros and marks the reader.
class RbspReader {
 public:
  explicit RbspReader(std::span<const uint8_t> data) : Data(data) {}

  uint32_t Bit() {
    if (BitsLeft == 0 && !NextByte()) {
      Overrun = true;
      return 0;
    }
    --BitsLeft;
    return (Current >> BitsLeft) & 1u;
  }

  uint32_t Bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | Bit();
    return value;
  }

  // Unsigned exp-Golomb code.
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (Overrun || ++zeros > kMaxExpGolombZeros) {
        Overrun = true;
        return 0;
      }
    }
    return ((1u << zeros) - 1) + Bits(zeros);
  }

  // Signed exp-Golomb code.
  int32_t Se() {
    const uint32_t code = Ue();
    const int32_t magnitude = static_cast<int32_t>((code + 1) / 2);
    return (code & 1) != 0 ? magnitude : -magnitude;
  }

  bool Failed() const { return Overrun; }

 private:
  bool NextByte() {
    while (Position < Data.size()) {
      const uint8_t byte = Data[Position++];
      if (Zeros >= 2 && byte == 0x03) {
        Zeros = 0;
        continue;
      }
      Zeros = byte == 0 ? Zeros + 1 : 0;
      Current = byte;
      BitsLeft = 8;
      return true;
    }
    return false;
  }

  std::span<const uint8_t> Data;
  size_t Position = 0;
  int Zeros = 0;
  uint8_t Current = 0;
  int BitsLeft = 0;
  bool Overrun = false;
};

void SkipScalingList(RbspReader& reader, int size) {
  int32_t last = 8;
  int32_t next = 8;
  for (int j = 0; j < size && !reader.Failed(); ++j) {
    // delta_scale belongs in -128..127; a damaged one must not overflow.
    if (next != 0)
      next = static_cast<int32_t>(((last + static_cast<int64_t>(reader.Se())) % 256 + 256) % 256);
    last = next == 0 ? last : next;
  }
}

// Writes bits most significant first; every finished byte goes through the emulation-prevention
// rule (after two zero bytes a 03 byte is written).
class SpsWriter {
 public:
  void Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) Bit((value >> i) & 1u);
  }
  void Ue(uint32_t value) {
    const uint64_t code = static_cast<uint64_t>(value) + 1;
    int length = 0;
    while ((code >> length) > 1) ++length;
    Bits(0, length);
    for (int i = length; i >= 0; --i) Bit(static_cast<uint32_t>((code >> i) & 1u));
  }
  void Bit(uint32_t bit) {
    Current = static_cast<uint8_t>((Current << 1) | bit);
    if (++Filled == 8) Flush();
  }
  // rbsp_stop_one_bit, then zero bits to the byte boundary.
  std::vector<uint8_t> Finish() {
    Bit(1);
    while (Filled != 0) Bit(0);
    return std::move(Out);
  }
  std::vector<uint8_t> Out{kSpsNalHeader};

 private:
  void Flush() {
    if (Zeros == 2) {
      Out.push_back(0x03);
      Zeros = 0;
    }
    Out.push_back(Current);
    Zeros = Current == 0 ? Zeros + 1 : 0;
    Current = 0;
    Filled = 0;
  }
  uint8_t Current = 0;
  int Filled = 0;
  int Zeros = 0;
};

}  // namespace

std::optional<H264PictureSize> ParseH264SpsSize(std::span<const uint8_t> buffer) {
  const size_t searched = std::min(buffer.size(), kSpsSearchLength);
  size_t nal = 0;
  for (size_t i = 0; i + 2 < searched && i + 3 < buffer.size(); ++i) {
    if (buffer[i] == 0 && buffer[i + 1] == 0 && buffer[i + 2] == 1 &&
        (buffer[i + 3] & kNalTypeMask) == kNalTypeSps) {
      nal = i + 4;
      break;
    }
  }
  if (nal == 0) return std::nullopt;

  RbspReader r(buffer.subspan(nal));
  const uint32_t profile = r.Bits(8);
  r.Bits(8);  // constraint_set0..3 flags, reserved bits
  r.Bits(8);  // level_idc
  r.Ue();     // seq_parameter_set_id
  uint32_t chromaFormat = 1;
  bool separateColourPlanes = false;
  if (profile > 99) {
    chromaFormat = r.Ue();
    if (chromaFormat == 3) separateColourPlanes = r.Bit() != 0;
    r.Ue();              // bit_depth_luma_minus8
    r.Ue();              // bit_depth_chroma_minus8
    r.Bit();             // qpprime_y_zero_transform_bypass_flag
    if (r.Bit() != 0) {  // seq_scaling_matrix_present_flag
      const int lists = chromaFormat != 3 ? 8 : 12;
      for (int i = 0; i < lists && !r.Failed(); ++i) {
        if (r.Bit() != 0) SkipScalingList(r, i < 6 ? 16 : 64);
      }
    }
  }
  r.Ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = r.Ue();
  if (pocType == 0) {
    r.Ue();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (pocType == 1) {
    r.Bit();  // delta_pic_order_always_zero_flag
    r.Se();   // offset_for_non_ref_pic
    r.Se();   // offset_for_top_to_bottom_field
    const uint32_t cycle = r.Ue();
    if (cycle > kMaxPocCycle) return std::nullopt;
    for (uint32_t i = 0; i < cycle && !r.Failed(); ++i) r.Se();
  }
  r.Ue();   // max_num_ref_frames
  r.Bit();  // gaps_in_frame_num_value_allowed_flag
  const uint64_t widthMbs = static_cast<uint64_t>(r.Ue()) + 1;
  const uint64_t heightMapUnits = static_cast<uint64_t>(r.Ue()) + 1;
  const uint32_t frameMbsOnly = r.Bit();
  if (frameMbsOnly == 0) r.Bit();  // mb_adaptive_frame_field_flag
  r.Bit();                         // direct_8x8_inference_flag
  uint64_t width = kMacroblockSize * widthMbs;
  uint64_t height = kMacroblockSize * (2 - frameMbsOnly) * heightMapUnits;
  if (r.Bit() != 0) {  // frame_cropping_flag
    const uint64_t left = r.Ue();
    const uint64_t right = r.Ue();
    const uint64_t top = r.Ue();
    const uint64_t bottom = r.Ue();
    // Offsets count chroma samples: two luma samples across in 4:2:0 and 4:2:2, two down in
    // 4:2:0, one otherwise; field coding doubles the vertical step.
    const bool subsampled = chromaFormat != 0 && !separateColourPlanes;
    const uint64_t unitX = subsampled && chromaFormat != 3 ? 2 : 1;
    const uint64_t unitY = (subsampled && chromaFormat == 1 ? 2 : 1) * (2 - frameMbsOnly);
    const uint64_t cropX = unitX * (left + right);
    const uint64_t cropY = unitY * (top + bottom);
    if (cropX >= width || cropY >= height) return std::nullopt;
    width -= cropX;
    height -= cropY;
  }
  if (r.Failed() || width == 0 || height == 0 || width > UINT32_MAX || height > UINT32_MAX)
    return std::nullopt;
  return H264PictureSize{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
}

std::vector<uint8_t> BuildH264Sps(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width > kMaxBuiltSize || height > kMaxBuiltSize) return {};
  // Whole macroblocks that cover the picture; for sizes that are multiples of 8 this is W/16
  // rounded half up.
  const uint32_t widthMbs = (width + kMacroblockSize - 1) / kMacroblockSize;
  const uint32_t heightMbs = (height + kMacroblockSize - 1) / kMacroblockSize;
  SpsWriter w;
  w.Bits(kBaselineProfile, 8);
  w.Bits(0x8, 4);  // constraint_set0_flag 1, constraint_set1..3 flags 0
  w.Bits(0, 4);    // reserved_zero_4bits
  w.Bits(kBuiltLevel, 8);
  w.Ue(0);  // seq_parameter_set_id
  w.Ue(0);  // log2_max_frame_num_minus4
  w.Ue(kPocTypeNone);
  w.Ue(1);   // max_num_ref_frames
  w.Bit(0);  // gaps_in_frame_num_value_allowed_flag
  w.Ue(widthMbs - 1);
  w.Ue(heightMbs - 1);
  w.Bit(1);  // frame_mbs_only_flag
  w.Bit(0);  // direct_8x8_inference_flag
  const uint32_t cropRight = (kMacroblockSize * widthMbs - width) / 2;
  const uint32_t cropBottom = (kMacroblockSize * heightMbs - height) / 2;
  const bool cropped = kMacroblockSize * widthMbs != width || kMacroblockSize * heightMbs != height;
  w.Bit(cropped ? 1 : 0);
  if (cropped) {
    w.Ue(0);
    w.Ue(cropRight);
    w.Ue(0);
    w.Ue(cropBottom);
  }
  w.Bit(0);  // vui_parameters_present_flag
  return w.Finish();
}

}  // namespace korvalt
