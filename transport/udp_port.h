#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include "platform/event.h"
#include "platform/thread.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

class CUDPPort;

// Receiver of a port's callbacks, all made on the port's receive thread (OnUDPClosed also on the
// thread that calls CUDPPort::Close).
class IUDPPortUser {
 public:
  virtual ~IUDPPortUser() = default;
  // A datagram of at least one byte arrived; data is valid only during the call.
  virtual void OnUDPData(CUDPPort* port, const sockaddr_in& from, const uint8_t* data, size_t length) = 0;
  // No datagram for one whole wait time-out.
  virtual void OnUDPTimeout() = 0;
  // The port was closed, or its receive thread ended on a fatal socket error.
  virtual void OnUDPClosed(CUDPPort* port) = 0;
};

// One bound UDP socket with its own receive thread.
class CUDPPort {
 public:
  // Open results.
  static constexpr int kOpened = 1;
  static constexpr int kAlreadyOpen = 2;
  static constexpr int kNoSocket = 5;
  static constexpr int kBindFailed = 6;
  static constexpr int kReceiveBufferRefused = 8;
  static constexpr int kNoThread = 9;

  CUDPPort() = default;
  virtual ~CUDPPort();
  CUDPPort(const CUDPPort&) = delete;
  CUDPPort& operator=(const CUDPPort&) = delete;

  // Binds INADDR_ANY:port (0 = any free port) and starts the receive thread.
  int Open(uint16_t port);
  // Stops the receive thread and closes the socket; may be called when closed, and from inside a
  // callback (it then does not wait for its own thread).
  void Close();

  void SetUser(IUDPPortUser* user);
  uint16_t BoundPort() const { return Bound.load(); }
  uint32_t BufferSize() const { return BufferBytes.load(); }
  void SetBufferSize(uint32_t bytes) { BufferBytes.store(bytes); }
  // How long the receive thread waits for a datagram before OnUDPTimeout.
  void SetWaitTimeoutMs(int ms) { WaitMs.store(ms); }
  // Datagrams the kernel dropped on this socket since it was opened, for want of room in its
  // receive buffer (0 where the system does not tell).
  uint32_t KernelDrops() const { return KernelDropped.load(std::memory_order_relaxed); }
  // The receive buffer asked for at the last Open and what the kernel granted, in bytes.
  uint32_t AskedReceiveBuffer() const { return AskedBuffer.load(); }
  uint32_t GrantedReceiveBuffer() const { return GrantedBuffer.load(); }

 private:
  void ReceiveLoop(int socketFd);
  // Keeps the kernel's drop counter that came with a datagram.
  void NoteKernelDrops(msghdr& header);

  CMutex Lock;                               // guards open, close and the socket
  std::atomic<IUDPPortUser*> User{nullptr};  // not owned; set under Lock, read by the receive thread
  int Socket QL_GUARDED_BY(Lock) = -1;       // the thread works on its own copy
  std::atomic<uint16_t> Bound{0};            // 0 when closed
  // A raw thread with its own stop protocol: a Close from the thread's own callback leaves it
  // attached, so that the next Open or the destructor joins it (CSimpleThread would detach it).
  platform::Thread ReceiveThread QL_GUARDED_BY(Lock);
  std::atomic<uint32_t> BufferBytes{65536};  // asked-for datagram buffer; the thread follows it
  std::atomic<int> WaitMs{5000};
  std::atomic<bool> Running{false};        // the receive thread keeps going while set
  std::atomic<uint32_t> ReceiverId{0};     // id of the receive thread while its body runs
  std::atomic<uint32_t> KernelDropped{0};  // written by the receive thread
  std::atomic<uint32_t> AskedBuffer{0};
  std::atomic<uint32_t> GrantedBuffer{0};
  platform::Event StopEvent{platform::Event::ResetMode::kManual};  // wakes the receive thread on Close
};

}  // namespace korvalt
