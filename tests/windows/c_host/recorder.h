/* The recorder's side of the contract, in C: the objects the module calls back, and small helpers
 * (a JSON writer, camsim's control requests, reading a file). */
#ifndef QUENLARK_C_HOST_RECORDER_H
#define QUENLARK_C_HOST_RECORDER_H

#include <windows.h>

#include <stddef.h>

#include "interfaces.h"

/* ---- JSON written into a growing buffer ---- */
typedef struct Json {
  char* text;
  size_t length;
  size_t capacity;
  bool needComma;
} Json;
void JsonRaw(Json* json, const char* text);
void JsonKey(Json* json, const char* key); /* "key": (with the comma before it when needed) */
void JsonString(Json* json, const char* key, const char* value);
void JsonInt(Json* json, const char* key, long long value);
void JsonBool(Json* json, const char* key, bool value);
void JsonOpen(Json* json, const char* key, char bracket); /* key may be NULL inside an array */
void JsonClose(Json* json, char bracket);

/* ---- Diagnostic lines from the module ---- */
typedef struct DebugLog {
  IDebugSink sink;
  CRITICAL_SECTION lock;
  LONG errors; /* level-1 lines since the last reset */
  LONG lines;
  char last[8][512]; /* the last lines, newest at (lines - 1) % 8 */
} DebugLog;
void DebugLogInit(DebugLog* log);
void DebugLogReset(DebugLog* log);
void DebugLogWrite(DebugLog* log, Json* json, const char* key); /* the last lines as an array */

/* ---- Pictures ---- */
typedef struct Sample {
  IFrameSample iface;
  uint8_t* data;
  uint32_t capacity, size, fourCC, width, height, resolutionClass;
  bool committed;
} Sample;

typedef struct Allocator {
  ISampleAllocator iface;
  volatile LONG created, released, refused;
} Allocator;
void AllocatorInit(Allocator* allocator);

/* Checks each picture against its codec: code, start code or SOI/EOI, size. */
typedef struct FrameSink {
  IFrameSink iface;
  int32_t codecType; /* 1 Motion-JPEG, 2 MPEG-4, 3 H.264 */
  volatile LONG pictures, keyPictures, formatErrors, signalLost;
  volatile LONG width, height;
  char firstError[160];
} FrameSink;
void FrameSinkInit(FrameSink* sink, int32_t codecType);

/* Stream settings: picture size, frame interval and quality. */
typedef struct StreamSettings {
  IChannelSettings settings;
  IVideoFormat format;
  IEncodingParams encoding;
  IPictureSize size;
  uint16_t width, height, frameInterval, quality;
} StreamSettings;
void StreamSettingsInit(StreamSettings* settings, uint16_t width, uint16_t height, uint16_t frameInterval,
                        uint16_t quality);

/* ---- Device parameters ---- */
typedef struct Device {
  IDeviceParams params;
  IDeviceDescription description;
  IConnectionParams connection;
  const char* address;
  uint16_t httpPort;
  int32_t codecType, channels, inputs, outputs;
  const char* model;
  const char* user;
  const char* password;
  const char* custom[3]; /* "Video standard", "Firmware", "MAC Address" */
} Device;
void DeviceInit(Device* device);

/* ---- Digital I/O events ---- */
typedef struct IOEvents {
  IIOEventSink iface;
  volatile LONG failures;
  volatile LONG inputState[8]; /* the last state reported per input, 0 none */
  HANDLE changed;              /* set on every input change */
} IOEvents;
void IOEventsInit(IOEvents* events);

/* ---- Capability query ---- */
typedef struct CustomParameter {
  ICustomParameterInfo iface;
  char name[64], value[64];
  int32_t type, attribute;
} CustomParameter;

typedef struct AddressField {
  ICapabilityText iface;
  char text[128];
} AddressField;

typedef struct Capabilities {
  ICapabilityQueryCallback callback;
  ICapabilityResults results;
  IResolutionList resolutions;
  IFrameIntervalList intervals;
  AddressField address[4];
  CustomParameter custom[3];
  int32_t properties[16]; /* -1 when not written */
  char name[128];
  int resolutionCount, intervalCount, defaultInterval;
  HANDLE done;
  bool completed;
  int32_t failCode;
  char failMessage[160];
} Capabilities;
void CapabilitiesInit(Capabilities* capabilities);

/* ---- Helpers ---- */
/* GET of a camsim control path on 127.0.0.1:port; the body, or NULL. Free with free(). */
char* SimGet(uint16_t port, const char* path);
/* The value of name=value in a reply, into value; false when absent. */
bool ReplyValue(const char* reply, const char* name, char* value, size_t size);
/* A whole file, NUL-terminated, or NULL. Free with free(). */
char* ReadWholeFile(const wchar_t* path);
/* This executable's directory with its trailing backslash. */
void ExecutableDirectory(wchar_t* buffer, size_t size);

#endif
