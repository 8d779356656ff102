#include "tools/hostkit/io_sink.h"

#include <algorithm>
#include <iterator>

namespace hostkit {

void IOEventSink::InputChanged(uint32_t index, int32_t state) {
  Record(IOEvent{IOEvent::Kind::InputChanged, index, state, std::chrono::steady_clock::now()});
}

void IOEventSink::IOFailure() {
  Record(IOEvent{IOEvent::Kind::Failure, 0, 0, std::chrono::steady_clock::now()});
}

void IOEventSink::Record(const IOEvent& event) {
  Callback callback;
  {
    std::lock_guard<std::mutex> guard(Lock);
    Kept.push_back(event);
    callback = OnEvent;
  }
  Arrived.notify_all();
  if (callback) callback(event);
}

size_t IOEventSink::CountLocked(IOEvent::Kind kind) const {
  return static_cast<size_t>(
      std::count_if(Kept.begin(), Kept.end(), [kind](const IOEvent& e) { return e.Type == kind; }));
}

std::vector<IOEvent> IOEventSink::Events() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Kept;
}

std::vector<IOEvent> IOEventSink::Changes() const {
  std::lock_guard<std::mutex> guard(Lock);
  std::vector<IOEvent> changes;
  std::copy_if(Kept.begin(), Kept.end(), std::back_inserter(changes),
               [](const IOEvent& e) { return e.Type == IOEvent::Kind::InputChanged; });
  return changes;
}

size_t IOEventSink::Failures() const {
  std::lock_guard<std::mutex> guard(Lock);
  return CountLocked(IOEvent::Kind::Failure);
}

void IOEventSink::Clear() {
  std::lock_guard<std::mutex> guard(Lock);
  Kept.clear();
}

void IOEventSink::SetCallback(Callback callback) {
  std::lock_guard<std::mutex> guard(Lock);
  OnEvent = std::move(callback);
}

bool IOEventSink::WaitForChanges(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(Lock);
  return Arrived.wait_for(guard, timeout, [&] { return CountLocked(IOEvent::Kind::InputChanged) >= count; });
}

bool IOEventSink::WaitForFailures(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(Lock);
  return Arrived.wait_for(guard, timeout, [&] { return CountLocked(IOEvent::Kind::Failure) >= count; });
}

}  // namespace hostkit
