#include "tools/hostkit/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

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

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return ".";
  const std::string self(buffer, static_cast<size_t>(n));
  return self.substr(0, self.rfind('/'));
}

std::string DefaultModulePath() {
  return ExecutableDirectory() + "/libquenlark_ipcapture.so";
}

}  // namespace hostkit
