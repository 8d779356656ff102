#pragma once
// Functions exported by libquenlark_ipcapture.so, resolved by the recorder with dlsym.

#include "capability_query.h"  // InitCapabilityQuery ... UninitCapabilityQuery
#include "capture_driver.h"

extern "C" {

// Four names of one function: a new, unopened driver (all four interfaces at one pointer), or
// null when memory is short.
korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCapture();
korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx();
korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx2();
korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx3();

// Four names of one function: closes and destroys a driver made by any create export. Null is ignored.
void DeleteIPCapture(korvalt::ipcapture::IIPCaptureDriver* driver);
void DeleteIPCaptureEx(korvalt::ipcapture::IIPCaptureDriver* driver);
void DeleteIPCaptureEx2(korvalt::ipcapture::IIPCaptureDriver* driver);
void DeleteIPCaptureEx3(korvalt::ipcapture::IIPCaptureDriver* driver);

typedef korvalt::ipcapture::IIPCaptureDriverEx3* (*CreateIPCaptureFn)();
typedef void (*DeleteIPCaptureFn)(korvalt::ipcapture::IIPCaptureDriver*);
}
