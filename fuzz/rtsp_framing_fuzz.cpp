// Bytes as they arrive on an RTSP connection: several responses in one buffer, stray line ends,
// bodies of any announced length. Each framed message goes to a long-lived parser, as in the
// client. The buffer is also framed as it would arrive in small reads, which must cut it at the
// same places.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/rtsp_framing.h"
#include "transport/rtsp_response_parser.h"

namespace {

constexpr size_t kMaxMessage = 4096;

// Message lengths found in buffer, fed chunk bytes at a time (0: all at once).
std::vector<size_t> Frame(std::string_view buffer, size_t chunk, korvalt::CRTSPResponseParser* parser) {
  std::vector<size_t> lengths;
  std::string held;
  size_t offered = 0;
  korvalt::CRTSPFraming::Scan scan;
  int method = 1;
  for (;;) {
    if (scan.HeaderEnd == 0) held.erase(0, korvalt::CRTSPFraming::LeadingLineEnds(held));
    size_t length = 0;
    const auto result = korvalt::CRTSPFraming::NextMessage(held, kMaxMessage, length, scan);
    if (result == korvalt::CRTSPFraming::Result::kTooLarge) break;
    if (result == korvalt::CRTSPFraming::Result::kComplete) {
      if (length == 0 || length > held.size() || length > kMaxMessage) __builtin_trap();
      const std::string message = held.substr(0, length);
      (void)korvalt::CRTSPFraming::SequenceNumber(message);
      if (parser != nullptr) parser->Parse(message.substr(0, message.find('\0')), method);
      method = method % 6 + 1;
      lengths.push_back(length);
      held.erase(0, length);
      scan = korvalt::CRTSPFraming::Scan();
      continue;
    }
    if (offered == buffer.size()) break;
    const size_t take = chunk == 0 ? buffer.size() - offered : std::min(chunk, buffer.size() - offered);
    held.append(buffer.substr(offered, take));
    offered += take;
  }
  return lengths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = data[0] % 16 + 1;
  const std::string_view buffer(reinterpret_cast<const char*>(data + 1), size - 1);
  static korvalt::CRTSPResponseParser parser;
  const std::vector<size_t> whole = Frame(buffer, 0, &parser);
  if (Frame(buffer, chunk, nullptr) != whole) __builtin_trap();
  // Keep the appended parameter sets bounded across the run.
  if (parser.Sps.size() > (1u << 20)) parser = korvalt::CRTSPResponseParser();
  return 0;
}
