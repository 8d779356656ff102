#include "camctl_ptz/camctl_ptz_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <thread>

namespace camctlptz {
namespace {
using Clock = std::chrono::steady_clock;
constexpr int kExecFailed = 127;
constexpr std::chrono::milliseconds kPollInterval{10};
}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         std::chrono::milliseconds timeout) {
  ProcessResult result;
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
  std::vector<std::string> argvText = {program};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);
  // Built before fork: the child of a threaded process may only make async-signal-safe calls.
  std::vector<std::string> envText;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    bool replaced = false;
    for (const auto& [name, value] : environment) replaced = replaced || text.rfind(name + "=", 0) == 0;
    if (!replaced) envText.push_back(text);
  }
  for (const auto& [name, value] : environment) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(kExecFailed);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return result;
  }
  const auto deadline = Clock::now() + timeout;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.Out, &result.Err};
  int openPipes = 2;
  bool killed = false;
  while (openPipes > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, left > 0 ? static_cast<int>(left) : 100) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  result.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

bool WaitFor(const std::function<bool()>& check, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!check()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/camctl-ptz-XXXXXX";
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

bool TempDir::Has(const std::string& name) const {
  return access((Dir + "/" + name).c_str(), F_OK) == 0;
}

bool TempDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream file(Dir + "/" + name, std::ios::binary);
  file << text;
  return static_cast<bool>(file);
}

std::string CamctlPath() {
  const std::string module = QUENLARK_MODULE_PATH;
  return module.substr(0, module.rfind('/')) + "/camctl";
}

testsupport::CamsimOptions CamctlPtz::CameraOptions() {
  testsupport::CamsimOptions options;
  // Without authentication every request reaches the log once.
  options.Auth = "none";
  options.Ptz = true;
  options.Model = "QL-6250";
  return options;
}

void CamctlPtz::SetUp() {
  if (access(CamctlPath().c_str(), X_OK) != 0) GTEST_SKIP() << "camctl not built";
  ASSERT_FALSE(Presets.Path().empty());
  ASSERT_TRUE(Camera.Ok());
}

std::vector<std::string> CamctlPtz::DeviceArguments() const {
  // Only custom parameter 3: camctl passes the ones before it as "(none)".
  return {"--port",  std::to_string(Camera.HttpPort()), "--model",      "QL-6250",
          "--param", std::string("3=") + kMac,          "--preset-dir", Presets.Path()};
}

ProcessResult CamctlPtz::Ptz(const std::vector<std::string>& words,
                             const std::vector<std::pair<std::string, std::string>>& environment) {
  std::vector<std::string> arguments = {"ptz"};
  arguments.insert(arguments.end(), words.begin(), words.end());
  const auto device = DeviceArguments();
  arguments.insert(arguments.end(), device.begin(), device.end());
  return RunProcess(CamctlPath(), arguments, environment);
}

std::vector<std::string> CamctlPtz::PtzRequests() {
  std::vector<std::string> paths;
  for (const std::string& line : Camera.RequestLog()) {
    // "GET /config/ptz_move_cont.cgi?p=1&t=0&z=0 HTTP/1.1"
    const size_t start = line.find(' ');
    const size_t end = line.rfind(' ');
    if (start == std::string::npos || end <= start) continue;
    const std::string path = line.substr(start + 1, end - start - 1);
    if (path.rfind("/config/ptz", 0) == 0 || path.rfind("/config/focus", 0) == 0) paths.push_back(path);
  }
  return paths;
}

}  // namespace camctlptz
