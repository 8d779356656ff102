// Packet sequences into the Motion-JPEG depacketiser.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_host.h"
#include "media/parsers/jpeg_rtp_media_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzhost::Driver driver;
  fuzzhost::Client client;
  {
    korvalt::CJpegRTPMediaParser parser("fuzz", &driver);
    parser.SetClient(&client);
    fuzzhost::FeedPackets(parser, std::span<const uint8_t>(data, size));
  }
  if (driver.SamplesLeaked()) __builtin_trap();
  return 0;
}
