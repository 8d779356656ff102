#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"

namespace camctl {

struct StreamRequest {
  hostkit::DeviceConfig Device;
  std::string ModulePath;
  uint32_t Channel = 0;
  uint16_t Width = 640;
  uint16_t Height = 480;
  uint16_t IntervalMs = 40;
  uint16_t Quality = 60;
  double Seconds = 5;
  std::string OutPath;       // elementary stream; empty: not written
  std::string SnapshotPath;  // PNG of the last decoded picture; empty: none
  bool Progress = true;      // one live line per second on stdout
  bool ShowDiagnostics = true;
  bool Verbose = false;  // every module line; otherwise errors and information only
  FILE* DiagnosticsOut = stdout;
  // Seconds counts from the first frame, which must come within FirstFrameLimit seconds.
  bool SecondsAfterFirstFrame = false;
  double FirstFrameLimit = 8;
  bool KeepSnapshot = false;  // the PNG in StreamSummary::SnapshotPng
};

struct StreamSummary {
  bool Ok = false;
  bool Started = false;  // StartChannel accepted the channel
  std::string Error;
  uint64_t Frames = 0;
  uint64_t Decoded = 0;
  uint64_t DecodeErrors = 0;
  uint64_t KeyFrames = 0;
  uint64_t Bytes = 0;
  int Width = 0;
  int Height = 0;
  int64_t FirstFrameMs = -1;  // from StartChannel to the first delivered frame
  int64_t LastFrameMs = -1;   // from StartChannel to the last one
  int64_t StopMs = 0;         // StopChannel's duration
  std::string FourCC;
  std::vector<int> States;  // channel states seen, in order, without repeats
  std::vector<hostkit::DebugLine> Diagnostics;
  bool SnapshotWritten = false;
  bool Interrupted = false;          // Ctrl-C ended the stream early
  std::vector<uint8_t> SnapshotPng;  // with KeepSnapshot
  std::string Hint;                  // likely cause of a failure and the next step
  std::vector<std::string> ProbeSteps;
  // What the module said of the stream's transport and losses.
  std::string Transport;        // "UDP", "TCP", or empty when the module named none
  std::string TransportReason;  // why, as the module put it
  uint64_t RtpLost = 0;
  uint64_t RtpExpected = 0;  // 0: the module reported no loss
  uint64_t PicturesDropped = 0;
  // "UDP blocked, streaming over TCP" when that is what happened; empty otherwise.
  std::string TransportHint() const;

  // Over the time between the first and the last frame; 0 with fewer than two frames.
  double FramesPerSecond() const;
  double KilobitsPerSecond() const;
};

// Opens a driver through the module's exports, streams one channel for the requested time,
// writes and decodes what arrives, and stops everything. Ctrl-C ends the stream early.
StreamSummary RunStream(const StreamRequest& request);

// Fills Hint (and ProbeSteps) of a failed stream: camctl's own probes when no frame arrived, the
// decoder's count when pictures did not decode.
void ExplainFailure(StreamSummary& summary, const StreamRequest& request);

// Reads the module's transport and loss lines among the diagnostics into the summary.
void ReadTransportAndLoss(StreamSummary& summary);
// "N of M RTP packets (S %), P pictures dropped", or "none reported".
std::string LossText(const StreamSummary& summary);
std::string SummaryJson(const StreamSummary& summary);
void PrintSummary(const StreamSummary& summary, const StreamRequest& request);

}  // namespace camctl
