#include "platform/paths.h"

#include <unistd.h>

#include <climits>

namespace korvalt::platform {

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return {};
  std::string path(buffer, static_cast<size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace korvalt::platform
