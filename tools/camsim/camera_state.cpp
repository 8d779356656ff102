#include "camera_state.h"

#include <cctype>
#include <cstdio>

namespace camsim {
namespace {

constexpr int kMaxDimension = 2040;  // RTP/JPEG carries width and height in units of 8 below 2048
constexpr int kMinDimension = 16;
constexpr int kMaxPresetNumber = 255;

std::string Line(const std::string& name, const std::string& value) {
  return name + "=" + value + "\r\n";
}
std::string Line(const std::string& name, long long value) {
  return Line(name, std::to_string(value));
}

Reply BadRequest(const std::string& why) {
  return {400, "error=" + why + "\r\n"};
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool ParseResolution(const std::string& text, int& width, int& height) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  long long w = 0, h = 0;
  if (!ParseBounded(text.substr(0, x), kMinDimension, kMaxDimension, w) ||
      !ParseBounded(text.substr(x + 1), kMinDimension, kMaxDimension, h))
    return false;
  // 4:2:0 encoders need even sizes.
  if (w % 2 != 0 || h % 2 != 0) return false;
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}

bool ParseDottedQuad(const std::string& text) {
  unsigned a, b, c, d;
  char tail;
  return std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4 && a < 256 && b < 256 &&
         c < 256 && d < 256;
}

std::string ProfileText(const VideoProfile& p) {
  // "port" comes before the multicast keys, which contain it as a part of their names.
  return Line("profileid", p.Id) + Line("resolution", p.Resolution()) + Line("codec", p.Codec) +
         Line("bitrate", p.Bitrate) + Line("framerate", p.Framerate) + Line("goplength", p.GopLength) +
         Line("format", p.Format) + Line("port", p.Port) + Line("quality", p.Quality) + Line("vbr", p.Vbr) +
         Line("multicast", p.Multicast) + Line("multicast_addr", p.MulticastAddr) +
         Line("multicast_port", p.MulticastPort);
}

// Applies one set parameter to a copy of the profile; false names a refused value.
bool ApplyProfileKey(VideoProfile& p, const std::string& key, const std::string& value) {
  long long n = 0;
  if (key == "resolution") return ParseResolution(value, p.Width, p.Height);
  if (key == "codec") {
    const std::string codec = Upper(value);
    if (codec != "H264" && codec != "MPEG4" && codec != "MJPEG") return false;
    p.Codec = codec;
    return true;
  }
  if (key == "format") {
    const std::string format = Upper(value);
    if (format != "RTP" && format != "HTTP") return false;
    p.Format = format;
    return true;
  }
  if (key == "multicast") {
    if (value != "on" && value != "off") return false;
    p.Multicast = value;
    return true;
  }
  if (key == "multicast_addr") {
    if (!ParseDottedQuad(value)) return false;
    p.MulticastAddr = value;
    return true;
  }
  struct IntKey {
    const char* Name;
    long long Low, High;
    int VideoProfile::*Field;
  };
  static const IntKey kIntKeys[] = {
      {"bitrate", 16, 20000, &VideoProfile::Bitrate},
      {"framerate", 1, 60, &VideoProfile::Framerate},
      {"goplength", 1, 300, &VideoProfile::GopLength},
      {"port", 1, 65535, &VideoProfile::Port},
      {"quality", 1, 5, &VideoProfile::Quality},
      {"vbr", 1, 51, &VideoProfile::Vbr},
      {"multicast_port", 1, 65535, &VideoProfile::MulticastPort},
  };
  for (const IntKey& k : kIntKeys) {
    if (key != k.Name) continue;
    if (!ParseBounded(value, k.Low, k.High, n)) return false;
    p.*k.Field = static_cast<int>(n);
    return true;
  }
  return true;  // unknown keys are ignored, as cameras do
}

}  // namespace

bool ParseBounded(const std::string& text, long long low, long long high, long long& out) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size() || text.size() > 19) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(text[j]))) return false;
  const long long value = std::stoll(text);
  if (value < low || value > high) return false;
  out = value;
  return true;
}

CameraState::CameraState(const CameraConfig& config, uint16_t rtspPort)
    : Config(config), InputsOn(config.Inputs, false), OutputsOn(config.Outputs, false) {
  VideoProfile& first = Profiles[0];
  first.Id = 1;
  first.Width = 704;
  first.Height = config.Ntsc ? 480 : 576;
  first.Framerate = config.Ntsc ? 30 : 25;
  first.GopLength = first.Framerate;
  first.Port = rtspPort;
  VideoProfile& second = Profiles[1];
  second.Id = 2;
  second.Width = 352;
  second.Height = config.Ntsc ? 240 : 288;
  second.Codec = "MJPEG";
  second.Bitrate = 500;
  second.Framerate = config.Ntsc ? 15 : 12;
  second.GopLength = second.Framerate;
  second.Port = rtspPort;
  if (!config.PresetStore.empty()) {
    // Numbers one per line; anything else, or a missing file, is no preset.
    std::FILE* file = std::fopen(config.PresetStore.c_str(), "r");
    int number = 0;
    while (file != nullptr && std::fscanf(file, "%d", &number) == 1) {
      if (number < 1 || number > kMaxPresetNumber) continue;
      Presets.insert(number);
      ViewState.Store(number);
    }
    if (file != nullptr) std::fclose(file);
  }
}

void CameraState::SavePresetsLocked() const {
  if (Config.PresetStore.empty()) return;
  // Written whole and renamed, so a camera killed meanwhile finds the old list or the new one.
  const std::string temporary = Config.PresetStore + ".new";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return;
  for (int number : Presets) std::fprintf(file, "%d\n", number);
  if (std::fclose(file) == 0) std::rename(temporary.c_str(), Config.PresetStore.c_str());
}

Reply CameraState::Info() const {
  return {200, Line("model", Config.Model) + Line("version", Config.Firmware) + Line("macaddr", Config.Mac) +
                   Line("inputs", Config.Inputs) + Line("outputs", Config.Outputs) +
                   Line("ptz", Config.Ptz ? "yes" : "no")};
}

Reply CameraState::StreamInfo() const {
  // Both standards list square-pixel sizes as well, which the other standard's filter drops.
  const std::string resolutions =
      Config.Ntsc ? "704x480,640x480,352x240,320x240,176x120" : "704x576,640x480,352x288,320x240,176x144";
  const std::string framerates = Config.Ntsc ? "30,15,5" : "25,12,5";
  return {200, Line("videos", "MJPEG,MPEG4,H264") + Line("framerates", framerates) +
                   Line("resolutions", resolutions) + Line("audios", Config.Audio ? "G711,G726" : "")};
}

Reply CameraState::Rs485() const {
  return {200,
          Line("enable", Config.Ptz ? "yes" : "no") + Line("protocol", "pelco-d") + Line("baudrate", 9600)};
}

Reply CameraState::Video(const Params& params) {
  auto id = params.find("profileid");
  long long number = 0;
  if (id == params.end() || !ParseBounded(id->second, 1, 2, number))
    return {404, "error=no such profile\r\n"};
  VideoProfile updated;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(Lock);
    updated = Profiles[number - 1];
    for (const auto& [key, value] : params) {
      if (key == "profileid") continue;
      if (!ApplyProfileKey(updated, key, value)) return BadRequest("bad value for " + key);
    }
    changed = !(updated == Profiles[number - 1]);
    Profiles[number - 1] = updated;
  }
  if (changed && number == 1) {
    std::function<void(const VideoProfile&)> listener;
    {
      std::lock_guard<std::mutex> lock(Lock);
      listener = Profile1Listener;
    }
    if (listener) listener(updated);
  }
  return {200, ProfileText(updated)};
}

Reply CameraState::Io(const Params& params) {
  std::lock_guard<std::mutex> lock(Lock);
  std::string body;
  bool anyOutput = false;
  for (const auto& [key, value] : params) {
    if (key.rfind("out", 0) != 0) continue;
    long long n = 0;
    if (!ParseBounded(key.substr(3), 1, Config.Outputs, n)) return {400, "error=no such output\r\n"};
    if (value != "on" && value != "off") return BadRequest("bad value for " + key);
    anyOutput = true;
  }
  if (anyOutput) {
    for (const auto& [key, value] : params) {
      if (key.rfind("out", 0) != 0) continue;
      const int n = std::stoi(key.substr(3));
      OutputsOn[n - 1] = value == "on";
      body += Line(key, value);
    }
    return {200, body};
  }
  for (size_t i = 0; i < InputsOn.size(); ++i)
    body += Line("in" + std::to_string(i + 1), InputsOn[i] ? "on" : "off");
  return {200, body};
}

Reply CameraState::PtzMove(const Params& params) {
  // A missing axis does not move; the bare request stops every axis.
  int values[3] = {0, 0, 0};
  const char* names[3] = {"p", "t", "z"};
  for (int i = 0; i < 3; ++i) {
    auto it = params.find(names[i]);
    long long n = 0;
    if (it == params.end()) continue;
    if (!ParseBounded(it->second, -100, 100, n)) return BadRequest(std::string("bad value for ") + names[i]);
    values[i] = static_cast<int>(n);
  }
  std::lock_guard<std::mutex> lock(Lock);
  Pan = values[0];
  Tilt = values[1];
  Zoom = values[2];
  ViewState.SetSpeeds(Pan, Tilt, Zoom);
  ++PtzCommands;
  return {200, Line("p", Pan) + Line("t", Tilt) + Line("z", Zoom)};
}

Reply CameraState::Focus(const Params& params) {
  auto it = params.find("f");
  long long n = 0;
  // A negative speed may arrive in its 32-bit unsigned form (4294967295 for -1).
  if (it == params.end() || !ParseBounded(it->second, -100, 0xFFFFFFFFLL, n))
    return BadRequest("bad value for f");
  if (n > 0x7FFFFFFFLL) n -= 0x100000000LL;
  if (n < -100 || n > 100) return BadRequest("bad value for f");
  std::lock_guard<std::mutex> lock(Lock);
  FocusSpeed = static_cast<int>(n);
  ++PtzCommands;
  return {200, Line("f", FocusSpeed)};
}

Reply CameraState::Preset(const Params& params) {
  auto name = params.find("name");
  auto act = params.find("act");
  long long n = 0;
  if (name == params.end() || !ParseBounded(name->second, 1, kMaxPresetNumber, n))
    return BadRequest("bad preset name");
  if (act == params.end()) return BadRequest("missing act");
  const int number = static_cast<int>(n);
  std::lock_guard<std::mutex> lock(Lock);
  if (act->second == "add") {
    Presets.insert(number);
    ViewState.Store(number);
    SavePresetsLocked();
  } else if (act->second == "go" || act->second == "del") {
    if (Presets.count(number) == 0) return {404, "error=no such preset\r\n"};
    if (act->second == "go") {
      CurrentPreset = number;
      ViewState.Recall(number);
    } else {
      Presets.erase(number);
      ViewState.Forget(number);
      SavePresetsLocked();
    }
  } else {
    return BadRequest("bad act");
  }
  ++PtzCommands;
  return {200, Line("name", number) + Line("act", act->second)};
}

bool CameraState::SetInput(int number, bool on) {
  std::lock_guard<std::mutex> lock(Lock);
  if (number < 1 || number > static_cast<int>(InputsOn.size())) return false;
  InputsOn[number - 1] = on;
  return true;
}

std::string CameraState::Describe() const {
  std::lock_guard<std::mutex> lock(Lock);
  std::string text;
  for (const VideoProfile& p : Profiles) {
    const std::string prefix = "profile" + std::to_string(p.Id) + ".";
    std::string lines = ProfileText(p);
    size_t start = 0;
    while (start < lines.size()) {
      const size_t end = lines.find("\r\n", start);
      text += prefix + lines.substr(start, end - start) + "\r\n";
      start = end + 2;
    }
  }
  for (size_t i = 0; i < InputsOn.size(); ++i)
    text += Line("in" + std::to_string(i + 1), InputsOn[i] ? "on" : "off");
  for (size_t i = 0; i < OutputsOn.size(); ++i)
    text += Line("out" + std::to_string(i + 1), OutputsOn[i] ? "on" : "off");
  std::string presets;
  for (int p : Presets) presets += (presets.empty() ? "" : ",") + std::to_string(p);
  text += Line("presets", presets) + Line("preset", CurrentPreset) + Line("pan", Pan) + Line("tilt", Tilt) +
          Line("zoom", Zoom) + Line("focus", FocusSpeed) + Line("ptzcommands", PtzCommands) +
          Line("frames_sent", FramesSentSource ? static_cast<long long>(FramesSentSource()) : 0);
  const PtzView::Position view = ViewState.At();
  char viewText[96];
  std::snprintf(viewText, sizeof viewText, "view=%.3f,%.3f,%.3f\r\n", view.X, view.Y, view.Zoom);
  text += viewText;
  if (ExtraSource) text += ExtraSource();
  return text;
}

VideoProfile CameraState::Profile1() const {
  std::lock_guard<std::mutex> lock(Lock);
  return Profiles[0];
}

void CameraState::SetProfile1Listener(std::function<void(const VideoProfile&)> listener) {
  std::lock_guard<std::mutex> lock(Lock);
  Profile1Listener = std::move(listener);
}

void CameraState::SetFramesSentSource(std::function<uint64_t()> source) {
  std::lock_guard<std::mutex> lock(Lock);
  FramesSentSource = std::move(source);
}

void CameraState::SetExtraStateSource(std::function<std::string()> source) {
  std::lock_guard<std::mutex> lock(Lock);
  ExtraSource = std::move(source);
}

void CameraState::SetRtspCloser(std::function<int()> closer) {
  std::lock_guard<std::mutex> lock(Lock);
  RtspCloser = std::move(closer);
}

int CameraState::CloseRtspConnections() {
  std::function<int()> closer;
  {
    std::lock_guard<std::mutex> lock(Lock);
    closer = RtspCloser;
  }
  return closer ? closer() : 0;
}

}  // namespace camsim
