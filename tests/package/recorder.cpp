// Loads the installed module the way a recorder does and makes one driver: prints the module's
// path on success, a reason on failure.
#include <quenlark/quenlark_ipcapture.h>
#include <cstdio>

#include "module_loader.h"

int main() {
  void* module = LoadModule(QUENLARK_MODULE);
  if (module == nullptr) {
    std::fprintf(stderr, "loading %s: %s\n", QUENLARK_MODULE, LastLoadError().c_str());
    return 1;
  }
  auto create = reinterpret_cast<CreateIPCaptureFn>(FindExport(module, "CreateIPCapture"));
  auto destroy = reinterpret_cast<DeleteIPCaptureFn>(FindExport(module, "DeleteIPCapture"));
  if (create == nullptr || destroy == nullptr) {
    std::fprintf(stderr, "%s lacks CreateIPCapture or DeleteIPCapture\n", QUENLARK_MODULE);
    return 1;
  }
  korvalt::ipcapture::IIPCaptureDriverEx3* driver = create();
  if (driver == nullptr) {
    std::fprintf(stderr, "CreateIPCapture returned null\n");
    return 1;
  }
  // An unopened driver has no capture object yet; the call goes through the vtable as laid out
  // in the installed headers.
  const bool unopened = driver->GetVideoCapture() == nullptr;
  destroy(driver);
  UnloadModule(module);
  if (!unopened) {
    std::fprintf(stderr, "GetVideoCapture answered before Open\n");
    return 1;
  }
  std::printf("%s\n", QUENLARK_MODULE);
  return 0;
}
