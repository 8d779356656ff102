#pragma once
// Functions exported by libquenlark_ipcapture.so (quenlark_ipcapture.dll), resolved by the recorder
// with dlsym (GetProcAddress). Their calling convention on 32-bit Windows: abi.h.

#include "capability_query.h"  // InitCapabilityQuery ... UninitCapabilityQuery
#include "capture_driver.h"

extern "C" {

// Four names of one function: a new, unopened driver (all four interfaces at one pointer), or
// null when memory is short.
korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCapture();
korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCaptureEx();
korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCaptureEx2();
korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCaptureEx3();

// Four names of one function: closes and destroys a driver made by any create export. Null is ignored.
void QUENLARK_CALL DeleteIPCapture(korvalt::ipcapture::IIPCaptureDriver* driver);
void QUENLARK_CALL DeleteIPCaptureEx(korvalt::ipcapture::IIPCaptureDriver* driver);
void QUENLARK_CALL DeleteIPCaptureEx2(korvalt::ipcapture::IIPCaptureDriver* driver);
void QUENLARK_CALL DeleteIPCaptureEx3(korvalt::ipcapture::IIPCaptureDriver* driver);

typedef korvalt::ipcapture::IIPCaptureDriverEx3*(QUENLARK_CALL* CreateIPCaptureFn)();
typedef void(QUENLARK_CALL* DeleteIPCaptureFn)(korvalt::ipcapture::IIPCaptureDriver*);
}
