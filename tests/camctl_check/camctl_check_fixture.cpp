#include "camctl_check/camctl_check_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace camctlcheck {

CamctlRun RunCamctl(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
  return RunProgram(CamctlPath(), arguments, timeout);
}

uint16_t ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

std::string LineWith(const std::string& text, const std::string& needle) {
  const size_t at = text.find(needle);
  if (at == std::string::npos) return {};
  const size_t start = text.rfind('\n', at);
  const size_t end = text.find('\n', at);
  const size_t from = start == std::string::npos ? 0 : start + 1;
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

}  // namespace camctlcheck
