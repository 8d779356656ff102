#pragma once
// Kernel objects of the test's own process, for checks that a repeated operation leaves none
// behind. Windows only: Wine's GetProcessHandleCount answers 0, so the handle table is walked.

#include <cstddef>

namespace testsupport {

// The number of open event handles of this process.
size_t ProcessEventHandles();

}  // namespace testsupport
