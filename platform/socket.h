#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/page_buffer.h"

// sockaddr_in, htons, inet_pton, getaddrinfo, POLLIN and POLLOUT of this system.
#include "system_net.h"

namespace korvalt::platform {

// A socket: a descriptor on POSIX, a SOCKET on Windows; both fit, and both systems' invalid value
// is kNoSocket.
using SocketHandle = intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

enum class SocketKind { kUdp, kTcp };
// A new IPv4 socket, not inherited by child processes. TCP sockets are non-blocking (connect then
// reports kInProgress); every socket is read and written without waiting by the calls below.
SocketHandle OpenSocket(SocketKind kind);
void CloseSocket(SocketHandle socket);
// Both directions: a thread blocked on the socket returns.
void ShutdownSocket(SocketHandle socket);

enum class ConnectResult { kConnected, kInProgress, kFailed };
// Starts connecting a non-blocking TCP socket; kInProgress: wait for it to become writable, then
// read PendingSocketError.
ConnectResult StartConnect(SocketHandle socket, const sockaddr_in& to);

// SO_RCVBUF or SO_SNDBUF (receive true: SO_RCVBUF).
bool SetSocketBuffer(SocketHandle socket, bool receive, int bytes);
// The buffer the system granted for a SO_RCVBUF (receive) or SO_SNDBUF request of asked bytes:
// Linux caps it without complaint and reports twice the usable size; asked when it cannot tell.
int GrantedSocketBuffer(SocketHandle socket, bool receive, int asked);
// Asks the system to report, with each datagram, how many it dropped on the socket for want of
// room (SO_RXQ_OVFL); false where it cannot (Windows).
bool ReportKernelDrops(SocketHandle socket);
// SO_RCVTIMEO or SO_SNDTIMEO in milliseconds.
bool SetSocketTimeout(SocketHandle socket, bool receive, int milliseconds);
// SO_ERROR: the outcome of a non-blocking connect; 0 when it succeeded.
int PendingSocketError(SocketHandle socket);

// Sends without waiting and without raising a signal when the peer has gone. -1 on failure.
intptr_t Send(SocketHandle socket, const void* data, size_t length);
intptr_t Receive(SocketHandle socket, void* buffer, size_t length);
intptr_t SendTo(SocketHandle socket, const void* data, size_t length, const sockaddr_in& to);
intptr_t ReceiveFrom(SocketHandle socket, void* buffer, size_t length, sockaddr_in& from);

// What the last failed socket call of this thread means.
enum class SocketError { kNone, kWouldBlock, kInProgress, kInterrupted, kMessageTooLong, kOther };
SocketError LastSocketError();
// The system's own code of the last failure (errno, WSAGetLastError), for diagnostics.
int LastSocketErrorCode();

// Queued datagrams of a UDP socket, taken without waiting: a batch per system call where the
// system has one (recvmmsg), datagram by datagram where it does not. Every slot holds the largest
// UDP datagram; a longer one is reported as truncated.
class DatagramBatch {
 public:
  static constexpr size_t kSlotBytes = 65536;

  DatagramBatch();
  ~DatagramBatch();
  DatagramBatch(const DatagramBatch&) = delete;
  DatagramBatch& operator=(const DatagramBatch&) = delete;

  bool Valid() const { return static_cast<bool>(Storage); }
  // Most datagrams one Receive may return.
  size_t Capacity() const;
  // Receives what is queued, up to Capacity; the count (0 when nothing was queued or on error).
  size_t Receive(SocketHandle socket);

  const uint8_t* Data(size_t i) const { return Storage.get() + i * kSlotBytes; }
  // The datagram's real length (more than kSlotBytes when truncated, where the system tells).
  size_t Length(size_t i) const;
  bool Truncated(size_t i) const;
  const sockaddr_in& Sender(size_t i) const;
  // The system's count of datagrams dropped on the socket so far, when datagram i carried it.
  bool KernelDrops(size_t i, uint32_t& dropped) const;

 private:
  struct Slots;  // the system's message headers
  PageBuffer Storage;
  std::unique_ptr<Slots> Messages;
};

}  // namespace korvalt::platform
