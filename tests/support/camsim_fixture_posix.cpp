#include "support/camsim_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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

}  // namespace

bool Camsim::CanStart(const CamsimOptions&) {
  return true;
}

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
  if (Options.Https) {
    args.insert(args.end(), {"--https", std::to_string(HttpsPortNumber)});
    if (!Options.PlainHttp) args.insert(args.end(), {"--http", "off"});
    if (Options.RedirectToHttps) args.push_back("--http-redirect-to-https");
  }
  if (Options.Rtsps) args.insert(args.end(), {"--rtsps", std::to_string(RtspsPortNumber)});
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
  ReadTlsFields(line);
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

}  // namespace testsupport
