#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/process_threads.h"

namespace testsupport {

size_t ProcessThreads() {
  // A sanitizer's runtime may start a thread of its own with the process's first thread: start
  // one before the first count so that every count includes it alike.
  // The joined thread may still be listed for a moment (longer on a loaded machine), and the
  // first count would include it: wait, bounded, until it has left.
  static const bool warmedUp = [] {
    pid_t tid = 0;
    std::thread([&] { tid = static_cast<pid_t>(::syscall(SYS_gettid)); }).join();
    const std::string entry = "/proc/self/task/" + std::to_string(tid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::access(entry.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }();
  (void)warmedUp;
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

}  // namespace testsupport
