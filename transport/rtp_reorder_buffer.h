#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transport/rtp_packet_info.h"

namespace korvalt {

// Puts the RTP packets of one stream back in sequence order before the parser sees them. Wi-Fi
// bridges, link aggregation and some switches swap neighbouring datagrams or send one twice; the
// parsers drop the picture at any break in the sequence, so a swap would cost a whole picture (and
// with it every picture up to the next key frame).
//
// Bound: a packet is held while at most kWindow - 1 later packets arrive, and no longer than
// kMaxHoldMs after the first held packet arrived. Reordering by the network is a matter of a few
// datagrams and well under a millisecond; 16 packets and 50 ms are far beyond it, yet short
// beside a frame interval or the host's own buffering. When the bound passes, the missing packets
// are declared lost and what is held goes on in order. A packet behind the release point is a
// duplicate when it was released before, otherwise late (its place was declared lost); both are
// dropped and counted. One from before the first packet of the sequence is dropped uncounted.
// The held packets live in kWindow slots whose buffers are kept from packet to packet, so steady
// streaming allocates nothing; a packet larger than kMaxHeldPayload is never held (the gap before
// it is declared lost instead), which bounds the memory.
//
// Threads: Push and Tick on the one thread that receives the stream (the UDP receive thread, or
// the RTSP connection's reader); Restart and the counts from any thread.
class CRtpReorderBuffer {
 public:
  static constexpr uint16_t kWindow = 16;
  static constexpr int64_t kMaxHoldMs = 50;
  static constexpr size_t kMaxHeldPayload = 16 * 1024;
  // A jump further than this ahead, or further back than kMaxMisorder, is a new sequence (a
  // restarted sender), not loss or lateness.
  static constexpr int kMaxDropout = 3000;
  static constexpr int kMaxMisorder = 100;

  // Where the packets go, in order. A packet handed over is valid only during the call.
  class ISink {
   public:
    virtual ~ISink() = default;
    virtual void OnOrderedPacket(const RTP_PACKET_INFO& packet) = 0;
  };

  explicit CRtpReorderBuffer(ISink& sink) : Sink(sink) {}
  CRtpReorderBuffer(const CRtpReorderBuffer&) = delete;
  CRtpReorderBuffer& operator=(const CRtpReorderBuffer&) = delete;

  // One packet as it arrived; it or others may be handed on before this returns.
  void Push(const RTP_PACKET_INFO& packet, int64_t nowMs);
  // Applies the time bound when no packet arrives.
  void Tick(int64_t nowMs);
  // The next packet starts a new stream; what is still held is dropped, uncounted.
  void Restart() { RestartRequested.store(true); }

  // Since construction.
  uint64_t Lost() const { return LostCount.load(std::memory_order_relaxed); }
  uint64_t Late() const { return LateCount.load(std::memory_order_relaxed); }
  uint64_t Duplicates() const { return DuplicateCount.load(std::memory_order_relaxed); }
  // Packets held at the moment; receive thread only.
  size_t Held() const { return HeldCount; }

 private:
  struct Slot {
    bool Used = false;
    int64_t ArrivedMs = 0;
    RTP_PACKET_INFO Info;
    std::vector<uint8_t> Payload;
  };

  void StartAt(uint16_t sequenceNumber);
  // Declares the packets up to the first held one lost and releases what follows in order.
  void SkipToHeld();
  // Releases held packets from Next on, as long as they follow without a gap.
  void ReleaseReady();
  void Release(const RTP_PACKET_INFO& packet);
  // Counts the packets from Next up to (not including) until as lost, releasing any held among
  // them, and moves Next there.
  void AdvanceTo(uint16_t until);
  void Hold(const RTP_PACKET_INFO& packet, int64_t nowMs);
  void ApplyTimeBound(int64_t nowMs);
  // Whether the packet `behind` places before Next (1 = the one just before) was released.
  bool WasReleased(int behind) const;
  void MarkReleased(int behind);
  void Remember(bool released);
  void CheckRestart();

  ISink& Sink;
  std::atomic<bool> RestartRequested{false};
  // Receive thread only:
  bool Started = false;
  uint16_t Next = 0;  // the sequence number to release next
  size_t HeldCount = 0;
  std::array<Slot, kWindow> Slots;  // by sequence number modulo kWindow
  // Of the 128 numbers before Next, bit i (i = 0 the one just before): 1 released, 0 declared lost.
  uint64_t HistoryLow = 0;
  uint64_t HistoryHigh = 0;
  int HistoryLength = 0;  // valid bits
  std::atomic<uint64_t> LostCount{0};
  std::atomic<uint64_t> LateCount{0};
  std::atomic<uint64_t> DuplicateCount{0};
};

}  // namespace korvalt
