#include "bench/soak_camera.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <thread>
#include <vector>

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int kReadyMs = 20000;  // the first GStreamer start may scan its plug-ins
constexpr int kStopMs = 5000;
constexpr int kRestartAttempts = 40;
constexpr int kRestartPauseMs = 250;
constexpr int kSimTimeoutMs = 3000;
const char* const kFlags[] = {"--auth", "digest",  "--user",  kUser,      "--password", kPassword,   "--ptz",
                              "yes",    "--model", "QL-6250", "--inputs", "2",          "--outputs", "2"};

}  // namespace

Camera::Camera(int index, std::string path, int32_t codecType)
    : Index(index), CodecType(codecType), Path(std::move(path)) {
  char mac[16];
  std::snprintf(mac, sizeof mac, "02005E5A%04X", static_cast<unsigned>(index));
  Mac = mac;
}

bool Camera::Start() {
  std::vector<std::string> args = {
      Path, "--http-port", std::to_string(HttpPort), "--rtsp-port", std::to_string(RtspPort), "--mac", Mac};
  args.insert(args.end(), std::begin(kFlags), std::end(kFlags));
  if (!PresetStore.empty()) args.insert(args.end(), {"--preset-store", PresetStore});
  std::vector<char*> raw;
  for (auto& arg : args) raw.push_back(arg.data());
  raw.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDWR);
    dup2(fds[1], STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    dup2(devNull, STDIN_FILENO);
    // The recorder's own sockets (HTTP connections among them) stay out of the camera.
    close_range(3, ~0U, 0);
    execv(raw[0], raw.data());
    _exit(127);
  }
  close(fds[1]);
  std::string line;
  const auto deadline = Clock::now() + Ms(kReadyMs);
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
    pollfd p{fds[0], POLLIN, 0};
    char buffer[128];
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  unsigned http = 0, rtsp = 0;
  if (std::sscanf(line.c_str(), "camsim ready http=%u rtsp=%u", &http, &rtsp) != 2) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }
  Pid = pid;
  HttpPort = static_cast<uint16_t>(http);
  RtspPort = static_cast<uint16_t>(rtsp);
  Up = true;
  return true;
}

void Camera::Stop(bool dying) {
  Up = false;
  if (Pid <= 0) return;
  kill(Pid, dying ? SIGKILL : SIGTERM);
  bool ended = false;
  for (int waited = 0; waited < kStopMs && !ended; waited += 20) {
    ended = waitpid(Pid, nullptr, WNOHANG) == Pid;
    if (!ended) std::this_thread::sleep_for(Ms(20));
  }
  if (!ended) {
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
  }
  Pid = -1;
}

bool Camera::Restart() {
  for (int attempt = 0; attempt < kRestartAttempts; ++attempt) {
    if (Start()) return true;
    std::this_thread::sleep_for(Ms(kRestartPauseMs));
  }
  return false;
}

bool Camera::Sim(const std::string& pathAndQuery) const {
  return Get(pathAndQuery).rfind("HTTP/1.1 200", 0) == 0;
}

long long Camera::FramesSent() const {
  const std::string reply = Get("/sim/state");
  const size_t at = reply.find("\r\nframes_sent=");
  return at == std::string::npos ? -1 : std::atoll(reply.c_str() + at + 14);
}

std::string Camera::Get(const std::string& pathAndQuery) const {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(HttpPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        "GET " + pathAndQuery + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char chunk[1024];
      pollfd p{fd, POLLIN, 0};
      while (poll(&p, 1, kSimTimeoutMs) > 0) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        reply.append(chunk, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  return reply;
}

}  // namespace soak
