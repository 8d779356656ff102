#include "transport/rtp_source_filter.h"

namespace korvalt {

void CRtpSourceFilter::Expect(uint16_t port, std::optional<uint32_t> ssrc, int64_t nowMs) {
  Port = port;
  Ssrc = ssrc.value_or(0);
  LastSeenMs = nowMs;
  HaveSsrc = ssrc.has_value();
}

void CRtpSourceFilter::Reset() {
  Port = 0;
  HaveSsrc = false;
  DroppedCount = 0;
}

bool CRtpSourceFilter::Accept(uint16_t sourcePort, uint32_t ssrc, int64_t nowMs) {
  const uint32_t port = Port.load(std::memory_order_relaxed);
  if (port != 0 && sourcePort != port) {
    DroppedCount.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  // A stream that fell silent (a camera restarted, or SETUP named an SSRC the camera never used)
  // gives way to the one that speaks now.
  if (!HaveSsrc.load() || ssrc == Ssrc.load() || nowMs - LastSeenMs.load() >= kSsrcSilenceMs) {
    Ssrc = ssrc;
    HaveSsrc = true;
    LastSeenMs = nowMs;
    return true;
  }
  DroppedCount.fetch_add(1, std::memory_order_relaxed);
  return false;
}

}  // namespace korvalt
