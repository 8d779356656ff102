#include "recording_sink.h"

#include <cstdarg>

#include "platform/format.h"

namespace testsupport {

void RecordingSink::DebugMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = korvalt::platform::FormatV(format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(Lock);
  Kept.push_back({level, std::move(text)});
}

std::vector<RecordingSink::Line> RecordingSink::Lines() const {
  std::lock_guard<std::mutex> lock(Lock);
  return Kept;
}

size_t RecordingSink::Count(const std::string& needle) const {
  std::lock_guard<std::mutex> lock(Lock);
  size_t n = 0;
  for (const Line& line : Kept) n += line.Text.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

void RecordingSink::Clear() {
  std::lock_guard<std::mutex> lock(Lock);
  Kept.clear();
}

}  // namespace testsupport
