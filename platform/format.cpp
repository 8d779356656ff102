#include "platform/format.h"

#include <cstdio>

namespace korvalt::platform {

std::string FormatV(const char* format, va_list args) {
  if (format == nullptr) return {};
  va_list measure;
  va_copy(measure, args);
  const int n = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n), '\0');
  va_list fill;
  va_copy(fill, args);
  std::vsnprintf(text.data(), text.size() + 1, format, fill);
  va_end(fill);
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

}  // namespace korvalt::platform
