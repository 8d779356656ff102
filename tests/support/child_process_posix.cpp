#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {
namespace {
using Clock = std::chrono::steady_clock;
constexpr int kExecFailed = 127;
constexpr size_t kReadChunk = 4096;

// The test's environment with the given variables set over it.
std::vector<std::string> Environment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string line = *entry;
    bool replaced = false;
    for (const auto& [name, value] : extra) replaced = replaced || line.rfind(name + "=", 0) == 0;
    if (!replaced) text.push_back(line);
  }
  for (const auto& [name, value] : extra) text.push_back(name + "=" + value);
  return text;
}

std::vector<char*> Pointers(std::vector<std::string>& text) {
  std::vector<char*> pointers;
  for (std::string& entry : text) pointers.push_back(entry.data());
  pointers.push_back(nullptr);
  return pointers;
}
}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         std::chrono::milliseconds timeout) {
  ProcessResult result;
  const auto start = Clock::now();
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  // Built before fork: the child of a threaded process may only make async-signal-safe calls.
  std::vector<std::string> argvText = {program};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = Pointers(argvText);
  std::vector<std::string> envText = Environment(environment);
  std::vector<char*> envp = Pointers(envText);

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
  const auto deadline = start + timeout;
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
      char buffer[kReadChunk];
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
  result.Took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return result;
}

std::string CamctlPath() {
  const std::string module = QUENLARK_MODULE_PATH;
  return module.substr(0, module.rfind('/')) + "/camctl";
}

}  // namespace testsupport
