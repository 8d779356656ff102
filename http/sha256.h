#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvalt {

// SHA-256 as FIPS 180-4 publishes it, fed in pieces: the hash of Digest authentication's
// "SHA-256" and "SHA-256-sess" algorithms.
class CSha256 {
 public:
  static constexpr size_t kDigestSize = 32;

  void Update(const uint8_t* data, size_t length);
  // The digest of everything fed so far; the object is used up afterwards.
  std::array<uint8_t, kDigestSize> Finish();

 private:
  void Transform();

  std::array<uint32_t, 8> State = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<uint8_t, 64> Block{};
  size_t BlockUsed = 0;
  uint64_t BitCount = 0;
};

}  // namespace korvalt
