// The DLL's entry point does nothing: under the loader lock no thread may start, no lock be taken
// and no COM call be made, and the module needs none of that to be loaded. Threads start with
// the first driver or query; they are joined by the stops the recorder calls.

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
