/* The recorder's own state, shared by the checks (main.c) and the soak (soak.c). */
#ifndef QUENLARK_C_HOST_HOST_H
#define QUENLARK_C_HOST_HOST_H

#include "recorder.h"

#define USER "admin"
#define PASSWORD "secret"

typedef struct Module {
  HMODULE dll;
  CreateIPCaptureFn create[4];
  DeleteIPCaptureFn destroy[4];
  InitCapabilityQueryFn init;
  StartCapabilityQueryFn start;
  TerminateCapabilityQueryFn terminate;
  UninitCapabilityQueryFn uninit;
} Module;

typedef struct Host {
  Module module;
  uint16_t digestPort, basicPort;
  DWORD streamMs;
  DebugLog log;
  Allocator allocator;
  char custom[3][64]; /* from the capability query, handed back at Open */
  bool allPassed;
  Json json;
} Host;

extern volatile LONG gUnexpectedCalls;

bool LoadDriverModule(Module* m, const wchar_t* path, Json* json);
/* One query; true when the callback reported completion. */
bool RunQuery(Host* host, Capabilities* c, uint16_t port, const char* password);
/* Create and Open against 127.0.0.1:port; NULL when either failed. */
IIPCaptureDriver* OpenDriverAt(Host* host, Device* device, int createIndex, int32_t codecType, uint16_t port,
                               const char* const custom[3]);

/* c_host DLL PORT1 PORT2 --soak MINUTES [...]: exit status 0 when the run held together. */
int SoakMain(Host* host, const wchar_t* dllPath, int argc, wchar_t** argv);

#endif
