#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvalt {

struct H264PictureSize {
  uint32_t Width = 0;
  uint32_t Height = 0;
};

// Finds an SPS (start code 00 00 01, NAL type 7) in the first 64 bytes of an Annex B buffer
// and reads the cropped picture size from it. Empty when there is none, it is malformed or
// it runs past the end of the buffer.
std::optional<H264PictureSize> ParseH264SpsSize(std::span<const uint8_t> buffer);

// A Baseline SPS NAL unit (header byte 67 included, no start code) for a picture of the given
// size: whole macroblocks that cover the picture, cropped back to it (to an even size, the
// finest step 4:2:0 allows). Empty for a zero size.
std::vector<uint8_t> BuildH264Sps(uint32_t width, uint32_t height);

}  // namespace korvalt
