#include "tools/hostkit/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include "platform/paths.h"

namespace hostkit {

Module::~Module() {
  if (Handle != nullptr) dlclose(Handle);
}

bool Module::Load(const std::string& path) {
  Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (Handle == nullptr) {
    const char* error = dlerror();
    LastError = error ? error : "dlopen failed";
    return false;
  }
  Create = reinterpret_cast<CreateIPCaptureFn>(Symbol("CreateIPCapture"));
  Delete = reinterpret_cast<DeleteIPCaptureFn>(Symbol("DeleteIPCapture"));
  if (Create == nullptr || Delete == nullptr) {
    LastError = "module lacks CreateIPCapture/DeleteIPCapture";
    return false;
  }
  InitQuery = reinterpret_cast<InitCapabilityQueryFn>(Symbol("InitCapabilityQuery"));
  StartQuery = reinterpret_cast<StartCapabilityQueryFn>(Symbol("StartCapabilityQuery"));
  TerminateQuery = reinterpret_cast<TerminateCapabilityQueryFn>(Symbol("TerminateCapabilityQuery"));
  UninitQuery = reinterpret_cast<UninitCapabilityQueryFn>(Symbol("UninitCapabilityQuery"));
  return true;
}

void* Module::Symbol(const char* name) const {
  return Handle ? dlsym(Handle, name) : nullptr;
}

std::string BesideExecutable(const std::string& name) {
  // The directory comes with its '/'; when it is unknown, the working directory stands in.
  const std::string directory = korvalt::platform::ExecutableDirectory();
  return (directory.empty() ? std::string("./") : directory) + name;
}

std::string DefaultModulePath() {
  // In a build tree the module sits beside the tools; installed, the tools are in bin/ and the
  // module in lib/.
  const std::string beside = BesideExecutable("libquenlark_ipcapture.so");
  if (access(beside.c_str(), F_OK) == 0) return beside;
  const std::string installed = BesideExecutable("../lib/libquenlark_ipcapture.so");
  return access(installed.c_str(), F_OK) == 0 ? installed : beside;
}

}  // namespace hostkit
