#include "support/camsim_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {
namespace {

constexpr int kReadyTimeoutMs = 20000;  // the first GStreamer start may scan its plug-ins
constexpr int kSimTimeoutMs = 5000;
constexpr auto kTermWait = std::chrono::seconds(3);
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr int kRestartAttempts = 20;

// Reads one line from fd within the time budget; false on time-out or end of file.
bool ReadLine(int fd, std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  line.clear();
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    line.push_back(c);
  }
}

std::string Value(const std::string& body, const std::string& key) {
  const std::string prefix = key + "=";
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find("\r\n", start);
    if (end == std::string::npos) end = body.size();
    if (body.compare(start, prefix.size(), prefix) == 0)
      return body.substr(start + prefix.size(), end - start - prefix.size());
    start = end + 2;
  }
  return {};
}

}  // namespace

Camsim::Camsim(CamsimOptions options) : Options(std::move(options)) {
  Http = Options.HttpPort;
  Rtsp = Options.RtspPort;
  Start();
}

Camsim::~Camsim() {
  Terminate();
}

bool Camsim::Start() {
  std::vector<std::string> args = {QUENLARK_CAMSIM_PATH,
                                   "--http-port",
                                   std::to_string(Http),
                                   "--rtsp-port",
                                   std::to_string(Rtsp),
                                   "--auth",
                                   Options.Auth,
                                   "--user",
                                   Options.User,
                                   "--password",
                                   Options.Password,
                                   "--inputs",
                                   std::to_string(Options.Inputs),
                                   "--outputs",
                                   std::to_string(Options.Outputs),
                                   "--ptz",
                                   Options.Ptz ? "yes" : "no",
                                   "--model",
                                   Options.Model,
                                   "--standard",
                                   Options.Standard};
  if (!Options.Rtsp) args.push_back("--no-rtsp");
  args.insert(args.end(), Options.ExtraArgs.begin(), Options.ExtraArgs.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  const pid_t parent = getpid();
  // GStreamer and GLib are not sanitizer-clean: the simulator is a fixture, not the code under test,
  // so sanitizer builds keep their reports to the test process.
  std::vector<std::string> envText;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with("TSAN_OPTIONS=") || text.starts_with("ASAN_OPTIONS=")) continue;
    envText.emplace_back(text);
  }
  envText.emplace_back("TSAN_OPTIONS=report_bugs=0:exitcode=0");
  envText.emplace_back("ASAN_OPTIONS=detect_leaks=0");
  std::vector<char*> envp;
  for (auto& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls here. The camera dies with the test process.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(out[1], STDOUT_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  const bool ready = ReadLine(out[0], line, kReadyTimeoutMs);
  close(out[0]);
  unsigned http = 0, rtsp = 0;
  if (!ready || std::sscanf(line.c_str(), "camsim ready http=%u rtsp=%u", &http, &rtsp) != 2) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }
  Pid = pid;
  Http = static_cast<uint16_t>(http);
  Rtsp = static_cast<uint16_t>(rtsp);
  return true;
}

void Camsim::Terminate() {
  if (Pid <= 0) return;
  kill(Pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kTermWait;
  while (waitpid(Pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(kPoll);
  }
  Pid = -1;
}

void Camsim::Kill() {
  if (Pid <= 0) return;
  kill(Pid, SIGKILL);
  waitpid(Pid, nullptr, 0);
  Pid = -1;
}

bool Camsim::Restart() {
  Terminate();
  // The old sockets may linger for a moment after the process is gone.
  for (int attempt = 0; attempt < kRestartAttempts; ++attempt) {
    if (Start()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string Camsim::SimGet(const std::string& pathAndQuery) {
  int status = 0;
  return SimGet(pathAndQuery, status);
}

std::string Camsim::SimGet(const std::string& pathAndQuery, int& status) {
  status = 0;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Http);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        "GET " + pathAndQuery + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char chunk[4096];
      pollfd p{fd, POLLIN, 0};
      while (poll(&p, 1, kSimTimeoutMs) > 0) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        reply.append(chunk, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  const size_t headerEnd = reply.find("\r\n\r\n");
  if (headerEnd == std::string::npos || std::sscanf(reply.c_str(), "HTTP/1.%*d %d", &status) != 1) {
    status = 0;
    return {};
  }
  return reply.substr(headerEnd + 4);
}

std::vector<std::string> Camsim::RequestLog() {
  const std::string body = SimGet("/sim/log");
  std::vector<std::string> lines;
  const std::string prefix = "request=";
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find("\r\n", start);
    if (end == std::string::npos) end = body.size();
    if (body.compare(start, prefix.size(), prefix) == 0)
      lines.push_back(body.substr(start + prefix.size(), end - start - prefix.size()));
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> Camsim::RequestPaths(const std::vector<std::string>& prefixes) {
  std::vector<std::string> paths;
  for (const std::string& line : RequestLog()) {
    // "GET /config/ptz_move_cont.cgi?p=1&t=0&z=0 HTTP/1.1"
    const size_t start = line.find(' ');
    const size_t end = line.rfind(' ');
    if (start == std::string::npos || end <= start) continue;
    const std::string path = line.substr(start + 1, end - start - 1);
    bool wanted = prefixes.empty();
    for (const std::string& prefix : prefixes) wanted = wanted || path.rfind(prefix, 0) == 0;
    if (wanted) paths.push_back(path);
  }
  return paths;
}

int Camsim::ConnectionCount() {
  const std::string value = Value(SimGet("/sim/log"), "connections");
  return value.empty() ? -1 : std::stoi(value);
}

void Camsim::ClearLog() {
  SimGet("/sim/clear");
}

bool Camsim::SetInput(int number, bool on) {
  int status = 0;
  SimGet("/sim/input?n=" + std::to_string(number) + "&state=" + (on ? "on" : "off"), status);
  return status == 200;
}

bool Camsim::InjectFault(const std::string& kind, int count, int value) {
  int status = 0;
  SimGet("/sim/fault?kind=" + kind + "&count=" + std::to_string(count) + "&value=" + std::to_string(value),
         status);
  return status == 200;
}

}  // namespace testsupport
