#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/clock.h"

namespace korvalt::platform {
namespace {

std::atomic<bool> gCreationFails{false};

int Fd(intptr_t native) {
  return static_cast<int>(native);
}

// Remaining part of a time-out that started at startMs; kInfinite stays infinite.
int Remaining(int timeoutMs, int64_t startMs) {
  if (timeoutMs < 0) return Event::kInfinite;
  const int64_t left = timeoutMs - (MonotonicMs() - startMs);
  return left > 0 ? static_cast<int>(left) : 0;
}

int PollRetry(pollfd* fds, nfds_t count, int timeoutMs) {
  const int64_t start = MonotonicMs();
  for (;;) {
    const int rc = ::poll(fds, count, Remaining(timeoutMs, start));
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

}  // namespace

Event::Event(ResetMode reset, bool initiallySet)
    : Native(gCreationFails.load() ? -1 : ::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)),
      Manual(reset == ResetMode::kManual) {}

void Event::SetCreationFailsForTest(bool fails) {
  gCreationFails.store(fails);
}

Event::~Event() {
  if (Native >= 0) ::close(Fd(Native));
}

void Event::Set() {
  if (Native < 0) return;
  const uint64_t one = 1;
  // The counter only saturates after 2^64-2 sets; a failed write leaves the event set anyway.
  [[maybe_unused]] const ssize_t n = ::write(Fd(Native), &one, sizeof one);
}

void Event::Reset() {
  if (Native < 0) return;
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(Fd(Native), &value, sizeof value);
}

bool Event::Consume() {
  if (Manual) return true;
  uint64_t value = 0;
  return ::read(Fd(Native), &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

bool Event::Wait(int timeoutMs) {
  if (Native < 0) return false;
  const int64_t start = MonotonicMs();
  for (;;) {
    pollfd p{Fd(Native), POLLIN, 0};
    const int rc = PollRetry(&p, 1, Remaining(timeoutMs, start));
    if (rc <= 0) return false;
    if (Consume()) return true;
    // Another waiter took the auto-reset event; keep waiting for the rest of the time-out.
  }
}

int WaitAny(Event& first, Event& second, int timeoutMs) {
  if (!first.Valid() || !second.Valid()) return -1;
  const int64_t start = MonotonicMs();
  for (;;) {
    pollfd p[2] = {{Fd(first.NativeHandle()), POLLIN, 0}, {Fd(second.NativeHandle()), POLLIN, 0}};
    const int rc = PollRetry(p, 2, Remaining(timeoutMs, start));
    if (rc <= 0) return -1;
    if ((p[0].revents & POLLIN) && first.Consume()) return 0;
    if ((p[1].revents & POLLIN) && second.Consume()) return 1;
  }
}

WaitResult WaitEventOrSocket(Event& event, intptr_t socket, short pollEvents, int timeoutMs) {
  if (!event.Valid()) return WaitResult::kError;
  const int64_t start = MonotonicMs();
  for (;;) {
    pollfd p[2] = {{Fd(event.NativeHandle()), POLLIN, 0}, {Fd(socket), pollEvents, 0}};
    const int rc = PollRetry(p, 2, Remaining(timeoutMs, start));
    if (rc < 0) return WaitResult::kError;
    if (rc == 0) return WaitResult::kTimeout;
    if ((p[0].revents & POLLIN) && event.Consume()) return WaitResult::kEvent;
    if (p[1].revents != 0) return WaitResult::kSocket;
  }
}

}  // namespace korvalt::platform
