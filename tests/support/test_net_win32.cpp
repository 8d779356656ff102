#include "support/test_net.h"

namespace testsupport {

int PollSockets(pollfd* sockets, size_t count, int timeoutMs) {
  return ::WSAPoll(sockets, static_cast<ULONG>(count), timeoutMs);
}

SocketHandle ListenOnLoopback(int backlog, uint16_t& port) {
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return korvalt::platform::kNoSocket;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::closesocket(s);
    return korvalt::platform::kNoSocket;
  }
  port = ntohs(address.sin_port);
  return static_cast<SocketHandle>(s);
}

SocketHandle AcceptConnection(SocketHandle listener) {
  const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? korvalt::platform::kNoSocket : static_cast<SocketHandle>(s);
}

// Windows has no socketpair: a loopback connection stands in.
bool ConnectedPair(SocketHandle pair[2]) {
  uint16_t port = 0;
  const SocketHandle listener = ListenOnLoopback(1, port);
  if (listener == korvalt::platform::kNoSocket) return false;
  const SOCKET client =
      ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  SocketHandle accepted = korvalt::platform::kNoSocket;
  if (client != INVALID_SOCKET &&
      ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    accepted = AcceptConnection(listener);
  korvalt::platform::CloseSocket(listener);
  if (accepted == korvalt::platform::kNoSocket) {
    if (client != INVALID_SOCKET) ::closesocket(client);
    return false;
  }
  pair[0] = accepted;
  pair[1] = static_cast<SocketHandle>(client);
  return true;
}

}  // namespace testsupport
