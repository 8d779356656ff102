#pragma once
// Diagnostic records handed to the recorder's debug sink.

#include "abi.h"

#include <cstdint>

namespace korvalt::ipcapture {

// Levels of CDebugInfoIf::GetLevel. No other level is sent.
inline constexpr int32_t kDebugLevelError = 1;
inline constexpr int32_t kDebugLevelInformation = 2;
inline constexpr int32_t kDebugLevelRequestNotSent = 3;  // a request to the camera could not be sent at all

}  // namespace korvalt::ipcapture

// One diagnostic line. The record and its text are valid only during the sink call;
// a sink that keeps the line must copy it.
class CDebugInfoIf {
 public:
  QUENLARK_DESTRUCTOR_SLOT(CDebugInfoIf)    // slot 0
  virtual uint8_t GetLevel() const = 0;     // slot 1: a kDebugLevel* value
  virtual const char* GetText() const = 0;  // slot 2: NUL-terminated, owned by the record
};

namespace korvalt::ipcapture {

// Implemented by the recorder; first argument of the driver's Open. Called from any module
// thread, possibly from several at once.
class IDebugSink {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IDebugSink)              // slot 0
  virtual int32_t Message(CDebugInfoIf* info) = 0;  // slot 1: result ignored by the module
};

}  // namespace korvalt::ipcapture
