#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvalt {

// MD5 as RFC 1321 publishes it, fed in pieces. Digest authentication needs nothing stronger: the
// camera chooses the algorithm.
class CMd5 {
 public:
  static constexpr size_t kDigestSize = 16;

  void Update(const uint8_t* data, size_t length);
  // The digest of everything fed so far; the object is used up afterwards.
  std::array<uint8_t, kDigestSize> Finish();

 private:
  void Transform();

  std::array<uint32_t, 4> State = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::array<uint8_t, 64> Block{};
  size_t BlockUsed = 0;
  uint64_t BitCount = 0;
};

}  // namespace korvalt
