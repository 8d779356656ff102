#include <sys/socket.h>

#include <cerrno>

#include "support/test_net.h"

namespace testsupport {

int PollSockets(pollfd* sockets, size_t count, int timeoutMs) {
  for (;;) {
    const int ready = ::poll(sockets, count, timeoutMs);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

bool ConnectedPair(SocketHandle pair[2]) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  pair[0] = fds[0];
  pair[1] = fds[1];
  return true;
}

SocketHandle ListenOnLoopback(int backlog, uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return korvalt::platform::kNoSocket;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    korvalt::platform::CloseSocket(fd);
    return korvalt::platform::kNoSocket;
  }
  port = ntohs(address.sin_port);
  return fd;
}

SocketHandle AcceptConnection(SocketHandle listener) {
  const int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? korvalt::platform::kNoSocket : fd;
}

}  // namespace testsupport
