#pragma once

#include <cstdint>

#include "driver/host/ptz.h"
#include "ptz/preposition_comm.h"
#include "ptz/ptz_capabilities.h"
#include "thread/work_item_thread_ex.h"

namespace korvalt {

class IDriver;

// The PTZ command executor of one channel. Host calls return at once: each movement, focus,
// iris or stop request becomes a work item that the channel's own thread hands to the vendor's
// HandleWorkItem, strictly in the order posted. Preset requests are synchronous (IPrepositionComm).
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
  };

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

  IDriver* const Sink;

 private:
  int Post(const char* origin, CWorkItem* item);

  const uint16_t Channel;
  const CPtzCapabilities Capabilities;
  bool Opened = false;  // changed by the owning control's thread only
};

}  // namespace korvalt
