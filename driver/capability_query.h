#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/host/capability_query.h"
#include "platform/thread.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

class CCameraLogin;

// State behind the four capability query exports: the host's callback and result object, and
// at most one query thread with the camera properties object it made.
//
// Threads: the operations come from host threads, several at once or from inside the callback;
// Lock guards the state. Each query shares its Run with its thread, so what the thread touches
// lives until the thread ends, even when a join overran its bound and the thread was detached.
class CCapabilityQuery {
 public:
  static constexpr int32_t kNetworkTimeoutMs = 20000;
  static constexpr int32_t kSignalLossTimeoutMs = 10000;
  static constexpr int kJoinTimeoutMs = 5000;

  CCapabilityQuery() = default;
  // Stops a running query without calling the host again.
  ~CCapabilityQuery();
  CCapabilityQuery(const CCapabilityQuery&) = delete;
  CCapabilityQuery& operator=(const CCapabilityQuery&) = delete;

  // False when a callback is registered already; nothing changes then.
  bool Init(ipcapture::ICapabilityQueryCallback* callback, bool flag);
  // False when a query has not reported yet or no thread could be started (nothing changes
  // then), or for a port above 65535. A query that reported earlier is released.
  bool Start(const char* address, uint32_t port, const char* userName, const char* password,
             ipcapture::ICapabilityResults* results);
  // The query stops before its next request and then reports the result reached so far.
  void Terminate();
  // Terminates, ends the request in flight, waits for the thread (bounded), forgets the callback
  // and releases everything.
  void Uninit();

  // Test seam: the bound of Uninit's wait for the query thread.
  void SetJoinTimeoutMs(int ms);

 private:
  struct Run;
  static void RunQuery(const std::shared_ptr<Run>& run);
  void Stop(bool silent);

  CMutex Lock;  // guards everything below; written by host threads
  // Borrowed from Init to Uninit.
  ipcapture::ICapabilityQueryCallback* Callback QL_GUARDED_BY(Lock) = nullptr;
  bool CallbackFlag QL_GUARDED_BY(Lock) = false;                         // stored, not used
  ipcapture::ICapabilityResults* Results QL_GUARDED_BY(Lock) = nullptr;  // borrowed from Start to Uninit
  std::shared_ptr<Run> Current QL_GUARDED_BY(Lock);  // the last query started; keeps its properties object
  // Runs Current. Raw threads, not the thread framework's: a thread stuck in the host past the
  // join bound is abandoned (detached) while it still uses its Run, and one that has reported
  // moves to Finishing to be joined later; the body is a function of the shared Run, so no
  // thread object has to outlive this one.
  std::unique_ptr<platform::Thread> QueryThread QL_GUARDED_BY(Lock);
  // Threads of earlier queries that had reported but not yet ended when the next one started.
  std::vector<std::unique_ptr<platform::Thread>> Finishing QL_GUARDED_BY(Lock);
  int JoinTimeoutMs QL_GUARDED_BY(Lock) = kJoinTimeoutMs;
  // The last query's login: each query logs in afresh, but takes over the HTTP client handles the
  // last one left, instead of making new ones for every query.
  std::shared_ptr<CCameraLogin> LastLogin QL_GUARDED_BY(Lock);
};

// The process-wide instance that the exports use.
CCapabilityQuery& ModuleCapabilityQuery();

}  // namespace korvalt
