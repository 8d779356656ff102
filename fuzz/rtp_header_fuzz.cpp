// The RTP header parse: every pointer it returns stays inside the datagram.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transport/rtp_packet_info.h"

// Written by every run so the payload reads are not optimised away.
volatile uint8_t g_payloadSum = 0;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A heap copy of exactly the datagram's size, so reads past it are caught.
  const std::vector<uint8_t> datagram(data, data + size);
  korvalt::RTP_PACKET_INFO info;
  if (!korvalt::ParseRtpHeader(datagram.data(), datagram.size(), info)) return 0;
  const uint8_t* begin = datagram.data();
  const uint8_t* end = begin + datagram.size();
  if (info.Payload < begin || info.Payload > end || info.Payload + info.PayloadLength != end) std::abort();
  if (info.CsrcCount != 0 && info.CsrcList + 4 * info.CsrcCount > info.Payload) std::abort();
  if (info.ExtensionData != nullptr && info.ExtensionData > info.Payload) std::abort();
  if (info.PayloadType > 127 || info.Marker > 1 || info.Padding > 1) std::abort();
  // Touch every payload byte so a wrong length shows as an out-of-bounds read.
  uint8_t sum = 0;
  for (uint32_t i = 0; i < info.PayloadLength; ++i) sum = static_cast<uint8_t>(sum + info.Payload[i]);
  g_payloadSum = sum;
  return 0;
}
