#pragma once

// camctl as a user runs it: a child process with its output collected, against camsim or a
// scripted server.

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace camctlcheck {

using CamctlRun = testsupport::ProcessResult;
using testsupport::CamctlPath;
using testsupport::TempDir;

// program with arguments (no shell), stdin from /dev/null; killed after timeout.
inline CamctlRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  return testsupport::RunProcess(program, arguments, {}, timeout);
}
// The same for camctl.
CamctlRun RunCamctl(const std::vector<std::string>& arguments,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A TCP port on 127.0.0.1 that nothing listens on: bound by the system, then closed.
uint16_t ClosedPort();

// The line of text that contains needle, or "" when none does.
std::string LineWith(const std::string& text, const std::string& needle);

}  // namespace camctlcheck
