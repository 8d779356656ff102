#include "transport/udp_port.h"

#include <algorithm>
#include <memory>

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
  if (Socket != platform::kNoSocket) return kAlreadyOpen;
  if (ReceiveThread.Attached()) {
    // The previous thread was closed from its own callback and is on its way out.
    if (ReceiveThread.IsCurrent()) return kNoThread;
    ReceiveThread.JoinFor(platform::Event::kInfinite);
  }

  const platform::SocketHandle fd = platform::OpenSocket(platform::SocketKind::kUdp);
  if (fd == platform::kNoSocket) return kNoSocket;

  const int socketBuffer = static_cast<int>(std::min<uint64_t>(
      uint64_t{BufferBytes.load()} * kSocketBuffersPerDatagramBuffer, kMaxSocketReceiveBuffer));
  if (!platform::SetSocketBuffer(fd, true, socketBuffer)) {
    platform::CloseSocket(fd);
    return kReceiveBufferRefused;
  }
  // The kernel caps the buffer at net.core.rmem_max without complaint.
  AskedBuffer.store(static_cast<uint32_t>(socketBuffer));
  GrantedBuffer.store(static_cast<uint32_t>(platform::GrantedSocketBuffer(fd, true, socketBuffer)));
  // Each datagram then tells how many the kernel dropped on this socket so far (where it can).
  platform::ReportKernelDrops(fd);
  KernelDropped.store(0);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    platform::CloseSocket(fd);
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
    platform::CloseSocket(fd);
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
  if (Socket == platform::kNoSocket) return;

  // Wake and stop the thread first, close the descriptor only when nobody can use it any more.
  Running.store(false);
  StopEvent.Set();
  platform::ShutdownSocket(Socket);
  if (!onReceiver) ReceiveThread.JoinFor(platform::Event::kInfinite);
  platform::CloseSocket(Socket);
  Socket = platform::kNoSocket;
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

void CUDPPort::ReceiveLoop(platform::SocketHandle socketFd) {
  // Every slot holds any UDP datagram, so the asked-for buffer size (BufferBytes) stays a plain
  // limit: a datagram longer than it is dropped as oversized (lost once, the size grows) even in
  // the middle of a batch, and the next one fits exactly as when each was received alone.
  const auto batch = std::make_unique<platform::DatagramBatch>();
  if (!batch->Valid()) return;

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
      const size_t received = batch->Receive(socketFd);
      if (!Running.load()) return;
      if (received == 0) break;  // nothing after a spurious wake-up, or an error the read cleared
      for (size_t i = 0; i < received; ++i) {
        if (!Running.load()) return;
        followBufferSize();
        uint32_t dropped = 0;
        if (batch->KernelDrops(i, dropped)) KernelDropped.store(dropped, std::memory_order_relaxed);
        const size_t length = batch->Length(i);
        if (batch->Truncated(i) || length > allocated) {
          BufferBytes.store(static_cast<uint32_t>(allocated) + kBufferGrowth);
          continue;
        }
        // An empty datagram carries nothing; it must not end reception (anyone can send one).
        IUDPPortUser* user = User.load();
        if (length == 0 || user == nullptr) continue;
        try {
          user->OnUDPData(this, batch->Sender(i), batch->Data(i), length);
        } catch (...) {
        }
      }
      if (received < batch->Capacity()) break;
    }
  }
}

}  // namespace korvalt
