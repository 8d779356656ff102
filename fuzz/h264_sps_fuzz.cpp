// Buffers into the SPS reader; sizes from the input must survive a build-and-read round trip.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/parsers/h264_sps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvalt::ParseH264SpsSize(std::span<const uint8_t>(data, size));
  if (size >= 4) {
    const uint32_t width = (static_cast<uint32_t>(data[0]) << 8 | data[1]) % 8192;
    const uint32_t height = (static_cast<uint32_t>(data[2]) << 8 | data[3]) % 8192;
    std::vector<uint8_t> stream{0, 0, 1};
    const std::vector<uint8_t> sps = korvalt::BuildH264Sps(width, height);
    if (width == 0 || height == 0) {
      if (!sps.empty()) __builtin_trap();
      return 0;
    }
    stream.insert(stream.end(), sps.begin(), sps.end());
    const auto parsed = korvalt::ParseH264SpsSize(stream);
    // Odd sizes come back one larger: 4:2:0 crops in steps of two.
    if (!parsed || parsed->Width != (width + 1) / 2 * 2 || parsed->Height != (height + 1) / 2 * 2)
      __builtin_trap();
  }
  return 0;
}
