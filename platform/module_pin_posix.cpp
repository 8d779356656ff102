#include "platform/module_pin.h"

#include <dlfcn.h>

namespace korvalt::platform {

ModulePin::ModulePin() {
  Dl_info info{};
  // Any address inside the module names it; RTLD_NOLOAD only counts one more reference.
  if (::dladdr(reinterpret_cast<const void*>(&ModulePin::Anchor), &info) != 0 && info.dli_fname != nullptr)
    Handle = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

ModulePin::~ModulePin() {
  if (Handle != nullptr) ::dlclose(Handle);
}

}  // namespace korvalt::platform
