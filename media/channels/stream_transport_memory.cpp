#include "media/channels/stream_transport_memory.h"

namespace korvalt {

void CStreamTransportMemory::Select(const std::string& address) {
  if (address == Address) return;
  Address = address;
  Tcp = false;
  TcpRefused = false;
  Reason.clear();
  TlsState = Tls::kUntried;
}

CStreamTransportMemory::Transport CStreamTransportMemory::For(const std::string& address) {
  CMutexLock guard(Lock);
  Select(address);
  return Tcp && !TcpRefused ? Transport::kTcp : Transport::kUdp;
}

void CStreamTransportMemory::UseTcp(const std::string& address, const std::string& reason) {
  CMutexLock guard(Lock);
  Select(address);
  Tcp = true;
  Reason = reason;
}

std::string CStreamTransportMemory::TcpReason(const std::string& address) {
  CMutexLock guard(Lock);
  Select(address);
  return Tcp ? Reason : std::string();
}

void CStreamTransportMemory::RefuseTcp(const std::string& address) {
  CMutexLock guard(Lock);
  Select(address);
  TcpRefused = true;
}

bool CStreamTransportMemory::RefusesTcp(const std::string& address) {
  CMutexLock guard(Lock);
  Select(address);
  return TcpRefused;
}

bool CStreamTransportMemory::ClaimReceiveBufferNotice() {
  CMutexLock guard(Lock);
  const bool first = !ReceiveBufferNoticed;
  ReceiveBufferNoticed = true;
  return first;
}

CStreamTransportMemory::Tls CStreamTransportMemory::TlsFor(const std::string& address) {
  CMutexLock guard(Lock);
  Select(address);
  return TlsState;
}

void CStreamTransportMemory::TlsWorks(const std::string& address) {
  CMutexLock guard(Lock);
  Select(address);
  TlsState = Tls::kWorks;
}

bool CStreamTransportMemory::RefuseTls(const std::string& address) {
  CMutexLock guard(Lock);
  Select(address);
  TlsState = Tls::kRefused;
  const bool first = !PlainVideoNoticed;
  PlainVideoNoticed = true;
  return first;
}

}  // namespace korvalt
