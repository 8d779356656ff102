#include "platform/socket.h"

#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

namespace korvalt::platform {
namespace {
// Datagrams taken from the socket per system call while draining it.
constexpr size_t kBatchSize = 16;

int Fd(SocketHandle socket) {
  return static_cast<int>(socket);
}
}  // namespace

SocketHandle OpenSocket(SocketKind kind) {
  const int fd = kind == SocketKind::kTcp
                     ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP)
                     : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return fd < 0 ? kNoSocket : fd;
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) ::close(Fd(socket));
}

void ShutdownSocket(SocketHandle socket) {
  ::shutdown(Fd(socket), SHUT_RDWR);
}

ConnectResult StartConnect(SocketHandle socket, const sockaddr_in& to) {
  if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
    return ConnectResult::kConnected;
  return errno == EINPROGRESS ? ConnectResult::kInProgress : ConnectResult::kFailed;
}

bool SetSocketBuffer(SocketHandle socket, bool receive, int bytes) {
  return ::setsockopt(Fd(socket), SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

int GrantedSocketBuffer(SocketHandle socket, bool receive, int asked) {
  int granted = 0;
  socklen_t length = sizeof granted;
  if (::getsockopt(Fd(socket), SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, &granted, &length) != 0)
    return asked;
  // The kernel reports twice what it grants (its own bookkeeping included).
  return granted / 2;
}

bool ReportKernelDrops(SocketHandle socket) {
  const int one = 1;
  return ::setsockopt(Fd(socket), SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0;
}

bool SetSocketTimeout(SocketHandle socket, bool receive, int milliseconds) {
  const timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return ::setsockopt(Fd(socket), SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &timeout,
                      sizeof timeout) == 0;
}

int PendingSocketError(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno != 0 ? errno : -1;
  return error;
}

intptr_t Send(SocketHandle socket, const void* data, size_t length) {
  // MSG_NOSIGNAL: a closed peer must never raise SIGPIPE in the host process.
  return ::send(Fd(socket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

intptr_t Receive(SocketHandle socket, void* buffer, size_t length) {
  return ::recv(Fd(socket), buffer, length, MSG_DONTWAIT);
}

intptr_t SendTo(SocketHandle socket, const void* data, size_t length, const sockaddr_in& to) {
  return ::sendto(Fd(socket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

intptr_t ReceiveFrom(SocketHandle socket, void* buffer, size_t length, sockaddr_in& from) {
  socklen_t fromLength = sizeof from;
  return ::recvfrom(Fd(socket), buffer, length, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                    &fromLength);
}

SocketError LastSocketError() {
  switch (errno) {
    case 0:
      return SocketError::kNone;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return SocketError::kWouldBlock;
    case EINPROGRESS:
      return SocketError::kInProgress;
    case EINTR:
      return SocketError::kInterrupted;
    case EMSGSIZE:
      return SocketError::kMessageTooLong;
    default:
      return SocketError::kOther;
  }
}

int LastSocketErrorCode() {
  return errno;
}

struct DatagramBatch::Slots {
  // Room for the drop counter that SO_RXQ_OVFL attaches to each datagram.
  std::array<std::array<uint8_t, CMSG_SPACE(sizeof(uint32_t))>, kBatchSize> Controls{};
  std::array<iovec, kBatchSize> Vectors;
  std::array<sockaddr_in, kBatchSize> Senders;
  std::array<mmsghdr, kBatchSize> Headers;
};

DatagramBatch::DatagramBatch() : Storage(kBatchSize * kSlotBytes), Messages(new (std::nothrow) Slots) {
  if (!Messages) Storage.reset();
  if (!Storage) return;
  // Pages of a slot that no datagram reaches are never touched, so the memory in use follows the
  // traffic; and they go back to the system with the batch.
  for (size_t i = 0; i < kBatchSize; ++i) {
    Messages->Vectors[i] = {Storage.get() + i * kSlotBytes, kSlotBytes};
    Messages->Headers[i] = {};
    Messages->Headers[i].msg_hdr.msg_name = &Messages->Senders[i];
    Messages->Headers[i].msg_hdr.msg_iov = &Messages->Vectors[i];
    Messages->Headers[i].msg_hdr.msg_iovlen = 1;
  }
}

DatagramBatch::~DatagramBatch() = default;

size_t DatagramBatch::Capacity() const {
  return kBatchSize;
}

size_t DatagramBatch::Receive(SocketHandle socket) {
  if (!Storage) return 0;
  for (size_t i = 0; i < kBatchSize; ++i) {
    msghdr& header = Messages->Headers[i].msg_hdr;
    header.msg_namelen = sizeof(sockaddr_in);
    header.msg_control = Messages->Controls[i].data();
    header.msg_controllen = Messages->Controls[i].size();
  }
  // MSG_TRUNC makes each message report the datagram's real length even when it did not fit.
  const int received =
      ::recvmmsg(Fd(socket), Messages->Headers.data(), kBatchSize, MSG_TRUNC | MSG_DONTWAIT, nullptr);
  return received > 0 ? static_cast<size_t>(received) : 0;
}

size_t DatagramBatch::Length(size_t i) const {
  return Messages->Headers[i].msg_len;
}

bool DatagramBatch::Truncated(size_t i) const {
  return (Messages->Headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
}

const sockaddr_in& DatagramBatch::Sender(size_t i) const {
  return Messages->Senders[i];
}

bool DatagramBatch::KernelDrops(size_t i, uint32_t& dropped) const {
  msghdr& header = Messages->Headers[i].msg_hdr;
  bool found = false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL ||
        c->cmsg_len < CMSG_LEN(sizeof(uint32_t)))
      continue;
    std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
    found = true;
  }
  return found;
}

}  // namespace korvalt::platform
