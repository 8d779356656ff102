#pragma once

#include <atomic>
#include <cstdint>

#include "driver/host/debug.h"

// Where every component sends its diagnostic lines, each with a korvalt::ipcapture::kDebugLevel*
// level. Implemented by the driver, which hands the line to the host's debug sink, and by
// forwarders that pass finished text on with the format "%s".
class IDebugMessage {
 public:
  IDebugMessage() = default;
  IDebugMessage(const IDebugMessage&) = delete;
  IDebugMessage& operator=(const IDebugMessage&) = delete;
  virtual ~IDebugMessage() = default;
  virtual void DebugMessage(int level, const char* format, ...) __attribute__((format(printf, 3, 4))) = 0;

  // Repetition counter of the request-failure throttle (HUtils::ShouldLog). Atomic because
  // several threads log through one sink.
  std::atomic<uint32_t> RepetitionCounter{0};
};
