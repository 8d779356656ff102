// Feeds arbitrary response texts to the RTSP response parser for every method code, on a parser
// that keeps its state from input to input as a client's parser does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/rtsp_response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the method (0..7 covers the unknown codes on both sides).
  const int method = data[0] % 8;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  // The client hands over the text up to its first zero byte.
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  korvalt::CRTSPResponseParser parser;
  parser.Parse(text, method);
  static korvalt::CRTSPResponseParser longLived;
  longLived.Parse(text, method);
  // Keep the appended parameter sets bounded across the run.
  if (longLived.Sps.size() > (1u << 20)) longLived = korvalt::CRTSPResponseParser();
  return 0;
}
