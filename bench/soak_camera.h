#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace soak {

// The credentials every soak camera takes.
inline constexpr const char* kUser = "admin";
inline constexpr const char* kPassword = "secret";

// One camsim child with PTZ, two inputs and two outputs and Digest authentication: started on free
// ports, killed (a camera that dies) and started again on the same ones.
class Camera {
 public:
  Camera(int index, std::string path, int32_t codecType);
  ~Camera() { Stop(true); }
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Starts camsim and waits for its ready line; the first start picks free ports.
  bool Start();
  // SIGKILL when dying, else SIGTERM; a bounded wait either way.
  void Stop(bool dying);
  // Starts again on the same ports; the old sockets may linger for a moment.
  bool Restart();
  // A simulator control (never authenticated); true on a 200 answer.
  bool Sim(const std::string& pathAndQuery) const;
  // Pictures the camera sent since it started (every client of its stream gets each), or -1.
  long long FramesSent() const;

  const int Index;
  const int32_t CodecType;
  std::string Mac;  // of camsim, and the recorder's MAC address parameter (it names the preset file)
  uint16_t HttpPort = 0;
  uint16_t RtspPort = 0;
  // Where camsim keeps its presets across a kill, as a camera keeps them in flash ("": it forgets
  // them, and the recorder then holds presets whose delete the camera refuses for ever).
  std::string PresetStore;
  std::atomic<bool> Up{false};

 private:
  // The whole reply to a GET of a simulator path, or "".
  std::string Get(const std::string& pathAndQuery) const;

  const std::string Path;
  pid_t Pid = -1;
};

}  // namespace soak
