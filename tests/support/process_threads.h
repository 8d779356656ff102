#pragma once

#include <cstddef>

namespace testsupport {

// Threads of this process (the module's, the test's and a sanitizer's runtime's).
size_t ProcessThreads();

}  // namespace testsupport
