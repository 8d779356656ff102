#pragma once

namespace korvalt::platform {

// Keeps the module that holds this code loaded for the pin's life: a host that unloads the
// module meanwhile only drops its own reference. For threads that the module cannot end when it
// is told to (a system call that cannot be interrupted): the code they return into stays mapped.
class ModulePin {
 public:
  ModulePin();
  ~ModulePin();
  ModulePin(const ModulePin&) = delete;
  ModulePin& operator=(const ModulePin&) = delete;

 private:
  static void Anchor() {}  // an address inside the module
  void* Handle = nullptr;  // the loader's reference; null when the code is not in a loadable module
};

}  // namespace korvalt::platform
