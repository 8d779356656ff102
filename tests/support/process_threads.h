#pragma once

#include <chrono>
#include <cstddef>
#include <thread>

namespace testsupport {

// Threads of this process (the module's, the test's and a sanitizer's runtime's).
size_t ProcessThreads();

// count() once it is `expected`, or after five seconds. The kernel can list a thread for a
// moment after the join that waited for it returned (it wakes the joiner before it removes the
// thread), longer on a loaded machine: a count taken right after a join can be one too many. A
// thread that ends by itself, unjoined, takes longer still to leave the list.
template <typename Count>
size_t CountAfterJoins(size_t expected, Count count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  size_t now = count();
  while (now != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    now = count();
  }
  return now;
}

inline size_t ProcessThreadsAfterJoins(size_t expected) {
  return CountAfterJoins(expected, ProcessThreads);
}

}  // namespace testsupport
