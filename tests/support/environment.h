#pragma once

#include <string>

namespace testsupport {

// Sets (or, with nullptr, removes) a variable of this process's environment, where the module
// reads it.
void SetEnvironment(const std::string& name, const char* value);

}  // namespace testsupport
