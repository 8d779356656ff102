#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace transporttest {

// A UDP socket bound to a loopback address of the test's choice (any 127.x works as a source).
class UdpPeer {
 public:
  explicit UdpPeer(const char* address = "127.0.0.1") {
    Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    Bound = ::bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  ~UdpPeer() {
    if (Fd >= 0) ::close(Fd);
  }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool Ok() const { return Fd >= 0 && Bound; }

  bool SendTo(uint16_t port, const std::vector<uint8_t>& bytes, const char* address = "127.0.0.1") const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &to.sin_addr);
    return ::sendto(Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
  }

  // The next datagram within waitMs, or nothing.
  std::optional<std::vector<uint8_t>> Receive(int waitMs) const {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) != 1) return std::nullopt;
    std::vector<uint8_t> bytes(65536);
    const ssize_t n = ::recv(Fd, bytes.data(), bytes.size(), 0);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    return bytes;
  }

 private:
  int Fd = -1;
  bool Bound = false;
};

inline uint32_t LoopbackAddress(const char* address = "127.0.0.1") {
  in_addr a{};
  ::inet_pton(AF_INET, address, &a);
  return a.s_addr;
}

}  // namespace transporttest
