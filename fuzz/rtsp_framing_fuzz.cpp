// Bytes as they arrive on an RTSP connection: several responses in one buffer, stray line ends,
// bodies of any announced length. Each framed message goes to a long-lived parser, as in the
// client. The buffer is also framed as it would arrive in small reads, which must cut it at the
// same places. The same bytes are then read as a connection that carries RTP inside it ("$"
// frames among the messages), whole and in small reads, which must yield the same frames and
// responses, each within its bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/interleaved_reader.h"
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

constexpr size_t kMaxFrame = 4 + 0xFFFF;

struct FrameList : korvalt::IInterleavedSink {
  void OnInterleavedFrame(uint8_t channel, const uint8_t* data, size_t length) override {
    if (length + 4 > kMaxFrame) __builtin_trap();
    Units.push_back(std::to_string(channel) + ":" + std::string(reinterpret_cast<const char*>(data), length));
  }
  void OnInterleavedEnded() override {}
  std::vector<std::string> Units;
};

// Frames and responses of buffer read as an interleaved connection, chunk bytes at a time.
std::vector<std::string> Interleaved(std::string_view buffer, size_t chunk) {
  korvalt::CRTSPConnectionBuffer held(kMaxMessage);
  FrameList sink;
  size_t offered = 0;
  while (offered < buffer.size()) {
    const size_t take = std::min({chunk, buffer.size() - offered, std::max<size_t>(held.Room(), 1)});
    held.Append(buffer.data() + offered, take);
    offered += take;
    for (;;) {
      std::string response;
      const auto taken = held.Take(&sink, response);
      if (taken == korvalt::CRTSPConnectionBuffer::Taken::kNeedMore) break;
      if (taken == korvalt::CRTSPConnectionBuffer::Taken::kResponse) {
        if (response.empty() || response.size() > kMaxMessage) __builtin_trap();
        sink.Units.push_back(response);
      } else {
        sink.Units.push_back("too large");
      }
    }
    if (held.Room() == 0) held.Clear();
  }
  return sink.Units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = data[0] % 16 + 1;
  const std::string_view buffer(reinterpret_cast<const char*>(data + 1), size - 1);
  static korvalt::CRTSPResponseParser parser;
  const std::vector<size_t> whole = Frame(buffer, 0, &parser);
  if (Frame(buffer, chunk, nullptr) != whole) __builtin_trap();
  if (Interleaved(buffer, buffer.size() + 1) != Interleaved(buffer, chunk)) __builtin_trap();
  // Keep the appended parameter sets bounded across the run.
  if (parser.Sps.size() > (1u << 20)) parser = korvalt::CRTSPResponseParser();
  return 0;
}
