#pragma once

// A program run as a user runs it: a child process with its output collected.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int Status = -1;  // exit status; -1 when it did not exit normally
  std::string Out;
  std::string Err;
  std::chrono::milliseconds Took{0};
};

// Runs program with arguments (no shell), stdin from /dev/null, the extra environment variables
// set over the test's own; killed after timeout.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::pair<std::string, std::string>>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// camctl beside the module under test.
std::string CamctlPath();

}  // namespace testsupport
