#include "transport/rtp_receiver.h"

namespace korvalt {
namespace {

// Video datagrams stay below the path MTU; bigger ones grow the buffer on demand.
constexpr uint32_t kRtpBufferSize = 4096;

}  // namespace

CRTPReceiver::CRTPReceiver() {
  Port.SetUser(this);
  Port.SetBufferSize(kRtpBufferSize);
}

CRTPReceiver::~CRTPReceiver() {
  // Close while this object is still whole: the port's thread calls into it until then.
  Port.SetUser(nullptr);
  Port.Close();
}

void CRTPReceiver::OnUDPData(CUDPPort* port, const sockaddr_in& from, const uint8_t* data, size_t length) {
  if (port != &Port) return;
  RTP_PACKET_INFO info;
  if (!ParseRtpHeader(data, length, info)) return;
  if (IRTPReceiverUser* user = User.load()) user->OnRTPPacket(this, from, info);
}

void CRTPReceiver::OnUDPTimeout() {
  if (IRTPReceiverUser* user = User.load()) user->OnRTPTimeout();
}

void CRTPReceiver::OnUDPClosed(CUDPPort* /*port*/) {
  if (IRTPReceiverUser* user = User.load()) user->OnRTPClosed(this);
}

}  // namespace korvalt
