#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>

#include "driver/host/ptz.h"
#include "ptz/preposition_comm.h"
#include "ptz/ptz_capabilities.h"
#include "thread/annotated_mutex.h"
#include "thread/work_item_thread_ex.h"

namespace korvalt {

class IDriver;

// The PTZ command executor of one channel. Host calls return at once: each movement, focus,
// iris or stop request becomes a work item that the channel's own thread hands to the vendor's
// HandleWorkItem, strictly in the order posted. Preset requests are synchronous (IPrepositionComm)
// and share the camera connection with the worker; the preset gate orders them with the queue:
//
// - A preset request waits for the request in flight, never for work queued after it started.
// - Storing a preset comes after the work queued before it (so a preset stored right after
//   StopAll is stored where the camera stopped). Of the continuous commands queued before it only
//   the last of each kind (pan/tilt, zoom, focus, iris) is still sent: each replaces the one
//   before it, so the others would only keep the preset call waiting on a slow camera.
// - Going to a preset also skips the queued pan, tilt, zoom and positioning commands before it:
//   the camera drives to the preset anyway.
// - Deleting a preset has nothing to do with the camera's position: it waits only for the
//   request in flight, and the queue resumes after it.
class CBasePTZComm : public CWorkItemThreadEx, public IPrepositionComm {
 public:
  static constexpr uint32_t kMaxQueueLength = 16;  // beyond it the oldest pending item is dropped
  // Request results, in the host's PTZ codes.
  static constexpr int kQueued = ipcapture::kPtzSuccess;
  static constexpr int kNotSupported = ipcapture::kPtzNotSupported;
  static constexpr int kNotPosted = ipcapture::kPtzNotAvailable;

  // Command identifiers of CWorkItem.
  static constexpr int32_t kCommandMove = 1;
  static constexpr int32_t kCommandFocus = 2;
  static constexpr int32_t kCommandIris = 3;
  static constexpr int32_t kCommandStop = 4;
  static constexpr int32_t kCommandAreaZoom = 5;
  static constexpr int32_t kCommandCenter = 6;
  static constexpr int32_t kCommandUnzoom = 7;
  // Subtypes.
  static constexpr int32_t kFocusNear = 1;
  static constexpr int32_t kFocusFar = 2;
  static constexpr int32_t kIrisOpen = 3;
  static constexpr int32_t kIrisClose = 4;
  static constexpr int32_t kStopMoving = 5;
  static constexpr int32_t kStopZooming = 6;
  static constexpr int32_t kStopFocusing = 7;
  static constexpr int32_t kStopIris = 8;

  class CWorkItem : public CWorkItemThreadEx::IWorkItem {
   public:
    CWorkItem(int32_t command, int32_t subtype, ipcapture::IIPParams* issuer, int32_t speed, int32_t param1,
              int32_t param2, int32_t param3)
        : Command(command),
          Subtype(subtype),
          Issuer(issuer),
          Speed(speed),
          Param1(param1),
          Param2(param2),
          Param3(param3) {}

    int32_t Command;
    int32_t Subtype;
    ipcapture::IIPParams* Issuer;  // the issuing control; carried, never dereferenced here
    int32_t Speed;                 // the request's last numeric argument
    int32_t Param1;
    int32_t Param2;
    int32_t Param3;
    uint64_t Sequence = 0;  // order of posting, given by Post
  };

  // How a preset request relates to the work queued before it (see the class comment).
  enum class PresetOrder { kAfterQueued, kReplacesMotion, kIndependent };
  struct Barrier;  // a preset request's place in the queue; private to the implementation

  // sink is borrowed for the executor's life.
  CBasePTZComm(IDriver* sink, const CPtzCapabilities& capabilities, uint16_t channel);
  ~CBasePTZComm() override;

  virtual bool Open();
  virtual bool Close();
  virtual bool HasAnyPTZFunction(ipcapture::IIPParams* ignored);
  // Fills every field but the first; always 1.
  virtual int GetCapabilities(ipcapture::PTZ_CAPABILITIES* record);

  // Requests: kQueued, kNotSupported (nothing logged) or kNotPosted.
  int StartMove(ipcapture::IIPParams* issuer, int32_t direction, int32_t speed);
  int StartFocus(ipcapture::IIPParams* issuer, bool positive, int32_t speed);
  int StartIris(ipcapture::IIPParams* issuer, bool positive, int32_t speed);
  int AreaZoom(ipcapture::IIPParams* issuer, int32_t a, int32_t b, int32_t c, int32_t d);
  int Center(ipcapture::IIPParams* issuer, int32_t a, int32_t b, int32_t c);
  int Unzoom(ipcapture::IIPParams* issuer, int32_t a);
  bool StopMoving(ipcapture::IIPParams* issuer);
  bool StopZooming(ipcapture::IIPParams* issuer);
  bool StopFocusing(ipcapture::IIPParams* issuer);
  bool StopIrisChanging(ipcapture::IIPParams* issuer);

  // Formats the line and forwards the finished text to Sink as "%s".
  void DebugMessage(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));

  const CPtzCapabilities& GetPtzCapabilities() const { return Capabilities; }
  uint16_t GetChannel() const { return Channel; }

 protected:
  // Ends requests in flight at once, so that Close never waits for a camera that stalls.
  virtual void AbortRequests() {}
  virtual void ResumeRequests() {}

  // Held by the vendor around each preset request, on the calling host thread: waits until the
  // camera may take it.
  class CPresetTurn {
   public:
    CPresetTurn(CBasePTZComm& comm, PresetOrder order);
    ~CPresetTurn();
    CPresetTurn(const CPresetTurn&) = delete;
    CPresetTurn& operator=(const CPresetTurn&) = delete;

   private:
    CBasePTZComm& Comm;
  };
  // Held by the vendor's HandleWorkItem around each item, on the worker: the item's request is
  // sent only when Go() is true (false for a superseded item and for the gate's own items).
  class CItemTurn {
   public:
    CItemTurn(CBasePTZComm& comm, const CWorkItem& item);
    ~CItemTurn();
    CItemTurn(const CItemTurn&) = delete;
    CItemTurn& operator=(const CItemTurn&) = delete;
    bool Go() const { return Sending; }

   private:
    CBasePTZComm& Comm;
    bool Sending = false;
  };

  IDriver* const Sink;

 private:
  static constexpr size_t kKinds = 4;  // pan/tilt, zoom, focus, iris

  int Post(const char* origin, CWorkItem* item);
  void BeginPreset(PresetOrder order);
  void EndPreset();
  bool BeginItem(const CWorkItem& item);
  void EndItem();
  // Wakes every wait of the gate for good (until the next Open).
  void OpenGate(bool stopping);
  bool Superseded(const CWorkItem& item) const QL_REQUIRES(GateLock);

  const uint16_t Channel;
  const CPtzCapabilities Capabilities;
  std::atomic<bool> Opened{false};  // changed by the owning control's thread; read by preset calls

  CMutex GateLock;  // guards the gate below; never held across a camera request
  std::condition_variable_any GateChanged;
  uint64_t NextSequence QL_GUARDED_BY(GateLock) = 1;
  uint64_t LastOfKind[kKinds] QL_GUARDED_BY(GateLock) = {};  // sequence of the last item posted per kind
  bool Stopping QL_GUARDED_BY(GateLock) = false;             // closed: no wait of the gate holds
  bool WorkerBusy QL_GUARDED_BY(GateLock) = false;           // the worker is sending an item
  bool PresetActive QL_GUARDED_BY(GateLock) = false;         // a preset request waits or runs
  // The active preset request's place in the queue; null when it has none.
  std::shared_ptr<Barrier> ActiveBarrier QL_GUARDED_BY(GateLock);
};

}  // namespace korvalt
