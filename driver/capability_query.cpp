#include "driver/capability_query.h"

#include <atomic>
#include <limits>
#include <string>

#include "driver/quenlark_camera_properties.h"

namespace korvalt {
namespace ipc = ipcapture;

namespace {

constexpr const char* kCreateFailed = "Failed to create camera properties object";
constexpr const char* kQueryFailed = "Failed to get camera properties";
constexpr const char* kSaveFailed = "Failed to save capability query results";

std::string OrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

}  // namespace

// One query: shared by the module state and the query thread.
struct CCapabilityQuery::Run {
  DEVICE_INFO Device;
  ipc::ICapabilityQueryCallback* Callback = nullptr;  // as registered when the query started
  ipc::ICapabilityResults* Results = nullptr;
  // Set once a waiting owner gave up on the thread: from then on the host's objects may be gone.
  std::atomic<bool> Abandoned{false};
  // Set by the query thread before its last call to the host, the callback: a host told the
  // result may start the next query at once.
  std::atomic<bool> Reported{false};

  // Asks the query to stop before its next request, also before its properties object exists;
  // cancelRequest also ends the request in flight.
  void Abort(bool cancelRequest) {
    CMutexLock guard(Lock);
    AbortRequested = true;
    CancelRequested = CancelRequested || cancelRequest;
    if (Properties) Apply();
  }

  CCameraPropertiesEx* Adopt(std::unique_ptr<CCameraPropertiesEx> properties) {
    CMutexLock guard(Lock);
    Properties = std::move(properties);
    Apply();
    return Properties.get();
  }

  void Report(bool completed, int32_t errorCode, const char* message) {
    Reported.store(true);
    if (Abandoned.load()) return;
    if (completed) {
      Callback->QueryCompleted();
    } else {
      Callback->QueryFailed(errorCode, message);
    }
  }

 private:
  void Apply() QL_REQUIRES(Lock) {
    if (AbortRequested) Properties->AbortQuery();
    if (CancelRequested) Properties->CancelRequest();
  }

  // Guards Properties and the two requests: host threads abort while the query thread adopts.
  CMutex Lock;
  // Made by the query thread, kept until the Run goes.
  std::unique_ptr<CCameraPropertiesEx> Properties QL_GUARDED_BY(Lock);
  bool AbortRequested QL_GUARDED_BY(Lock) = false;
  bool CancelRequested QL_GUARDED_BY(Lock) = false;
};

CCapabilityQuery::~CCapabilityQuery() {
  Stop(true);
}

bool CCapabilityQuery::Init(ipc::ICapabilityQueryCallback* callback, bool flag) {
  CMutexLock guard(Lock);
  if (Callback != nullptr) return false;
  Callback = callback;
  CallbackFlag = flag;
  return true;
}

bool CCapabilityQuery::Start(const char* address, uint32_t port, const char* userName, const char* password,
                             ipc::ICapabilityResults* results) {
  if (port > std::numeric_limits<uint16_t>::max()) return false;
  CMutexLock guard(Lock);
  // One query at a time. A host may start again as soon as it was told the result, while the
  // thread still returns from the callback: that thread is joined later, by Uninit.
  if (QueryThread) {
    // Called from the callback, the query has reported as well.
    const bool current = QueryThread->IsCurrent();
    if (!current && QueryThread->JoinFor(0)) {
      QueryThread.reset();
    } else if (current || Current->Reported.load()) {
      Finishing.push_back(std::move(QueryThread));
    } else {
      return false;
    }
  }
  std::erase_if(Finishing, [](const auto& thread) { return !thread->IsCurrent() && thread->JoinFor(0); });

  auto run = std::make_shared<Run>();
  run->Device.NetworkTimeout = kNetworkTimeoutMs;
  run->Device.SignalLossTimeout = kSignalLossTimeoutMs;
  run->Device.Address = OrEmpty(address);
  run->Device.Port = static_cast<uint16_t>(port);
  run->Device.UserName = OrEmpty(userName);
  run->Device.Password = OrEmpty(password);
  run->Device.Login = std::make_shared<CCameraLogin>();
  if (LastLogin) LastLogin->PassIdleHandles(*run->Device.Login);
  LastLogin = run->Device.Login;
  run->Callback = Callback;
  run->Results = results;

  auto thread = std::make_unique<platform::Thread>();
  if (!thread->Start([run] { RunQuery(run); })) return false;
  Results = results;
  Current = std::move(run);
  QueryThread = std::move(thread);
  return true;
}

void CCapabilityQuery::RunQuery(const std::shared_ptr<Run>& run) {
  struct EndMark {
    Run& Marked;
    ~EndMark() { Marked.Reported.store(true); }
  } endMark{*run};  // also when nothing was reported
  if (run->Callback == nullptr) return;
  int32_t errorCode = ipc::kCapabilityQueryError;
  try {
    CCameraPropertiesEx* properties = nullptr;
    try {
      properties = run->Adopt(std::make_unique<CQuenlarkCameraProperties>(run->Device));
    } catch (...) {
      run->Report(false, errorCode, kCreateFailed);
      return;
    }
    if (!properties->QueryProperties(&errorCode)) {
      run->Report(false, errorCode, kQueryFailed);
      return;
    }
    if (run->Abandoned.load()) return;
    if (properties->SaveProperties(run->Results)) {
      run->Report(true, 0, nullptr);
    } else {
      run->Report(false, errorCode, kSaveFailed);
    }
  } catch (...) {
    // A throwing host object ends the query with what it reached; nothing more is reported.
  }
}

void CCapabilityQuery::Terminate() {
  std::shared_ptr<Run> run;
  {
    CMutexLock guard(Lock);
    run = Current;
  }
  // The request in flight finishes: the query then reports what it has.
  if (run) run->Abort(false);
}

void CCapabilityQuery::Uninit() {
  Stop(false);
}

void CCapabilityQuery::Stop(bool silent) {
  std::shared_ptr<Run> run;
  std::unique_ptr<platform::Thread> thread;
  std::vector<std::unique_ptr<platform::Thread>> finishing;
  int timeoutMs = 0;
  {
    CMutexLock guard(Lock);
    run = std::move(Current);
    thread = std::move(QueryThread);
    finishing.swap(Finishing);
    Callback = nullptr;
    CallbackFlag = false;
    Results = nullptr;
    timeoutMs = JoinTimeoutMs;
  }
  if (run) {
    if (silent) run->Abandoned.store(true);
    // Uninit must not wait for a camera that does not answer.
    run->Abort(true);
  }
  // Joined outside the lock: the thread may be in a host callback that calls back into us. A
  // thread cannot join itself (Uninit from inside the callback); a later Uninit joins it, so it is
  // never left running module code that an unload could pull away.
  std::vector<std::unique_ptr<platform::Thread>> unjoined;
  if (thread) {
    if (thread->IsCurrent()) {
      unjoined.push_back(std::move(thread));
    } else if (!thread->JoinFor(timeoutMs)) {
      // Never killed: the thread keeps its Run (and the properties object) alive until it ends.
      if (run) run->Abandoned.store(true);
      thread->Detach();
    }
  }
  // These were in or past their callback already.
  for (auto& earlier : finishing) {
    if (earlier->IsCurrent()) {
      unjoined.push_back(std::move(earlier));
    } else if (!earlier->JoinFor(timeoutMs)) {
      earlier->Detach();
    }
  }
  if (!unjoined.empty()) {
    CMutexLock guard(Lock);
    for (auto& t : unjoined) Finishing.push_back(std::move(t));
  }
}

void CCapabilityQuery::SetJoinTimeoutMs(int ms) {
  CMutexLock guard(Lock);
  JoinTimeoutMs = ms;
}

CCapabilityQuery& ModuleCapabilityQuery() {
  static CCapabilityQuery query;
  return query;
}

}  // namespace korvalt
