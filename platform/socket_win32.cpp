#include "platform/socket.h"

// After winsock2.h, which it needs.
#include <mswsock.h>

#include <climits>
#include <new>

namespace korvalt::platform {
namespace {

SOCKET Native(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

int Length(size_t length) {
  return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

SocketHandle OpenSocket(SocketKind kind) {
  const bool tcp = kind == SocketKind::kTcp;
  const int type = tcp ? SOCK_STREAM : SOCK_DGRAM;
  const int protocol = tcp ? IPPROTO_TCP : IPPROTO_UDP;
  SOCKET s =
      ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    // Systems before Windows 7 SP1 refuse the flag; the handle is then made non-inheritable here.
    s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s == INVALID_SOCKET) return kNoSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  // Every socket is non-blocking: the waits are WaitEventOrSocket's, and there is no MSG_DONTWAIT.
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    ::closesocket(s);
    return kNoSocket;
  }
  if (!tcp) {
    // Otherwise an ICMP "port unreachable" for one of our reports fails the next receive with
    // WSAECONNRESET, which Linux never reports on an unconnected UDP socket.
    BOOL report = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  }
  return static_cast<SocketHandle>(s);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) ::closesocket(Native(socket));
}

void ShutdownSocket(SocketHandle socket) {
  ::shutdown(Native(socket), SD_BOTH);
}

ConnectResult StartConnect(SocketHandle socket, const sockaddr_in& to) {
  if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
    return ConnectResult::kConnected;
  }
  // A non-blocking connect under way is WSAEWOULDBLOCK here, EINPROGRESS on POSIX.
  const int code = ::WSAGetLastError();
  return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS ? ConnectResult::kInProgress
                                                          : ConnectResult::kFailed;
}

bool SetSocketBuffer(SocketHandle socket, bool receive, int bytes) {
  return ::setsockopt(Native(socket), SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

int GrantedSocketBuffer(SocketHandle socket, bool receive, int asked) {
  int granted = 0;
  int length = sizeof granted;
  if (::getsockopt(Native(socket), SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF,
                   reinterpret_cast<char*>(&granted), &length) != 0) {
    return asked;
  }
  return granted;
}

// Winsock has no per-socket drop counter.
bool ReportKernelDrops(SocketHandle) {
  return false;
}

bool SetSocketTimeout(SocketHandle socket, bool receive, int milliseconds) {
  const DWORD timeout = static_cast<DWORD>(milliseconds < 0 ? 0 : milliseconds);
  return ::setsockopt(Native(socket), SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO,
                      reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
}

int PendingSocketError(SocketHandle socket) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    const int code = ::WSAGetLastError();
    return code != 0 ? code : -1;
  }
  return error;
}

// Windows raises no signal on a closed peer; the sockets are non-blocking.
intptr_t Send(SocketHandle socket, const void* data, size_t length) {
  return ::send(Native(socket), static_cast<const char*>(data), Length(length), 0);
}

intptr_t Receive(SocketHandle socket, void* buffer, size_t length) {
  return ::recv(Native(socket), static_cast<char*>(buffer), Length(length), 0);
}

intptr_t SendTo(SocketHandle socket, const void* data, size_t length, const sockaddr_in& to) {
  return ::sendto(Native(socket), static_cast<const char*>(data), Length(length), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

intptr_t ReceiveFrom(SocketHandle socket, void* buffer, size_t length, sockaddr_in& from) {
  int fromLength = sizeof from;
  return ::recvfrom(Native(socket), static_cast<char*>(buffer), Length(length), 0,
                    reinterpret_cast<sockaddr*>(&from), &fromLength);
}

SocketError LastSocketError() {
  switch (::WSAGetLastError()) {
    case 0:
      return SocketError::kNone;
    case WSAEWOULDBLOCK:
      return SocketError::kWouldBlock;
    case WSAEINPROGRESS:
      return SocketError::kInProgress;
    case WSAEINTR:
      return SocketError::kInterrupted;
    case WSAEMSGSIZE:
      return SocketError::kMessageTooLong;
    default:
      return SocketError::kOther;
  }
}

int LastSocketErrorCode() {
  return ::WSAGetLastError();
}

// No recvmmsg here: one datagram per call.
struct DatagramBatch::Slots {
  sockaddr_in Sender{};
  size_t Length = 0;
  bool Truncated = false;
};

DatagramBatch::DatagramBatch() : Storage(kSlotBytes), Messages(new (std::nothrow) Slots) {
  if (!Messages) Storage.reset();
}

DatagramBatch::~DatagramBatch() = default;

size_t DatagramBatch::Capacity() const {
  return 1;
}

size_t DatagramBatch::Receive(SocketHandle socket) {
  if (!Storage) return 0;
  Messages->Sender = {};
  const intptr_t n = ReceiveFrom(socket, Storage.get(), kSlotBytes, Messages->Sender);
  if (n >= 0) {
    Messages->Length = static_cast<size_t>(n);
    Messages->Truncated = false;
    return 1;
  }
  if (::WSAGetLastError() == WSAEMSGSIZE) {
    // The slot is full and the rest of the datagram is lost; its real length is not told.
    Messages->Length = kSlotBytes + 1;
    Messages->Truncated = true;
    return 1;
  }
  return 0;
}

size_t DatagramBatch::Length(size_t) const {
  return Messages->Length;
}

bool DatagramBatch::Truncated(size_t) const {
  return Messages->Truncated;
}

const sockaddr_in& DatagramBatch::Sender(size_t) const {
  return Messages->Sender;
}

bool DatagramBatch::KernelDrops(size_t, uint32_t&) const {
  return false;
}

}  // namespace korvalt::platform
