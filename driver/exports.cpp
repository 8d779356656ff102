// The module's C-linkage entry points. Nothing here may let an exception reach the host.

#include <new>

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

QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCapture() { return CreateDriver(); }
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx() { return CreateDriver(); }
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx2() { return CreateDriver(); }
QUENLARK_EXPORT korvalt::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx3() { return CreateDriver(); }

QUENLARK_EXPORT void DeleteIPCapture(korvalt::ipcapture::IIPCaptureDriver* driver) { DeleteDriver(driver); }
QUENLARK_EXPORT void DeleteIPCaptureEx(korvalt::ipcapture::IIPCaptureDriver* driver) { DeleteDriver(driver); }
QUENLARK_EXPORT void DeleteIPCaptureEx2(korvalt::ipcapture::IIPCaptureDriver* driver) { DeleteDriver(driver); }
QUENLARK_EXPORT void DeleteIPCaptureEx3(korvalt::ipcapture::IIPCaptureDriver* driver) { DeleteDriver(driver); }
