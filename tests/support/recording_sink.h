#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "driver/debug_message.h"

namespace testsupport {

// An IDebugMessage that keeps every formatted line; safe to log to from several threads.
class RecordingSink : public IDebugMessage {
 public:
  struct Line {
    int Level = 0;
    std::string Text;
    bool operator==(const Line&) const = default;
    friend void PrintTo(const Line& line, std::ostream* out) { *out << line.Level << ": " << line.Text; }
  };

  void DebugMessage(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));

  std::vector<Line> Lines() const;
  // Number of lines whose text contains needle.
  size_t Count(const std::string& needle) const;
  void Clear();

 private:
  mutable std::mutex Lock;  // guards Kept
  std::vector<Line> Kept;
};

}  // namespace testsupport
