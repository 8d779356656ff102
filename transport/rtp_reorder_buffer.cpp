#include "transport/rtp_reorder_buffer.h"

#include <algorithm>

namespace korvalt {
namespace {

constexpr int kHistoryBits = 128;
constexpr int kWordBits = 64;

// Distance from `from` to `to` in serial order (65535 is followed by 0).
int Distance(uint16_t from, uint16_t to) {
  return static_cast<int16_t>(static_cast<uint16_t>(to - from));
}

}  // namespace

void CRtpReorderBuffer::Push(const RTP_PACKET_INFO& packet, int64_t nowMs) {
  CheckRestart();
  const uint16_t sequence = packet.SequenceNumber;
  if (!Started) StartAt(sequence);
  int ahead = Distance(Next, sequence);
  if (ahead > kMaxDropout || ahead < -kMaxMisorder) {
    // The sender began a new sequence: what is held of the old one goes on first.
    while (HeldCount > 0) SkipToHeld();
    StartAt(sequence);
    ahead = 0;
  }
  if (ahead < 0) {
    const int behind = -ahead;
    if (behind <= HistoryLength && WasReleased(behind)) {
      DuplicateCount.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    // From before the first packet of the sequence (swapped with it): neither lost nor late.
    if (behind > HistoryLength) return;
    // Its place was declared lost: too late to use.
    MarkReleased(behind);
    LateCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (ahead >= kWindow) {
    // The packet bound passed for everything missing before the window that ends with it.
    AdvanceTo(static_cast<uint16_t>(sequence - kWindow + 1));
    ReleaseReady();
    ahead = Distance(Next, sequence);
    if (ahead < 0) {
      DuplicateCount.fetch_add(1, std::memory_order_relaxed);  // it was held already
      return;
    }
  }
  if (ahead == 0) {
    Release(packet);
    ++Next;
    Remember(true);
    ReleaseReady();
  } else {
    const Slot& slot = Slots[sequence % kWindow];
    if (slot.Used && slot.Info.SequenceNumber == sequence) {
      DuplicateCount.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (packet.PayloadLength > kMaxHeldPayload) {
      // Too big to keep a copy of: the gap before it counts as lost now.
      AdvanceTo(sequence);
      Release(packet);
      ++Next;
      Remember(true);
      ReleaseReady();
    } else {
      Hold(packet, nowMs);
    }
  }
  ApplyTimeBound(nowMs);
}

void CRtpReorderBuffer::Tick(int64_t nowMs) {
  CheckRestart();
  ApplyTimeBound(nowMs);
}

void CRtpReorderBuffer::CheckRestart() {
  if (!RestartRequested.load(std::memory_order_relaxed) || !RestartRequested.exchange(false)) return;
  Started = false;
  for (Slot& slot : Slots) slot.Used = false;
  HeldCount = 0;
}

void CRtpReorderBuffer::StartAt(uint16_t sequenceNumber) {
  Started = true;
  Next = sequenceNumber;
  HistoryLow = HistoryHigh = 0;
  HistoryLength = 0;
  for (Slot& slot : Slots) slot.Used = false;
  HeldCount = 0;
}

void CRtpReorderBuffer::Hold(const RTP_PACKET_INFO& packet, int64_t nowMs) {
  Slot& slot = Slots[packet.SequenceNumber % kWindow];
  // assign keeps the slot's capacity: only a packet larger than any held here before allocates.
  slot.Payload.assign(packet.Payload,
                      packet.Payload + (packet.Payload != nullptr ? packet.PayloadLength : 0));
  slot.Info = packet;
  slot.Info.Payload = slot.Payload.data();
  // The parsers read neither; the receive buffer they pointed into is reused.
  slot.Info.CsrcCount = 0;
  slot.Info.CsrcList = nullptr;
  slot.Info.ExtensionLength = 0;
  slot.Info.ExtensionProfile = 0;
  slot.Info.ExtensionData = nullptr;
  slot.ArrivedMs = nowMs;
  slot.Used = true;
  ++HeldCount;
}

void CRtpReorderBuffer::Release(const RTP_PACKET_INFO& packet) {
  Sink.OnOrderedPacket(packet);
}

void CRtpReorderBuffer::ReleaseReady() {
  while (HeldCount > 0) {
    Slot& slot = Slots[Next % kWindow];
    if (!slot.Used || slot.Info.SequenceNumber != Next) return;
    slot.Used = false;
    --HeldCount;
    ++Next;
    Remember(true);
    Release(slot.Info);
  }
}

void CRtpReorderBuffer::AdvanceTo(uint16_t until) {
  const int distance = static_cast<uint16_t>(until - Next);
  // Only the window's numbers can be held; beyond them the count is arithmetic.
  const int scanned = std::min<int>(distance, kWindow);
  for (int i = 0; i < scanned; ++i) {
    Slot& slot = Slots[Next % kWindow];
    const bool held = slot.Used && slot.Info.SequenceNumber == Next;
    ++Next;
    Remember(held);
    if (held) {
      slot.Used = false;
      --HeldCount;
      Release(slot.Info);
    } else {
      LostCount.fetch_add(1, std::memory_order_relaxed);
    }
  }
  const int rest = distance - scanned;
  if (rest > 0) {
    LostCount.fetch_add(static_cast<uint64_t>(rest), std::memory_order_relaxed);
    for (int i = 0; i < std::min(rest, kHistoryBits); ++i) Remember(false);
    Next = until;
  }
}

void CRtpReorderBuffer::SkipToHeld() {
  for (uint16_t k = 1; k < kWindow; ++k) {
    const auto sequence = static_cast<uint16_t>(Next + k);
    const Slot& slot = Slots[sequence % kWindow];
    if (slot.Used && slot.Info.SequenceNumber == sequence) {
      AdvanceTo(sequence);
      ReleaseReady();
      return;
    }
  }
  // Unreachable while HeldCount is right; never loop on it.
  for (Slot& slot : Slots) slot.Used = false;
  HeldCount = 0;
}

void CRtpReorderBuffer::ApplyTimeBound(int64_t nowMs) {
  while (HeldCount > 0) {
    int64_t oldest = nowMs;
    for (const Slot& slot : Slots)
      if (slot.Used) oldest = std::min(oldest, slot.ArrivedMs);
    if (nowMs - oldest < kMaxHoldMs) return;
    SkipToHeld();
  }
}

void CRtpReorderBuffer::Remember(bool released) {
  HistoryHigh = (HistoryHigh << 1) | (HistoryLow >> (kWordBits - 1));
  HistoryLow = (HistoryLow << 1) | (released ? 1u : 0u);
  HistoryLength = std::min(HistoryLength + 1, kHistoryBits);
}

bool CRtpReorderBuffer::WasReleased(int behind) const {
  const int bit = behind - 1;
  return bit < kWordBits ? ((HistoryLow >> bit) & 1u) != 0 : ((HistoryHigh >> (bit - kWordBits)) & 1u) != 0;
}

void CRtpReorderBuffer::MarkReleased(int behind) {
  const int bit = behind - 1;
  if (bit < kWordBits)
    HistoryLow |= uint64_t{1} << bit;
  else
    HistoryHigh |= uint64_t{1} << (bit - kWordBits);
}

}  // namespace korvalt
