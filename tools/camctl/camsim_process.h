#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace camctl {

// A camsim child process: started with its flags, ready once it printed its ports.
class CamsimProcess {
 public:
  CamsimProcess() = default;
  ~CamsimProcess() { Stop(); }
  CamsimProcess(const CamsimProcess&) = delete;
  CamsimProcess& operator=(const CamsimProcess&) = delete;

  // Starts path with args and waits (at most timeoutMs) for "camsim ready http=P rtsp=Q".
  bool Start(const std::string& path, const std::vector<std::string>& args, int timeoutMs,
             std::string& error);
  // SIGTERM, a bounded wait, then SIGKILL.
  void Stop();

  uint16_t HttpPort = 0;
  uint16_t RtspPort = 0;

 private:
  pid_t Pid = -1;
  int Output = -1;  // read end of the child's stdout
};

// camsim beside camctl's own executable.
std::string DefaultCamsimPath();

}  // namespace camctl
