#include "camctl_check/camctl_check_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace camctlcheck {
namespace {
using Clock = std::chrono::steady_clock;
constexpr int kExecFailed = 127;
constexpr size_t kReadChunk = 4096;
}  // namespace

std::string CamctlPath() {
  const std::string module = QUENLARK_MODULE_PATH;
  return module.substr(0, module.rfind('/')) + "/camctl";
}

CamctlRun RunCamctl(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
  return RunProgram(CamctlPath(), arguments, timeout);
}

CamctlRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeout) {
  CamctlRun run;
  const auto start = Clock::now();
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return run;
  }
  std::vector<std::string> argvText = {program};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls in the child of a threaded process.
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(kExecFailed);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return run;
  }
  const auto deadline = start + timeout;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.Out, &run.Err};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, left > 0 ? static_cast<int>(left) : 100) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[kReadChunk];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.Took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return run;
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

TempDir::TempDir() {
  char pattern[] = "/tmp/camctl-check-XXXXXX";
  if (mkdtemp(pattern) != nullptr) Dir = pattern;
}

TempDir::~TempDir() {
  if (Dir.empty()) return;
  if (DIR* dir = opendir(Dir.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((Dir + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(Dir.c_str());
}

}  // namespace camctlcheck
