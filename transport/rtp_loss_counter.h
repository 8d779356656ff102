#pragma once

#include <atomic>
#include <cstdint>

namespace korvalt {

// Counts the RTP packets of one stream that arrive and that never arrived, from their sequence
// numbers, as the reorder stage hands them on (so a gap is a packet declared lost). A gap counts
// its missing packets once; a packet that comes late (behind the highest number seen) or twice
// changes nothing. A jump too far back to be a late packet, or too far ahead to be a loss, is a
// new sequence (a sender that restarted), not thousands of lost packets.
// Add runs on one thread (the receive thread); the totals may be read from any.
class CRtpLossCounter {
 public:
  // Behind the highest number by more than this, a packet starts the count afresh.
  static constexpr int kMaxMisorder = 100;
  // Ahead of the highest number by more than this, likewise.
  static constexpr int kMaxDropout = 3000;

  void Add(uint16_t sequenceNumber);
  // Forget the stream (a new session): the next packet starts the count.
  void Restart() { Started.store(false); }

  uint64_t Received() const { return ReceivedCount.load(std::memory_order_relaxed); }
  uint64_t Lost() const { return LostCount.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> Started{false};
  uint16_t Highest = 0;  // receive thread only
  std::atomic<uint64_t> ReceivedCount{0};
  std::atomic<uint64_t> LostCount{0};
};

}  // namespace korvalt
