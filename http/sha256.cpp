#include "http/sha256.h"

namespace korvalt {
namespace {

constexpr std::array<uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t RotateRight(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

}  // namespace

void CSha256::Update(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    Block[BlockUsed++] = data[i];
    if (BlockUsed == Block.size()) {
      Transform();
      BlockUsed = 0;
    }
  }
  BitCount += static_cast<uint64_t>(length) * 8;
}

std::array<uint8_t, CSha256::kDigestSize> CSha256::Finish() {
  const uint64_t bits = BitCount;
  // Pad with 0x80 and zeros to 56 bytes modulo 64, then the bit length, most significant first.
  const uint8_t one = 0x80;
  Update(&one, 1);
  const uint8_t zero = 0;
  while (BlockUsed != 56) Update(&zero, 1);
  std::array<uint8_t, 8> length{};
  for (size_t i = 0; i < length.size(); ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(length.data(), length.size());
  std::array<uint8_t, kDigestSize> digest{};
  for (size_t i = 0; i < State.size(); ++i) {
    for (size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(State[i] >> (24 - 8 * j));
  }
  return digest;
}

void CSha256::Transform() {
  std::array<uint32_t, 64> w{};
  for (size_t i = 0; i < 16; ++i) {
    w[i] = (uint32_t{Block[4 * i]} << 24) | (uint32_t{Block[4 * i + 1]} << 16) |
           (uint32_t{Block[4 * i + 2]} << 8) | uint32_t{Block[4 * i + 3]};
  }
  for (size_t i = 16; i < 64; ++i) {
    const uint32_t s0 = RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
  uint32_t e = State[4], f = State[5], g = State[6], h = State[7];
  for (size_t i = 0; i < 64; ++i) {
    const uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
    const uint32_t choose = (e & f) ^ (~e & g);
    const uint32_t t1 = h + s1 + choose + kRoundConstants[i] + w[i];
    const uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
    const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const uint32_t t2 = s0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  State[0] += a;
  State[1] += b;
  State[2] += c;
  State[3] += d;
  State[4] += e;
  State[5] += f;
  State[6] += g;
  State[7] += h;
}

}  // namespace korvalt
