#include <windows.h>

#include <cstdlib>

#include "platform/text.h"
#include "support/environment.h"

namespace testsupport {

// Both copies: the C runtime's (getenv) and the process's (GetEnvironmentVariableW).
void SetEnvironment(const std::string& name, const char* value) {
  ::_putenv_s(name.c_str(), value == nullptr ? "" : value);
  const std::wstring wideName = korvalt::platform::Utf8ToWide(name);
  if (value == nullptr) {
    ::SetEnvironmentVariableW(wideName.c_str(), nullptr);
  } else {
    ::SetEnvironmentVariableW(wideName.c_str(), korvalt::platform::Utf8ToWide(value).c_str());
  }
}

}  // namespace testsupport
