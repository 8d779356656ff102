#pragma once

#include <string>

#include "thread/annotated_mutex.h"

namespace korvalt {

// What a driver learnt about how its camera's video reaches the recorder, kept for the driver's
// life and shared by all its channels: whether RTP must come over the RTSP connection because UDP
// never arrived, whether the camera refuses that, and which one-time notices were given. Keyed by
// the camera's address, so that a driver opened again for another camera starts afresh; likewise
// whether the camera answers RTSP over TLS. Any
// thread.
class CStreamTransportMemory {
 public:
  enum class Transport { kUdp, kTcp };

  Transport For(const std::string& address);
  // UDP did not arrive (reason says how it showed): RTP comes over the RTSP connection from now on.
  void UseTcp(const std::string& address, const std::string& reason);
  // Why TCP was chosen; empty when it was not.
  std::string TcpReason(const std::string& address);
  // The camera refused RTP over the RTSP connection: UDP it is, for good.
  void RefuseTcp(const std::string& address);
  bool RefusesTcp(const std::string& address);
  // True for the first caller only: the short receive buffer is reported once per driver.
  bool ClaimReceiveBufferNotice();

  // RTSP over TLS: untried, seen to work (never given up then), or not answered by the camera.
  enum class Tls { kUntried, kWorks, kRefused };
  Tls TlsFor(const std::string& address);
  void TlsWorks(const std::string& address);
  // The camera does not answer TLS: plain RTSP for the driver's life. True for the driver's first
  // such camera only, so that the unencrypted video is reported once.
  bool RefuseTls(const std::string& address);

 private:
  void Select(const std::string& address) QL_REQUIRES(Lock);

  CMutex Lock;  // guards every member
  std::string Address QL_GUARDED_BY(Lock);
  bool Tcp QL_GUARDED_BY(Lock) = false;
  std::string Reason QL_GUARDED_BY(Lock);
  bool TcpRefused QL_GUARDED_BY(Lock) = false;
  bool ReceiveBufferNoticed QL_GUARDED_BY(Lock) = false;
  Tls TlsState QL_GUARDED_BY(Lock) = Tls::kUntried;
  bool PlainVideoNoticed QL_GUARDED_BY(Lock) = false;
};

}  // namespace korvalt
