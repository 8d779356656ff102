#include <dirent.h>

#include <thread>

#include "support/process_threads.h"

namespace testsupport {

size_t ProcessThreads() {
  // A sanitizer's runtime may start a thread of its own with the process's first thread: start
  // one before the first count so that every count includes it alike.
  static const bool warmedUp = [] {
    std::thread([] {}).join();
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
