#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "presets/xml/atomic_file.h"
#include "presets/xml/file_api_path.h"

namespace korvalt {
namespace {

constexpr int kMaxAsideAttempts = 1000;
constexpr DWORD kMaxWrite = 1U << 30;
// A virus scanner, indexer or backup tool may hold the file for a moment: a rename it blocks is
// tried again, the pause doubling up to the longest, for this long in all.
constexpr DWORD kFirstRetryPauseMs = 10;
constexpr DWORD kLongestRetryPauseMs = 100;
constexpr DWORD kRetryBudgetMs = 1000;

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > kMaxWrite ? kMaxWrite : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (::WriteFile(file, bytes.data(), chunk, &written, nullptr) == 0 || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// A name beside path that no other writer in this or another process picks at the same time.
std::wstring TemporaryName(const std::wstring& path) {
  static std::atomic<uint32_t> counter{0};
  return path + L".tmp-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(counter.fetch_add(1));
}

// Errors of a file another process holds open; anything else will not change by waiting. Windows
// reports a file held without FILE_SHARE_DELETE as access denied, as it does a directory or a
// read-only file in the way, which waiting does not change either.
bool HeldByAnother(DWORD error, const std::wstring& to) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = ::GetFileAttributesW(to.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ||
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

// MoveFileExW, tried again while another process holds the file; false with the last error set.
bool MoveFileRetrying(const std::wstring& from, const std::wstring& to, DWORD flags) {
  DWORD waited = 0;
  for (DWORD pause = kFirstRetryPauseMs;; pause = std::min(2 * pause, kLongestRetryPauseMs)) {
    if (::MoveFileExW(from.c_str(), to.c_str(), flags) != 0) return true;
    const DWORD error = ::GetLastError();
    if (!HeldByAnother(error, to) || waited >= kRetryBudgetMs) {
      ::SetLastError(error);
      return false;
    }
    ::Sleep(pause);
    waited += pause;
  }
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  const std::wstring target = FileApiPath(path);
  if (target.empty()) return false;
  const std::wstring temp = TemporaryName(target);
  HANDLE file =
      ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, bytes) && ::FlushFileBuffers(file) != 0;
  ok = ::CloseHandle(file) != 0 && ok;
  // Replaces the old file in one step; write-through returns only once the rename is on disk.
  if (ok) ok = MoveFileRetrying(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

std::string MoveFileAside(const std::string& path, const std::string& suffix) {
  const std::wstring from = FileApiPath(path);
  if (from.empty()) return {};
  std::string target = path + suffix;
  for (int attempt = 1; attempt <= kMaxAsideAttempts; ++attempt) {
    // Without MOVEFILE_REPLACE_EXISTING an existing target is never replaced.
    if (MoveFileRetrying(from, FileApiPath(target), MOVEFILE_WRITE_THROUGH)) return target;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return {};
    target = path + suffix + "-" + std::to_string(attempt);
  }
  return {};
}

int64_t FileSizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (path.empty() || ::GetFileAttributesExW(FileApiPath(path).c_str(), GetFileExInfoStandard, &info) == 0) {
    return -1;
  }
  return static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
}

bool FileIsMissingOrEmpty(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (::GetFileAttributesExW(FileApiPath(path).c_str(), GetFileExInfoStandard, &info) == 0) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && info.nFileSizeHigh == 0 &&
         info.nFileSizeLow == 0;
}

}  // namespace korvalt
