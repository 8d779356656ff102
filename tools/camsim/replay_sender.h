#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtp_capture.h"

namespace camsim {

// Plays a capture to every playing client from one thread, paced by the packets' timestamps and
// looping for ever. Each picture (the packets of one timestamp) goes to all clients with sendmmsg.
// Only sequence numbers and timestamps are rewritten, so that both run on across loops; all
// clients get the same numbers, as clients of one shared live stream do.
class ReplaySender {
 public:
  explicit ReplaySender(RtpCapture capture);
  ~ReplaySender();
  ReplaySender(const ReplaySender&) = delete;
  ReplaySender& operator=(const ReplaySender&) = delete;

  // Binds the RTP socket (and the RTCP one above it, whose reports are read and dropped) on address
  // and starts the thread. False when no port pair could be bound.
  bool Start(const std::string& address);
  void Stop();
  uint16_t RtpPort() const { return ServerRtpPort; }

  // A client that gets every picture from the next one on; returns its id for RemoveClient.
  uint64_t AddClient(const sockaddr_in& rtp);
  void RemoveClient(uint64_t id);
  size_t ClientCount() const;

  // Sequence number and timestamp of the next packet to go out (the PLAY reply's RTP-Info).
  struct Position {
    uint16_t Sequence = 0;
    uint32_t Timestamp = 0;
  };
  Position Next() const;
  uint32_t Ssrc() const { return Capture.Ssrc; }
  const RtpCapture& Stream() const { return Capture; }

  // Pictures sent while at least one client was playing (packets with the marker bit, counted once
  // whatever the number of clients), and datagrams sent in all.
  uint64_t FramesSent() const { return Frames.load(std::memory_order_relaxed); }
  uint64_t DatagramsSent() const { return Datagrams.load(std::memory_order_relaxed); }

  // The capture's timeline: for packet i, the timestamp it goes out with in the first loop and its
  // offset in clock ticks from the first packet; the ticks and sequence numbers one loop adds. A
  // capture whose pictures do not advance the timestamp (a file written without timing) gets one
  // picture every kDefaultFrameTicks, a picture ending at its marker bit.
  struct Timeline {
    std::vector<uint32_t> Stamps;
    std::vector<int64_t> Offsets;
    uint32_t LoopTicks = 0;
    uint16_t LoopSequences = 0;
  };
  static constexpr uint32_t kDefaultFrameTicks = 3000;  // 30 pictures per second at 90 kHz
  static Timeline MakeTimeline(const RtpCapture& capture);

 private:
  void Run();
  void SendPicture(size_t first, size_t last, const std::vector<sockaddr_in>& to);
  void DrainRtcp();

  RtpCapture Capture;
  Timeline Times;
  uint16_t FirstSequence = 0;
  uint32_t FirstTimestamp = 0;

  int RtpSocket = -1;
  int RtcpSocket = -1;
  int WakeFd = -1;  // eventfd: Stop
  uint16_t ServerRtpPort = 0;
  std::thread Thread;

  mutable std::mutex Lock;  // guards Clients, NextId, Cursor
  std::vector<std::pair<uint64_t, sockaddr_in>> Clients;
  uint64_t NextId = 1;
  Position Cursor;

  std::atomic<uint64_t> Frames{0};
  std::atomic<uint64_t> Datagrams{0};

  // A run of datagrams of one size sent as one UDP GSO message.
  struct GsoRun {
    size_t First = 0;  // in the picture
    size_t Count = 0;
    uint16_t Segment = 0;  // size of every datagram but the last
    bool Closed = false;   // its last datagram is shorter: nothing more joins
    alignas(cmsghdr) unsigned char Control[CMSG_SPACE(sizeof(uint16_t))];
  };
  static constexpr size_t kMaxSegments = 64;
  static constexpr size_t kMaxGsoBytes = 60000;  // below the 64 KiB of one UDP datagram
  bool Gso = true;

  // Reused by every picture so that sending allocates nothing once warm.
  std::vector<mmsghdr> Messages;
  std::vector<iovec> Vectors;  // the picture's datagrams, in order
  std::vector<GsoRun> Runs;
};

}  // namespace camsim
