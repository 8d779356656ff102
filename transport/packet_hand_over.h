#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

// Hands the RTP packets read from an RTSP connection to a thread of their own, so that a host
// slow to take pictures never holds the reader: the connection is always read, and the RTSP
// answers behind the video arrive in time. While the queue is full, packets are dropped up to the
// end of the picture they belong to, so the host gets whole pictures only.
class CPacketHandOver {
 public:
  struct Limits {
    size_t Packets = 8192;
    size_t Bytes = 8 * 1024 * 1024;
  };
  // Called on the hand-over's thread, one packet at a time; data is valid only during the call.
  using Deliver = std::function<void(std::span<const uint8_t> packet)>;

  CPacketHandOver(Deliver deliver, Limits limits);
  ~CPacketHandOver();
  CPacketHandOver(const CPacketHandOver&) = delete;
  CPacketHandOver& operator=(const CPacketHandOver&) = delete;

  bool Start();
  // Wakes and joins the thread (after the packet it delivers); what is still queued is dropped.
  void Stop();
  // From the reader: queues a copy of the packet; false when it was dropped. marker ends a picture.
  bool Push(std::span<const uint8_t> packet, bool marker);
  // Packets dropped since construction because the queue was full.
  uint64_t Dropped() const;
  // Pictures dropped from their first packet on. One the drop struck half-way has its first part
  // delivered, and the parser counts it when the gap ends it.
  uint64_t DroppedPictures() const;

 private:
  void Run();

  const Deliver OnPacket;
  const Limits Limit;
  platform::Event StopEvent{platform::Event::ResetMode::kManual};
  platform::Event Queued;  // auto-reset: one waiter, the hand-over's thread
  mutable CMutex Lock;     // guards the queue and the counts; never held while delivering
  std::deque<std::vector<uint8_t>> Packets QL_GUARDED_BY(Lock);
  // Of the packets not yet delivered, those the thread has taken out of the queue included.
  size_t QueuedBytes QL_GUARDED_BY(Lock) = 0;
  size_t QueuedCount QL_GUARDED_BY(Lock) = 0;
  bool Dropping QL_GUARDED_BY(Lock) = false;      // the rest of the present picture goes
  bool PictureBegins QL_GUARDED_BY(Lock) = true;  // the last packet pushed or dropped ended a picture
  uint64_t DroppedPackets QL_GUARDED_BY(Lock) = 0;
  uint64_t DroppedWhole QL_GUARDED_BY(Lock) = 0;
  platform::Thread Thread;
};

}  // namespace korvalt
