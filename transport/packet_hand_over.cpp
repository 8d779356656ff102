#include "transport/packet_hand_over.h"

#include <algorithm>
#include <utility>

namespace korvalt {

CPacketHandOver::CPacketHandOver(Deliver deliver, Limits limits)
    : OnPacket(std::move(deliver)), Limit(limits) {}

CPacketHandOver::~CPacketHandOver() {
  Stop();
}

bool CPacketHandOver::Start() {
  if (!StopEvent.Valid() || !Queued.Valid()) return false;
  return Thread.Start([this] { Run(); });
}

void CPacketHandOver::Stop() {
  StopEvent.Set();
  if (Thread.Attached() && !Thread.IsCurrent()) Thread.JoinFor(platform::Event::kInfinite);
  CMutexLock guard(Lock);
  Packets.clear();
  QueuedBytes = 0;
  QueuedCount = 0;
}

bool CPacketHandOver::Push(std::span<const uint8_t> packet, bool marker) {
  {
    CMutexLock guard(Lock);
    const bool full = QueuedCount >= Limit.Packets || QueuedBytes + packet.size() > Limit.Bytes;
    bool queued = false;
    if (!Dropping && !full) {
      try {
        Packets.emplace_back(packet.begin(), packet.end());
        queued = true;
      } catch (...) {
      }
    }
    const bool began = PictureBegins;
    PictureBegins = marker;
    if (!queued) {
      // The picture this packet belongs to is lost anyway: the rest of it goes too, and the next
      // one starts whole.
      if (!Dropping && began) ++DroppedWhole;
      Dropping = !marker;
      ++DroppedPackets;
      return false;
    }
    QueuedBytes += packet.size();
    ++QueuedCount;
  }
  Queued.Set();
  return true;
}

uint64_t CPacketHandOver::DroppedPictures() const {
  CMutexLock guard(Lock);
  return DroppedWhole;
}

uint64_t CPacketHandOver::Dropped() const {
  CMutexLock guard(Lock);
  return DroppedPackets;
}

void CPacketHandOver::Run() {
  std::deque<std::vector<uint8_t>> taken;
  for (;;) {
    if (platform::WaitAny(StopEvent, Queued, platform::Event::kInfinite) != 1) return;
    {
      CMutexLock guard(Lock);
      taken.swap(Packets);
    }
    while (!taken.empty()) {
      if (StopEvent.Wait(0)) return;
      const std::vector<uint8_t> packet = std::move(taken.front());
      taken.pop_front();
      {
        // Room again for the reader as soon as a packet is out of the queue's hands.
        CMutexLock guard(Lock);
        QueuedBytes -= std::min(QueuedBytes, packet.size());
        QueuedCount -= std::min<size_t>(QueuedCount, 1);
      }
      try {
        OnPacket(packet);
      } catch (...) {
      }
    }
  }
}

}  // namespace korvalt
