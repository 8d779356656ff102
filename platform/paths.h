#pragma once

#include <string>

namespace korvalt::platform {

// Directory of the host executable, ending with '/'; empty when it cannot be found.
std::string ExecutableDirectory();

}  // namespace korvalt::platform
