#pragma once
// Diagnostic records handed to the recorder's debug sink.

#include <cstdint>

// One diagnostic line. The record and its text are valid only during the sink call;
// a sink that keeps the line must copy it.
class CDebugInfoIf {
 public:
  virtual ~CDebugInfoIf() = default;        // slot 0
  virtual uint8_t GetLevel() const = 0;     // slot 1: 1 error, 2 information, 3 request not sent
  virtual const char* GetText() const = 0;  // slot 2: NUL-terminated, owned by the record
};

namespace korvalt::ipcapture {

// Implemented by the recorder; first argument of the driver's Open. Called from any module
// thread, possibly from several at once.
class IDebugSink {
 public:
  virtual ~IDebugSink() = default;                  // slot 0
  virtual int32_t Message(CDebugInfoIf* info) = 0;  // slot 1: result ignored by the module
};

}  // namespace korvalt::ipcapture
