#include "media/channels/callback_gate.h"

namespace korvalt {
namespace {
// The gate whose call this thread is making, so that closing it from inside that call does not
// wait for itself.
thread_local const CCallbackGate* tInside = nullptr;
}  // namespace

CCallbackGate::CPass::CPass(CCallbackGate& gate) : Gate(&gate), Outer(tInside) {
  std::lock_guard<std::mutex> guard(gate.Lock);
  if (gate.IsClosed || gate.IsPaused) {
    Gate = nullptr;
    return;
  }
  ++gate.Calls;
  tInside = &gate;
}

CCallbackGate::CPass::~CPass() {
  if (Gate == nullptr) return;
  tInside = Outer;
  std::lock_guard<std::mutex> guard(Gate->Lock);
  --Gate->Calls;
  Gate->Left.notify_all();
}

void CCallbackGate::WaitForOtherCallers(std::unique_lock<std::mutex>& lock) {
  const uint32_t own = tInside == this ? 1 : 0;
  Left.wait(lock, [&] { return Calls <= own; });
}

void CCallbackGate::Close() {
  std::unique_lock<std::mutex> lock(Lock);
  IsClosed = true;
  WaitForOtherCallers(lock);
}

void CCallbackGate::Pause() {
  std::unique_lock<std::mutex> lock(Lock);
  IsPaused = true;
  WaitForOtherCallers(lock);
}

void CCallbackGate::Resume() {
  std::lock_guard<std::mutex> guard(Lock);
  IsPaused = false;
}

void CCallbackGate::Open() {
  std::lock_guard<std::mutex> guard(Lock);
  IsClosed = false;
  IsPaused = false;
}

bool CCallbackGate::Closed() const {
  std::lock_guard<std::mutex> guard(Lock);
  return IsClosed;
}

}  // namespace korvalt
