#include "transport/host_resolver.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "http/h_utils.h"
#include "platform/module_pin.h"
#include "platform/socket.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

struct CHostResolver::Pending {
  Pending(std::string host, bool shared) : Host(std::move(host)), Shared(shared) {}
  const std::string Host;
  const bool Shared;  // a system look-up that other resolvers may wait for
  platform::Event Done{platform::Event::ResetMode::kManual};
  std::atomic<uint32_t> Address{0};  // written by the look-up thread before Done is set
  std::thread Thread;                // joined by the table once Done is set
  platform::ModulePin Pin;           // the look-up thread's code stays mapped until the join
};

namespace {

// Every look-up of the process, from its start to its join. Made at the first look-up and
// destroyed only when no look-up holds the module any more: a host may unload the module while
// look-ups still run, and they must find their table where it was.
class LookupTable {
 public:
  static LookupTable& Get() {
    LookupTable* table = Instance.load();
    if (table != nullptr) return *table;
    auto made = std::make_unique<LookupTable>();
    if (Instance.compare_exchange_strong(table, made.get())) return *made.release();
    return *table;
  }
  static LookupTable* Existing() { return Instance.load(); }
  static void Destroy() { delete Instance.exchange(nullptr); }

  // A look-up of host under way: the system's one already running for that name, or a new one
  // (lookup empty: the system's). Null when too many run or no thread can be had.
  std::shared_ptr<CHostResolver::Pending> Start(const std::string& host,
                                                const CHostResolver::Lookup& lookup) {
    std::vector<std::shared_ptr<CHostResolver::Pending>> ended;
    std::shared_ptr<CHostResolver::Pending> pending;
    {
      CMutexLock guard(Lock);
      TakeEnded(ended);
      if (!lookup) {
        for (const auto& running : UnderWay) {
          if (running->Shared && running->Host == host) return running;
        }
      }
      if (UnderWay.size() >= CHostResolver::kMaxLookupsUnderWay) return nullptr;
      try {
        pending = std::make_shared<CHostResolver::Pending>(host, !lookup);
        CHostResolver::Lookup function = lookup ? lookup : CHostResolver::Lookup(&HUtils::ResolveHost);
        // The thread only touches its look-up, which the table keeps until the join.
        pending->Thread = std::thread([raw = pending.get(), function = std::move(function)] {
          uint32_t address = 0;
          try {
            address = function(raw->Host);
          } catch (...) {
          }
          raw->Address = address;
          raw->Done.Set();
        });
        UnderWay.push_back(pending);
      } catch (...) {
        return nullptr;
      }
    }
    Join(ended);
    return pending;
  }

  // Joins the look-ups that ended, at exit. Their pins are kept: the host may have unloaded the
  // module already, and letting go of the last reference would unmap the code running here.
  // True when no look-up is left at all.
  bool JoinEndedKeepingPins() {
    std::vector<std::shared_ptr<CHostResolver::Pending>> ended;
    CMutexLock guard(Lock);
    TakeEnded(ended);
    Join(ended);
    Kept.insert(Kept.end(), ended.begin(), ended.end());
    return UnderWay.empty() && Kept.empty();
  }

  size_t Count() {
    std::vector<std::shared_ptr<CHostResolver::Pending>> ended;
    size_t count = 0;
    {
      CMutexLock guard(Lock);
      TakeEnded(ended);
      count = UnderWay.size();
    }
    Join(ended);
    return count;
  }

 private:
  void TakeEnded(std::vector<std::shared_ptr<CHostResolver::Pending>>& ended) QL_REQUIRES(Lock) {
    std::erase_if(UnderWay, [&ended](const std::shared_ptr<CHostResolver::Pending>& pending) {
      if (!pending->Done.Wait(0)) return false;
      ended.push_back(pending);
      return true;
    });
  }

  // Outside the lock: the threads have announced their end and only return now.
  static void Join(std::vector<std::shared_ptr<CHostResolver::Pending>>& ended) {
    for (const auto& pending : ended) {
      if (pending->Thread.joinable()) pending->Thread.join();
    }
  }

  static inline std::atomic<LookupTable*> Instance{nullptr};
  CMutex Lock;
  std::vector<std::shared_ptr<CHostResolver::Pending>> UnderWay QL_GUARDED_BY(Lock);
  std::vector<std::shared_ptr<CHostResolver::Pending>> Kept QL_GUARDED_BY(Lock);  // joined at exit
};

// At exit (or when the module is unloaded, which no look-up holds it then), look-ups that ended
// are joined; those still running are left to the system, and the table stays for them.
struct JoinEndedAtExit {
  ~JoinEndedAtExit() {
    LookupTable* table = LookupTable::Existing();
    if (table != nullptr && table->JoinEndedKeepingPins()) LookupTable::Destroy();
  }
} gJoinEndedAtExit;

}  // namespace

CHostResolver::CHostResolver() = default;

CHostResolver::CHostResolver(Lookup lookup) : Function(std::move(lookup)) {}

CHostResolver::~CHostResolver() = default;

size_t CHostResolver::LookupsUnderWay() {
  return LookupTable::Get().Count();
}

uint32_t CHostResolver::Resolve(const std::string& host, platform::Event* stop, int timeoutMs) {
  if (host.empty()) return 0;
  in_addr literal{};
  if (::inet_pton(AF_INET, host.c_str(), &literal) == 1) return literal.s_addr;

  if (!Current || Current->Host != host) {
    Current = LookupTable::Get().Start(host, Function);
    if (!Current) return 0;  // the next call tries again
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
