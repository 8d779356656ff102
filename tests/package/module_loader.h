// Loading the module, one backend file per system (module_loader_posix.cpp, _win32.cpp).
#pragma once

#include <string>

void* LoadModule(const char* path);
void* FindExport(void* module, const char* name);
void UnloadModule(void* module);
// Why the last LoadModule or FindExport failed.
std::string LastLoadError();
