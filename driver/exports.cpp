// The module's C-linkage entry points. Nothing here may let an exception reach the host.

#include <new>

#include "driver/capability_query.h"
#include "driver/host/exports.h"
#include "driver/host_destructor.h"
#include "driver/quenlark_ip_capture_driver.h"

// Linux: default visibility (the rest of the module is hidden); Windows: the .def file exports.
#define QUENLARK_EXPORT extern "C" QUENLARK_EXPORT_ATTRIBUTE

namespace {

korvalt::ipcapture::IIPCaptureDriverEx3* CreateDriver() noexcept {
  try {
    return new (std::nothrow) korvalt::CQuenlarkIPCaptureDriver();
  } catch (...) {
    return nullptr;
  }
}

void DeleteDriver(korvalt::ipcapture::IIPCaptureDriver* driver) noexcept {
  try {
    korvalt::DeleteThroughHostInterface(driver);
  } catch (...) {
  }
}

}  // namespace

QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCapture() {
  return CreateDriver();
}
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCaptureEx() {
  return CreateDriver();
}
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCaptureEx2() {
  return CreateDriver();
}
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* QUENLARK_CALL CreateIPCaptureEx3() {
  return CreateDriver();
}

QUENLARK_EXPORT void QUENLARK_CALL DeleteIPCapture(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}
QUENLARK_EXPORT void QUENLARK_CALL DeleteIPCaptureEx(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}
QUENLARK_EXPORT void QUENLARK_CALL DeleteIPCaptureEx2(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}
QUENLARK_EXPORT void QUENLARK_CALL DeleteIPCaptureEx3(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}

// Capability query: the state lives in the module-wide CCapabilityQuery.

QUENLARK_EXPORT int32_t QUENLARK_CALL
InitCapabilityQuery(korvalt::ipcapture::ICapabilityQueryCallback* callback, int32_t flag) {
  try {
    return korvalt::ModuleCapabilityQuery().Init(callback, flag != 0) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

QUENLARK_EXPORT int32_t QUENLARK_CALL StartCapabilityQuery(const char* address, uint32_t port,
                                                           const char* userName, const char* password,
                                                           korvalt::ipcapture::ICapabilityResults* results) {
  try {
    return korvalt::ModuleCapabilityQuery().Start(address, port, userName, password, results) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

QUENLARK_EXPORT int32_t QUENLARK_CALL TerminateCapabilityQuery() {
  try {
    korvalt::ModuleCapabilityQuery().Terminate();
  } catch (...) {
  }
  return 1;
}

QUENLARK_EXPORT int32_t QUENLARK_CALL UninitCapabilityQuery() {
  try {
    korvalt::ModuleCapabilityQuery().Uninit();
  } catch (...) {
  }
  return 1;
}
