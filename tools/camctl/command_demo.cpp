// camctl demo: the module's main job against the embedded camera simulator.

#include <sys/stat.h>

#include <cstdio>

#include "tools/camctl/camsim_process.h"
#include "tools/camctl/commands.h"
#include "tools/camctl/stream_session.h"

namespace camctl {
namespace {
namespace ipc = korvalt::ipcapture;

struct DemoCodec {
  const char* Name;
  int CodecType;
  const char* Extension;
};

int RunDemo(const Options& options) {
  std::string error;
  const std::string outDir = options.Get("out-dir", "demo-output");
  const long seconds = options.GetInt("seconds", 5, error);
  if (!error.empty() || seconds < 1) {
    std::fprintf(stderr, "camctl demo: --seconds needs a number from 1\n");
    return 2;
  }
  mkdir(outDir.c_str(), 0755);

  const std::string camsimPath = options.Get("camsim", DefaultCamsimPath());
  std::printf("== starting the camera simulator (%s)\n", camsimPath.c_str());
  CamsimProcess camsim;
  if (!camsim.Start(camsimPath,
                    {"--http-port", "0", "--rtsp-port", "0", "--auth", "digest", "--user", "admin",
                     "--password", "secret", "--inputs", "2", "--outputs", "1"},
                    10000, error)) {
    std::fprintf(stderr, "camctl demo: %s\n", error.c_str());
    return 1;
  }
  std::printf("   camera on http://127.0.0.1:%u (RTSP port %u), Digest user admin / secret\n\n",
              camsim.HttpPort, camsim.RtspPort);

  const DemoCodec codecs[] = {{"h264", ipc::kCodecTypeH264, "h264"},
                              {"mpeg4", ipc::kCodecTypeMPEG4, "m4v"},
                              {"mjpeg", ipc::kCodecTypeMJPEG, "mjpeg"}};
  int failures = 0;
  std::vector<std::string> files;
  for (const DemoCodec& codec : codecs) {
    StreamRequest request;
    request.Device.Address = "127.0.0.1";
    request.Device.Port = camsim.HttpPort;
    request.Device.UserName = "admin";
    request.Device.Password = "secret";
    request.Device.CodecType = codec.CodecType;
    request.ModulePath = ModulePath(options);
    request.Width = 640;
    request.Height = 480;
    request.IntervalMs = 40;
    request.Quality = 60;
    request.Seconds = static_cast<double>(seconds);
    request.OutPath = outDir + "/stream." + codec.Extension;
    request.SnapshotPath = outDir + "/snapshot-" + codec.Name + ".png";
    std::printf("== %s: 640x480 at 25 fps for %ld s through the driver module\n", codec.Name, seconds);
    const StreamSummary summary = RunStream(request);
    PrintSummary(summary, request);
    std::printf("\n");
    if (!summary.Ok) ++failures;
    files.push_back(request.OutPath);
    if (summary.SnapshotWritten) files.push_back(request.SnapshotPath);
  }
  camsim.Stop();
  std::printf("== camera simulator stopped\n\nfiles in %s/:\n", outDir.c_str());
  for (const auto& file : files) std::printf("  %s\n", file.c_str());
  std::printf(
      "\nplay a stream with ffplay (e.g. ffplay %s/stream.h264); open the PNG snapshots in any viewer.\n",
      outDir.c_str());
  if (failures > 0) std::printf("%d of 3 streams failed\n", failures);
  return failures == 0 ? 0 : 1;
}

const bool kRegistered = RegisterCommand(
    {"demo",
     "start the camera simulator and stream each codec through the module",
     "usage: camctl demo [--out-dir DIR] [--seconds S] [--camsim PATH] [--module PATH]\n\n"
     "Starts camsim on free loopback ports, streams H.264, MPEG-4 and Motion-JPEG for a few\n"
     "seconds each through the driver module with a live progress line, writes each stream and a\n"
     "PNG snapshot into DIR (default demo-output), and stops camsim.\n",
     {"help", "version"},
     {"help", "version", "module", "out-dir", "seconds", "camsim"},
     RunDemo});

}  // namespace
}  // namespace camctl
