#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "support/test_net.h"

namespace transporttest {

// A UDP socket bound to a loopback address of the test's choice (any 127.x works as a source).
class UdpPeer {
 public:
  explicit UdpPeer(const char* address = "127.0.0.1") {
    Socket = korvalt::platform::OpenSocket(korvalt::platform::SocketKind::kUdp);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    Bound = Socket != korvalt::platform::kNoSocket &&
            ::bind(Socket, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~UdpPeer() {
    if (Socket != korvalt::platform::kNoSocket) korvalt::platform::CloseSocket(Socket);
  }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool Ok() const { return Socket != korvalt::platform::kNoSocket && Bound; }

  bool SendTo(uint16_t port, const std::vector<uint8_t>& bytes, const char* address = "127.0.0.1") const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &to.sin_addr);
    return korvalt::platform::SendTo(Socket, bytes.data(), bytes.size(), to) ==
           static_cast<intptr_t>(bytes.size());
  }

  // The next datagram within waitMs, or nothing; its sender in from.
  std::optional<std::vector<uint8_t>> Receive(int waitMs, sockaddr_in* from = nullptr) const {
    pollfd p{};
    p.fd = Socket;
    p.events = POLLIN;
    if (testsupport::PollSockets(&p, 1, waitMs) != 1) return std::nullopt;
    std::vector<uint8_t> bytes(65536);
    sockaddr_in sender{};
    const intptr_t n = korvalt::platform::ReceiveFrom(Socket, bytes.data(), bytes.size(), sender);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    if (from != nullptr) *from = sender;
    return bytes;
  }

  uint16_t Port() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(Socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
  }

 private:
  korvalt::platform::SocketHandle Socket = korvalt::platform::kNoSocket;
  bool Bound = false;
};

inline uint32_t LoopbackAddress(const char* address = "127.0.0.1") {
  in_addr a{};
  ::inet_pton(AF_INET, address, &a);
  return a.s_addr;
}

// Whether a datagram from 127.0.0.2 is reported as coming from there. Linux does; Wine reports
// every loopback sender as 127.0.0.1, so tests of filtering by sender cannot run under it.
inline bool LoopbackSendersAreTold() {
  UdpPeer receiver("127.0.0.1");
  UdpPeer sender("127.0.0.2");
  sockaddr_in from{};
  return receiver.Ok() && sender.Ok() && sender.SendTo(receiver.Port(), {1}) &&
         receiver.Receive(1000, &from) && from.sin_addr.s_addr == LoopbackAddress("127.0.0.2");
}

}  // namespace transporttest
