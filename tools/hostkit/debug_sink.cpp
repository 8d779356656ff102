#include "tools/hostkit/debug_sink.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace hostkit {
std::string NowStamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text;
}

int32_t DebugSink::Message(CDebugInfoIf* info) {
  if (info == nullptr) return 0;
  DebugLine line{info->GetLevel(), info->GetText() ? info->GetText() : "", NowStamp()};
  std::function<void(const DebugLine&)> printer;
  {
    std::lock_guard<std::mutex> guard(Lock);
    Kept.push_back(line);
    printer = Printer;
  }
  if (printer) printer(line);
  return 0;
}

std::vector<DebugLine> DebugSink::Lines() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Kept;
}

size_t DebugSink::Count(const std::string& needle) const {
  std::lock_guard<std::mutex> guard(Lock);
  size_t n = 0;
  for (const auto& line : Kept) n += line.Text.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

void DebugSink::Clear() {
  std::lock_guard<std::mutex> guard(Lock);
  Kept.clear();
}

void DebugSink::SetPrinter(std::function<void(const DebugLine&)> printer) {
  std::lock_guard<std::mutex> guard(Lock);
  Printer = std::move(printer);
}

}  // namespace hostkit
