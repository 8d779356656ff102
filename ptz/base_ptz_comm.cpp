#include "ptz/base_ptz_comm.h"

#include <algorithm>
#include <cstdarg>
#include <iterator>
#include <new>
#include <string>

#include "driver/idriver.h"
#include "platform/format.h"

namespace korvalt {
namespace {

uint32_t Flag(bool value) {
  return value ? 1u : 0u;
}

// Not a camera command: marks a preset request's place in the queue.
constexpr int32_t kCommandPresetBarrier = 0;

enum Phase : int { kWaiting, kReached, kGone };

// Continuous commands replace the one before them of the same kind; -1 for the others.
int KindOf(const CBasePTZComm::CWorkItem& item) {
  switch (item.Command) {
    case CBasePTZComm::kCommandMove:
      return item.Param1 == ipcapture::kPtzZoomIn || item.Param1 == ipcapture::kPtzZoomOut ? 1 : 0;
    case CBasePTZComm::kCommandFocus:
      return 2;
    case CBasePTZComm::kCommandIris:
      return 3;
    case CBasePTZComm::kCommandStop:
      switch (item.Subtype) {
        case CBasePTZComm::kStopMoving:
          return 0;
        case CBasePTZComm::kStopZooming:
          return 1;
        case CBasePTZComm::kStopFocusing:
          return 2;
        case CBasePTZComm::kStopIris:
          return 3;
        default:
          return -1;
      }
    default:
      return -1;
  }
}

// Commands whose effect on the camera's position a go-to-preset replaces.
bool MovesTheCamera(const CBasePTZComm::CWorkItem& item) {
  const int kind = KindOf(item);
  return kind == 0 || kind == 1 || item.Command == CBasePTZComm::kCommandAreaZoom ||
         item.Command == CBasePTZComm::kCommandCenter || item.Command == CBasePTZComm::kCommandUnzoom;
}
}  // namespace

// A preset request's place in the queue, shared by the request and its queue item: the item may
// be dropped (queue limit) or cleared (Close) while the request waits.
struct CBasePTZComm::Barrier {
  uint64_t Sequence = 0;
  PresetOrder Order = PresetOrder::kAfterQueued;
  uint64_t Last[kKinds] = {};  // LastOfKind when the request arrived
  // A mutex and a condition, not std::atomic::wait: MinGW's libstdc++ 12 has no native wait and
  // its fallback can lose a notification, which left a preset request waiting for ever.
  CMutex PhaseLock;
  std::condition_variable_any PhaseChanged;
  int Phase QL_GUARDED_BY(PhaseLock) = kWaiting;

  void Leave(int phase) {
    {
      CMutexLock guard(PhaseLock);
      if (Phase != kWaiting) return;
      Phase = phase;
    }
    PhaseChanged.notify_all();
  }
  // Until the worker reached the barrier or the barrier is gone; then which of the two.
  int Wait() {
    CMutexLock guard(PhaseLock);
    PhaseChanged.wait(PhaseLock, [&]() QL_REQUIRES(PhaseLock) { return Phase != kWaiting; });
    return Phase;
  }
};

namespace {
// The queue item of a Barrier: the worker parks on it while the preset request runs.
class CBarrierItem : public CBasePTZComm::CWorkItem {
 public:
  explicit CBarrierItem(std::shared_ptr<CBasePTZComm::Barrier> barrier)
      : CWorkItem(kCommandPresetBarrier, 0, nullptr, 0, 0, 0, 0), Place(std::move(barrier)) {}
  ~CBarrierItem() override { Place->Leave(kGone); }

  const std::shared_ptr<CBasePTZComm::Barrier> Place;
};
}  // namespace

CBasePTZComm::CBasePTZComm(IDriver* sink, const CPtzCapabilities& capabilities, uint16_t channel)
    : Sink(sink), Channel(channel), Capabilities(capabilities) {
  SetDiagnostics(sink);
}

CBasePTZComm::~CBasePTZComm() {
  // Owners close first; this only catches the one that forgot, before the vendor part is gone.
  if (Opened) Close();
}

bool CBasePTZComm::Open() {
  if (!Opened) {
    ResumeRequests();
    OpenGate(false);
    Opened = Start(platform::Format("BaseIPPTZThread_Ch%u", unsigned{Channel} + 1));
  }
  if (!Opened) {
    DebugMessage(ipcapture::kDebugLevelError, "%s: unable to start thread for PTZ channel %u",
                 "korvalt::CBasePTZComm::Open", unsigned{Channel} + 1);
  }
  return Opened;
}

bool CBasePTZComm::Close() {
  if (!Opened) return false;
  AbortRequests();
  OpenGate(true);
  Stop();
  Opened = false;
  return true;
}

void CBasePTZComm::OpenGate(bool stopping) {
  CMutexLock guard(GateLock);
  Stopping = stopping;
  if (stopping && ActiveBarrier) ActiveBarrier->Leave(kGone);
  GateChanged.notify_all();
}

bool CBasePTZComm::Superseded(const CWorkItem& item) const {
  const Barrier& barrier = *ActiveBarrier;
  if (barrier.Order == PresetOrder::kReplacesMotion && MovesTheCamera(item)) return true;
  const int kind = KindOf(item);
  return kind >= 0 && item.Sequence < barrier.Last[kind];
}

void CBasePTZComm::BeginPreset(PresetOrder order) {
  std::shared_ptr<Barrier> barrier;
  {
    CMutexLock guard(GateLock);
    // One preset request at a time; the list serialises them already.
    GateChanged.wait(GateLock, [&]() QL_REQUIRES(GateLock) { return Stopping || !PresetActive; });
    PresetActive = true;
    if (order != PresetOrder::kIndependent && Opened.load() && !Stopping) {
      barrier = std::make_shared<Barrier>();
      barrier->Order = order;
      std::copy(std::begin(LastOfKind), std::end(LastOfKind), std::begin(barrier->Last));
      barrier->Sequence = NextSequence++;
      ActiveBarrier = barrier;
      // Dropped when the worker is gone: the request then only waits for the one in flight.
      auto* item = new (std::nothrow) CBarrierItem(barrier);
      if (item == nullptr || !PostWorkItem(item, kMaxQueueLength)) {
        ActiveBarrier.reset();
        barrier.reset();
      }
    }
  }
  // The worker sends what was queued before, skipping what the request supersedes, and waits
  // at the barrier; or the barrier was dropped or the executor is closing.
  const int phase = barrier ? barrier->Wait() : kGone;
  CMutexLock guard(GateLock);
  if (barrier && phase == kGone) ActiveBarrier.reset();
  // Without a barrier the worker parks before its next item: only the one in flight is waited for.
  GateChanged.wait(GateLock, [&]() QL_REQUIRES(GateLock) { return Stopping || !WorkerBusy; });
}

void CBasePTZComm::EndPreset() {
  CMutexLock guard(GateLock);
  PresetActive = false;
  ActiveBarrier.reset();
  GateChanged.notify_all();
}

bool CBasePTZComm::BeginItem(const CWorkItem& item) {
  CMutexLock guard(GateLock);
  if (const auto* barrier = dynamic_cast<const CBarrierItem*>(&item)) {
    barrier->Place->Leave(kReached);
    // Parked here while the preset request runs: nothing overtakes it.
    GateChanged.wait(GateLock, [&]() QL_REQUIRES(GateLock) {
      return Stopping || !PresetActive || ActiveBarrier != barrier->Place;
    });
    return false;
  }
  for (;;) {
    if (Stopping) return false;
    if (!PresetActive) break;
    // Queued before the waiting preset request: sent first, unless superseded.
    if (ActiveBarrier && item.Sequence < ActiveBarrier->Sequence) {
      if (Superseded(item)) return false;
      break;
    }
    GateChanged.wait(GateLock);
  }
  WorkerBusy = true;
  return true;
}

void CBasePTZComm::EndItem() {
  CMutexLock guard(GateLock);
  WorkerBusy = false;
  GateChanged.notify_all();
}

CBasePTZComm::CPresetTurn::CPresetTurn(CBasePTZComm& comm, PresetOrder order) : Comm(comm) {
  Comm.BeginPreset(order);
}

CBasePTZComm::CPresetTurn::~CPresetTurn() {
  Comm.EndPreset();
}

CBasePTZComm::CItemTurn::CItemTurn(CBasePTZComm& comm, const CWorkItem& item) : Comm(comm) {
  Sending = Comm.BeginItem(item);
}

CBasePTZComm::CItemTurn::~CItemTurn() {
  if (Sending) Comm.EndItem();
}

bool CBasePTZComm::HasAnyPTZFunction(ipcapture::IIPParams* /*ignored*/) {
  return Capabilities.CanPan || Capabilities.CanTilt || Capabilities.CanZoom || Capabilities.CanFocus ||
         Capabilities.CanIris;
}

int CBasePTZComm::GetCapabilities(ipcapture::PTZ_CAPABILITIES* record) {
  if (record == nullptr) return kQueued;
  record->CanPan = Flag(Capabilities.CanPan);
  record->CanTilt = Flag(Capabilities.CanTilt);
  record->CanZoom = Flag(Capabilities.CanZoom);
  record->CanFocus = Flag(Capabilities.CanFocus);
  record->CanIris = Flag(Capabilities.CanIris);
  record->Reserved24 = 0;
  record->MaxPrepositions = Capabilities.MaxPrepositions;
  record->PrepositionCount = 0;
  record->Reserved36 = 0;
  record->Reserved40 = 0;
  record->CanAreaZoom = Flag(Capabilities.CanAreaZoom);
  record->CanCenter = Flag(Capabilities.CanCenter);
  record->CanUnzoom = Flag(Capabilities.CanUnzoom);
  return kQueued;
}

int CBasePTZComm::Post(const char* origin, CWorkItem* item) {
  if (item == nullptr) return kNotPosted;
  const int32_t command = item->Command;
  bool posted = false;
  {
    // Numbered and queued under one lock: queue order is numbering order.
    CMutexLock guard(GateLock);
    item->Sequence = NextSequence++;
    const int kind = KindOf(*item);
    if (kind >= 0) LastOfKind[kind] = item->Sequence;
    posted = PostWorkItem(item, kMaxQueueLength);
  }
  if (!posted) {
    DebugMessage(ipcapture::kDebugLevelError, "%s: cannot send message (%d) to thread", origin, command);
    return kNotPosted;
  }
  return kQueued;
}

int CBasePTZComm::StartMove(ipcapture::IIPParams* issuer, int32_t direction, int32_t speed) {
  if (!Capabilities.CanPan && !Capabilities.CanTilt) return kNotSupported;
  return Post("korvalt::CBasePTZComm::StartMove",
              new (std::nothrow) CWorkItem(kCommandMove, 0, issuer, speed, direction, 0, 0));
}

int CBasePTZComm::StartFocus(ipcapture::IIPParams* issuer, bool positive, int32_t speed) {
  if (!Capabilities.CanFocus) return kNotSupported;
  return Post("korvalt::CBasePTZComm::StartFocus",
              new (std::nothrow)
                  CWorkItem(kCommandFocus, positive ? kFocusFar : kFocusNear, issuer, speed, 0, 0, 0));
}

int CBasePTZComm::StartIris(ipcapture::IIPParams* issuer, bool positive, int32_t speed) {
  if (!Capabilities.CanIris) return kNotSupported;
  return Post("korvalt::CBasePTZComm::StartIris",
              new (std::nothrow)
                  CWorkItem(kCommandIris, positive ? kIrisOpen : kIrisClose, issuer, speed, 0, 0, 0));
}

int CBasePTZComm::AreaZoom(ipcapture::IIPParams* issuer, int32_t a, int32_t b, int32_t c, int32_t d) {
  if (!Capabilities.CanAreaZoom) return kNotSupported;
  return Post("korvalt::CBasePTZComm::AreaZoom",
              new (std::nothrow) CWorkItem(kCommandAreaZoom, 0, issuer, d, a, b, c));
}

int CBasePTZComm::Center(ipcapture::IIPParams* issuer, int32_t a, int32_t b, int32_t c) {
  if (!Capabilities.CanCenter) return kNotSupported;
  return Post("korvalt::CBasePTZComm::Center",
              new (std::nothrow) CWorkItem(kCommandCenter, 0, issuer, c, a, b, 0));
}

int CBasePTZComm::Unzoom(ipcapture::IIPParams* issuer, int32_t a) {
  if (!Capabilities.CanUnzoom) return kNotSupported;
  return Post("korvalt::CBasePTZComm::Unzoom",
              new (std::nothrow) CWorkItem(kCommandUnzoom, 0, issuer, a, 0, 0, 0));
}

bool CBasePTZComm::StopMoving(ipcapture::IIPParams* issuer) {
  return Post("korvalt::CBasePTZComm::StopMoving",
              new (std::nothrow) CWorkItem(kCommandStop, kStopMoving, issuer, 0, 0, 0, 0)) == kQueued;
}

bool CBasePTZComm::StopZooming(ipcapture::IIPParams* issuer) {
  return Post("korvalt::CBasePTZComm::StopZooming",
              new (std::nothrow) CWorkItem(kCommandStop, kStopZooming, issuer, 0, 0, 0, 0)) == kQueued;
}

bool CBasePTZComm::StopFocusing(ipcapture::IIPParams* issuer) {
  return Post("korvalt::CBasePTZComm::StopFocusing",
              new (std::nothrow) CWorkItem(kCommandStop, kStopFocusing, issuer, 0, 0, 0, 0)) == kQueued;
}

bool CBasePTZComm::StopIrisChanging(ipcapture::IIPParams* issuer) {
  return Post("korvalt::CBasePTZComm::StopIrisChanging",
              new (std::nothrow) CWorkItem(kCommandStop, kStopIris, issuer, 0, 0, 0, 0)) == kQueued;
}

void CBasePTZComm::DebugMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = platform::FormatV(format, args);
  va_end(args);
  if (Sink != nullptr) Sink->DebugMessage(level, "%s", text.c_str());
}

}  // namespace korvalt
