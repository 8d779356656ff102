#include "ptz/base_ptz_comm.h"

#include <cstdarg>
#include <new>
#include <string>

#include "driver/idriver.h"
#include "platform/format.h"

namespace korvalt {
namespace {

uint32_t Flag(bool value) {
  return value ? 1u : 0u;
}
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
  Stop();
  Opened = false;
  return true;
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
  if (!PostWorkItem(item, kMaxQueueLength)) {
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
