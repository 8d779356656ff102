#include "transport/udp_port.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace korvalt {
namespace {

// The kernel doubles SO_RCVBUF; 32 datagram buffers, capped, absorb a burst of a key frame.
constexpr uint64_t kSocketBuffersPerDatagramBuffer = 32;
constexpr uint64_t kMaxSocketReceiveBuffer = 131070;
// An oversized datagram is lost once; the buffer then grows by this much.
constexpr uint32_t kBufferGrowth = 1024;
// A smaller shrink keeps the larger buffer, so alternating sizes do not reallocate every time.
constexpr size_t kShrinkHysteresis = 2048;

}  // namespace

CUDPPort::~CUDPPort() {
  Close();
  // A Close made from inside a callback left its thread finishing; wait for it before the
  // members it reads go away.
  if (!ReceiveThread.IsCurrent()) ReceiveThread.JoinFor(platform::Event::kInfinite);
}

void CUDPPort::SetUser(IUDPPortUser* user) {
  std::lock_guard<std::mutex> guard(Lock);
  User.store(user);
}

int CUDPPort::Open(uint16_t port) {
  std::lock_guard<std::mutex> guard(Lock);
  if (Socket >= 0) return kAlreadyOpen;
  if (ReceiveThread.Attached()) {
    // The previous thread was closed from its own callback and is on its way out.
    if (ReceiveThread.IsCurrent()) return kNoThread;
    ReceiveThread.JoinFor(platform::Event::kInfinite);
  }

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return kNoSocket;

  const int socketBuffer = static_cast<int>(std::min<uint64_t>(
      uint64_t{BufferBytes.load()} * kSocketBuffersPerDatagramBuffer, kMaxSocketReceiveBuffer));
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &socketBuffer, sizeof socketBuffer) != 0) {
    ::close(fd);
    return kReceiveBufferRefused;
  }

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return kBindFailed;
  }
  uint16_t boundPort = port;
  if (boundPort == 0) {
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      boundPort = ntohs(address.sin_port);
  }

  Running.store(true);
  StopEvent.Reset();
  const bool started = StopEvent.Valid() && ReceiveThread.Start([this, fd] {
    ReceiverId.store(platform::CurrentThreadId());
    platform::RaiseCurrentThreadPriority();
    ReceiveLoop(fd);
    ReceiverId.store(0);
  });
  if (!started) {
    Running.store(false);
    ::close(fd);
    return kNoThread;
  }
  Socket = fd;
  Bound.store(boundPort);
  return kOpened;
}

void CUDPPort::Close() {
  const bool onReceiver = ReceiverId.load() == platform::CurrentThreadId();
  std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
  if (onReceiver) {
    if (!lock.try_lock()) {
      // Another thread is closing and waits for us: just let our loop end.
      Running.store(false);
      StopEvent.Set();
      return;
    }
  } else {
    lock.lock();
  }
  if (Socket < 0) return;

  // Wake and stop the thread first, close the descriptor only when nobody can use it any more.
  Running.store(false);
  StopEvent.Set();
  ::shutdown(Socket, SHUT_RDWR);
  if (!onReceiver) ReceiveThread.JoinFor(platform::Event::kInfinite);
  ::close(Socket);
  Socket = -1;
  Bound.store(0);

  IUDPPortUser* user = User.load();
  lock.unlock();
  if (user != nullptr) {
    try {
      user->OnUDPClosed(this);
    } catch (...) {
    }
  }
}

void CUDPPort::ReceiveLoop(int socketFd) {
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(BufferBytes.load());
  } catch (...) {
    return;
  }
  while (Running.load()) {
    const platform::WaitResult wait = platform::WaitEventOrSocket(StopEvent, socketFd, POLLIN, WaitMs.load());
    if (!Running.load() || wait == platform::WaitResult::kEvent) break;
    IUDPPortUser* user = User.load();
    if (wait == platform::WaitResult::kTimeout) {
      if (user != nullptr) {
        try {
          user->OnUDPTimeout();
        } catch (...) {
        }
      }
      continue;
    }
    if (wait == platform::WaitResult::kError) {
      if (user != nullptr) {
        try {
          user->OnUDPClosed(this);
        } catch (...) {
        }
      }
      break;
    }

    const size_t wanted = BufferBytes.load();
    if (wanted > buffer.size() || buffer.size() - wanted > kShrinkHysteresis) {
      try {
        buffer.resize(wanted);
        buffer.shrink_to_fit();
      } catch (...) {
        // Keep the old buffer; the datagram is then received as far as it fits.
      }
    }

    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC makes recvfrom report the datagram's real length even when it did not fit.
    const ssize_t received = ::recvfrom(socketFd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (!Running.load()) break;
    if (received < 0) continue;  // EAGAIN after a spurious wake-up, or an error the read cleared
    if (static_cast<size_t>(received) > buffer.size()) {
      BufferBytes.store(static_cast<uint32_t>(buffer.size()) + kBufferGrowth);
      continue;
    }
    // An empty datagram carries nothing; it must not end reception (anyone can send one).
    if (received == 0 || user == nullptr) continue;
    try {
      user->OnUDPData(this, from, buffer.data(), static_cast<size_t>(received));
    } catch (...) {
    }
  }
}

}  // namespace korvalt
