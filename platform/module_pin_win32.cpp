#include <windows.h>

#include "platform/module_pin.h"

namespace korvalt::platform {

ModulePin::ModulePin() {
  HMODULE module = nullptr;
  // Any address inside the module names it; without the unchanged-refcount flag the loader
  // counts one more reference, as a LoadLibrary of the module would.
  const auto anchor = reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ModulePin::Anchor));
  if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, anchor, &module) != 0) Handle = module;
}

ModulePin::~ModulePin() {
  if (Handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(Handle));
}

}  // namespace korvalt::platform
