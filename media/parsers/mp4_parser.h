#pragma once

#include <cstdint>
#include <span>

namespace korvalt {

// Reads the picture size from MPEG-4 Visual configuration headers (visual object sequence,
// visual object, video object layer of a Simple Object) or from an H.263 picture header
// (short video header). Holds no state.
class CMP4Parser {
 public:
  virtual ~CMP4Parser() = default;

  // Width and height rounded up to whole macroblocks; false when the headers are missing,
  // malformed, not a rectangular Simple Object, or give a size of 0 or above 32,000.
  bool GetPictureSize(std::span<const uint8_t> data, uint32_t& width, uint32_t& height) const;
};

}  // namespace korvalt
