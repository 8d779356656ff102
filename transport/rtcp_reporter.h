#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"

namespace korvalt {

// The RTCP side of an RTSP stream: a socket on the RTCP port and a thread that answers every
// RTCP packet from the camera with a receiver report and SDES, and says BYE when it stops.
// Open, SetCameraAddress, Start, Stop and Join come from the owner's thread.
class CRTCPReporter {
 public:
  static constexpr int kJoinTimeoutMs = 10000;

  CRTCPReporter();
  // Stops the thread and joins it within kJoinTimeoutMs.
  ~CRTCPReporter();
  CRTCPReporter(const CRTCPReporter&) = delete;
  CRTCPReporter& operator=(const CRTCPReporter&) = delete;

  // Binds INADDR_ANY:port and chooses the SSRC and CNAME. False when no thread may use it.
  bool Open(uint16_t port);
  // Only packets from this IPv4 address (network byte order) are answered; none before it is set.
  void SetCameraAddress(uint32_t address);
  // Starts the reporter's thread on the opened socket.
  bool Start();
  // Tells the thread to stop; it wakes at once, says BYE and closes the socket.
  void Stop();
  // True when no thread is left. A thread that outlives timeoutMs is never killed: it is
  // detached and keeps what it uses alive until it ends by itself (result false).
  bool Join(int timeoutMs = kJoinTimeoutMs);

  // The answer to one RTCP packet from the camera: a receiver report for its sender SSRC and an
  // SDES with our CNAME. False, with no answer, for a packet so short that it means the camera is
  // done with us.
  static bool AnswerPacket(std::span<const uint8_t> packet, uint32_t ssrc, uint32_t sequence,
                           std::span<const uint8_t> cname, std::vector<uint8_t>& answer);

  uint32_t Ssrc() const;
  // The local port bound by Open (useful with port 0).
  uint16_t BoundPort() const;
  bool IsRunning() const;
  int LastError() const;

 private:
  struct State;
  static void Run(const std::shared_ptr<State>& state);

  std::shared_ptr<State> Shared;  // shared with the thread, which may outlive a timed-out Join
  // Started by Start, joined by Join. A raw thread: its body runs on the shared State alone, so
  // the reporter may go while a thread that overran Join ends by itself; a CSimpleThread's body is
  // the thread object, which would have to outlive its owner.
  platform::Thread Thread;
};

}  // namespace korvalt
