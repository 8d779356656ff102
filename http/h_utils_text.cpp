#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>

#include "http/h_utils.h"
#include "platform/format.h"

namespace korvalt {

std::string HUtils::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::FormatV(format, args);
  va_end(args);
  return text;
}

std::string HUtils::ToLower(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string HUtils::ToUpper(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string HUtils::Trim(const std::string& s) {
  return std::string(TrimBlanks(s));
}

std::string_view HUtils::TrimBlanks(std::string_view s) {
  constexpr std::string_view kBlanks = " \t";
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

bool HUtils::EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string HUtils::RemoveChars(const std::string& s, const std::string& set) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (set.find(c) == std::string::npos) out.push_back(c);
  }
  return out;
}

bool HUtils::ParseInt(const std::string& s, int& out) {
  out = 0;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  // Numbers beyond 32 bits are refused rather than overflowing "%d".
  const long long value = std::strtoll(s.c_str(), nullptr, 10);
  if (value > INT32_MAX || value < INT32_MIN) return false;
  out = static_cast<int>(value);
  return true;
}

std::vector<std::string> HUtils::SplitList(const std::string& s) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < s.size()) {
    const auto comma = s.find(',', start);
    if (comma == std::string::npos) {
      pieces.push_back(s.substr(start));
      break;
    }
    pieces.push_back(s.substr(start, comma - start));
    start = comma + 1;
  }
  return pieces;
}

}  // namespace korvalt
