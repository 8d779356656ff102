#include "presets/xml/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvalt {
namespace {

constexpr mode_t kFileMode = 0644;
constexpr int kMaxAsideAttempts = 1000;

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a rename durable. Best effort: some file systems refuse fsync on a directory, and the
// rename itself already guarantees old-or-new.
void SyncDirectory(const std::string& path) {
  const int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// rename() that fails with EEXIST instead of replacing an existing target.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link cannot replace either.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, kFileMode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  // close() can report a deferred write error.
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncDirectory(path);
  return true;
}

std::string MoveFileAside(const std::string& path, const std::string& suffix) {
  std::string target = path + suffix;
  for (int attempt = 1; attempt <= kMaxAsideAttempts; ++attempt) {
    if (RenameNoReplace(path, target)) {
      SyncDirectory(path);
      return target;
    }
    if (errno != EEXIST) return {};
    target = path + suffix + "-" + std::to_string(attempt);
  }
  return {};
}

int64_t FileSizeOf(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool FileIsMissingOrEmpty(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode) && info.st_size == 0;
}

}  // namespace korvalt
