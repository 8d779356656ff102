#include "transport/rtp_loss_counter.h"

namespace korvalt {

void CRtpLossCounter::Add(uint16_t sequenceNumber) {
  ReceivedCount.fetch_add(1, std::memory_order_relaxed);
  if (!Started.exchange(true)) {
    Highest = sequenceNumber;
    return;
  }
  // Distance from the highest number, in serial order (65535 is followed by 0).
  const auto ahead = static_cast<int16_t>(static_cast<uint16_t>(sequenceNumber - Highest));
  if (ahead > kMaxDropout) {
    Highest = sequenceNumber;  // the camera started a new sequence
  } else if (ahead > 0) {
    LostCount.fetch_add(static_cast<uint64_t>(ahead - 1), std::memory_order_relaxed);
    Highest = sequenceNumber;
  } else if (ahead < -kMaxMisorder) {
    Highest = sequenceNumber;  // likewise
  }
}

}  // namespace korvalt
