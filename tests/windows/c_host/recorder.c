/* The recorder objects that the module calls back, and the host's small helpers. */
#include "recorder.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define OUTER(pointer, type, member) ((type*)((char*)(pointer)-offsetof(type, member)))

/* Calls the module must never make: a recorder object's destructor, or a slot it does not use. */
volatile LONG gUnexpectedCalls = 0;

static void* QH_THISCALL NotDestroyed(void* self, unsigned int flags) {
  (void)flags;
  InterlockedIncrement(&gUnexpectedCalls);
  return self;
}
static void QH_THISCALL NotCalled(void* self) {
  (void)self;
  InterlockedIncrement(&gUnexpectedCalls);
}

static void CopyText(char* target, size_t size, const char* text) {
  snprintf(target, size, "%s", text != NULL ? text : "");
}

/* ---- JSON ---- */

void JsonRaw(Json* json, const char* text) {
  const size_t add = strlen(text);
  if (json->length + add + 1 > json->capacity) {
    size_t capacity = json->capacity != 0 ? json->capacity : 4096;
    while (json->length + add + 1 > capacity) capacity *= 2;
    char* grown = realloc(json->text, capacity);
    if (grown == NULL) abort();
    json->text = grown;
    json->capacity = capacity;
  }
  memcpy(json->text + json->length, text, add + 1);
  json->length += add;
}

static void JsonQuoted(Json* json, const char* text) {
  JsonRaw(json, "\"");
  char piece[8];
  for (const unsigned char* c = (const unsigned char*)text; *c != 0; ++c) {
    if (*c == '"' || *c == '\\') {
      piece[0] = '\\';
      piece[1] = (char)*c;
      piece[2] = 0;
    } else if (*c < 0x20) {
      snprintf(piece, sizeof piece, "\\u%04x", *c);
    } else {
      piece[0] = (char)*c;
      piece[1] = 0;
    }
    JsonRaw(json, piece);
  }
  JsonRaw(json, "\"");
}

void JsonKey(Json* json, const char* key) {
  if (json->needComma) JsonRaw(json, ",");
  if (key != NULL) {
    JsonQuoted(json, key);
    JsonRaw(json, ":");
  }
  json->needComma = true;
}

void JsonString(Json* json, const char* key, const char* value) {
  JsonKey(json, key);
  if (value == NULL) {
    JsonRaw(json, "null");
  } else {
    JsonQuoted(json, value);
  }
}

void JsonInt(Json* json, const char* key, long long value) {
  char number[32];
  snprintf(number, sizeof number, "%lld", value);
  JsonKey(json, key);
  JsonRaw(json, number);
}

void JsonBool(Json* json, const char* key, bool value) {
  JsonKey(json, key);
  JsonRaw(json, value ? "true" : "false");
}

void JsonOpen(Json* json, const char* key, char bracket) {
  JsonKey(json, key);
  const char text[2] = {bracket, 0};
  JsonRaw(json, text);
  json->needComma = false;
}

void JsonClose(Json* json, char bracket) {
  const char text[2] = {bracket, 0};
  JsonRaw(json, text);
  json->needComma = true;
}

/* ---- Debug sink ---- */

static int32_t QH_THISCALL DebugMessage(void* self, CDebugInfoIf* info) {
  DebugLog* log = OUTER(self, DebugLog, sink);
  const uint8_t level = QH_CALL(info, GetLevel);
  const char* text = QH_CALL(info, GetText);
  EnterCriticalSection(&log->lock);
  if (level == 1) ++log->errors;
  snprintf(log->last[log->lines % 8], sizeof log->last[0], "%u %s", level, text != NULL ? text : "(null)");
  ++log->lines;
  LeaveCriticalSection(&log->lock);
  return 0;
}

static const IDebugSinkVtbl kDebugSinkVtbl = {NotDestroyed, DebugMessage};

void DebugLogInit(DebugLog* log) {
  memset(log, 0, sizeof *log);
  log->sink.vtbl = &kDebugSinkVtbl;
  InitializeCriticalSection(&log->lock);
}

void DebugLogReset(DebugLog* log) {
  EnterCriticalSection(&log->lock);
  log->errors = 0;
  log->lines = 0;
  LeaveCriticalSection(&log->lock);
}

void DebugLogWrite(DebugLog* log, Json* json, const char* key) {
  EnterCriticalSection(&log->lock);
  JsonOpen(json, key, '[');
  const LONG first = log->lines > 8 ? log->lines - 8 : 0;
  for (LONG i = first; i < log->lines; ++i) JsonString(json, NULL, log->last[i % 8]);
  JsonClose(json, ']');
  LeaveCriticalSection(&log->lock);
}

/* ---- Samples and their allocator ---- */

static uint8_t* QH_THISCALL SampleData(void* self) {
  return ((Sample*)self)->data;
}
static void QH_THISCALL SampleSetSize(void* self, uint32_t size) {
  ((Sample*)self)->size = size;
}
static void QH_THISCALL SampleCommit(void* self) {
  Sample* sample = self;
  if (sample->committed) InterlockedIncrement(&gUnexpectedCalls);
  sample->committed = true;
}
static void QH_THISCALL SampleSetFourCC(void* self, uint32_t code) {
  ((Sample*)self)->fourCC = code;
}
static void QH_THISCALL SampleSetHeight(void* self, uint32_t height) {
  ((Sample*)self)->height = height;
}
static void QH_THISCALL SampleSetWidth(void* self, uint32_t width) {
  ((Sample*)self)->width = width;
}
static void QH_THISCALL SampleSetClass(void* self, uint32_t value) {
  ((Sample*)self)->resolutionClass = value;
}

static const IFrameSampleVtbl kSampleVtbl = {
    NotDestroyed,    NotCalled, SampleData,     NotCalled, SampleSetSize,   SampleCommit,
    NotCalled,       NotCalled, NotCalled,      NotCalled, SampleSetFourCC, NotCalled,
    SampleSetHeight, NotCalled, SampleSetWidth, NotCalled, SampleSetClass};

static IFrameSample* QH_THISCALL CreateSample(void* self, uint32_t fourCC, uint32_t capacity,
                                              const char* producer) {
  Allocator* allocator = self;
  Sample* sample = calloc(1, sizeof *sample);
  uint8_t* data = capacity > 0 && capacity <= 64u * 1024 * 1024 ? malloc(capacity) : NULL;
  if (sample == NULL || data == NULL || producer == NULL || strcmp(producer, "QuenlarkIPCapture") != 0) {
    free(sample);
    free(data);
    InterlockedIncrement(&allocator->refused);
    return NULL;
  }
  sample->iface.vtbl = &kSampleVtbl;
  sample->data = data;
  sample->capacity = capacity;
  sample->fourCC = fourCC;
  InterlockedIncrement(&allocator->created);
  return &sample->iface;
}

static void QH_THISCALL ReleaseSample(void* self, IFrameSample* iface) {
  Allocator* allocator = self;
  Sample* sample = (Sample*)iface;
  if (sample == NULL) return;
  free(sample->data);
  free(sample);
  InterlockedIncrement(&allocator->released);
}

static const ISampleAllocatorVtbl kAllocatorVtbl = {NotDestroyed, NotCalled, CreateSample, NotCalled,
                                                    NotCalled,    NotCalled, ReleaseSample};

void AllocatorInit(Allocator* allocator) {
  memset(allocator, 0, sizeof *allocator);
  allocator->iface.vtbl = &kAllocatorVtbl;
}

/* ---- Frame sink ---- */

static uint32_t FourCC(const char* code) {
  return (uint32_t)(uint8_t)code[0] | (uint32_t)(uint8_t)code[1] << 8 | (uint32_t)(uint8_t)code[2] << 16 |
         (uint32_t)(uint8_t)code[3] << 24;
}

static bool StartsWithStartCode(const uint8_t* data, uint32_t size) {
  if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) return true;
  return size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1;
}

/* What is wrong with a picture of the sink's codec, or NULL. */
static const char* PictureFault(const FrameSink* sink, const Sample* sample, bool* key) {
  const uint8_t* d = sample->data;
  const uint32_t n = sample->size;
  *key = false;
  if (!sample->committed) return "delivered before commit";
  if (n == 0 || n > sample->capacity) return "size outside the capacity";
  if (sample->width == 0 || sample->height == 0) return "no picture size";
  switch (sink->codecType) {
    case 1:
      if (sample->fourCC != FourCC("JPEG")) return "code is not JPEG";
      if (n < 4 || d[0] != 0xFF || d[1] != 0xD8) return "no JPEG SOI";
      if (d[n - 2] != 0xFF || d[n - 1] != 0xD9) return "no JPEG EOI";
      *key = true;
      return NULL;
    case 2:
      if (sample->fourCC != FourCC("DIVX") && sample->fourCC != FourCC("DIVI"))
        return "code is not DIVX/DIVI";
      if (!StartsWithStartCode(d, n)) return "no MPEG-4 start code";
      *key = sample->fourCC == FourCC("DIVX");
      return NULL;
    case 3:
      if (sample->fourCC != FourCC("H264") && sample->fourCC != FourCC("I264"))
        return "code is not H264/I264";
      if (!StartsWithStartCode(d, n)) return "no H.264 start code";
      *key = sample->fourCC == FourCC("H264");
      return NULL;
    default:
      return "unknown codec";
  }
}

static bool QH_THISCALL Deliver(void* self, IFrameSample* iface) {
  FrameSink* sink = self;
  const Sample* sample = (const Sample*)iface;
  bool key = false;
  const char* fault = sample != NULL ? PictureFault(sink, sample, &key) : "null sample";
  if (fault != NULL) {
    if (InterlockedIncrement(&sink->formatErrors) == 1)
      CopyText(sink->firstError, sizeof sink->firstError, fault);
    return false;
  }
  InterlockedIncrement(&sink->pictures);
  if (key) InterlockedIncrement(&sink->keyPictures);
  InterlockedExchange(&sink->width, (LONG)sample->width);
  InterlockedExchange(&sink->height, (LONG)sample->height);
  return true;
}

static void QH_THISCALL SignalLost(void* self) {
  InterlockedIncrement(&((FrameSink*)self)->signalLost);
}

static const IFrameSinkVtbl kFrameSinkVtbl = {NotDestroyed, Deliver, NotCalled, SignalLost};

void FrameSinkInit(FrameSink* sink, int32_t codecType) {
  memset(sink, 0, sizeof *sink);
  sink->iface.vtbl = &kFrameSinkVtbl;
  sink->codecType = codecType;
}

/* ---- Stream settings ---- */

static IVideoFormat* QH_THISCALL SettingsFormat(void* self) {
  return &OUTER(self, StreamSettings, settings)->format;
}
static IEncodingParams* QH_THISCALL SettingsEncoding(void* self) {
  return &OUTER(self, StreamSettings, settings)->encoding;
}
static IPictureSize* QH_THISCALL FormatSize(void* self) {
  return &OUTER(self, StreamSettings, format)->size;
}
static uint16_t QH_THISCALL EncodingInterval(void* self) {
  return OUTER(self, StreamSettings, encoding)->frameInterval;
}
static uint16_t QH_THISCALL EncodingQuality(void* self) {
  return OUTER(self, StreamSettings, encoding)->quality;
}
static uint16_t QH_THISCALL SizeWidth(void* self) {
  return OUTER(self, StreamSettings, size)->width;
}
static uint16_t QH_THISCALL SizeHeight(void* self) {
  return OUTER(self, StreamSettings, size)->height;
}

static const IChannelSettingsVtbl kSettingsVtbl = {NotDestroyed, SettingsFormat, SettingsEncoding};
static const IVideoFormatVtbl kFormatVtbl = {NotDestroyed, NotCalled, NotCalled, FormatSize};
static const IEncodingParamsVtbl kEncodingVtbl = {NotDestroyed, EncodingInterval, NotCalled, EncodingQuality};
static const IPictureSizeVtbl kSizeVtbl = {NotDestroyed, SizeWidth, SizeHeight};

void StreamSettingsInit(StreamSettings* settings, uint16_t width, uint16_t height, uint16_t frameInterval,
                        uint16_t quality) {
  memset(settings, 0, sizeof *settings);
  settings->settings.vtbl = &kSettingsVtbl;
  settings->format.vtbl = &kFormatVtbl;
  settings->encoding.vtbl = &kEncodingVtbl;
  settings->size.vtbl = &kSizeVtbl;
  settings->width = width;
  settings->height = height;
  settings->frameInterval = frameInterval;
  settings->quality = quality;
}

/* ---- Device parameters ---- */

static IDeviceDescription* QH_THISCALL ParamsDescription(void* self) {
  return &OUTER(self, Device, params)->description;
}
static IConnectionParams* QH_THISCALL ParamsConnection(void* self) {
  return &OUTER(self, Device, params)->connection;
}
static const char* QH_THISCALL ParamsCustom(void* self, int32_t index) {
  const Device* device = OUTER(self, Device, params);
  return index >= 1 && index <= 3 ? device->custom[index - 1] : NULL;
}
static const char* QH_THISCALL DescriptionModel(void* self) {
  return OUTER(self, Device, description)->model;
}
static int32_t QH_THISCALL DescriptionChannels(void* self) {
  return OUTER(self, Device, description)->channels;
}
static int32_t QH_THISCALL DescriptionInputs(void* self) {
  return OUTER(self, Device, description)->inputs;
}
static int32_t QH_THISCALL DescriptionOutputs(void* self) {
  return OUTER(self, Device, description)->outputs;
}
static const char* QH_THISCALL ConnectionAddress(void* self) {
  return OUTER(self, Device, connection)->address;
}
static uint16_t QH_THISCALL ConnectionPort(void* self) {
  return OUTER(self, Device, connection)->httpPort;
}
static int32_t QH_THISCALL ConnectionCodec(void* self) {
  return OUTER(self, Device, connection)->codecType;
}
static const char* QH_THISCALL ConnectionUser(void* self) {
  return OUTER(self, Device, connection)->user;
}
static const char* QH_THISCALL ConnectionPassword(void* self) {
  return OUTER(self, Device, connection)->password;
}

static const IDeviceParamsVtbl kParamsVtbl = {NotDestroyed, ParamsDescription, ParamsConnection, NotCalled,
                                              ParamsCustom};
static const IDeviceDescriptionVtbl kDescriptionVtbl = {NotDestroyed,        NotCalled, DescriptionModel,
                                                        DescriptionChannels, NotCalled, DescriptionInputs,
                                                        DescriptionOutputs};
static const IConnectionParamsVtbl kConnectionVtbl = {NotDestroyed,      ConnectionAddress, ConnectionPort,
                                                      NotCalled,         ConnectionCodec,   ConnectionUser,
                                                      ConnectionPassword};

void DeviceInit(Device* device) {
  memset(device, 0, sizeof *device);
  device->params.vtbl = &kParamsVtbl;
  device->description.vtbl = &kDescriptionVtbl;
  device->connection.vtbl = &kConnectionVtbl;
}

/* ---- Digital I/O events ---- */

static void QH_THISCALL InputChanged(void* self, int32_t input, int32_t state) {
  IOEvents* events = self;
  if (input < 0 || input >= 8 || (state != 1 && state != 2)) {
    InterlockedIncrement(&gUnexpectedCalls);
    return;
  }
  InterlockedExchange(&events->inputState[input], state);
  SetEvent(events->changed);
}
static void QH_THISCALL IOFailure(void* self) {
  InterlockedIncrement(&((IOEvents*)self)->failures);
}

static const IIOEventSinkVtbl kIOEventsVtbl = {NotDestroyed, InputChanged, IOFailure};

void IOEventsInit(IOEvents* events) {
  memset(events, 0, sizeof *events);
  events->iface.vtbl = &kIOEventsVtbl;
  events->changed = CreateEventW(NULL, FALSE, FALSE, NULL);
}

/* ---- Capability query ---- */

static void QH_THISCALL QueryCompleted(void* self) {
  Capabilities* c = OUTER(self, Capabilities, callback);
  c->completed = true;
  SetEvent(c->done);
}
static void QH_THISCALL QueryFailed(void* self, int32_t code, const char* message) {
  Capabilities* c = OUTER(self, Capabilities, callback);
  c->failCode = code;
  CopyText(c->failMessage, sizeof c->failMessage, message);
  SetEvent(c->done);
}
static void QH_THISCALL ResultsProperty(void* self, int32_t id, int32_t value) {
  Capabilities* c = OUTER(self, Capabilities, results);
  if (id >= 0 && id < 16) c->properties[id] = value;
}
static void QH_THISCALL ResultsName(void* self, const char* name) {
  Capabilities* c = OUTER(self, Capabilities, results);
  CopyText(c->name, sizeof c->name, name);
}
static ICapabilityText* QH_THISCALL ResultsAddress(void* self, int32_t index) {
  Capabilities* c = OUTER(self, Capabilities, results);
  return index >= 1 && index <= 4 ? &c->address[index - 1].iface : NULL;
}
static ICustomParameterInfo* QH_THISCALL ResultsCustom(void* self, int32_t index) {
  Capabilities* c = OUTER(self, Capabilities, results);
  return index >= 1 && index <= 3 ? &c->custom[index - 1].iface : NULL;
}
static IResolutionList* QH_THISCALL ResultsResolutions(void* self) {
  return &OUTER(self, Capabilities, results)->resolutions;
}
static IFrameIntervalList* QH_THISCALL ResultsIntervals(void* self, int32_t which) {
  if (which != 1) InterlockedIncrement(&gUnexpectedCalls);
  return &OUTER(self, Capabilities, results)->intervals;
}
static void QH_THISCALL AddResolution(void* self, const char* text, int32_t width, int32_t height,
                                      int32_t interval) {
  (void)interval;
  char expected[32];
  snprintf(expected, sizeof expected, "%dx%d", (int)width, (int)height);
  if (text == NULL || strcmp(text, expected) != 0) InterlockedIncrement(&gUnexpectedCalls);
  ++OUTER(self, Capabilities, resolutions)->resolutionCount;
}
static void QH_THISCALL DefaultInterval(void* self, int32_t interval) {
  OUTER(self, Capabilities, intervals)->defaultInterval = interval;
}
static void QH_THISCALL AddInterval(void* self, int32_t interval) {
  (void)interval;
  ++OUTER(self, Capabilities, intervals)->intervalCount;
}
static void QH_THISCALL AddressText(void* self, const char* text) {
  CopyText(((AddressField*)self)->text, sizeof((AddressField*)self)->text, text);
}
static void QH_THISCALL CustomValue(void* self, const char* value) {
  CopyText(((CustomParameter*)self)->value, sizeof((CustomParameter*)self)->value, value);
}
static void QH_THISCALL CustomType(void* self, int32_t type) {
  ((CustomParameter*)self)->type = type;
}
static void QH_THISCALL CustomName(void* self, const char* name) {
  CopyText(((CustomParameter*)self)->name, sizeof((CustomParameter*)self)->name, name);
}
static void QH_THISCALL CustomAttribute(void* self, int32_t value) {
  ((CustomParameter*)self)->attribute = value;
}

static const ICapabilityQueryCallbackVtbl kCallbackVtbl = {NotDestroyed, NotCalled, QueryCompleted,
                                                           QueryFailed};
static const ICapabilityResultsVtbl kResultsVtbl = {NotDestroyed,       ResultsProperty, ResultsName,
                                                    ResultsAddress,     NotCalled,       ResultsCustom,
                                                    ResultsResolutions, NotCalled,       ResultsIntervals};
static const IResolutionListVtbl kResolutionsVtbl = {NotDestroyed, AddResolution};
static const IFrameIntervalListVtbl kIntervalsVtbl = {NotDestroyed, DefaultInterval, AddInterval};
static const ICapabilityTextVtbl kTextVtbl = {NotDestroyed, AddressText};
static const ICustomParameterInfoVtbl kCustomVtbl = {NotDestroyed, CustomValue, NotCalled,      NotCalled,
                                                     CustomType,   CustomName,  CustomAttribute};

void CapabilitiesInit(Capabilities* c) {
  memset(c, 0, sizeof *c);
  c->callback.vtbl = &kCallbackVtbl;
  c->results.vtbl = &kResultsVtbl;
  c->resolutions.vtbl = &kResolutionsVtbl;
  c->intervals.vtbl = &kIntervalsVtbl;
  for (int i = 0; i < 4; ++i) c->address[i].iface.vtbl = &kTextVtbl;
  for (int i = 0; i < 3; ++i) {
    c->custom[i].iface.vtbl = &kCustomVtbl;
    c->custom[i].type = -1;
    c->custom[i].attribute = -1;
  }
  for (int i = 0; i < 16; ++i) c->properties[i] = -1;
  c->done = CreateEventW(NULL, TRUE, FALSE, NULL);
}

/* ---- Helpers ---- */

char* SimGet(uint16_t port, const char* path) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return NULL;
  const DWORD timeout = 5000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof timeout);
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char request[512];
  const int length = snprintf(request, sizeof request,
                              "GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", path);
  char* reply = NULL;
  size_t size = 0;
  if (connect(s, (struct sockaddr*)&address, sizeof address) == 0 && send(s, request, length, 0) == length) {
    char chunk[4096];
    int got;
    while ((got = recv(s, chunk, sizeof chunk, 0)) > 0 && size < (1u << 20)) {
      char* grown = realloc(reply, size + (size_t)got + 1);
      if (grown == NULL) break;
      reply = grown;
      memcpy(reply + size, chunk, (size_t)got);
      size += (size_t)got;
      reply[size] = 0;
    }
  }
  closesocket(s);
  if (reply == NULL) return NULL;
  char* body = strstr(reply, "\r\n\r\n");
  if (body == NULL || strncmp(reply, "HTTP/1.", 7) != 0 || strncmp(reply + 8, " 200", 4) != 0) {
    free(reply);
    return NULL;
  }
  memmove(reply, body + 4, strlen(body + 4) + 1);
  return reply;
}

bool ReplyValue(const char* reply, const char* name, char* value, size_t size) {
  const size_t n = strlen(name);
  for (const char* line = reply; line != NULL && *line != 0;) {
    const char* end = strchr(line, '\n');
    if (strncmp(line, name, n) == 0 && line[n] == '=') {
      size_t length = end != NULL ? (size_t)(end - line) - n - 1 : strlen(line + n + 1);
      if (length > 0 && line[n + 1 + length - 1] == '\r') --length;
      if (length >= size) length = size - 1;
      memcpy(value, line + n + 1, length);
      value[length] = 0;
      return true;
    }
    line = end != NULL ? end + 1 : NULL;
  }
  return false;
}

char* ReadWholeFile(const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  if (file == NULL) return NULL;
  char* text = NULL;
  size_t size = 0;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0 && size < (1u << 20)) {
    char* grown = realloc(text, size + got + 1);
    if (grown == NULL) break;
    text = grown;
    memcpy(text + size, chunk, got);
    size += got;
  }
  fclose(file);
  if (text == NULL)
    text = calloc(1, 1);
  else
    text[size] = 0;
  return text;
}

void ExecutableDirectory(wchar_t* buffer, size_t size) {
  const DWORD length = GetModuleFileNameW(NULL, buffer, (DWORD)size);
  buffer[length < size ? length : size - 1] = 0;
  wchar_t* slash = wcsrchr(buffer, L'\\');
  if (slash != NULL) slash[1] = 0;
}
