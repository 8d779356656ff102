#include <windows.h>

#include <atomic>
#include <string>

#include "platform/text.h"
#include "presets/xml/atomic_file.h"

namespace korvalt {
namespace {

constexpr int kMaxAsideAttempts = 1000;
constexpr DWORD kMaxWrite = 1U << 30;

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

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  const std::wstring target = platform::Utf8ToWide(path);
  if (target.empty()) return false;
  const std::wstring temp = TemporaryName(target);
  HANDLE file =
      ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, bytes) && ::FlushFileBuffers(file) != 0;
  ok = ::CloseHandle(file) != 0 && ok;
  // Replaces the old file in one step; write-through returns only once the rename is on disk.
  if (ok)
    ok = ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

std::string MoveFileAside(const std::string& path, const std::string& suffix) {
  const std::wstring from = platform::Utf8ToWide(path);
  if (from.empty()) return {};
  std::string target = path + suffix;
  for (int attempt = 1; attempt <= kMaxAsideAttempts; ++attempt) {
    // Without MOVEFILE_REPLACE_EXISTING an existing target is never replaced.
    if (::MoveFileExW(from.c_str(), platform::Utf8ToWide(target).c_str(), MOVEFILE_WRITE_THROUGH) != 0)
      return target;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return {};
    target = path + suffix + "-" + std::to_string(attempt);
  }
  return {};
}

int64_t FileSizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (path.empty() ||
      ::GetFileAttributesExW(platform::Utf8ToWide(path).c_str(), GetFileExInfoStandard, &info) == 0) {
    return -1;
  }
  return static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
}

bool FileIsMissingOrEmpty(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (::GetFileAttributesExW(platform::Utf8ToWide(path).c_str(), GetFileExInfoStandard, &info) == 0) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && info.nFileSizeHigh == 0 &&
         info.nFileSizeLow == 0;
}

}  // namespace korvalt
