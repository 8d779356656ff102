#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

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

// One network-event selection per socket, shared by every thread that waits on it: Winsock keeps a
// single selection per socket (a second WSAEventSelect replaces the first), so a thread waiting to
// send and one waiting to receive on the same socket would otherwise cancel each other's wait.
// The socket's selection is the union of its waiters' interests; the waiter that takes the
// selection's event reads what happened and wakes the others, and each one then looks at the
// socket's state itself.
class SocketSelections {
 public:
  struct Waiter {
    HANDLE Wake = nullptr;  // the waiter's own auto-reset event, lent by Register until Unregister
    long Interest = 0;      // FD_ bits it waits for
    long Seen = 0;          // FD_ bits recorded for the socket since it registered; under the lock
  };

  static SocketSelections& Instance() {
    // Never destroyed: threads may still wait while the process ends.
    static auto* selections = new SocketSelections;
    return *selections;
  }

  // The socket's selection event, or nullptr when the selection could not be made. Lends the
  // waiter its wake-up event until Unregister.
  HANDLE Register(SOCKET socket, Waiter& waiter) {
    std::lock_guard<std::mutex> guard(Lock);
    waiter.Wake = TakeSpare();
    if (waiter.Wake == nullptr) return nullptr;
    auto [at, added] = Sockets.try_emplace(socket);
    Selection& selection = at->second;
    if (added) {
      selection.Network = TakeSpare();
      if (selection.Network == nullptr) {
        Sockets.erase(at);
        GiveBack(waiter.Wake);
        return nullptr;
      }
    }
    const long interest = selection.Interest | waiter.Interest;
    if (added || interest != selection.Interest) {
      // A new selection clears what the socket had recorded: everyone looks again.
      if (::WSAEventSelect(socket, selection.Network, interest) != 0) {
        if (added) Forget(at);
        GiveBack(waiter.Wake);
        return nullptr;
      }
      selection.Interest = interest;
      for (Waiter* other : selection.Waiters) ::SetEvent(other->Wake);
    }
    selection.Waiters.push_back(&waiter);
    return selection.Network;
  }

  void Unregister(SOCKET socket, Waiter& waiter) {
    std::lock_guard<std::mutex> guard(Lock);
    GiveBack(waiter.Wake);
    const auto at = Sockets.find(socket);
    if (at == Sockets.end()) return;
    auto& waiters = at->second.Waiters;
    waiters.erase(std::remove(waiters.begin(), waiters.end(), &waiter), waiters.end());
    if (!waiters.empty()) return;  // the union stays: a wider selection only wakes them more often
    // Back to no selection; the socket stays non-blocking, as all of ours are.
    ::WSAEventSelect(socket, nullptr, 0);
    Forget(at);
  }

  // Called by the waiter whose wait took the selection's event: reads and clears what the socket
  // recorded, hands it to every waiter and wakes the others.
  void Dispatch(SOCKET socket, HANDLE network, Waiter& self) {
    WSANETWORKEVENTS happened{};
    std::lock_guard<std::mutex> guard(Lock);
    const auto at = Sockets.find(socket);
    if (at == Sockets.end()) return;
    const long events = ::WSAEnumNetworkEvents(socket, network, &happened) == 0 ? happened.lNetworkEvents : 0;
    for (Waiter* waiter : at->second.Waiters) {
      waiter->Seen |= events;
      if (waiter != &self) ::SetEvent(waiter->Wake);
    }
  }

  // True once the socket recorded one of the waiter's events (a failed connect is one, though
  // the socket's state may not show it).
  bool Happened(const Waiter& waiter) {
    std::lock_guard<std::mutex> guard(Lock);
    return (waiter.Seen & waiter.Interest) != 0;
  }

 private:
  struct Selection {
    HANDLE Network = nullptr;  // auto-reset: one waiter takes each signal and dispatches it
    long Interest = 0;
    std::vector<Waiter*> Waiters;
  };
  // Events kept for the next selections and waiters; more are closed.
  static constexpr size_t kMaxSpares = 64;

  HANDLE TakeSpare() {
    if (Spare.empty()) return ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE event = Spare.back();
    Spare.pop_back();
    return event;
  }

  void Forget(std::unordered_map<SOCKET, Selection>::iterator at) {
    HANDLE event = at->second.Network;
    Sockets.erase(at);
    GiveBack(event);
  }

  // Resets the event (nothing signals it once its user is gone, this lock held) and keeps it.
  void GiveBack(HANDLE& event) {
    if (event == nullptr) return;
    ::ResetEvent(event);
    if (Spare.size() < kMaxSpares) {
      Spare.push_back(event);
    } else {
      ::CloseHandle(event);
    }
    event = nullptr;
  }

  std::mutex Lock;  // guards everything below; taken by every waiting thread
  std::unordered_map<SOCKET, Selection> Sockets;
  std::vector<HANDLE> Spare;
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
  const auto s = static_cast<SOCKET>(socket);
  HANDLE stop = Handle(event.NativeHandle());
  // The event has priority: a stop request wins over data.
  if (::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return WaitResult::kEvent;
  if (SocketReady(s, pollEvents)) return WaitResult::kSocket;

  // The waiter's wake-up is lent by the selections, not kept per thread: MinGW's emulated
  // thread-local storage may free a thread's storage before its destructors run, and a thread_local
  // event was then lost (or another handle closed) when the thread ended.
  SocketSelections::Waiter waiter;
  waiter.Interest = FD_CLOSE;
  if ((pollEvents & POLLIN) != 0) waiter.Interest |= FD_READ | FD_ACCEPT;
  if ((pollEvents & POLLOUT) != 0) waiter.Interest |= FD_WRITE | FD_CONNECT;
  SocketSelections& selections = SocketSelections::Instance();
  HANDLE network = selections.Register(s, waiter);
  if (network == nullptr) return WaitResult::kError;
  struct Leave {
    SocketSelections& Selections;
    SOCKET Socket;
    SocketSelections::Waiter& Self;
    ~Leave() { Selections.Unregister(Socket, Self); }
  } leave{selections, s, waiter};

  HANDLE objects[3] = {stop, waiter.Wake, network};
  const int64_t start = MonotonicMs();
  for (;;) {
    if (::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return WaitResult::kEvent;
    // Network events are recorded as edges, and only from the selection on: the state the socket
    // is in is read after registering, and again after every wake-up.
    if (SocketReady(s, pollEvents) || selections.Happened(waiter)) return WaitResult::kSocket;
    const DWORD rc = ::WaitForMultipleObjects(3, objects, FALSE, WaitTime(Remaining(timeoutMs, start)));
    if (rc == WAIT_OBJECT_0) return WaitResult::kEvent;
    if (rc == WAIT_TIMEOUT) return WaitResult::kTimeout;
    if (rc == WAIT_OBJECT_0 + 2) {
      selections.Dispatch(s, network, waiter);
    } else if (rc != WAIT_OBJECT_0 + 1) {
      return WaitResult::kError;
    }
  }
}

}  // namespace korvalt::platform
