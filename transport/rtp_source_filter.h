#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace korvalt {

// Which datagrams from the camera's address belong to the channel's stream. Multi-channel video
// servers, encoders and NAT gateways send several streams from one address: only the source port
// the SETUP answer named (when it named one) and one SSRC are taken. The SSRC is the one SETUP
// named, else the first that arrives; another is taken only once the present one has been silent
// for kSsrcSilenceMs, as after a camera restart. What is left out is counted.
//
// Threads: Expect and Reset on the worker, Accept on the receive thread, Dropped anywhere.
class CRtpSourceFilter {
 public:
  static constexpr int64_t kSsrcSilenceMs = 2000;

  // A new session: port and ssrc as the datagrams carry them (network order); none = any.
  void Expect(uint16_t port, std::optional<uint32_t> ssrc, int64_t nowMs);
  // Takes everything again, and forgets the count.
  void Reset();
  // True when a datagram from sourcePort (network order) with ssrc (as it stands in the header)
  // belongs to the stream.
  bool Accept(uint16_t sourcePort, uint32_t ssrc, int64_t nowMs);
  uint64_t Dropped() const { return DroppedCount.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> Port{0};  // 0 = any
  std::atomic<bool> HaveSsrc{false};
  std::atomic<uint32_t> Ssrc{0};
  std::atomic<int64_t> LastSeenMs{0};  // of Ssrc
  std::atomic<uint64_t> DroppedCount{0};
};

}  // namespace korvalt
