#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "driver/host/debug.h"

namespace hostkit {

// Local wall-clock time as hh:mm:ss.mmm, the stamp of every line camctl prints.
std::string NowStamp();

struct DebugLine {
  uint8_t Level = 0;
  std::string Text;
  std::string Stamp;  // local time "hh:mm:ss.mmm" when the line arrived
};

// Debug sink that keeps every line and optionally passes each to a printer.
class DebugSink : public korvalt::ipcapture::IDebugSink {
 public:
  int32_t Message(CDebugInfoIf* info) override;

  std::vector<DebugLine> Lines() const;
  // Lines whose text contains needle.
  size_t Count(const std::string& needle) const;
  void Clear();
  void SetPrinter(std::function<void(const DebugLine&)> printer);

 private:
  mutable std::mutex Lock;  // guards Kept and Printer; Message is called from any module thread
  std::vector<DebugLine> Kept;
  std::function<void(const DebugLine&)> Printer;
};

}  // namespace hostkit
