#include <windows.h>

#include <string_view>

#include "platform/text.h"
#include "presets/xml/file_api_path.h"

namespace korvalt {
namespace {

// A save writes a sibling named after the file plus ".tmp-PID-N": shorter paths stay as they are.
constexpr size_t kTemporarySuffixRoom = 32;
constexpr std::wstring_view kExtendedPrefix = L"\\\\?\\";
constexpr std::wstring_view kUncPrefix = L"\\\\";
constexpr std::wstring_view kExtendedUncPrefix = L"\\\\?\\UNC\\";

}  // namespace

std::wstring FileApiPath(const std::string& path) {
  std::wstring wide = platform::Utf8ToWide(path);
  if (wide.size() + kTemporarySuffixRoom < MAX_PATH || wide.starts_with(kExtendedPrefix) ||
      wide.starts_with(L"\\\\.\\")) {
    return wide;
  }
  const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  const DWORD length = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return wide;
  full.resize(length);
  if (full.starts_with(kUncPrefix)) return std::wstring(kExtendedUncPrefix) + full.substr(kUncPrefix.size());
  return std::wstring(kExtendedPrefix) + full;
}

}  // namespace korvalt
