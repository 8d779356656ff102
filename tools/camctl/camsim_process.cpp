#include "tools/camctl/camsim_process.h"

#include "tools/hostkit/module.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace camctl {

std::string DefaultCamsimPath() {
  return hostkit::BesideExecutable("camsim");
}

bool CamsimProcess::Start(const std::string& path, const std::vector<std::string>& args, int timeoutMs,
                          std::string& error) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& arg : argv) raw.push_back(arg.data());
  raw.push_back(nullptr);

  Pid = fork();
  if (Pid < 0) {
    error = "fork failed";
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  if (Pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDERR_FILENO);
    execv(path.c_str(), raw.data());
    _exit(127);
  }
  close(pipeFds[1]);
  Output = pipeFds[0];

  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{Output, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      error = "camsim did not report ready (" + path + ")";
      Stop();
      return false;
    }
    char buffer[256];
    const ssize_t n = read(Output, buffer, sizeof buffer);
    if (n <= 0) {
      error = "camsim ended before it was ready (" + path + ")";
      Stop();
      return false;
    }
    line.append(buffer, static_cast<size_t>(n));
  }
  unsigned http = 0;
  unsigned rtsp = 0;
  if (std::sscanf(line.c_str(), "camsim ready http=%u rtsp=%u", &http, &rtsp) != 2) {
    error = "unexpected first line from camsim: " + line.substr(0, line.find('\n'));
    Stop();
    return false;
  }
  HttpPort = static_cast<uint16_t>(http);
  RtspPort = static_cast<uint16_t>(rtsp);
  return true;
}

void CamsimProcess::Stop() {
  if (Pid > 0) {
    kill(Pid, SIGTERM);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
      ended = waitpid(Pid, &status, WNOHANG) == Pid;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &status, 0);
    }
    Pid = -1;
  }
  if (Output >= 0) {
    close(Output);
    Output = -1;
  }
}

}  // namespace camctl
