#include "transport/host_resolver.h"

#include <atomic>
#include <thread>
#include <utility>

#include "http/h_utils.h"
#include "platform/socket.h"

namespace korvalt {

struct CHostResolver::Pending {
  explicit Pending(std::string host) : Host(std::move(host)) {}
  const std::string Host;
  platform::Event Done{platform::Event::ResetMode::kManual};
  std::atomic<uint32_t> Address{0};  // written by the look-up thread before Done is set
};

CHostResolver::CHostResolver() : CHostResolver(&HUtils::ResolveHost) {}

CHostResolver::CHostResolver(Lookup lookup) : Function(std::move(lookup)) {}

CHostResolver::~CHostResolver() = default;

uint32_t CHostResolver::Resolve(const std::string& host, platform::Event* stop, int timeoutMs) {
  if (host.empty()) return 0;
  in_addr literal{};
  if (::inet_pton(AF_INET, host.c_str(), &literal) == 1) return literal.s_addr;

  if (!Current || Current->Host != host) {
    auto pending = std::make_shared<Pending>(host);
    try {
      // The thread owns a share of the look-up and a copy of the function: it may outlive the
      // resolver and its owner.
      std::thread([pending, lookup = Function] {
        uint32_t address = 0;
        try {
          address = lookup(pending->Host);
        } catch (...) {
        }
        pending->Address = address;
        pending->Done.Set();
      }).detach();
    } catch (...) {
      return 0;  // no thread to be had: the next call tries again
    }
    Current = std::move(pending);
  }
  const std::shared_ptr<Pending> pending = Current;
  bool done = false;
  if (stop != nullptr) {
    const int woke = platform::WaitAny(pending->Done, *stop, timeoutMs);
    done = woke == 0;
    // The wait consumed the stop event if it resets itself; leave it set for the owner.
    if (woke == 1) stop->Set();
  } else {
    done = pending->Done.Wait(timeoutMs);
  }
  if (!done) return 0;
  // A finished look-up is not reused: a name that failed once may resolve on the next call.
  Current.reset();
  return pending->Address.load();
}

}  // namespace korvalt
