#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "driver/host/io.h"

namespace hostkit {

struct IOEvent {
  enum class Kind { InputChanged, Failure };
  Kind Type = Kind::InputChanged;
  uint32_t Index = 0;  // input changes only: 0-based input
  int32_t State = 0;   // input changes only: kIOStateOff or kIOStateOn
  std::chrono::steady_clock::time_point When;
};

// I/O event sink that keeps every input change and failure in arrival order. The module calls
// it from its input and output threads at once; readers may wait for what they expect.
class IOEventSink : public korvalt::ipcapture::IIOEventSink {
 public:
  using Callback = std::function<void(const IOEvent&)>;

  void InputChanged(uint32_t index, int32_t state) override;
  void IOFailure() override;

  std::vector<IOEvent> Events() const;
  std::vector<IOEvent> Changes() const;  // input changes only
  size_t Failures() const;
  void Clear();
  // Called on the module's thread after the event is recorded, outside the sink's lock.
  void SetCallback(Callback callback);

  // Wait until at least count input changes (or failures) are recorded; false on time-out.
  bool WaitForChanges(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForFailures(size_t count, std::chrono::milliseconds timeout) const;

 private:
  void Record(const IOEvent& event);
  size_t CountLocked(IOEvent::Kind kind) const;

  mutable std::mutex Lock;  // guards Kept and OnEvent
  mutable std::condition_variable Arrived;
  std::vector<IOEvent> Kept;
  Callback OnEvent;
};

}  // namespace hostkit
