#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace korvalt {

// Which datagrams from the camera's address belong to the channel's stream. Multi-channel video
// servers and encoders send several streams from one address: one SSRC is taken, the one SETUP
// named, else the first that arrives. The source port is no test: a NAT's port translation moves
// it, and the port SETUP names is where the camera receives, not where it must send from. A source
// port other than the named one is only noted, for the operator.
//
// A camera whose encoder restarts goes on with a new SSRC and sequence while the old one falls
// silent. The new one takes over once the present one has been quiet for kQuietFactor times its
// longest recent gap between packets (a few frame intervals), at least kMinQuietMs and at most
// kSsrcSilenceMs; a stream interleaved with a live one never does. Until the present one has been
// watched for a whole window, the bound is kSsrcSilenceMs. What is left out is counted.
//
// Threads: Expect and Reset on the worker, Accept on the receive thread, the counts anywhere.
class CRtpSourceFilter {
 public:
  static constexpr int64_t kSsrcSilenceMs = 2000;
  static constexpr int64_t kMinQuietMs = 150;
  static constexpr int64_t kQuietFactor = 3;
  // The longest gap is taken over the last one or two windows of this length.
  static constexpr int64_t kGapWindowMs = 2000;

  enum class Verdict {
    kDropped,    // another stream's
    kTaken,      // the stream's
    kNewStream,  // the first of a new SSRC that took over: sequence and counts begin again
  };

  // A new session: port and ssrc as the datagrams carry them (network order); none = any.
  void Expect(uint16_t port, std::optional<uint32_t> ssrc, int64_t nowMs);
  // Takes everything again, and forgets the counts.
  void Reset();
  // sourcePort as the datagram carries it (network order), ssrc as it stands in the header.
  Verdict Accept(uint16_t sourcePort, uint32_t ssrc, int64_t nowMs);

  uint64_t Dropped() const { return DroppedCount.load(std::memory_order_relaxed); }
  // Once per session: the source port (host order) of the first datagram taken from a port other
  // than the one SETUP named, and that named port; nothing when there is none (yet).
  std::optional<std::pair<uint16_t, uint16_t>> TakePortMismatch();

 private:
  struct Expectation {
    uint16_t Port = 0;  // 0 = none named
    std::optional<uint32_t> Ssrc;
    int64_t SinceMs = 0;
  };
  int64_t QuietBoundMs(int64_t nowMs) const;
  void NoteArrival(int64_t nowMs);
  void Take(uint32_t ssrc, int64_t nowMs);

  std::mutex ExpectLock;  // guards Expected; taken by Accept only when Generation moved
  Expectation Expected;
  std::atomic<uint32_t> Generation{0};
  std::atomic<uint64_t> DroppedCount{0};
  std::atomic<uint32_t> MismatchPort{0};  // host order; 0 = none; written by the receive thread
  std::atomic<bool> MismatchReported{false};

  // Receive thread only:
  uint32_t SeenGeneration = 0;
  uint16_t Port = 0;
  bool HaveSsrc = false;
  uint32_t Ssrc = 0;
  int64_t LastSeenMs = 0;  // of Ssrc; from Expect until it first arrives
  bool Arrived = false;    // Ssrc has arrived since it was taken or named
  int64_t TakenMs = 0;     // its first arrival
  int64_t WindowStartMs = 0;
  int64_t GapMs = 0;          // longest gap between its packets in the present window
  int64_t PreviousGapMs = 0;  // in the window before
};

}  // namespace korvalt
