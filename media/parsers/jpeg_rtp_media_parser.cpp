#include "media/parsers/jpeg_rtp_media_parser.h"

#include <algorithm>
#include <cstring>

namespace korvalt {
namespace {

// Main JPEG header of every payload:
// | type-specific (8) | fragment offset (24) | type (8) | Q (8) | width/8 (8) | height/8 (8) |
constexpr size_t kMainHeaderSize = 8;
constexpr size_t kOffsetByte = 1;
constexpr size_t kTypeByte = 4;
constexpr size_t kQByte = 5;
constexpr size_t kWidthByte = 6;
constexpr size_t kHeightByte = 7;
constexpr uint32_t kSizeUnit = 8;
// Q of 128 or more: the offset-0 payload goes on with a quantisation table header
// | MBZ (8) | precision (8) | length (16) | and the tables (luminance, then chrominance).
constexpr uint8_t kFirstInBandQ = 128;
constexpr uint8_t kDynamicQ = 255;
constexpr size_t kPrecisionByte = 9;
constexpr size_t kLengthByte = 10;
constexpr size_t kTablesOffset = 12;
constexpr size_t kTableSize = 64;
constexpr size_t kExtraCapacity = 1024;
constexpr uint8_t kEndOfImage[] = {0xFF, 0xD9};
constexpr uint32_t kFourCC = MakeFourCC("JPEG");

constexpr uint8_t kLumaQuant[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChromaQuant[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                      24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                      99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                      99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// Natural-order index of each zigzag position.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Typical Huffman tables: 16 code-length counts, then the values.
constexpr uint8_t kDcLumaCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChromaCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLumaCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D};
constexpr uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22,
    0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0, 0x24, 0x33,
    0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x34,
    0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55,
    0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76,
    0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96,
    0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5,
    0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4,
    0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1,
    0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};
constexpr uint8_t kAcChromaCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13,
    0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0, 0x15, 0x62,
    0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26, 0x27, 0x28, 0x29,
    0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54,
    0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75,
    0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94,
    0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3,
    0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2,
    0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA,
    0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};

// Length of the tables in an offset-0 payload of Q 128 or more that holds the table header.
size_t TablesLength(std::span<const uint8_t> first) {
  return static_cast<size_t>(first[kLengthByte]) << 8 | first[kLengthByte + 1];
}

// Where the scan data starts in an offset-0 payload (longer than the main header).
size_t ScanOffset(std::span<const uint8_t> first) {
  if (first[kQByte] < kFirstInBandQ) return kMainHeaderSize;
  if (first.size() < kTablesOffset) return kTablesOffset;  // too short to be rebuilt anyway
  return kTablesOffset + TablesLength(first);
}

uint8_t* Put(uint8_t* out, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes) *out++ = b;
  return out;
}

uint8_t* Put(uint8_t* out, const uint8_t* data, size_t size) {
  std::memcpy(out, data, size);
  return out + size;
}

uint8_t* PutHuffman(uint8_t* out, uint8_t lengthLow, uint8_t tableClassAndId, const uint8_t* counts,
                    const uint8_t* values, size_t valueCount) {
  out = Put(out, {0xFF, 0xC4, 0x00, lengthLow, tableClassAndId});
  out = Put(out, counts, 16);
  return Put(out, values, valueCount);
}

// SOI, DQT, SOF0, DHT and SOS of a baseline three-component picture.
void WriteHeader(uint8_t* out, const uint8_t* tables, uint32_t width, uint32_t height, uint8_t type) {
  out = Put(out, {0xFF, 0xD8});
  out = Put(out, {0xFF, 0xDB, 0x00, 0x43, 0x00});
  out = Put(out, tables, 64);
  out = Put(out, {0xFF, 0xDB, 0x00, 0x43, 0x01});
  out = Put(out, tables + 64, 64);
  // Type 0 is 4:2:2 (luminance sampled 2x1), every other type 4:2:0 (2x2).
  const uint8_t lumaSampling = type == 0 ? 0x21 : 0x22;
  out =
      Put(out, {0xFF, 0xC0, 0x00, 0x11, 0x08, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width)});
  out = Put(out, {0x03, 0x00, lumaSampling, 0x00, 0x01, 0x11, 0x01, 0x02, 0x11, 0x01});
  out = PutHuffman(out, 0x1F, 0x00, kDcLumaCounts, kDcValues, sizeof kDcValues);
  out = PutHuffman(out, 0xB5, 0x10, kAcLumaCounts, kAcLumaValues, sizeof kAcLumaValues);
  out = PutHuffman(out, 0x1F, 0x01, kDcChromaCounts, kDcValues, sizeof kDcValues);
  out = PutHuffman(out, 0xB5, 0x11, kAcChromaCounts, kAcChromaValues, sizeof kAcChromaValues);
  Put(out, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00});
}

}  // namespace

void CJpegRTPMediaParser::Reset() {
  WaitingForFirstFragment = true;
  Width = 0;
  Height = 0;
  FrameBuffer.clear();
}

std::array<uint8_t, CJpegRTPMediaParser::kTablesSize> CJpegRTPMediaParser::TablesFromQ(uint8_t q) {
  const int factor = std::clamp<int>(q, 1, 99);
  const int scale = factor < 50 ? 5000 / factor : 200 - 2 * factor;
  std::array<uint8_t, kTablesSize> tables{};
  for (size_t i = 0; i < 64; ++i) {
    tables[i] = static_cast<uint8_t>(std::clamp((scale * kLumaQuant[kZigzag[i]] + 50) / 100, 1, 255));
    tables[64 + i] = static_cast<uint8_t>(std::clamp((scale * kChromaQuant[kZigzag[i]] + 50) / 100, 1, 255));
  }
  return tables;
}

void CJpegRTPMediaParser::AddPayload(std::span<const uint8_t> payload, bool marker) {
  if (payload.size() <= kMainHeaderSize) return;
  const uint32_t offset = static_cast<uint32_t>(payload[kOffsetByte]) << 16 |
                          static_cast<uint32_t>(payload[kOffsetByte + 1]) << 8 | payload[kOffsetByte + 2];
  if (offset == 0) {
    // A picture still held never saw its marker; it cannot be finished.
    if (!FrameBuffer.empty()) Reset();
    WaitingForFirstFragment = false;
    ScanStart = ScanOffset(payload);
    EndPayload(Append(payload), marker);
    return;
  }
  // The offset counts the scan data before the fragment: any other value means fragments were
  // lost or reordered where the sequence numbers did not show it (a first fragment lost right
  // after a delivered picture, a sender that skips bytes).
  const size_t held = FrameBuffer.size();
  if (WaitingForFirstFragment || held < ScanStart || offset != held - ScanStart) {
    Reset();
    return;
  }
  EndPayload(Append(payload.subspan(kMainHeaderSize)), marker);
}

void CJpegRTPMediaParser::EndPicture() {
  DeliverSample(kFourCC, FrameBuffer.size() + kExtraCapacity);
  FrameBuffer.clear();
}

size_t CJpegRTPMediaParser::WritePicture(uint8_t* out) {
  const uint8_t type = FrameBuffer[kTypeByte];
  const uint8_t q = FrameBuffer[kQByte];
  Width = FrameBuffer[kWidthByte] * kSizeUnit;
  Height = FrameBuffer[kHeightByte] * kSizeUnit;
  if (FrameBuffer.size() <= kHeaderSize) return 0;
  const uint8_t* tables = nullptr;
  if (q < kFirstInBandQ) {
    if (q != CachedQ) {
      CachedTables = TablesFromQ(q);
      CachedQ = q;
    }
    tables = CachedTables.data();
  } else {
    // Senders give one table (used for all components, as FFmpeg sends when both are equal)
    // or two; a length of 0 reuses the tables this Q came with before, which Q 255 forbids.
    const size_t length = TablesLength(FrameBuffer);
    if (FrameBuffer[kPrecisionByte] != 0) return 0;  // 16-bit tables have no place in a baseline header
    if (length == kTableSize || length == 2 * kTableSize) {
      const uint8_t* received = FrameBuffer.data() + kTablesOffset;
      std::memcpy(InBandTables.data(), received, kTableSize);
      std::memcpy(InBandTables.data() + kTableSize, received + length - kTableSize, kTableSize);
      InBandQ = q;
    } else if (length != 0 || q == kDynamicQ || q != InBandQ) {
      return 0;
    }
    tables = InBandTables.data();
  }
  WriteHeader(out, tables, Width, Height, type);
  const size_t scanSize = FrameBuffer.size() - ScanStart;
  std::memcpy(out + kHeaderSize, FrameBuffer.data() + ScanStart, scanSize);
  size_t size = kHeaderSize + scanSize;
  // The payload format carries no EOI; decoders and files need the picture closed.
  if (scanSize < sizeof kEndOfImage ||
      std::memcmp(out + size - sizeof kEndOfImage, kEndOfImage, sizeof kEndOfImage) != 0) {
    size = std::copy(std::begin(kEndOfImage), std::end(kEndOfImage), out + size) - out;
  }
  return size;
}

}  // namespace korvalt
