// Packet sequences into the H.264 depacketiser; the first bytes may announce parameter sets.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_host.h"
#include "media/parsers/h264_rtp_media_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  fuzzhost::Driver driver;
  fuzzhost::Client client;
  {
    korvalt::CH264RTPMediaParser parser("fuzz", &driver);
    parser.SetClient(&client);
    if (input.size() >= 4) {
      client.Width = input[0] * 16u + 8;
      client.Height = input[1] * 8u;
      const size_t spsSize = std::min<size_t>(input[2], input.size() - 4);
      const size_t ppsSize = std::min<size_t>(input[3], input.size() - 4 - spsSize);
      parser.AcceptParameterSets(input.subspan(4, spsSize), input.subspan(4 + spsSize, ppsSize));
      input = input.subspan(4 + spsSize + ppsSize);
    }
    fuzzhost::FeedPackets(parser, input);
  }
  if (driver.SamplesLeaked()) __builtin_trap();
  return 0;
}
