// The module's C-linkage entry points. Nothing here may let an exception reach the host.

#include <new>

#include "driver/capability_query.h"
#include "driver/host/exports.h"
#include "driver/quenlark_ip_capture_driver.h"

#define QUENLARK_EXPORT extern "C" __attribute__((visibility("default")))

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
    delete driver;
  } catch (...) {
  }
}

}  // namespace

QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCapture() {
  return CreateDriver();
}
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx() {
  return CreateDriver();
}
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx2() {
  return CreateDriver();
}
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx3() {
  return CreateDriver();
}

QUENLARK_EXPORT void DeleteIPCapture(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}
QUENLARK_EXPORT void DeleteIPCaptureEx(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}
QUENLARK_EXPORT void DeleteIPCaptureEx2(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}
QUENLARK_EXPORT void DeleteIPCaptureEx3(korvalt::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriver(driver);
}

// Capability query: the state lives in the module-wide CCapabilityQuery.

QUENLARK_EXPORT int32_t InitCapabilityQuery(korvalt::ipcapture::ICapabilityQueryCallback* callback,
                                            int32_t flag) {
  try {
    return korvalt::ModuleCapabilityQuery().Init(callback, flag != 0) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

QUENLARK_EXPORT int32_t StartCapabilityQuery(const char* address, uint32_t port, const char* userName,
                                             const char* password,
                                             korvalt::ipcapture::ICapabilityResults* results) {
  try {
    return korvalt::ModuleCapabilityQuery().Start(address, port, userName, password, results) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

QUENLARK_EXPORT int32_t TerminateCapabilityQuery() {
  try {
    korvalt::ModuleCapabilityQuery().Terminate();
  } catch (...) {
  }
  return 1;
}

QUENLARK_EXPORT int32_t UninitCapabilityQuery() {
  try {
    korvalt::ModuleCapabilityQuery().Uninit();
  } catch (...) {
  }
  return 1;
}
