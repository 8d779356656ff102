#include <windows.h>
#include <winsock2.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/event.h"

namespace korvalt::platform {
namespace {

std::atomic<bool> gCreationFails{false};

HANDLE Handle(intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

DWORD WaitTime(int timeoutMs) {
  return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
}

// Remaining part of a time-out that started at startMs; kInfinite stays infinite.
int Remaining(int timeoutMs, int64_t startMs) {
  if (timeoutMs < 0) return Event::kInfinite;
  const int64_t left = timeoutMs - (MonotonicMs() - startMs);
  return left > 0 ? static_cast<int>(left) : 0;
}

// One network-event object per thread for the socket waits, made on the thread's first wait.
class SocketWaitEvent {
 public:
  SocketWaitEvent() : Object(::WSACreateEvent()) {}
  ~SocketWaitEvent() {
    if (Object != WSA_INVALID_EVENT) ::WSACloseEvent(Object);
  }
  SocketWaitEvent(const SocketWaitEvent&) = delete;
  SocketWaitEvent& operator=(const SocketWaitEvent&) = delete;
  WSAEVENT Object;
};

bool SocketReady(SOCKET socket, short pollEvents) {
  WSAPOLLFD p{socket, pollEvents, 0};
  return ::WSAPoll(&p, 1, 0) > 0 && p.revents != 0;
}

}  // namespace

Event::Event(ResetMode reset, bool initiallySet) : Manual(reset == ResetMode::kManual) {
  if (gCreationFails.load()) return;
  HANDLE object = ::CreateEventW(nullptr, Manual ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
  if (object != nullptr) Native = reinterpret_cast<intptr_t>(object);
}

void Event::SetCreationFailsForTest(bool fails) {
  gCreationFails.store(fails);
}

Event::~Event() {
  if (Valid()) ::CloseHandle(Handle(Native));
}

void Event::Set() {
  if (Valid()) ::SetEvent(Handle(Native));
}

void Event::Reset() {
  if (Valid()) ::ResetEvent(Handle(Native));
}

bool Event::Consume() {
  // The wait that reported the event has already consumed an auto-reset one.
  return true;
}

bool Event::Wait(int timeoutMs) {
  if (!Valid()) return false;
  return ::WaitForSingleObject(Handle(Native), WaitTime(timeoutMs)) == WAIT_OBJECT_0;
}

int WaitAny(Event& first, Event& second, int timeoutMs) {
  if (!first.Valid() || !second.Valid()) return -1;
  HANDLE objects[2] = {Handle(first.NativeHandle()), Handle(second.NativeHandle())};
  const DWORD rc = ::WaitForMultipleObjects(2, objects, FALSE, WaitTime(timeoutMs));
  if (rc == WAIT_OBJECT_0) return 0;
  if (rc == WAIT_OBJECT_0 + 1) return 1;
  return -1;
}

WaitResult WaitEventOrSocket(Event& event, intptr_t socket, short pollEvents, int timeoutMs) {
  if (!event.Valid()) return WaitResult::kError;
  thread_local SocketWaitEvent networkEvent;
  if (networkEvent.Object == WSA_INVALID_EVENT) return WaitResult::kError;
  const auto s = static_cast<SOCKET>(socket);
  long interest = FD_CLOSE;
  if ((pollEvents & POLLIN) != 0) interest |= FD_READ | FD_ACCEPT;
  if ((pollEvents & POLLOUT) != 0) interest |= FD_WRITE | FD_CONNECT;
  HANDLE objects[2] = {Handle(event.NativeHandle()), networkEvent.Object};
  const int64_t start = MonotonicMs();
  for (;;) {
    // The event has priority: a stop request wins over data.
    if (::WaitForSingleObject(objects[0], 0) == WAIT_OBJECT_0) return WaitResult::kEvent;
    // Network events are recorded as edges; the state the socket is already in is read first.
    if (SocketReady(s, pollEvents)) return WaitResult::kSocket;
    ::WSAResetEvent(networkEvent.Object);
    if (::WSAEventSelect(s, networkEvent.Object, interest) != 0) return WaitResult::kError;
    // Data that arrived between the look and the selection is seen here.
    const bool ready = SocketReady(s, pollEvents);
    const DWORD rc = ready
                         ? WAIT_OBJECT_0 + 1
                         : ::WaitForMultipleObjects(2, objects, FALSE, WaitTime(Remaining(timeoutMs, start)));
    // Back to no selection; the socket stays non-blocking, as all of ours are.
    ::WSAEventSelect(s, nullptr, 0);
    if (rc == WAIT_OBJECT_0) return WaitResult::kEvent;
    if (rc == WAIT_TIMEOUT) return WaitResult::kTimeout;
    if (rc != WAIT_OBJECT_0 + 1) return WaitResult::kError;
    WSANETWORKEVENTS happened{};
    if (::WSAEnumNetworkEvents(s, networkEvent.Object, &happened) != 0) return WaitResult::kError;
    // A failed connect is a socket result too: the caller reads the error (SO_ERROR).
    if (happened.lNetworkEvents != 0 || ready) return WaitResult::kSocket;
    if (timeoutMs >= 0 && Remaining(timeoutMs, start) == 0) return WaitResult::kTimeout;
  }
}

}  // namespace korvalt::platform
