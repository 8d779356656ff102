#include <windows.h>

#include <climits>

#include "platform/text.h"

namespace korvalt::platform {

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), n);
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX / 4)) return {};
  const int length = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string narrow(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), n, nullptr, nullptr);
  return narrow;
}

}  // namespace korvalt::platform
