#pragma once
// Socket helpers of the tests, the same on both systems; the sockets are the platform layer's.

#include <cstddef>

#include "platform/socket.h"

namespace testsupport {

using korvalt::platform::SocketHandle;

// poll() or WSAPoll(): the number of ready sockets, 0 on time-out, -1 on error.
int PollSockets(pollfd* sockets, size_t count, int timeoutMs);

// Two connected stream sockets, both blocking; false when the system refused.
bool ConnectedPair(SocketHandle pair[2]);

// A TCP socket listening on 127.0.0.1 at a port of the system's choice; kNoSocket on failure.
SocketHandle ListenOnLoopback(int backlog, uint16_t& port);

// An accepted connection of listener, blocking; kNoSocket on failure.
SocketHandle AcceptConnection(SocketHandle listener);

}  // namespace testsupport
