#pragma once

#include <atomic>

#include "platform/socket.h"
#include "transport/rtp_packet_info.h"
#include "transport/udp_port.h"

namespace korvalt {

class CRTPReceiver;

// Receiver of parsed RTP packets; all calls come on the port's receive thread.
class IRTPReceiverUser {
 public:
  virtual ~IRTPReceiverUser() = default;
  // info points into the receive buffer and is valid only during the call.
  virtual void OnRTPPacket(CRTPReceiver* receiver, const sockaddr_in& from, const RTP_PACKET_INFO& info) = 0;
  virtual void OnRTPTimeout() = 0;
  virtual void OnRTPClosed(CRTPReceiver* receiver) = 0;
};

// Parses the RTP header of every datagram on its port and hands good packets on. It keeps no
// per-stream state: ordering, gaps and the choice of sender are left to its user.
class CRTPReceiver : public IUDPPortUser {
 public:
  CRTPReceiver();
  ~CRTPReceiver() override;

  void OnUDPData(CUDPPort* port, const sockaddr_in& from, const uint8_t* data, size_t length) override;
  void OnUDPTimeout() override;
  void OnUDPClosed(CUDPPort* port) override;

  CUDPPort Port;                                 // opened and closed by the owner
  std::atomic<IRTPReceiverUser*> User{nullptr};  // not owned; set and cleared by the owner
};

}  // namespace korvalt
