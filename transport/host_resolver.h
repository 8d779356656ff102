#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/event.h"

namespace korvalt {

// Resolves a camera's host name without ever blocking its caller beyond a bound: the system's
// look-up cannot be interrupted, so it runs on a thread of its own, and the caller waits for it,
// for its stop event or for the time-out, whichever comes first. A look-up that outlasts the wait
// is abandoned with everything it uses kept alive, and the next call for the same name waits for
// it again instead of starting another, so one slow name service never piles up threads.
// Used by one thread at a time (its owner's worker).
class CHostResolver {
 public:
  // IPv4 address of a name in network order, 0 when it does not resolve.
  using Lookup = std::function<uint32_t(const std::string&)>;

  CHostResolver();
  // lookup runs on the resolver's threads; tests replace the system's.
  explicit CHostResolver(Lookup lookup);
  ~CHostResolver();
  CHostResolver(const CHostResolver&) = delete;
  CHostResolver& operator=(const CHostResolver&) = delete;

  // Replaces the look-up for the calls that follow (tests).
  void SetLookup(Lookup lookup) { Function = std::move(lookup); }

  // The address of host in network order; 0 when it does not resolve, the look-up is not done
  // within timeoutMs, or stop (may be null) is set. A dotted IPv4 address needs no look-up.
  uint32_t Resolve(const std::string& host, platform::Event* stop, int timeoutMs);

 private:
  struct Pending;  // one look-up, shared with its thread

  Lookup Function;
  std::shared_ptr<Pending> Current;
};

}  // namespace korvalt
