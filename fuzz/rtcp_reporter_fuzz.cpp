// The reporter's answer to arbitrary RTCP packets from the camera: it must never read past the
// packet, and every answer is a well-formed receiver report followed by an SDES chunk.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "transport/rtcp_reporter.h"

namespace {

constexpr size_t kReceiverReportSize = 32;
constexpr size_t kCnameOffset = kReceiverReportSize + 10;  // SDES header, SSRC, item type and length

uint16_t Be16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte sizes the CNAME (host names up to 255 bytes), the rest is the packet.
  if (size == 0) return 0;
  const std::vector<uint8_t> cname(data[0], 'h');
  // An exact copy, so that AddressSanitizer sees any read past the packet's end.
  const std::vector<uint8_t> packet(data + 1, data + size);
  std::vector<uint8_t> answer;
  const bool answered = korvalt::CRTCPReporter::AnswerPacket(packet, 0x01020304, 7, cname, answer);
  if (!answered) {
    if (!answer.empty()) __builtin_trap();
    return 0;
  }
  if (answer.size() % 4 != 0 || answer.size() < kCnameOffset + cname.size()) __builtin_trap();
  // Each packet's length field counts its 32-bit words after the first.
  if ((Be16(answer, 2) + 1u) * 4 != kReceiverReportSize) __builtin_trap();
  if ((Be16(answer, kReceiverReportSize + 2) + 1u) * 4 != answer.size() - kReceiverReportSize)
    __builtin_trap();
  if (answer[kCnameOffset - 1] != cname.size()) __builtin_trap();
  return 0;
}
