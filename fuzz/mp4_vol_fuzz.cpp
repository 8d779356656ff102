// MPEG-4 configuration headers and H.263 picture headers straight into the size reader.
#include <cstddef>
#include <cstdint>
#include <span>

#include "media/parsers/mp4_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t width = 0;
  uint32_t height = 0;
  if (korvalt::CMP4Parser().GetPictureSize(std::span<const uint8_t>(data, size), width, height)) {
    if (width == 0 || height == 0 || width > 32000 || height > 32000 || width % 16 != 0 || height % 16 != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
