// camctl stream: live video of one channel into a file, with a progress line and a summary.

#include <cstdio>

#include "tools/camctl/commands.h"
#include "tools/camctl/stream_session.h"

namespace camctl {
namespace {

int RunStreamCommand(const Options& options) {
  StreamRequest request;
  std::string error;
  request.Device.CodecType = korvalt::ipcapture::kCodecTypeH264;
  if (!ReadDeviceConfig(options, request.Device, error)) {
    std::fprintf(stderr, "camctl stream: %s\n", error.c_str());
    return 2;
  }
  request.ModulePath = ModulePath(options);
  const long width = options.GetInt("width", 640, error);
  const long height = options.GetInt("height", 480, error);
  const long interval = options.GetInt("interval", 40, error);
  const long quality = options.GetInt("quality", 60, error);
  const long seconds = options.GetInt("seconds", 5, error);
  const long channel = options.GetInt("channel", 0, error);
  if (!error.empty()) {
    std::fprintf(stderr, "camctl stream: %s\n", error.c_str());
    return 2;
  }
  if (width < 16 || width > 4096 || height < 16 || height > 4096 || interval < 0 || interval > 65535 ||
      quality < 0 || quality > 100 || seconds < 1 || channel < 0 || channel >= request.Device.Channels) {
    std::fprintf(stderr,
                 "camctl stream: out of range (width/height 16-4096, interval 0-65535, quality 0-100, "
                 "seconds >= 1, channel below --channels)\n");
    return 2;
  }
  request.Width = static_cast<uint16_t>(width);
  request.Height = static_cast<uint16_t>(height);
  request.IntervalMs = static_cast<uint16_t>(interval);
  request.Quality = static_cast<uint16_t>(quality);
  request.Seconds = static_cast<double>(seconds);
  request.Channel = static_cast<uint32_t>(channel);
  request.OutPath = options.Get("out");
  request.SnapshotPath = options.Get("snapshot");
  const bool json = options.Has("json");
  request.Progress = !json;
  request.ShowDiagnostics = !json;
  request.Verbose = options.Has("verbose");

  StreamSummary summary = RunStream(request);
  if (!summary.Ok) {
    if (!json) std::fprintf(stderr, "camctl stream: the stream failed; asking the camera why...\n");
    ExplainFailure(summary, request);
  }
  if (json) {
    std::printf("%s\n", SummaryJson(summary).c_str());
  } else {
    PrintSummary(summary, request);
  }
  return summary.Ok ? 0 : 1;
}

std::vector<std::string> StreamOptions() {
  auto names = DeviceOptionNames();
  names.insert(names.end(), {"width", "height", "interval", "quality", "seconds", "out", "snapshot",
                             "channel", "json", "help", "version"});
  return names;
}

const bool kRegistered = RegisterCommand(
    {"stream",
     "stream one channel into a file, decode it and summarise",
     std::string("usage: camctl stream [options] --out FILE\n\n"
                 "Opens the driver, starts the channel, prints one progress line per second, stops\n"
                 "after --seconds, writes the pictures as the codec's elementary stream (Annex B H.264,\n"
                 "MPEG-4 Part 2, or concatenated JPEG pictures), decodes every picture with libavcodec\n"
                 "and prints a summary. When the stream fails, camctl asks the camera itself (HTTP,\n"
                 "RTSP, RTP; a few seconds at most) and prints the likely cause as a hint.\n\n"
                 "options:\n") +
         kDeviceOptionsHelp +
         "  --width W          picture width (default 640)\n"
         "  --height H         picture height (default 480)\n"
         "  --interval MS      frame interval in ms (default 40; 0 keeps the camera's rate)\n"
         "  --quality Q        0 to 100 (default 60)\n"
         "  --seconds S        how long to stream (default 5)\n"
         "  --out FILE         where the elementary stream goes\n"
         "  --snapshot FILE    PNG of the last decoded picture\n"
         "  --channel I        channel index, below --channels (default 0)\n"
         "  --json             the summary as one JSON object, nothing else on stdout\n",
     {"json", "help", "version", "verbose"},
     StreamOptions(),
     RunStreamCommand});

}  // namespace
}  // namespace camctl
