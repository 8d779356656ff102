#include "transport/rtsp_connection.h"

namespace korvalt {

short CRTSPConnection::AgainAfter(short events) {
  switch (platform::LastSocketError()) {
    case platform::SocketError::kWouldBlock:
    case platform::SocketError::kInterrupted:
      return events;
    default:
      return 0;
  }
}

intptr_t CRTSPConnection::Send(const void* data, size_t size, short& again) {
  const intptr_t n = platform::Send(Socket, data, size);
  if (n > 0) return n;
  again = n < 0 ? AgainAfter(POLLOUT) : POLLOUT;
  return -1;
}

intptr_t CRTSPConnection::Receive(void* buffer, size_t size, short& again) {
  const intptr_t n = platform::Receive(Socket, buffer, size);
  if (n >= 0) return n;
  again = AgainAfter(POLLIN);
  return -1;
}

platform::WaitResult CRTSPConnection::Wait(platform::Event& stop, short events, int ms) {
  return platform::WaitEventOrSocket(stop, Socket, events, ms);
}

}  // namespace korvalt
