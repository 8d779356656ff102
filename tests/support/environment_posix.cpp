#include <cstdlib>

#include "support/environment.h"

namespace testsupport {

void SetEnvironment(const std::string& name, const char* value) {
  if (value == nullptr) {
    ::unsetenv(name.c_str());
  } else {
    ::setenv(name.c_str(), value, 1);
  }
}

}  // namespace testsupport
