#include "presets/xml/tesk_file_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvalt {
namespace {
int Fd(intptr_t handle) {
  return static_cast<int>(handle);
}
}  // namespace

CTeskFileBase::~CTeskFileBase() {
  Close();
}

bool CTeskFileBase::Open(const std::string& path) {
  Close();
  Path = path;
  if (path.empty()) return false;
  // Non-blocking so that a FIFO in the file's place cannot hang the open; a directory opens for
  // reading too. Neither is a settings file.
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  Handle = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    Close();
    return false;
  }
  return true;
}

void CTeskFileBase::Close() {
  if (Handle != kNoHandle) ::close(Fd(Handle));
  Handle = kNoHandle;
}

int64_t CTeskFileBase::Size() const {
  struct stat info {};
  if (Handle == kNoHandle || ::fstat(Fd(Handle), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool CTeskFileBase::ReadAll(std::string& bytes, size_t maxBytes) const {
  bytes.clear();
  if (Handle == kNoHandle) return false;
  constexpr size_t kChunk = 64 * 1024;
  char chunk[kChunk];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(Fd(Handle), chunk, kChunk, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    // The size may change while we read: the bound holds for what is really there.
    if (bytes.size() + static_cast<size_t>(n) > maxBytes) return false;
    bytes.append(chunk, static_cast<size_t>(n));
    offset += n;
  }
}

}  // namespace korvalt
