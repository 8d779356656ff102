#pragma once

// camctl as a user runs it: a child process with its output collected, against camsim or a
// scripted server.

#include <chrono>
#include <string>
#include <vector>

namespace camctlcheck {

struct CamctlRun {
  int Status = -1;  // exit status; -1 when it did not exit normally
  std::string Out;
  std::string Err;
  std::chrono::milliseconds Took{0};
};

std::string CamctlPath();

// program with arguments (no shell), stdin from /dev/null; killed after timeout.
CamctlRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));
// The same for camctl.
CamctlRun RunCamctl(const std::vector<std::string>& arguments,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A TCP port on 127.0.0.1 that nothing listens on: bound by the system, then closed.
uint16_t ClosedPort();

// The line of text that contains needle, or "" when none does.
std::string LineWith(const std::string& text, const std::string& needle);

// A fresh directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return Dir; }

 private:
  std::string Dir;
};

}  // namespace camctlcheck
