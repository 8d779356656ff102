#pragma once

#include <string>

#include "driver/host/exports.h"

namespace hostkit {

// The driver module loaded with dlopen, as a recorder loads it. Only the exports are used.
class Module {
 public:
  Module() = default;
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Loads the module and resolves every export; false with Error() set otherwise.
  bool Load(const std::string& path);
  const std::string& Error() const { return LastError; }
  // Address of an export by name, or null.
  void* Symbol(const char* name) const;

  CreateIPCaptureFn Create = nullptr;
  DeleteIPCaptureFn Delete = nullptr;
  // Capability query exports; null when the module lacks them (Load still succeeds).
  InitCapabilityQueryFn InitQuery = nullptr;
  StartCapabilityQueryFn StartQuery = nullptr;
  TerminateCapabilityQueryFn TerminateQuery = nullptr;
  UninitCapabilityQueryFn UninitQuery = nullptr;
  bool HasCapabilityQuery() const { return InitQuery && StartQuery && TerminateQuery && UninitQuery; }

 private:
  void* Handle = nullptr;
  std::string LastError;
};

// Path of the file name in the running executable's directory ("./name" when that is unknown).
std::string BesideExecutable(const std::string& name);
// Default module path: libquenlark_ipcapture.so beside the running executable.
std::string DefaultModulePath();

}  // namespace hostkit
