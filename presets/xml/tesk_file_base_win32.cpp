#include <windows.h>

#include "presets/xml/file_api_path.h"
#include "presets/xml/tesk_file_base.h"

namespace korvalt {
namespace {
HANDLE FileHandle(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
}  // namespace

CTeskFileBase::~CTeskFileBase() {
  Close();
}

bool CTeskFileBase::Open(const std::string& path) {
  Close();
  Path = path;
  if (path.empty()) return false;
  // Wide path: a recorder installed under a non-ASCII or deep directory still finds its files. Others may
  // read, write and rename the file meanwhile (an atomic save renames over it).
  HANDLE file = ::CreateFileW(FileApiPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  Handle = reinterpret_cast<intptr_t>(file);
  // Only a regular disk file is a settings file (not a directory, pipe or device).
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    Close();
    return false;
  }
  return true;
}

void CTeskFileBase::Close() {
  if (Handle != kNoHandle) ::CloseHandle(FileHandle(Handle));
  Handle = kNoHandle;
}

int64_t CTeskFileBase::Size() const {
  LARGE_INTEGER size{};
  if (Handle == kNoHandle || ::GetFileSizeEx(FileHandle(Handle), &size) == 0) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

bool CTeskFileBase::ReadAll(std::string& bytes, size_t maxBytes) const {
  bytes.clear();
  if (Handle == kNoHandle) return false;
  constexpr DWORD kChunk = 64 * 1024;
  char chunk[kChunk];
  uint64_t offset = 0;
  for (;;) {
    // Positioned reads, as pread: the handle's own file pointer is not relied on.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    if (::ReadFile(FileHandle(Handle), chunk, kChunk, &n, &at) == 0) {
      return ::GetLastError() == ERROR_HANDLE_EOF;
    }
    if (n == 0) return true;
    // The size may change while we read: the bound holds for what is really there.
    if (bytes.size() + n > maxBytes) return false;
    bytes.append(chunk, n);
    offset += n;
  }
}

}  // namespace korvalt
