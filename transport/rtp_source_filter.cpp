#include "transport/rtp_source_filter.h"

#include <algorithm>

#include "platform/socket.h"

namespace korvalt {

void CRtpSourceFilter::Expect(uint16_t port, std::optional<uint32_t> ssrc, int64_t nowMs) {
  {
    std::lock_guard<std::mutex> lock(ExpectLock);
    Expected = Expectation{port, ssrc, nowMs};
  }
  MismatchPort = 0;
  MismatchReported = false;
  Generation.fetch_add(1, std::memory_order_release);
}

void CRtpSourceFilter::Reset() {
  {
    std::lock_guard<std::mutex> lock(ExpectLock);
    Expected = Expectation{};
  }
  DroppedCount = 0;
  MismatchPort = 0;
  MismatchReported = false;
  Generation.fetch_add(1, std::memory_order_release);
}

std::optional<std::pair<uint16_t, uint16_t>> CRtpSourceFilter::TakePortMismatch() {
  const uint32_t port = MismatchPort.load();
  if (port == 0 || MismatchReported.exchange(true)) return std::nullopt;
  std::lock_guard<std::mutex> lock(ExpectLock);
  return std::make_pair(static_cast<uint16_t>(port), ntohs(Expected.Port));
}

CRtpSourceFilter::Verdict CRtpSourceFilter::Accept(uint16_t sourcePort, uint32_t ssrc, int64_t nowMs) {
  const uint32_t generation = Generation.load(std::memory_order_acquire);
  if (generation != SeenGeneration) {
    std::lock_guard<std::mutex> lock(ExpectLock);
    SeenGeneration = generation;
    Port = Expected.Port;
    HaveSsrc = Expected.Ssrc.has_value();
    Ssrc = Expected.Ssrc.value_or(0);
    LastSeenMs = Expected.SinceMs;
    Arrived = false;
  }
  Verdict verdict = Verdict::kTaken;
  if (!HaveSsrc) {
    Take(ssrc, nowMs);
  } else if (ssrc == Ssrc) {
    NoteArrival(nowMs);
  } else if (nowMs - LastSeenMs >= QuietBoundMs(nowMs)) {
    // The present stream fell silent (an encoder restart, or SETUP named an SSRC the camera never
    // used): the one that speaks now is the stream.
    Take(ssrc, nowMs);
    verdict = Verdict::kNewStream;
  } else {
    DroppedCount.fetch_add(1, std::memory_order_relaxed);
    return Verdict::kDropped;
  }
  if (Port != 0 && sourcePort != Port && MismatchPort.load(std::memory_order_relaxed) == 0)
    MismatchPort = ntohs(sourcePort);
  return verdict;
}

void CRtpSourceFilter::Take(uint32_t ssrc, int64_t nowMs) {
  HaveSsrc = true;
  Ssrc = ssrc;
  LastSeenMs = nowMs;
  Arrived = true;
  TakenMs = WindowStartMs = nowMs;
  GapMs = PreviousGapMs = 0;
}

void CRtpSourceFilter::NoteArrival(int64_t nowMs) {
  if (!Arrived) {
    // The first packet of the SSRC SETUP named: gaps count from here.
    Take(Ssrc, nowMs);
    return;
  }
  const int64_t gap = nowMs - LastSeenMs;
  LastSeenMs = nowMs;
  if (nowMs - WindowStartMs >= kGapWindowMs) {
    PreviousGapMs = GapMs;
    GapMs = 0;
    WindowStartMs = nowMs;
  }
  GapMs = std::max(GapMs, gap);
}

int64_t CRtpSourceFilter::QuietBoundMs(int64_t nowMs) const {
  // A stream watched for less than a window has not shown its longest gap yet.
  if (!Arrived || nowMs - TakenMs < kGapWindowMs) return kSsrcSilenceMs;
  return std::clamp(kQuietFactor * std::max(GapMs, PreviousGapMs), kMinQuietMs, kSsrcSilenceMs);
}

}  // namespace korvalt
