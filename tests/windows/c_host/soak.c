/* The soak: a recorder that keeps drivers streaming over two cameras for MINUTES while faults
 * arrive on a seeded schedule, and samples itself from a thread of its own: private bytes, working
 * set, handles, threads, pictures, samples outstanding, faults. Handles and threads are also taken
 * before the first Open, after a warm-up round and after the last delete: the Windows backends
 * must give back what they took.
 *
 *   c_host.exe DLL PORT1 PORT2 --soak MINUTES [--sample-seconds S] [--fault-seconds S] [--seed N]
 *              [--only KIND] --out FILE.csv
 *
 * Both cameras: camsim --ptz yes --inputs 2 --outputs 2, user admin, password secret. One CSV line
 * per sample goes to FILE.csv; "name value" lines of the summary go to stdout.
 */
#include <winsock2.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <winternl.h>

#include "host.h"

enum {
  kCameras = 2,
  kChannelsPerCamera = 4,
  kSlots = kCameras * kChannelsPerCamera,
  kMaxTypes = 24,
  kFaultKinds = 12,
};

static const char* const kFaultNames[kFaultKinds] = {
    "stop_start", "stop_start", "restart",    "second_open", "io",          "ptz",
    "capability", "recreate",   "camera_cgi", "camera_rtsp", "camera_drop", "wrong_login"};

typedef struct Slot {
  int camera;
  int createIndex; /* which export pair made it */
  int32_t codecType;
  IIPCaptureDriver* driver;
  Device device;
  FrameSink sink;
  StreamSettings settings;
  IOEvents io; /* one per slot for the whole run: the module keeps the pointer while started */
  bool running, ioStarted;
  ULONGLONG startAt; /* stopped by the schedule until then; 0 when not */
} Slot;

typedef struct Census {
  long total;
  int types;
  char name[kMaxTypes][32];
  long count[kMaxTypes];
} Census;

typedef BOOL(WINAPI* MemoryInfoFn)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
typedef NTSTATUS(NTAPI* QueryObjectFn)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

typedef struct Soak {
  Host* host;
  uint16_t port[kCameras];
  char custom[kCameras][3][64];
  Slot slot[kSlots];
  CRITICAL_SECTION picturesLock; /* retired and the sinks' counts as one sum */
  LONGLONG retiredPictures;
  volatile LONG faults;
  long faultsByKind[kFaultKinds];
  long openFailures, queryFailures;
  uint64_t random;
  ULONGLONG begin;
  DWORD sampleMs;
  FILE* csv;
  HANDLE stop;
  MemoryInfoFn memoryInfo;
  QueryObjectFn queryObject;
} Soak;

/* ---- Measuring the process ---- */

static uint64_t NextRandom(Soak* soak) {
  /* xorshift64*: the same schedule for the same seed */
  soak->random ^= soak->random >> 12;
  soak->random ^= soak->random << 25;
  soak->random ^= soak->random >> 27;
  return soak->random * 2685821657736338717ull;
}

static uint32_t Below(Soak* soak, uint32_t n) {
  return (uint32_t)(NextRandom(soak) >> 33) % n;
}

static long ThreadCount(void) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  long count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == self) ++count;
  CloseHandle(snapshot);
  return count;
}

/* Committed private memory, region by region: Wine's PrivateUsage answers 0. */
static unsigned long long PrivateBytes(void) {
  unsigned long long total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* at = NULL; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    const char* next = (const char*)region.BaseAddress + region.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return total;
}

/* The process's open handles, by walking the handle table (Wine's GetProcessHandleCount answers
 * 0), counted by type when census is given. Handles are handed out lowest slot first, so a long
 * run of free slots is the table's end. */
static long HandleCount(const Soak* soak, Census* census) {
  enum { kFreeRunAtEnd = 2048 };
  if (census != NULL) memset(census, 0, sizeof *census);
  long count = 0, freeRun = 0;
  for (uintptr_t value = 4; value < 0x100000 && freeRun < kFreeRunAtEnd; value += 4) {
    const HANDLE handle = (HANDLE)value;
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags)) {
      ++freeRun;
      continue;
    }
    freeRun = 0;
    ++count;
    if (census == NULL || soak->queryObject == NULL) continue;
    union {
      PUBLIC_OBJECT_TYPE_INFORMATION info;
      unsigned char bytes[1024];
    } type;
    ULONG length = 0;
    char name[32] = "?";
    if (soak->queryObject(handle, ObjectTypeInformation, &type, sizeof type, &length) == 0)
      snprintf(name, sizeof name, "%.*ls", (int)(type.info.TypeName.Length / sizeof(wchar_t)),
               type.info.TypeName.Buffer);
    int i = 0;
    while (i < census->types && strcmp(census->name[i], name) != 0) ++i;
    if (i == census->types && census->types < kMaxTypes)
      snprintf(census->name[census->types++], 32, "%s", name);
    if (i < census->types) ++census->count[i];
  }
  if (census != NULL) census->total = count;
  return count;
}

static LONGLONG Pictures(Soak* soak) {
  EnterCriticalSection(&soak->picturesLock);
  LONGLONG pictures = soak->retiredPictures;
  for (int i = 0; i < kSlots; ++i) pictures += soak->slot[i].sink.pictures;
  LeaveCriticalSection(&soak->picturesLock);
  return pictures;
}

static void WriteSample(Soak* soak) {
  PROCESS_MEMORY_COUNTERS_EX memory;
  memset(&memory, 0, sizeof memory);
  memory.cb = sizeof memory;
  if (soak->memoryInfo != NULL)
    soak->memoryInfo(GetCurrentProcess(), (PPROCESS_MEMORY_COUNTERS)&memory, sizeof memory);
  const long handles = HandleCount(soak, NULL);
  const long threads = ThreadCount();
  const Allocator* allocator = &soak->host->allocator;
  fprintf(soak->csv, "%.1f,%llu,%llu,%llu,%ld,%ld,%lld,%ld,%ld\n", (GetTickCount64() - soak->begin) / 1000.0,
          PrivateBytes() / 1024, (unsigned long long)memory.PrivateUsage / 1024,
          (unsigned long long)memory.WorkingSetSize / 1024, handles, threads, Pictures(soak),
          allocator->created - allocator->released, soak->faults);
  fflush(soak->csv);
}

static DWORD WINAPI Sampler(void* context) {
  Soak* soak = context;
  do WriteSample(soak);
  while (WaitForSingleObject(soak->stop, soak->sampleMs) == WAIT_TIMEOUT);
  return 0;
}

static void PrintCensus(const char* when, const Census* census, long threads) {
  printf("threads_%s %ld\nhandles_%s %ld\n", when, threads, when, census->total);
  for (int i = 0; i < census->types; ++i)
    printf("handles_%s.%s %ld\n", when, census->name[i], census->count[i]);
}

/* What module threads and WinHTTP's pool give back after a delete comes back within a few seconds:
 * waits, bounded, until threads and handles are down to the given counts. */
static void Settle(Soak* soak, long threads, long handles, Census* census, long* threadsNow) {
  const ULONGLONG begin = GetTickCount64();
  do {
    *threadsNow = ThreadCount();
    HandleCount(soak, census);
    if (*threadsNow <= threads && census->total <= handles) break;
    Sleep(500);
  } while (GetTickCount64() - begin < 30000);
}

/* ---- Drivers and channels ---- */

static void StartSlot(Soak* soak, Slot* slot) {
  IIPVideoCapture* capture = slot->driver != NULL ? QH_CALL(slot->driver, GetVideoCapture) : NULL;
  slot->running =
      capture != NULL && QH_CALL(capture, StartChannel, 0, &slot->sink.iface, &slot->settings.settings);
  slot->startAt = 0;
  (void)soak;
}

static void OpenSlot(Soak* soak, Slot* slot) {
  EnterCriticalSection(&soak->picturesLock);
  soak->retiredPictures += slot->sink.pictures;
  FrameSinkInit(&slot->sink, slot->codecType);
  LeaveCriticalSection(&soak->picturesLock);
  StreamSettingsInit(&slot->settings, 320, 240, 100, 60);
  const char* const custom[3] = {soak->custom[slot->camera][0], soak->custom[slot->camera][1],
                                 soak->custom[slot->camera][2]};
  slot->driver = OpenDriverAt(soak->host, &slot->device, slot->createIndex, slot->codecType,
                              soak->port[slot->camera], custom);
  if (slot->driver == NULL) ++soak->openFailures;
  StartSlot(soak, slot);
}

static void DeleteSlot(Soak* soak, Slot* slot) {
  if (slot->driver == NULL) return;
  ICaptureIOApi* io = QH_CALL(slot->driver, GetCaptureIO);
  if (slot->ioStarted && io != NULL) QH_CALL(io, Stop);
  slot->ioStarted = false;
  IIPVideoCapture* capture = QH_CALL(slot->driver, GetVideoCapture);
  if (slot->running && capture != NULL) QH_CALL(capture, StopChannel, 0);
  slot->running = false;
  slot->startAt = 0;
  soak->host->module.destroy[slot->createIndex](slot->driver);
  slot->driver = NULL;
}

static void OpenAll(Soak* soak) {
  for (int i = 0; i < kSlots; ++i) OpenSlot(soak, &soak->slot[i]);
}

static void DeleteAll(Soak* soak) {
  for (int i = 0; i < kSlots; ++i) DeleteSlot(soak, &soak->slot[i]);
}

/* Waits, bounded, for every channel to deliver a picture. */
static void WaitForPictures(Soak* soak) {
  const ULONGLONG begin = GetTickCount64();
  for (int i = 0; i < kSlots; ++i)
    while (soak->slot[i].running && soak->slot[i].sink.pictures == 0 && GetTickCount64() - begin < 20000)
      Sleep(50);
}

/* ---- Faults ---- */

static void CameraControl(Soak* soak, int camera, const char* path) {
  free(SimGet(soak->port[camera], path));
}

static void Io(Soak* soak, Slot* slot) {
  ICaptureIOApi* io = slot->driver != NULL ? QH_CALL(slot->driver, GetCaptureIO) : NULL;
  if (io == NULL) return;
  char path[64];
  snprintf(path, sizeof path, "/sim/input?n=%u&state=%s", 1 + Below(soak, 2), Below(soak, 2) ? "on" : "off");
  CameraControl(soak, slot->camera, path);
  if (slot->ioStarted) {
    QH_CALL(io, SetOutput, 0, 1);
    QH_CALL(io, Stop);
    slot->ioStarted = false;
  } else {
    slot->ioStarted = QH_CALL(io, SetIOSink, &slot->io.iface) && QH_CALL(io, Start);
    if (slot->ioStarted) QH_CALL(io, SetOutput, 0, 2);
  }
}

/* Moves; a camera numbers its presets for the whole device, so only its first channel keeps one,
 * and takes it away again. */
static void Ptz(Soak* soak, Slot* slot, bool presets) {
  IIPPTZDriverEx* ptzDriver = slot->driver != NULL ? QH_CALL(slot->driver, GetPTZDriverEx) : NULL;
  IIPPTZApiEx* ptz = ptzDriver != NULL ? QH_CALL(ptzDriver, GetPTZApiEx, 0) : NULL;
  if (ptz == NULL) return;
  QH_CALL(ptz, Move, (int32_t)Below(soak, 8), 2);
  QH_CALL(ptz, ZoomIn, 2);
  QH_CALL(ptz, StopAll);
  if (presets) {
    QH_CALL(ptz, AddPreposition, "Soak");
    QH_CALL(ptz, GotoPreposition, 0, "Soak");
    QH_CALL(ptz, RemovePreposition, "Soak");
  }
}

static void Fault(Soak* soak, int kind) {
  const int index = (int)Below(soak, kSlots);
  Slot* slot = &soak->slot[index];
  const int camera = slot->camera;
  InterlockedIncrement(&soak->faults);
  ++soak->faultsByKind[kind];
  IIPVideoCapture* capture = slot->driver != NULL ? QH_CALL(slot->driver, GetVideoCapture) : NULL;
  switch (kind) {
    case 0:
    case 1: /* stopped for 2 to 10 s */
      if (slot->running && capture != NULL) {
        QH_CALL(capture, StopChannel, 0);
        slot->running = false;
        slot->startAt = GetTickCount64() + 2000 + Below(soak, 8000);
      }
      break;
    case 2: /* a restart, or StartChannel on a running channel, which replaces it */
      if (slot->running && capture != NULL) {
        if (Below(soak, 3) == 0)
          QH_CALL(capture, StartChannel, 0, &slot->sink.iface, &slot->settings.settings);
        else
          QH_CALL(capture, RestartChannel, 0, &slot->settings.size, 100);
      }
      break;
    case 3: /* Open again without Close, then the channel started again as a recorder does */
      if (slot->driver != NULL) {
        QH_CALL(slot->driver, Open, &soak->host->log.sink, &soak->host->allocator.iface,
                &slot->device.params);
        if (slot->running) StartSlot(soak, slot);
      }
      break;
    case 4:
      Io(soak, slot);
      break;
    case 5:
      Ptz(soak, slot, index % kChannelsPerCamera == 0);
      break;
    case 6:
    case 11: {
      Capabilities c;
      if (!RunQuery(soak->host, &c, soak->port[camera], kind == 6 ? PASSWORD : "not-the-password") &&
          kind == 6)
        ++soak->queryFailures;
      break;
    }
    case 7: /* deleted and made again with the next codec and another export pair */
      DeleteSlot(soak, slot);
      slot->codecType = slot->codecType % 3 + 1;
      slot->createIndex = (slot->createIndex + 1) % 4;
      OpenSlot(soak, slot);
      break;
    case 8: {
      static const char* const kKinds[4] = {"stall", "status", "empty", "close"};
      const uint32_t what = Below(soak, 4);
      char path[96];
      snprintf(path, sizeof path, "/sim/fault?kind=%s&count=%u&value=%u", kKinds[what], 1 + Below(soak, 3),
               what == 0 ? 500 + Below(soak, 3000) : (Below(soak, 2) ? 500 : 404));
      CameraControl(soak, camera, path);
      break;
    }
    case 9:
      CameraControl(soak, camera, "/sim/rtsp?act=close");
      break;
    default:
      CameraControl(soak, camera, "/sim/sessions?act=drop");
      break;
  }
}

/* ---- The run ---- */

static bool Option(int argc, wchar_t** argv, const wchar_t* name, const wchar_t** value) {
  for (int i = 0; i + 1 < argc; ++i)
    if (wcscmp(argv[i], name) == 0) {
      *value = argv[i + 1];
      return true;
    }
  return false;
}

int SoakMain(Host* host, const wchar_t* dllPath, int argc, wchar_t** argv) {
  const wchar_t* text = NULL;
  const double minutes = Option(argc, argv, L"--soak", &text) ? _wtof(text) : 0;
  const double sampleSeconds = Option(argc, argv, L"--sample-seconds", &text) ? _wtof(text) : 10;
  const double faultSeconds = Option(argc, argv, L"--fault-seconds", &text) ? _wtof(text) : 3;
  const unsigned long long seed = Option(argc, argv, L"--seed", &text) ? wcstoull(text, NULL, 10) : 20261209;
  /* One kind of fault only: which one keeps what the process holds growing. */
  const int only = Option(argc, argv, L"--only", &text) ? _wtoi(text) : -1;
  const wchar_t* out = NULL;
  if (minutes <= 0 || sampleSeconds < 1 || faultSeconds < 0.1 || !Option(argc, argv, L"--out", &out)) {
    fprintf(stderr,
            "c_host: --soak MINUTES (> 0), --sample-seconds S (>= 1), --fault-seconds S and --out FILE\n");
    return 2;
  }
  static Soak soak; /* large, and module threads call into its slots */
  memset(&soak, 0, sizeof soak);
  soak.host = host;
  soak.port[0] = host->digestPort;
  soak.port[1] = host->basicPort;
  soak.random = seed * 0x9E3779B97F4A7C15ull + 1;
  soak.sampleMs = (DWORD)(sampleSeconds * 1000);
  InitializeCriticalSection(&soak.picturesLock);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  soak.memoryInfo = (MemoryInfoFn)(void (*)(void))GetProcAddress(kernel, "K32GetProcessMemoryInfo");
  soak.queryObject =
      (QueryObjectFn)(void (*)(void))GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");
  soak.csv = _wfopen(out, L"w");
  if (soak.csv == NULL) {
    fprintf(stderr, "c_host: cannot write %ls\n", out);
    return 2;
  }
  fprintf(
      soak.csv,
      "seconds,private_kib,private_usage_kib,working_set_kib,handles,threads,pictures,outstanding,faults\n");
  for (int i = 0; i < kSlots; ++i) {
    Slot* slot = &soak.slot[i];
    slot->camera = i / kChannelsPerCamera;
    slot->codecType = i % 3 + 1;
    slot->createIndex = i % 4;
    IOEventsInit(&slot->io);
    FrameSinkInit(&slot->sink, slot->codecType);
  }

  Json scratch;
  memset(&scratch, 0, sizeof scratch);
  bool ready = LoadDriverModule(&host->module, dllPath, &scratch);
  free(scratch.text);
  for (int c = 0; ready && c < kCameras; ++c) {
    Capabilities caps;
    ready = RunQuery(host, &caps, soak.port[c], PASSWORD);
    for (int i = 0; i < 3; ++i) snprintf(soak.custom[c][i], 64, "%s", caps.custom[i].value);
  }
  printf("loaded %d\n", ready ? 1 : 0);
  if (!ready) {
    fclose(soak.csv);
    return 1;
  }

  /* Before the first Open; then after a round that made what is made once per process. */
  Census cold, warm, end;
  const long coldThreads = ThreadCount();
  HandleCount(&soak, &cold);
  fprintf(stderr, "c_host: soak warm-up\n");
  OpenAll(&soak);
  WaitForPictures(&soak);
  for (int kind = 0; kind < kFaultKinds; ++kind) Fault(&soak, kind);
  Sleep(3000);
  DeleteAll(&soak);
  long warmThreads = 0;
  Settle(&soak, coldThreads, cold.total, &warm, &warmThreads);
  soak.faults = 0;
  memset(soak.faultsByKind, 0, sizeof soak.faultsByKind);

  fprintf(stderr, "c_host: soak for %.1f minutes\n", minutes);
  OpenAll(&soak);
  soak.begin = GetTickCount64();
  soak.stop = CreateEventW(NULL, TRUE, FALSE, NULL);
  const HANDLE sampler = CreateThread(NULL, 0, Sampler, &soak, 0, NULL);
  const ULONGLONG endAt = soak.begin + (ULONGLONG)(minutes * 60000);
  ULONGLONG nextFault = soak.begin;
  while (GetTickCount64() < endAt) {
    const ULONGLONG now = GetTickCount64();
    for (int i = 0; i < kSlots; ++i)
      if (soak.slot[i].startAt != 0 && now >= soak.slot[i].startAt) StartSlot(&soak, &soak.slot[i]);
    if (now >= nextFault) {
      const int kind = (int)Below(&soak, kFaultKinds);
      Fault(&soak, only >= 0 && only < kFaultKinds ? only : kind);
      nextFault += (ULONGLONG)(faultSeconds * (500 + Below(&soak, 1000)));
    }
    Sleep(50);
  }
  /* The last sample with everything still open, then the sampler ends. */
  SetEvent(soak.stop);
  if (sampler != NULL) WaitForSingleObject(sampler, INFINITE);
  WriteSample(&soak);
  if (sampler != NULL) CloseHandle(sampler);
  CloseHandle(soak.stop);
  fclose(soak.csv);

  const LONGLONG pictures = Pictures(&soak);
  DeleteAll(&soak);
  long endThreads = 0;
  Settle(&soak, warmThreads, warm.total, &end, &endThreads);
  for (int i = 0; i < kSlots; ++i) CloseHandle(soak.slot[i].io.changed);

  printf("seed %llu\nminutes %.2f\nsample_seconds %.1f\nfault_seconds %.2f\ndrivers %d\ncameras %d\n", seed,
         minutes, sampleSeconds, faultSeconds, kSlots, kCameras);
  DWORD handleCountApi = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handleCountApi);
  printf("handle_count_api %lu\n", (unsigned long)handleCountApi);
  PrintCensus("before_first_open", &cold, coldThreads);
  PrintCensus("after_warm_up", &warm, warmThreads);
  PrintCensus("after_last_delete", &end, endThreads);
  printf("faults %ld\n", soak.faults);
  for (int kind = 0; kind < kFaultKinds; ++kind)
    if (kind != 1)
      printf("faults.%s %ld\n", kFaultNames[kind],
             soak.faultsByKind[kind] + (kind == 0 ? soak.faultsByKind[1] : 0));
  printf("pictures %lld\nopen_failures %ld\nquery_failures %ld\nmodule_error_lines %ld\nmodule_lines %ld\n",
         pictures, soak.openFailures, soak.queryFailures, host->log.errors, host->log.lines);
  printf("samples_outstanding %ld\nunexpected_slot_calls %ld\n",
         host->allocator.created - host->allocator.released, gUnexpectedCalls);

  const BOOL freed = FreeLibrary(host->module.dll);
  const ULONGLONG freedAt = GetTickCount64();
  while (freed && GetModuleHandleW(L"quenlark_ipcapture.dll") != NULL && GetTickCount64() - freedAt < 5000)
    Sleep(20);
  const bool unloaded = freed && GetModuleHandleW(L"quenlark_ipcapture.dll") == NULL;
  printf("unloaded %d\n", unloaded ? 1 : 0);
  fflush(stdout);
  DeleteCriticalSection(&soak.picturesLock);
  return unloaded && gUnexpectedCalls == 0 && host->allocator.created == host->allocator.released &&
                 soak.openFailures == 0
             ? 0
             : 1;
}
