#include "transport/udp_port.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

namespace korvalt {
namespace {

// A camera sends a key frame as one burst; while the host's sink holds the receive thread, the
// whole frame waits in the socket. 128 KiB lost datagrams of 300 KB key frames behind a sink of
// 20 ms per picture; 512 KiB was the least that kept 600 KB frames whole, and 1 MiB leaves room
// above that. The kernel doubles the figure and caps it at net.core.rmem_max without complaint.
constexpr uint64_t kSocketBuffersPerDatagramBuffer = 256;
constexpr uint64_t kMaxSocketReceiveBuffer = 1024 * 1024;
// An oversized datagram is lost once; the buffer then grows by this much.
constexpr uint32_t kBufferGrowth = 1024;
// A smaller shrink keeps the larger buffer, so alternating sizes do not reallocate every time.
constexpr size_t kShrinkHysteresis = 2048;
// Datagrams taken from the socket per system call while draining it.
constexpr size_t kBatchSize = 16;
// Room for the largest UDP datagram over IPv4 (65507 bytes of payload).
constexpr size_t kSlotBytes = 65536;

}  // namespace

CUDPPort::~CUDPPort() {
  Close();
  // A Close made from inside a callback left its thread finishing; wait for it before the
  // members it reads go away.
  if (!ReceiveThread.IsCurrent()) ReceiveThread.JoinFor(platform::Event::kInfinite);
}

void CUDPPort::SetUser(IUDPPortUser* user) {
  CMutexLock guard(Lock);
  User.store(user);
}

int CUDPPort::Open(uint16_t port) {
  CMutexLock guard(Lock);
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
  // The kernel caps the buffer at net.core.rmem_max without complaint, and reports twice what it
  // grants (its own bookkeeping included).
  int granted = 0;
  socklen_t grantedLength = sizeof granted;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength) != 0) granted = 2 * socketBuffer;
  AskedBuffer.store(static_cast<uint32_t>(socketBuffer));
  GrantedBuffer.store(static_cast<uint32_t>(granted / 2));
  // Each datagram then tells how many the kernel dropped on this socket so far.
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
  KernelDropped.store(0);

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
  std::unique_lock<CMutex> lock(Lock, std::defer_lock);
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
  Lock.AssertHeld();
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

void CUDPPort::NoteKernelDrops(msghdr& header) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL ||
        c->cmsg_len < CMSG_LEN(sizeof(uint32_t)))
      continue;
    uint32_t dropped = 0;
    std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
    KernelDropped.store(dropped, std::memory_order_relaxed);
  }
}

void CUDPPort::ReceiveLoop(int socketFd) {
  // Every slot holds any UDP datagram, so the asked-for buffer size (BufferBytes) stays a plain
  // limit: a datagram longer than it is dropped as oversized (lost once, the size grows) even in
  // the middle of a batch, and the next one fits exactly as when each was received alone. Pages
  // of a slot that no datagram reaches are never touched, so the memory in use follows the traffic.
  std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[kBatchSize * kSlotBytes]);
  if (!storage) return;
  std::array<iovec, kBatchSize> slots;
  std::array<sockaddr_in, kBatchSize> senders;
  std::array<mmsghdr, kBatchSize> messages;
  // Room for the drop counter that SO_RXQ_OVFL attaches to each datagram.
  std::array<std::array<uint8_t, CMSG_SPACE(sizeof(uint32_t))>, kBatchSize> controls{};
  for (size_t i = 0; i < kBatchSize; ++i) {
    slots[i] = {storage.get() + i * kSlotBytes, kSlotBytes};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_iov = &slots[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  size_t allocated = BufferBytes.load();
  // Follows the asked-for size: any growth at once, a shrink only past the hysteresis.
  auto followBufferSize = [&] {
    const size_t wanted = BufferBytes.load(std::memory_order_relaxed);
    if (wanted > allocated || allocated - wanted > kShrinkHysteresis) allocated = wanted;
  };

  while (Running.load()) {
    const platform::WaitResult wait = platform::WaitEventOrSocket(StopEvent, socketFd, POLLIN, WaitMs.load());
    if (!Running.load() || wait == platform::WaitResult::kEvent) break;
    if (wait == platform::WaitResult::kTimeout) {
      if (IUDPPortUser* user = User.load()) {
        try {
          user->OnUDPTimeout();
        } catch (...) {
        }
      }
      continue;
    }
    if (wait == platform::WaitResult::kError) {
      if (IUDPPortUser* user = User.load()) {
        try {
          user->OnUDPClosed(this);
        } catch (...) {
        }
      }
      break;
    }

    // Drain what is queued without waiting; a full batch means more may be waiting. Running is
    // checked before every datagram, so a stop waits for one callback at most, never for a burst.
    for (;;) {
      for (size_t i = 0; i < kBatchSize; ++i) {
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        messages[i].msg_hdr.msg_control = controls[i].data();
        messages[i].msg_hdr.msg_controllen = controls[i].size();
      }
      // MSG_TRUNC makes each message report the datagram's real length even when it did not fit.
      const int received =
          ::recvmmsg(socketFd, messages.data(), kBatchSize, MSG_TRUNC | MSG_DONTWAIT, nullptr);
      if (!Running.load()) return;
      if (received <= 0) break;  // EAGAIN after a spurious wake-up, or an error the read cleared
      for (int i = 0; i < received; ++i) {
        if (!Running.load()) return;
        followBufferSize();
        mmsghdr& message = messages[static_cast<size_t>(i)];
        NoteKernelDrops(message.msg_hdr);
        const size_t length = message.msg_len;
        if ((message.msg_hdr.msg_flags & MSG_TRUNC) != 0 || length > allocated) {
          BufferBytes.store(static_cast<uint32_t>(allocated) + kBufferGrowth);
          continue;
        }
        // An empty datagram carries nothing; it must not end reception (anyone can send one).
        IUDPPortUser* user = User.load();
        if (length == 0 || user == nullptr) continue;
        try {
          user->OnUDPData(this, senders[static_cast<size_t>(i)],
                          storage.get() + static_cast<size_t>(i) * kSlotBytes, length);
        } catch (...) {
        }
      }
      if (static_cast<size_t>(received) < kBatchSize) break;
    }
  }
}

}  // namespace korvalt
