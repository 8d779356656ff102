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
// for its stop event or for the time-out, whichever comes first.
//
// Look-ups live in one table for the whole process, not in the resolver: a look-up its resolver
// gave up keeps running there, joinable, and is joined by a later call once it ended. A call for
// a name whose system look-up is still under way (from any resolver, also one already destroyed)
// waits for that one instead of starting another, and the table holds at most
// kMaxLookupsUnderWay, so a slow name service never piles up threads. Each look-up keeps the
// module loaded until it is joined, so a host that unloads the module meanwhile finds no thread
// returning into unmapped code. Used by one thread at a time (its owner's worker).
class CHostResolver {
 public:
  // IPv4 address of a name in network order, 0 when it does not resolve.
  using Lookup = std::function<uint32_t(const std::string&)>;
  struct Pending;  // one look-up, shared between the table and the resolvers waiting for it

  static constexpr size_t kMaxLookupsUnderWay = 64;

  CHostResolver();
  // lookup runs on a look-up thread in place of the system's (tests); such look-ups are not
  // shared with other resolvers.
  explicit CHostResolver(Lookup lookup);
  ~CHostResolver();
  CHostResolver(const CHostResolver&) = delete;
  CHostResolver& operator=(const CHostResolver&) = delete;

  // Replaces the look-up for the calls that follow (tests).
  void SetLookup(Lookup lookup) { Function = std::move(lookup); }

  // The address of host in network order; 0 when it does not resolve, the look-up is not done
  // within timeoutMs, or stop (may be null) is set. A dotted IPv4 address needs no look-up.
  uint32_t Resolve(const std::string& host, platform::Event* stop, int timeoutMs);

  // Look-ups under way in the whole process; joins those that ended (tests).
  static size_t LookupsUnderWay();

 private:
  Lookup Function;  // empty: the system's
  std::shared_ptr<Pending> Current;
};

}  // namespace korvalt
