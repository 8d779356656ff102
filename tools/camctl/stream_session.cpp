#include "tools/camctl/stream_session.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/camctl/diagnose.h"
#include "tools/camctl/json_writer.h"
#include "tools/camctl/text_escape.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/decoder.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace camctl {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> gInterrupted{false};

void OnSignal(int) {
  gInterrupted = true;
}

struct Picture {
  std::vector<uint8_t> Data;
  uint32_t FourCC = 0;
  Clock::time_point Arrived;
};

// Collects delivered pictures on the module's receive thread; the main thread drains them.
class PictureQueue {
 public:
  bool Push(const hostkit::FrameSample& sample) {
    Picture picture;
    picture.Data.assign(sample.Data.begin(),
                        sample.Data.begin() + std::min<size_t>(sample.DataSize, sample.Data.size()));
    picture.FourCC = sample.FourCC;
    picture.Arrived = Clock::now();
    std::lock_guard<std::mutex> guard(Lock);
    Pending.push_back(std::move(picture));
    return true;
  }
  std::deque<Picture> Take() {
    std::lock_guard<std::mutex> guard(Lock);
    std::deque<Picture> taken;
    taken.swap(Pending);
    return taken;
  }

 private:
  std::mutex Lock;
  std::deque<Picture> Pending;
};

bool IsKeyFrame(uint32_t fourCC) {
  return fourCC == hostkit::FourCC("H264") || fourCC == hostkit::FourCC("DIVX") ||
         fourCC == hostkit::FourCC("JPEG");
}

const char* StateName(int state) {
  switch (state) {
    case korvalt::ipcapture::kChannelStateStreaming:
      return "streaming";
    case korvalt::ipcapture::kChannelStateSignalLost:
      return "no picture";
    default:
      return "none";
  }
}

std::string FormatNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

StreamSummary RunStream(const StreamRequest& request) {
  StreamSummary summary;
  hostkit::Module module;
  if (!module.Load(request.ModulePath)) {
    summary.Error = "cannot load " + request.ModulePath + ": " + module.Error();
    return summary;
  }
  std::ofstream out;
  if (!request.OutPath.empty()) {
    out.open(request.OutPath, std::ios::binary | std::ios::trunc);
    if (!out) {
      summary.Error = "cannot write " + request.OutPath;
      return summary;
    }
  }

  hostkit::DebugSink sink;
  sink.SetPrinter([&](const hostkit::DebugLine& line) {
    if (request.ShowDiagnostics && ShowsLevel(line.Level, request.Verbose)) {
      std::fprintf(request.DiagnosticsOut, "%s%s [%u] %s\n", request.Progress ? "\r" : "", line.Stamp.c_str(),
                   line.Level, CleanText(line.Text).c_str());
      std::fflush(request.DiagnosticsOut);
    }
  });
  hostkit::SampleAllocator allocator;
  hostkit::DeviceParams params(request.Device);
  PictureQueue queue;
  hostkit::FrameSink frames([&](const hostkit::FrameSample& sample) { return queue.Push(sample); });
  hostkit::ChannelSettings settings(request.IntervalMs, request.Quality, request.Width, request.Height);

  auto* driver = module.Create();
  if (driver == nullptr || !driver->Open(&sink, &allocator, &params) ||
      driver->GetVideoCapture() == nullptr) {
    summary.Error = "the driver could not be opened";
    if (driver != nullptr) module.Delete(driver);
    return summary;
  }
  auto* capture = driver->GetVideoCapture();

  gInterrupted = false;
  auto previousInt = std::signal(SIGINT, OnSignal);
  auto previousTerm = std::signal(SIGTERM, OnSignal);

  const auto start = Clock::now();
  const bool started = capture->StartChannel(request.Channel, &frames, &settings);
  summary.Started = started;
  if (!started) summary.Error = "StartChannel refused the channel";

  std::unique_ptr<hostkit::Decoder> decoder;
  const auto since = [start](Clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(when - start).count();
  };
  const auto consume = [&](const Picture& picture) {
    if (summary.Frames == 0) {
      summary.FirstFrameMs = since(picture.Arrived);
      summary.FourCC = hostkit::FourCCText(picture.FourCC);
      decoder = std::make_unique<hostkit::Decoder>(picture.FourCC);
    }
    summary.LastFrameMs = since(picture.Arrived);
    ++summary.Frames;
    summary.Bytes += picture.Data.size();
    if (IsKeyFrame(picture.FourCC)) ++summary.KeyFrames;
    if (out)
      out.write(reinterpret_cast<const char*>(picture.Data.data()),
                static_cast<std::streamsize>(picture.Data.size()));
    if (decoder) decoder->Decode(picture.Data.data(), picture.Data.size());
  };
  const auto seconds = [](double value) {
    return std::chrono::milliseconds(static_cast<int64_t>(value * 1000));
  };
  auto deadline = start + seconds(request.SecondsAfterFirstFrame ? request.FirstFrameLimit : request.Seconds);
  auto nextReport = start + std::chrono::seconds(1);
  uint64_t framesAtReport = 0;
  uint64_t bytesAtReport = 0;
  while (started && !gInterrupted && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (Picture& picture : queue.Take()) {
      if (summary.Frames == 0 && request.SecondsAfterFirstFrame)
        deadline = picture.Arrived + seconds(request.Seconds);
      consume(picture);
    }
    int32_t state = korvalt::ipcapture::kChannelStateStopped;
    int32_t reserved = 0;
    if (capture->GetChannelState(request.Channel, &state, &reserved, nullptr, 0)) {
      if (summary.States.empty() || summary.States.back() != state) summary.States.push_back(state);
    }
    if (Clock::now() >= nextReport) {
      const uint64_t fps = summary.Frames - framesAtReport;
      const uint64_t kbits = (summary.Bytes - bytesAtReport) * 8 / 1000;
      framesAtReport = summary.Frames;
      bytesAtReport = summary.Bytes;
      nextReport += std::chrono::seconds(1);
      if (request.Progress) {
        std::printf("\r  channel %u  %-10s  frames %6llu  %3llu fps  %6llu kbit/s  key frames %4llu   ",
                    request.Channel, StateName(state), static_cast<unsigned long long>(summary.Frames),
                    static_cast<unsigned long long>(fps), static_cast<unsigned long long>(kbits),
                    static_cast<unsigned long long>(summary.KeyFrames));
        std::fflush(stdout);
      }
    }
  }
  if (request.Progress) std::printf("\n");

  const auto stopStart = Clock::now();
  capture->StopChannel(request.Channel);
  summary.StopMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopStart).count();
  // Pictures that arrived before the stop still count.
  for (Picture& picture : queue.Take()) consume(picture);
  driver->Close();
  module.Delete(driver);
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);

  if (decoder) {
    decoder->Flush();
    summary.Decoded = decoder->Decoded;
    summary.DecodeErrors = decoder->Errors;
    summary.Width = decoder->Width;
    summary.Height = decoder->Height;
    if (!request.SnapshotPath.empty()) summary.SnapshotWritten = decoder->WritePng(request.SnapshotPath);
    if (request.KeepSnapshot) summary.SnapshotPng = decoder->EncodePng();
  }
  summary.Diagnostics = sink.Lines();
  ReadTransportAndLoss(summary);
  summary.Interrupted = gInterrupted;
  summary.Ok = started && summary.Frames > 0 && summary.DecodeErrors == 0;
  if (started && summary.Frames == 0) {
    summary.Error = request.SecondsAfterFirstFrame && !gInterrupted
                        ? "no frame arrived within " + FormatNumber(request.FirstFrameLimit) + " s"
                        : "no frame arrived";
  }
  return summary;
}

double StreamSummary::FramesPerSecond() const {
  if (Frames < 2 || LastFrameMs <= FirstFrameMs) return 0;
  return static_cast<double>(Frames - 1) * 1000.0 / static_cast<double>(LastFrameMs - FirstFrameMs);
}

double StreamSummary::KilobitsPerSecond() const {
  if (Frames < 2 || LastFrameMs <= FirstFrameMs) return 0;
  return static_cast<double>(Bytes) * 8.0 / static_cast<double>(LastFrameMs - FirstFrameMs);
}

void ExplainFailure(StreamSummary& summary, const StreamRequest& request) {
  if (summary.Ok || gInterrupted) return;
  if (summary.Frames == 0) {
    // A module that cannot be loaded or a channel it refuses is not the camera's doing.
    if (!summary.Started) return;
    const Diagnosis diagnosis = Diagnose(request.Device, FailedJob::Stream);
    summary.Hint = diagnosis.Hint;
    summary.ProbeSteps = diagnosis.Steps;
  } else if (summary.DecodeErrors > 0) {
    summary.Hint = std::to_string(summary.DecodeErrors) + " of " + std::to_string(summary.Frames) +
                   " pictures did not decode: pictures lost on the way (a busy network?) or a camera encoder "
                   "fault; try a lower --quality or another codec";
  }
}

std::string StreamSummary::TransportHint() const {
  if (Transport == "TCP" && TransportReason.find("no RTP arrived over UDP") != std::string::npos)
    return "UDP blocked, streaming over TCP";
  return {};
}

void ReadTransportAndLoss(StreamSummary& summary) {
  constexpr std::string_view kOver = " streams over ";
  constexpr std::string_view kLost = ": lost ";
  for (const hostkit::DebugLine& line : summary.Diagnostics) {
    const std::string& text = line.Text;
    if (text.rfind("korvalt::CBaseRTSPChannel::ReportTransport:", 0) == 0) {
      const size_t over = text.find(kOver);
      if (over == std::string::npos) continue;
      summary.Transport = text.substr(over + kOver.size(), 3);
      const size_t reason = text.find("): ", over);
      summary.TransportReason = reason == std::string::npos ? std::string() : text.substr(reason + 3);
    } else if (text.rfind("korvalt::CBaseRTPChannel::ReportLoss:", 0) == 0) {
      const size_t at = text.find(kLost);
      unsigned long long lost = 0, expected = 0, pictures = 0;
      double share = 0;
      if (at != std::string::npos &&
          std::sscanf(text.c_str() + at, ": lost %llu of %llu RTP packets (%lf %%), dropped %llu pictures",
                      &lost, &expected, &share, &pictures) == 4) {
        summary.RtpLost += lost;
        summary.RtpExpected += expected;
        summary.PicturesDropped += pictures;
      }
    }
  }
}

std::string LossText(const StreamSummary& s) {
  if (s.RtpExpected == 0) return "none reported";
  char text[160];
  std::snprintf(text, sizeof text, "%llu of %llu RTP packets (%.1f %%), %llu pictures dropped",
                static_cast<unsigned long long>(s.RtpLost), static_cast<unsigned long long>(s.RtpExpected),
                100.0 * static_cast<double>(s.RtpLost) / static_cast<double>(s.RtpExpected),
                static_cast<unsigned long long>(s.PicturesDropped));
  return text;
}

std::string SummaryJson(const StreamSummary& s) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(s.Ok).Key("frames").Number(s.Frames).Key("decoded").Number(s.Decoded);
  json.Key("decode_errors").Number(s.DecodeErrors).Key("key_frames").Number(s.KeyFrames);
  json.Key("bytes").Number(s.Bytes).Key("width").Number(s.Width).Key("height").Number(s.Height);
  json.Key("fourcc").String(s.FourCC).Key("first_frame_ms").Number(s.FirstFrameMs);
  json.Key("stop_ms").Number(s.StopMs).Key("states").BeginArray();
  for (const auto state : s.States) json.Number(state);
  json.EndArray().Key("last_frame_ms").Number(s.LastFrameMs).Key("diagnostics").BeginArray();
  for (const auto& line : s.Diagnostics) json.String(CleanText(line.Text));
  json.EndArray();
  json.Key("transport").String(s.Transport).Key("transport_reason").String(s.TransportReason);
  json.Key("rtp_lost").Number(s.RtpLost).Key("rtp_expected").Number(s.RtpExpected);
  json.Key("pictures_dropped").Number(s.PicturesDropped);
  if (!s.Error.empty()) json.Key("error").String(s.Error);
  if (!s.Hint.empty()) {
    json.Key("hint").String(s.Hint);
  } else if (!s.TransportHint().empty()) {
    json.Key("hint").String(s.TransportHint());
  }
  if (!s.ProbeSteps.empty()) {
    json.Key("probes").BeginArray();
    for (const std::string& step : s.ProbeSteps) json.String(step);
    json.EndArray();
  }
  return json.EndObject().Text();
}

void PrintSummary(const StreamSummary& s, const StreamRequest& request) {
  std::printf("frames delivered   %llu (%s, %llu key frames, %llu bytes)\n",
              static_cast<unsigned long long>(s.Frames), s.FourCC.empty() ? "-" : s.FourCC.c_str(),
              static_cast<unsigned long long>(s.KeyFrames), static_cast<unsigned long long>(s.Bytes));
  std::printf("frames decoded     %llu, decode errors %llu\n", static_cast<unsigned long long>(s.Decoded),
              static_cast<unsigned long long>(s.DecodeErrors));
  std::printf("picture size       %dx%d\n", s.Width, s.Height);
  std::printf("first frame after  %lld ms; stop took %lld ms\n", static_cast<long long>(s.FirstFrameMs),
              static_cast<long long>(s.StopMs));
  std::string states;
  for (int state : s.States) states += (states.empty() ? "" : " -> ") + std::string(StateName(state));
  std::printf("channel states     %s\n", states.empty() ? "-" : states.c_str());
  std::printf("transport          %s%s%s\n", s.Transport.empty() ? "-" : s.Transport.c_str(),
              s.TransportReason.empty() ? "" : ": ", s.TransportReason.c_str());
  std::printf("loss               %s\n", LossText(s).c_str());
  if (!request.OutPath.empty()) std::printf("stream written to  %s\n", request.OutPath.c_str());
  if (s.SnapshotWritten) std::printf("snapshot           %s\n", request.SnapshotPath.c_str());
  if (!s.Error.empty()) std::printf("error              %s\n", s.Error.c_str());
  if (request.Verbose) {
    for (const std::string& step : s.ProbeSteps) std::printf("probe              %s\n", step.c_str());
  }
  const std::string hint = !s.Hint.empty() ? s.Hint : s.TransportHint();
  if (!hint.empty()) std::printf("hint               %s\n", hint.c_str());
}

}  // namespace camctl
