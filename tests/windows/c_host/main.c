/* A recorder written in C that loads quenlark_ipcapture.dll and drives it through hand-laid
 * vtables: capability query, live video of each codec, digital I/O, PTZ and presets, logins,
 * destruction. Prints one JSON object; exit status 0 when every job passed.
 *
 *   c_host.exe DLL DIGEST_PORT BASIC_PORT [SECONDS]
 *
 * DIGEST_PORT: camsim --auth digest --ptz yes --inputs 2 --outputs 2 (every job);
 * BASIC_PORT: camsim --auth basic (the Basic login). User admin, password secret on both.
 *
 *   c_host.exe DLL PORT1 PORT2 --soak MINUTES ...
 *
 * runs the soak instead (soak.c): two cameras with PTZ and I/O, any login scheme.
 */
#include <winsock2.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <winternl.h>

#include "host.h"

/* Progress on stderr, so that a job that hangs is named. */
static void Progress(const char* step) {
  fprintf(stderr, "c_host: %s\n", step);
  fflush(stderr);
}

static void Verdict(Host* host, const char* job, bool passed) {
  JsonBool(&host->json, "passed", passed);
  if (!passed) {
    host->allPassed = false;
    fprintf(stderr, "c_host: job %s failed\n", job);
  }
}

/* ---- Loading ---- */

bool LoadDriverModule(Module* m, const wchar_t* path, Json* json) {
  static const char* const kCreate[4] = {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2",
                                         "CreateIPCaptureEx3"};
  static const char* const kDelete[4] = {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2",
                                         "DeleteIPCaptureEx3"};
  m->dll = LoadLibraryW(path);
  JsonOpen(json, "load", '{');
  JsonBool(json, "loaded", m->dll != NULL);
  if (m->dll == NULL) {
    JsonInt(json, "error", (long long)GetLastError());
    JsonClose(json, '}');
    return false;
  }
  int found = 0;
  for (int i = 0; i < 4; ++i) {
    m->create[i] = (CreateIPCaptureFn)(void (*)(void))GetProcAddress(m->dll, kCreate[i]);
    m->destroy[i] = (DeleteIPCaptureFn)(void (*)(void))GetProcAddress(m->dll, kDelete[i]);
    found += (m->create[i] != NULL) + (m->destroy[i] != NULL);
  }
  m->init = (InitCapabilityQueryFn)(void (*)(void))GetProcAddress(m->dll, "InitCapabilityQuery");
  m->start = (StartCapabilityQueryFn)(void (*)(void))GetProcAddress(m->dll, "StartCapabilityQuery");
  m->terminate =
      (TerminateCapabilityQueryFn)(void (*)(void))GetProcAddress(m->dll, "TerminateCapabilityQuery");
  m->uninit = (UninitCapabilityQueryFn)(void (*)(void))GetProcAddress(m->dll, "UninitCapabilityQuery");
  found += (m->init != NULL) + (m->start != NULL) + (m->terminate != NULL) + (m->uninit != NULL);
  JsonInt(json, "exports", found);
  JsonClose(json, '}');
  return found == 12;
}

/* ---- Capability query and logins ---- */

bool RunQuery(Host* host, Capabilities* c, uint16_t port, const char* password) {
  CapabilitiesInit(c);
  const Module* m = &host->module;
  if (m->init(&c->callback, 0) != 1) {
    CloseHandle(c->done);
    return false;
  }
  const bool started = m->start("127.0.0.1", port, USER, password, &c->results) == 1;
  const bool ended = started && WaitForSingleObject(c->done, 20000) == WAIT_OBJECT_0;
  m->uninit();
  CloseHandle(c->done);
  return ended && c->completed;
}

/* The query's exports around one query: uninit without a start, a second init refused, terminate
 * right after the start (the callback still reports, one way or the other). */
static bool QueryExportsBehave(Host* host, bool* terminatedReported) {
  const Module* m = &host->module;
  Capabilities c;
  CapabilitiesInit(&c);
  const bool uninitAlone = m->uninit() == 1;
  const bool first = m->init(&c.callback, 1) == 1;
  const bool second = m->init(&c.callback, 0) == 0;
  const bool started = m->start("127.0.0.1", host->digestPort, USER, PASSWORD, &c.results) == 1;
  const bool terminated = m->terminate() == 1;
  *terminatedReported = started && WaitForSingleObject(c.done, 20000) == WAIT_OBJECT_0;
  const bool uninit = m->uninit() == 1;
  CloseHandle(c.done);
  return uninitAlone && first && second && started && terminated && uninit;
}

static void CapabilityJob(Host* host) {
  bool terminatedReported = false;
  const bool exportsBehave = QueryExportsBehave(host, &terminatedReported);
  Capabilities c;
  const bool completed = RunQuery(host, &c, host->digestPort, PASSWORD);
  Json* json = &host->json;
  JsonOpen(json, "capability", '{');
  JsonBool(json, "exports_behave", exportsBehave);
  JsonBool(json, "terminated_query_reported", terminatedReported);
  JsonBool(json, "completed", completed);
  JsonString(json, "name", c.name);
  JsonInt(json, "ptz", c.properties[1]);
  JsonInt(json, "inputs", c.properties[2]);
  JsonInt(json, "outputs", c.properties[3]);
  JsonInt(json, "mpeg4", c.properties[6]);
  JsonInt(json, "mjpeg", c.properties[7]);
  JsonInt(json, "h264", c.properties[8]);
  JsonInt(json, "resolutions", c.resolutionCount);
  JsonInt(json, "frame_intervals", c.intervalCount);
  JsonInt(json, "default_interval", c.defaultInterval);
  JsonOpen(json, "address_fields", '[');
  for (int i = 0; i < 4; ++i) JsonString(json, NULL, c.address[i].text);
  JsonClose(json, ']');
  JsonOpen(json, "custom", '{');
  bool customOk = true;
  for (int i = 0; i < 3; ++i) {
    JsonString(json, c.custom[i].name, c.custom[i].value);
    snprintf(host->custom[i], sizeof host->custom[i], "%s", c.custom[i].value);
    customOk = customOk && c.custom[i].name[0] != 0 && c.custom[i].attribute == 0;
  }
  JsonClose(json, '}');
  char port[16];
  snprintf(port, sizeof port, "%u", host->digestPort);
  const bool addressOk = strcmp(c.address[0].text, "127.0.0.1") == 0 &&
                         strcmp(c.address[1].text, port) == 0 && strcmp(c.address[2].text, USER) == 0 &&
                         strcmp(c.address[3].text, PASSWORD) == 0;
  Verdict(host, "capability",
          exportsBehave && terminatedReported && completed && strncmp(c.name, "Quenlark ", 9) == 0 &&
              c.properties[1] == 1 && c.properties[2] == 2 && c.properties[3] == 2 && c.properties[6] == 1 &&
              c.properties[7] == 1 && c.properties[8] == 1 && c.resolutionCount > 0 && c.intervalCount > 0 &&
              customOk && addressOk);
  JsonClose(json, '}');
}

/* Right password: completed. Wrong: failed with code 3 and "Failed to get camera properties". */
static void LoginJob(Host* host, const char* key, uint16_t port) {
  Capabilities right, wrong;
  const bool rightOk = RunQuery(host, &right, port, PASSWORD);
  const bool wrongCompleted = RunQuery(host, &wrong, port, "not-the-password");
  Json* json = &host->json;
  JsonOpen(json, key, '{');
  JsonBool(json, "right_password_completed", rightOk);
  JsonBool(json, "wrong_password_completed", wrongCompleted);
  JsonInt(json, "wrong_password_code", wrong.failCode);
  JsonString(json, "wrong_password_message", wrong.failMessage);
  Verdict(host, key,
          rightOk && !wrongCompleted && wrong.failCode == 3 &&
              strcmp(wrong.failMessage, "Failed to get camera properties") == 0);
  JsonClose(json, '}');
}

/* ---- Driver ---- */

IIPCaptureDriver* OpenDriverAt(Host* host, Device* device, int createIndex, int32_t codecType, uint16_t port,
                               const char* const custom[3]) {
  DeviceInit(device);
  device->address = "127.0.0.1";
  device->httpPort = port;
  device->codecType = codecType;
  device->channels = 1;
  device->inputs = 2;
  device->outputs = 2;
  device->model = "QL-3110";
  device->user = USER;
  device->password = PASSWORD;
  for (int i = 0; i < 3; ++i) device->custom[i] = custom[i];
  IIPCaptureDriver* driver = host->module.create[createIndex]();
  if (driver == NULL) return NULL;
  if (!QH_CALL(driver, Open, &host->log.sink, &host->allocator.iface, &device->params)) {
    host->module.destroy[createIndex](driver);
    return NULL;
  }
  return driver;
}

static IIPCaptureDriver* OpenDriver(Host* host, Device* device, int createIndex, int32_t codecType) {
  const char* const custom[3] = {host->custom[0], host->custom[1], host->custom[2]};
  return OpenDriverAt(host, device, createIndex, codecType, host->digestPort, custom);
}

/* ---- Video ---- */

typedef struct CodecRun {
  const char* name;
  int32_t codecType;
  int createIndex, deleteIndex; /* export pairs crossed on purpose */
} CodecRun;

/* Slots 4 to 10 of a capture whose channel 0 streams: reserved answers, the reserved byte,
 * indexes out of range, a restart. */
static bool OtherCaptureSlotsBehave(IIPVideoCapture* capture, FrameSink* sink, StreamSettings* settings) {
  int32_t state = -1, reserved = -1;
  uint8_t byte = 0xAB;
  const bool reservedSlots =
      QH_CALL(capture, ReservedCapture) == 0 && !QH_CALL(capture, ReservedCapture2, 1, 2, 3) &&
      !QH_CALL(capture, ReservedCapture3, 1, 2, 3) && !QH_CALL(capture, ReservedCaptureEx, 1) &&
      !QH_CALL(capture, ReservedCaptureEx2, 1);
  const bool reservedByte = QH_CALL(capture, GetChannelState, 0, &state, &reserved, &byte, 1) && byte == 0;
  const bool outOfRange = !QH_CALL(capture, GetChannelState, 1, &state, &reserved, NULL, 0) &&
                          !QH_CALL(capture, StartChannel, 1, &sink->iface, &settings->settings) &&
                          !QH_CALL(capture, StopChannel, 1) &&
                          !QH_CALL(capture, RestartChannel, 1, &settings->size, 100);
  const bool restarted = QH_CALL(capture, RestartChannel, 0, &settings->size, 100);
  return reservedSlots && reservedByte && outOfRange && restarted;
}

static void StreamJob(Host* host) {
  static const CodecRun kRuns[3] = {{"h264", 3, 3, 0}, {"mpeg4", 2, 2, 3}, {"mjpeg", 1, 0, 1}};
  Json* json = &host->json;
  JsonOpen(json, "streaming", '{');
  for (int r = 0; r < 3; ++r) {
    const CodecRun* run = &kRuns[r];
    DebugLogReset(&host->log);
    const LONG createdBefore = host->allocator.created, releasedBefore = host->allocator.released;
    Device device;
    FrameSink sink;
    StreamSettings settings;
    FrameSinkInit(&sink, run->codecType);
    StreamSettingsInit(&settings, 320, 240, 66, 60);
    IIPCaptureDriver* driver = OpenDriver(host, &device, run->createIndex, run->codecType);
    IIPVideoCapture* capture = driver != NULL ? QH_CALL(driver, GetVideoCapture) : NULL;
    const bool same = capture != NULL && capture == QH_CALL(driver, GetVideoCaptureEx);
    const uint32_t channels = capture != NULL ? QH_CALL(capture, GetChannelCount) : 0;
    const bool started = channels == 1 && QH_CALL(capture, StartChannel, 0, &sink.iface, &settings.settings);
    /* Wait for the first picture, then count for the stream time. */
    const DWORD begin = GetTickCount();
    while (started && sink.pictures == 0 && GetTickCount() - begin < 15000) Sleep(50);
    const DWORD firstMs = GetTickCount() - begin;
    const LONG atFirst = sink.pictures;
    if (atFirst > 0) Sleep(host->streamMs);
    const LONG counted = sink.pictures - atFirst;
    int32_t state = -1, reserved = -1;
    const bool stateOk = started && QH_CALL(capture, GetChannelState, 0, &state, &reserved, NULL, 0);
    const bool slotsOk = started && OtherCaptureSlotsBehave(capture, &sink, &settings);
    const bool stopped = started && QH_CALL(capture, StopChannel, 0);
    if (driver != NULL) host->module.destroy[run->deleteIndex](driver);
    const LONG created = host->allocator.created - createdBefore;
    const LONG released = host->allocator.released - releasedBefore;

    JsonOpen(json, run->name, '{');
    JsonInt(json, "first_picture_ms", started ? (long long)firstMs : -1);
    JsonInt(json, "pictures", sink.pictures);
    JsonInt(json, "pictures_in_window", counted);
    JsonInt(json, "window_ms", host->streamMs);
    JsonInt(json, "key_pictures", sink.keyPictures);
    JsonInt(json, "decode_errors", sink.formatErrors);
    JsonString(json, "first_error", sink.firstError);
    JsonInt(json, "module_errors", host->log.errors);
    JsonInt(json, "signal_lost", sink.signalLost);
    JsonInt(json, "width", sink.width);
    JsonInt(json, "height", sink.height);
    JsonInt(json, "samples_created", created);
    JsonInt(json, "samples_released", released);
    JsonInt(json, "state", state);
    JsonBool(json, "other_slots_behave", slotsOk);
    DebugLogWrite(&host->log, json, "log");
    Verdict(host, run->name,
            same && started && sink.pictures > 0 && sink.keyPictures > 0 && sink.formatErrors == 0 &&
                host->log.errors == 0 && stateOk && slotsOk && state == 0 && reserved == 0 && stopped &&
                created == released && created >= sink.pictures);
    JsonClose(json, '}');
  }
  JsonClose(json, '}');
}

/* ---- Reconnects ---- */

typedef NTSTATUS(NTAPI* QueryObjectFn)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

/* The process's open event handles, by walking the handle table: Wine's GetProcessHandleCount
 * answers 0. */
static long EventHandles(void) {
  const QueryObjectFn query =
      (QueryObjectFn)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");
  if (query == NULL) return -1;
  long count = 0;
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    const HANDLE handle = (HANDLE)value;
    DWORD flags = 0;
    union {
      PUBLIC_OBJECT_TYPE_INFORMATION info;
      unsigned char bytes[1024];
    } type;
    ULONG length = 0;
    if (!GetHandleInformation(handle, &flags) ||
        query(handle, ObjectTypeInformation, &type, sizeof type, &length) != 0)
      continue;
    if (type.info.TypeName.Length == 5 * sizeof(wchar_t) &&
        wcsncmp(type.info.TypeName.Buffer, L"Event", 5) == 0)
      ++count;
  }
  return count;
}

/* Waits until pictures arrive again after the camera closed every RTSP connection. */
static bool PicturesResume(FrameSink* sink) {
  const LONG before = sink->pictures;
  const DWORD begin = GetTickCount();
  while (sink->pictures < before + 10 && GetTickCount() - begin < 20000) Sleep(50);
  return sink->pictures >= before + 10;
}

/* A recorder streams for months while cameras close connections: every reconnect must leave the
 * process's event handles as they were. */
static void ReconnectJob(Host* host) {
  enum { kReconnects = 8, kHandleSlack = 2 };
  Json* json = &host->json;
  DebugLogReset(&host->log);
  Device device;
  FrameSink sink;
  StreamSettings settings;
  FrameSinkInit(&sink, 3);
  StreamSettingsInit(&settings, 320, 240, 66, 60);
  IIPCaptureDriver* driver = OpenDriver(host, &device, 0, 3);
  IIPVideoCapture* capture = driver != NULL ? QH_CALL(driver, GetVideoCapture) : NULL;
  const bool started = capture != NULL && QH_CALL(capture, StartChannel, 0, &sink.iface, &settings.settings);
  /* One reconnect first, so that everything made once per process exists already. */
  bool resumed = started && PicturesResume(&sink);
  if (resumed) {
    free(SimGet(host->digestPort, "/sim/rtsp?act=close"));
    resumed = PicturesResume(&sink);
  }
  const long before = EventHandles();
  int done = 0;
  while (resumed && done < kReconnects) {
    free(SimGet(host->digestPort, "/sim/rtsp?act=close"));
    /* The old connection's last pictures may still be on their way: wait for a few more. */
    Sleep(500);
    resumed = PicturesResume(&sink);
    if (resumed) ++done;
  }
  const long after = EventHandles();
  const bool stopped = started && QH_CALL(capture, StopChannel, 0);
  if (driver != NULL) host->module.destroy[0](driver);
  JsonOpen(json, "reconnects", '{');
  JsonInt(json, "reconnects", done);
  JsonInt(json, "event_handles_before", before);
  JsonInt(json, "event_handles_after", after);
  JsonInt(json, "pictures", sink.pictures);
  DebugLogWrite(&host->log, json, "log");
  Verdict(host, "reconnects",
          started && done == kReconnects && before > 0 && after <= before + kHandleSlack && stopped);
  JsonClose(json, '}');
}

/* ---- Digital I/O ---- */

static bool WaitForSimValue(uint16_t port, const char* name, const char* wanted, DWORD ms) {
  const DWORD begin = GetTickCount();
  do {
    char* state = SimGet(port, "/sim/state");
    char value[32] = "";
    const bool found = state != NULL && ReplyValue(state, name, value, sizeof value);
    free(state);
    if (found && strcmp(value, wanted) == 0) return true;
    Sleep(50);
  } while (GetTickCount() - begin < ms);
  return false;
}

static void IOJob(Host* host, IIPCaptureDriver* driver) {
  Json* json = &host->json;
  IOEvents events;
  IOEventsInit(&events);
  free(SimGet(host->digestPort, "/sim/input?n=1&state=on"));
  free(SimGet(host->digestPort, "/sim/input?n=2&state=off"));
  ICaptureIOApi* io = QH_CALL(driver, GetCaptureIO);
  const uint32_t inputs = io != NULL ? QH_CALL(io, GetInputCount) : 0;
  const uint32_t outputs = io != NULL ? QH_CALL(io, GetOutputCount) : 0;
  const bool sinkSet = io != NULL && QH_CALL(io, SetIOSink, &events.iface);
  const bool started = sinkSet && QH_CALL(io, Start);
  /* The first poll reports every input; then one flips and the 5-second poll sees it. */
  const LONG in1 = events.inputState[0], in2 = events.inputState[1];
  const bool offAtStart = started && WaitForSimValue(host->digestPort, "out1", "off", 3000);
  const bool setOn = started && QH_CALL(io, SetOutput, 0, 2);
  const bool readOn = setOn && WaitForSimValue(host->digestPort, "out1", "on", 3000);
  const bool setOff = started && QH_CALL(io, SetOutput, 0, 1);
  const bool readOff = setOff && WaitForSimValue(host->digestPort, "out1", "off", 3000);
  free(SimGet(host->digestPort, "/sim/input?n=2&state=on"));
  const DWORD begin = GetTickCount();
  while (started && events.inputState[1] != 2 && GetTickCount() - begin < 7000)
    WaitForSingleObject(events.changed, 200);
  const LONG in2Later = events.inputState[1];
  const bool stopped = started && QH_CALL(io, Stop);
  CloseHandle(events.changed);

  JsonOpen(json, "io", '{');
  JsonInt(json, "inputs", inputs);
  JsonInt(json, "outputs", outputs);
  JsonInt(json, "input1_at_start", in1);
  JsonInt(json, "input2_at_start", in2);
  JsonInt(json, "input2_after_change", in2Later);
  JsonBool(json, "output1_off_at_start", offAtStart);
  JsonBool(json, "output1_on_read_back", readOn);
  JsonBool(json, "output1_off_read_back", readOff);
  JsonInt(json, "failures", events.failures);
  Verdict(host, "io",
          inputs == 2 && outputs == 2 && started && in1 == 2 && in2 == 1 && in2Later == 2 && offAtStart &&
              readOn && readOff && events.failures == 0 && stopped);
  JsonClose(json, '}');
}

/* ---- PTZ and presets ---- */

#define PRESET_RENAMED "Gate \xCE\xA9"

static bool PresetNameIs(IIPPTZApiEx* ptz, int32_t index, const char* name) {
  char buffer[128] = "";
  return QH_CALL(ptz, GetPrepositionName, index, buffer, sizeof buffer) == 1 && strcmp(buffer, name) == 0;
}

static char* ReadPresetFile(const Host* host) {
  wchar_t path[MAX_PATH + 64];
  ExecutableDirectory(path, MAX_PATH);
  wchar_t name[96];
  swprintf(name, 96, L"Quenlark_%hs.preset", host->custom[2]);
  wcscat(path, name);
  return ReadWholeFile(path);
}

/* What a request the camera may not support answers: queued (1) or unsupported (-19). */
static bool Answer(int32_t result, uint32_t supported) {
  return result == (supported != 0 ? 1 : -19);
}

/* The slots the preset job does not use, each with the answer the capabilities predict; every
 * movement is stopped again. */
static bool OtherPtzSlotsBehave(IIPPTZApiEx* ptz, const PTZ_CAPABILITIES* caps) {
  char small[2];
  const bool move = QH_CALL(ptz, Move, 10, 1) == -3;
  const bool zoom = Answer(QH_CALL(ptz, ZoomIn, 2), caps->CanPan | caps->CanTilt) &&
                    Answer(QH_CALL(ptz, ZoomOut, 2), caps->CanPan | caps->CanTilt);
  const bool focus = Answer(QH_CALL(ptz, FocusPlus, 2), caps->CanFocus) &&
                     Answer(QH_CALL(ptz, FocusMinus, 2), caps->CanFocus);
  const bool iris =
      Answer(QH_CALL(ptz, IrisPlus, 2), caps->CanIris) && Answer(QH_CALL(ptz, IrisMinus, 2), caps->CanIris);
  const bool center = Answer(QH_CALL(ptz, Center, 1, 2, 3), caps->CanCenter);
  const bool unzoom = Answer(QH_CALL(ptz, Unzoom, 1), caps->CanUnzoom);
  const bool area = Answer(QH_CALL(ptz, AreaZoom, 1, 2, 3, 4), caps->CanAreaZoom);
  const bool stop = QH_CALL(ptz, StopAll) == 1;
  const bool names = QH_CALL(ptz, GetPrepositionName, 0, small, sizeof small) == -23 &&
                     QH_CALL(ptz, GetCurrentPreposition, small, sizeof small) == -23 &&
                     QH_CALL(ptz, GotoPreposition, 0, NULL) == -3;
  return move && zoom && focus && iris && center && unzoom && area && stop && names;
}

/* Each go-to waits for the command thread to reach its place in the queue: many of them find
 * a wake-up that gets lost (it did with MinGW's atomic wait). */
enum { kGotoCycles = 60 };
static int32_t GotoCycles(IIPPTZApiEx* ptz, int32_t cycles) {
  int32_t done = 0;
  for (int32_t i = 0; i < cycles; ++i) {
    if (QH_CALL(ptz, Move, i % 8, 2) != 1) break;
    if (QH_CALL(ptz, GotoPreposition, 0, i % 2 == 0 ? "Park" : PRESET_RENAMED) != 1) break;
    ++done;
  }
  return done;
}

static void PtzJob(Host* host, IIPCaptureDriver* driver) {
  Json* json = &host->json;
  DebugLogReset(&host->log);
  IIPPTZDriverEx* ptzDriver = QH_CALL(driver, GetPTZDriverEx);
  const bool sameDriver = ptzDriver != NULL && ptzDriver == QH_CALL(driver, GetPTZDriver);
  IIPPTZApiEx* ptz = ptzDriver != NULL ? QH_CALL(ptzDriver, GetPTZApiEx, 0) : NULL;
  const bool sameApi = ptz != NULL && ptz == QH_CALL(ptzDriver, GetPTZApi, 0);
  JsonOpen(json, "ptz", '{');
  if (ptz == NULL) {
    Verdict(host, "ptz", false);
    DebugLogWrite(&host->log, json, "log");
    JsonClose(json, '}');
    return;
  }
  PTZ_CAPABILITIES caps;
  memset(&caps, 0xAB, sizeof caps);
  const int32_t any = QH_CALL(ptz, HasAnyPTZFunction);
  const int32_t capsResult = QH_CALL(ptz, GetCapabilities, &caps);
  const bool otherSlots = OtherPtzSlotsBehave(ptz, &caps);
  const int32_t move = QH_CALL(ptz, Move, 0, 4);
  const int32_t stop = QH_CALL(ptz, StopAll);
  const int32_t addDoor = QH_CALL(ptz, AddPreposition, "Door");
  const int32_t rename = QH_CALL(ptz, AddPreposition, PRESET_RENAMED); /* still at Door: renames it */
  const int32_t move2 = QH_CALL(ptz, Move, 1, 4);
  const int32_t stop2 = QH_CALL(ptz, StopAll);
  const int32_t addPark = QH_CALL(ptz, AddPreposition, "Park");
  const int32_t count = QH_CALL(ptz, GetPrepositionCount);
  char small[4];
  const bool names = PresetNameIs(ptz, 0, PRESET_RENAMED) && PresetNameIs(ptz, 1, "Park") &&
                     QH_CALL(ptz, GetPrepositionName, 1, small, sizeof small) == -3 &&
                     QH_CALL(ptz, GetPrepositionName, 2, small, sizeof small) == -23;
  const int32_t goCycles = GotoCycles(ptz, kGotoCycles);
  const int32_t go = QH_CALL(ptz, GotoPreposition, 0, PRESET_RENAMED);
  char current[128] = "";
  const int32_t currentResult = QH_CALL(ptz, GetCurrentPreposition, current, sizeof current);
  const bool cameraAtPreset1 = WaitForSimValue(host->digestPort, "preset", "1", 3000);
  char* fileAfterAdd = ReadPresetFile(host);
  const int32_t removed = QH_CALL(ptz, RemovePreposition, "Park");
  const int32_t removeUnknown = QH_CALL(ptz, RemovePreposition, "Park");
  const int32_t countAfter = QH_CALL(ptz, GetPrepositionCount);
  char* fileAfterRemove = ReadPresetFile(host);
  const bool cameraPresets = WaitForSimValue(host->digestPort, "presets", "1", 3000);
  const bool feature = QH_CALL(ptz, QueryFeature, 1) && !QH_CALL(ptz, QueryFeature, 2);

  JsonInt(json, "has_any_function", any);
  JsonInt(json, "capabilities", capsResult);
  JsonInt(json, "can_pan", caps.CanPan);
  JsonInt(json, "max_presets", caps.MaxPrepositions);
  JsonInt(json, "reserved0_untouched", caps.Reserved0 == 0xABABABABu);
  JsonBool(json, "other_slots_behave", otherSlots);
  JsonInt(json, "can_zoom", caps.CanZoom);
  JsonInt(json, "can_focus", caps.CanFocus);
  JsonInt(json, "can_iris", caps.CanIris);
  JsonInt(json, "move", move);
  JsonInt(json, "stop", stop);
  JsonInt(json, "add", addDoor);
  JsonInt(json, "rename", rename);
  JsonInt(json, "add_after_move", addPark);
  JsonInt(json, "count", count);
  JsonInt(json, "goto_cycles", goCycles);
  JsonInt(json, "goto", go);
  JsonString(json, "current", current);
  JsonInt(json, "remove", removed);
  JsonInt(json, "remove_unknown", removeUnknown);
  JsonInt(json, "count_after_remove", countAfter);
  JsonBool(json, "camera_at_preset_1", cameraAtPreset1);
  JsonBool(json, "camera_keeps_preset_1_only", cameraPresets);
  JsonString(json, "preset_file_after_add", fileAfterAdd);
  JsonString(json, "preset_file_after_remove", fileAfterRemove);
  DebugLogWrite(&host->log, json, "log");
  Verdict(host, "ptz",
          sameDriver && sameApi && any == 1 && capsResult == 1 && caps.CanPan == 1 &&
              caps.PrepositionCount == 0 && caps.Reserved0 == 0xABABABABu && otherSlots && move == 1 &&
              stop == 1 && addDoor == 1 && rename == 1 && move2 == 1 && stop2 == 1 && addPark == 1 &&
              count == 2 && names && goCycles == kGotoCycles && go == 1 && currentResult == 1 &&
              strcmp(current, PRESET_RENAMED) == 0 && cameraAtPreset1 && removed == 1 &&
              removeUnknown == -23 && countAfter == 1 && cameraPresets && feature && fileAfterAdd != NULL &&
              fileAfterRemove != NULL && host->log.errors == 0);
  JsonClose(json, '}');
  free(fileAfterAdd);
  free(fileAfterRemove);
}

/* I/O and PTZ on one driver, which then goes through slot 0 as a C++ recorder's delete would. */
static void DeviceJobs(Host* host) {
  Device device;
  IIPCaptureDriver* driver = OpenDriver(host, &device, 1, 3);
  if (driver == NULL) {
    JsonOpen(&host->json, "device", '{');
    Verdict(host, "device", false);
    JsonClose(&host->json, '}');
    return;
  }
  const bool reserved = QH_CALL(driver, ReservedEx) == NULL && QH_CALL(driver, ReservedEx2) == NULL;
  IOJob(host, driver);
  Progress("PTZ and presets");
  PtzJob(host, driver);
  Progress("close and delete");
  QH_CALL(driver, Close);
  const bool closed = QH_CALL(driver, GetVideoCapture) == NULL && QH_CALL(driver, GetCaptureIO) == NULL &&
                      QH_CALL(driver, GetPTZDriver) == NULL;
  QH_CALL(driver, ScalarDeletingDestructor, 1u);
  JsonOpen(&host->json, "destruction", '{');
  JsonBool(&host->json, "reserved_slots_null", reserved);
  JsonBool(&host->json, "accessors_null_after_close", closed);
  JsonBool(&host->json, "deleted_through_slot_0", true);
  Verdict(host, "destruction", reserved && closed);
  JsonClose(&host->json, '}');
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    fprintf(stderr,
            "usage: c_host DLL DIGEST_PORT BASIC_PORT [SECONDS]\n"
            "       c_host DLL PORT1 PORT2 --soak MINUTES [--sample-seconds S] [--fault-seconds S]\n"
            "              [--seed N] --out FILE.csv\n");
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  Host host;
  memset(&host, 0, sizeof host);
  host.allPassed = true;
  host.digestPort = (uint16_t)_wtoi(argv[2]);
  host.basicPort = (uint16_t)_wtoi(argv[3]);
  host.streamMs = argc > 4 ? (DWORD)(_wtof(argv[4]) * 1000) : 2000;
  DebugLogInit(&host.log);
  AllocatorInit(&host.allocator);
  if (argc > 4 && wcscmp(argv[4], L"--soak") == 0) {
    const int status = SoakMain(&host, argv[1], argc - 4, argv + 4);
    WSACleanup();
    return status;
  }

  Json* json = &host.json;
  JsonOpen(json, NULL, '{');
  if (LoadDriverModule(&host.module, argv[1], json)) {
    Progress("capability query");
    CapabilityJob(&host);
    Progress("logins");
    LoginJob(&host, "login_digest", host.digestPort);
    LoginJob(&host, "login_basic", host.basicPort);
    Progress("video");
    StreamJob(&host);
    Progress("reconnects");
    ReconnectJob(&host);
    Progress("digital I/O, PTZ and presets");
    DeviceJobs(&host);
  } else {
    host.allPassed = false;
  }
  const BOOL freed = host.module.dll != NULL && FreeLibrary(host.module.dll);
  /* Every module thread has ended; WinHTTP's last notifications for closed handles may still be
   * on their way, each holding the DLL until it has returned. */
  const DWORD freedAt = GetTickCount();
  while (freed && GetModuleHandleW(L"quenlark_ipcapture.dll") != NULL && GetTickCount() - freedAt < 5000)
    Sleep(20);
  const bool unloaded = freed && GetModuleHandleW(L"quenlark_ipcapture.dll") == NULL;
  JsonBool(json, "freed", freed);
  JsonBool(json, "unloaded", unloaded);
  JsonInt(json, "unexpected_slot_calls", gUnexpectedCalls);
  JsonInt(json, "samples_outstanding", host.allocator.created - host.allocator.released);
  const bool passed = host.allPassed && unloaded && gUnexpectedCalls == 0 &&
                      host.allocator.created == host.allocator.released;
  JsonBool(json, "passed", passed);
  JsonClose(json, '}');
  JsonRaw(json, "\n");
  fwrite(json->text, 1, json->length, stdout);
  fflush(stdout);
  WSACleanup();
  return passed ? 0 : 1;
}
