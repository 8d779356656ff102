#include "http/md5.h"

namespace korvalt {
namespace {

uint32_t Rotate(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

}  // namespace

void CMd5::Update(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    Block[BlockUsed++] = data[i];
    if (BlockUsed == Block.size()) {
      Transform();
      BlockUsed = 0;
    }
  }
  BitCount += static_cast<uint64_t>(length) * 8;
}

std::array<uint8_t, CMd5::kDigestSize> CMd5::Finish() {
  const uint64_t bits = BitCount;
  // Pad with 0x80 and zeros to 56 bytes modulo 64, then the bit length, least significant first.
  const uint8_t one = 0x80;
  Update(&one, 1);
  const uint8_t zero = 0;
  while (BlockUsed != 56) Update(&zero, 1);
  std::array<uint8_t, 8> length{};
  for (size_t i = 0; i < length.size(); ++i) length[i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(length.data(), length.size());
  std::array<uint8_t, kDigestSize> digest{};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(State[i] >> (8 * j));
  }
  return digest;
}

void CMd5::Transform() {
  static constexpr std::array<int, 16> kShifts = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
  // T[i] = floor(2^32 * abs(sin(i + 1))).
  static constexpr std::array<uint32_t, 64> kSines = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
      0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
      0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
      0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
      0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
      0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
      0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
  std::array<uint32_t, 16> x{};
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<uint32_t>(Block[4 * i]) | (static_cast<uint32_t>(Block[4 * i + 1]) << 8) |
           (static_cast<uint32_t>(Block[4 * i + 2]) << 16) | (static_cast<uint32_t>(Block[4 * i + 3]) << 24);
  }
  uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
  for (size_t i = 0; i < 64; ++i) {
    uint32_t f = 0;
    size_t g = 0;
    const size_t round = i / 16;
    if (round == 0) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (round == 1) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (round == 2) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t next = b + Rotate(a + f + kSines[i] + x[g], kShifts[round * 4 + i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  State[0] += a;
  State[1] += b;
  State[2] += c;
  State[3] += d;
}

}  // namespace korvalt
