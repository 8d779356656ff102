// The base-64 decoder of the SDP parameter sets: never writes past its capacity, and decodes
// what the encoder produced.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "http/h_utils.h"
#include "transport/rtsp_response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  // An exact-size heap buffer lets the address sanitizer see any write past capacity.
  std::vector<uint8_t> out(capacity);
  size_t length = 0;
  const bool ok = korvalt::CRTSPResponseParser::DecodeBase64(text, out.data(), capacity, length);
  if (length > capacity) std::abort();
  (void)ok;

  // Round trip: what the encoder makes, the decoder gives back.
  const size_t n = std::min<size_t>(size - 1, 72);
  std::array<char, 100> encoded{};
  size_t encodedLength = encoded.size();
  if (korvalt::HUtils::Base64Encode(data + 1, n, encoded.data(), &encodedLength)) {
    std::array<uint8_t, 100> decoded{};
    size_t decodedLength = 0;
    if (!korvalt::CRTSPResponseParser::DecodeBase64(std::string_view(encoded.data(), encodedLength),
                                                    decoded.data(), decoded.size(), decodedLength) ||
        decodedLength != n || std::memcmp(decoded.data(), data + 1, n) != 0) {
      std::abort();
    }
  }
  return 0;
}
