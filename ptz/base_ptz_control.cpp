#include "ptz/base_ptz_control.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "ptz/base_ptz_comm.h"

namespace korvalt {
namespace ipc = ipcapture;

namespace {
// Copies name with its terminating zero; names are never truncated.
int32_t CopyName(const std::string& name, char* buffer, uint32_t size) {
  if (buffer == nullptr || name.size() >= size) return ipc::kPtzInvalidArgument;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return ipc::kPtzSuccess;
}
// Counts one host call for the length of its scope.
class CallScope {
 public:
  explicit CallScope(std::atomic<int32_t>& calls) : Calls(calls) { Calls.fetch_add(1); }
  ~CallScope() { Calls.fetch_sub(1); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  std::atomic<int32_t>& Calls;
};
}  // namespace

CBasePTZControl::CBasePTZControl(IDriver* driver, int32_t channel)
    : Driver(driver), ChannelIndex(channel), Prepositions(channel) {}

CBasePTZControl::~CBasePTZControl() {
  // The executor goes first: its thread and its camera requests must end before the preset
  // list that uses it as camera interface is destroyed.
  try {
    CBasePTZControl::ReleaseComm();
  } catch (...) {
  }
}

void CBasePTZControl::ReleaseComm() {
  if (!Comm) return;
  // Close aborts the requests in flight, so host calls still inside end promptly.
  Comm->Close();
  while (ActiveCalls.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Comm.reset();
}

bool CBasePTZControl::Initialize(TSmartPtr<CXMLPrepositionReader> reader) {
  try {
    Comm.reset(CreateComm());
    if (Comm && Comm->Open() && reader) {
      Prepositions.SetPresetComm(Comm.get());
      Prepositions.SetMaxPrepositions(Comm->GetPtzCapabilities().MaxPrepositions);
      Prepositions.Initialize(reader);
      reader.Reset();
      return true;
    }
    ReleaseComm();
  } catch (...) {
    ReleaseComm();
  }
  reader.Reset();
  return false;
}

int32_t CBasePTZControl::HasAnyPTZFunction() {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  return Comm->HasAnyPTZFunction(this) ? 1 : 0;
}

int32_t CBasePTZControl::Move(int32_t direction, int32_t speed) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  if (direction == ipc::kPtzMoveReserved) return ipc::kPtzInvalidArgument;
  const int32_t result = Comm->StartMove(this, direction, speed);
  if (result == ipc::kPtzSuccess) {
    Prepositions.ResetCurrent();
    if (direction == ipc::kPtzZoomIn || direction == ipc::kPtzZoomOut) {
      Zooming.store(true);
    } else {
      Moving.store(true);
    }
  }
  return result;
}

int32_t CBasePTZControl::StopAll() {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  bool ok = true;
  // Fixed order: moving, zooming, iris, focusing. A flag whose stop was not posted stays set,
  // so the next StopAll tries it again.
  if (Moving.load()) {
    const bool posted = Comm->StopMoving(this);
    Moving.store(!posted);
    ok = posted;
  }
  if (Zooming.load()) {
    const bool posted = Comm->StopZooming(this);
    Zooming.store(!posted);
    ok = ok && posted;
  }
  if (IrisChanging.load()) {
    const bool posted = Comm->StopIrisChanging(this);
    IrisChanging.store(!posted);
    ok = ok && posted;
  }
  if (Focusing.load()) {
    const bool posted = Comm->StopFocusing(this);
    Focusing.store(!posted);
    ok = ok && posted;
  }
  return ok ? ipc::kPtzSuccess : ipc::kPtzNotAvailable;
}

int32_t CBasePTZControl::Center(int32_t a, int32_t b, int32_t c) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  const int32_t result = Comm->Center(this, a, b, c);
  if (result == ipc::kPtzSuccess) Prepositions.ResetCurrent();
  return result;
}

int32_t CBasePTZControl::StartZoom(int32_t direction, int32_t speed) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  const int32_t result = Comm->StartMove(this, direction, speed);
  if (result == ipc::kPtzSuccess) {
    Zooming.store(true);
    Prepositions.ResetCurrent();
  }
  return result;
}

int32_t CBasePTZControl::ZoomIn(int32_t speed) {
  return StartZoom(ipc::kPtzZoomIn, speed);
}

int32_t CBasePTZControl::ZoomOut(int32_t speed) {
  return StartZoom(ipc::kPtzZoomOut, speed);
}

int32_t CBasePTZControl::Unzoom(int32_t a) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  const int32_t result = Comm->Unzoom(this, a);
  if (result == ipc::kPtzSuccess) Prepositions.ResetCurrent();
  return result;
}

int32_t CBasePTZControl::AreaZoom(int32_t a, int32_t b, int32_t c, int32_t d) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  const int32_t result = Comm->AreaZoom(this, a, b, c, d);
  if (result == ipc::kPtzSuccess) Prepositions.ResetCurrent();
  return result;
}

int32_t CBasePTZControl::StartFocus(bool positive, int32_t speed) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  const int32_t result = Comm->StartFocus(this, positive, speed);
  if (result == ipc::kPtzSuccess) {
    Focusing.store(true);
    Prepositions.ResetCurrent();
  }
  return result;
}

int32_t CBasePTZControl::FocusPlus(int32_t speed) {
  return StartFocus(true, speed);
}

int32_t CBasePTZControl::FocusMinus(int32_t speed) {
  return StartFocus(false, speed);
}

int32_t CBasePTZControl::StartIris(bool positive, int32_t speed) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  const int32_t result = Comm->StartIris(this, positive, speed);
  if (result == ipc::kPtzSuccess) {
    IrisChanging.store(true);
    Prepositions.ResetCurrent();
  }
  return result;
}

int32_t CBasePTZControl::IrisPlus(int32_t speed) {
  return StartIris(true, speed);
}

int32_t CBasePTZControl::IrisMinus(int32_t speed) {
  return StartIris(false, speed);
}

int32_t CBasePTZControl::GetCapabilities(ipc::PTZ_CAPABILITIES* record) {
  const CallScope scope(ActiveCalls);
  if (!Comm) return ipc::kPtzNotAvailable;
  if (record == nullptr) return ipc::kPtzInvalidArgument;
  const int32_t result = Comm->GetCapabilities(record);
  if (result == ipc::kPtzSuccess) {
    record->MaxPrepositions = Prepositions.GetMaxPrepositions();
    record->PrepositionCount = static_cast<uint32_t>(Prepositions.Count());
  }
  return result;
}

int32_t CBasePTZControl::GetPrepositionCount() {
  const CallScope scope(ActiveCalls);
  return Prepositions.Count();
}

int32_t CBasePTZControl::GetPrepositionName(int32_t index, char* buffer, uint32_t size) {
  const CallScope scope(ActiveCalls);
  try {
    std::string name;
    if (!Prepositions.GetName(index, name)) return ipc::kPtzPresetFailed;
    return CopyName(name, buffer, size);
  } catch (...) {
    return ipc::kPtzPresetFailed;
  }
}

int32_t CBasePTZControl::GotoPreposition(int32_t param, const char* name) {
  const CallScope scope(ActiveCalls);
  if (name == nullptr) return ipc::kPtzInvalidArgument;
  try {
    return Prepositions.Goto(name, param) ? ipc::kPtzSuccess : ipc::kPtzPresetFailed;
  } catch (...) {
    return ipc::kPtzPresetFailed;
  }
}

int32_t CBasePTZControl::AddPreposition(const char* name) {
  const CallScope scope(ActiveCalls);
  if (name == nullptr) return ipc::kPtzInvalidArgument;
  try {
    return Prepositions.AddPreposition(name);
  } catch (...) {
    return ipc::kPtzNotAvailable;
  }
}

int32_t CBasePTZControl::RemovePreposition(const char* name) {
  const CallScope scope(ActiveCalls);
  if (name == nullptr) return ipc::kPtzInvalidArgument;
  try {
    return Prepositions.Remove(name) ? ipc::kPtzSuccess : ipc::kPtzPresetFailed;
  } catch (...) {
    return ipc::kPtzPresetFailed;
  }
}

int32_t CBasePTZControl::GetCurrentPreposition(char* buffer, uint32_t size) {
  const CallScope scope(ActiveCalls);
  try {
    std::string name;
    if (!Prepositions.GetCurrentName(name)) return ipc::kPtzPresetFailed;
    return CopyName(name, buffer, size);
  } catch (...) {
    return ipc::kPtzPresetFailed;
  }
}

bool CBasePTZControl::QueryFeature(int32_t value) {
  return value == 1;
}

}  // namespace korvalt
