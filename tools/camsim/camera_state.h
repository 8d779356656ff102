#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ptz_view.h"

namespace camsim {

// Query parameters as the HTTP server hands them over (same shape as httplib::Params).
using Params = std::multimap<std::string, std::string>;

// What the command line fixes about the camera.
struct CameraConfig {
  std::string Bind = "127.0.0.1";
  uint16_t HttpPort = 0;
  uint16_t RtspPort = 0;
  std::string Auth = "none";  // none, basic or digest
  int DigestQop = -1;         // 1 Digest with qop=auth, 0 the older form; -1 HTTP with, RTSP without
  std::vector<std::string> DigestAlgorithms = {"MD5"};  // one challenge each, in this order
  int NonceLifetime = 0;                                // seconds; 0 = a nonce never expires
  int Lockout = 0;               // refused logins in a row that lock the account; 0 = never
  int LockoutSeconds = 60;       // how long a locked account refuses everything
  int LockoutWindowSeconds = 0;  // refusals counted within this window; 0 = in a row
  bool DigestUriCheck = false;   // RTSP: the Digest uri must be the request line's URI, else 400
  std::string User = "admin";
  std::string Password = "secret";
  std::string Model = "QL-3110";
  std::string Firmware = "1.05";
  std::string Mac = "02:00:5E:10:00:01";
  int Inputs = 1;
  int Outputs = 1;
  bool Ptz = false;
  bool Ntsc = true;
  bool Audio = false;
  bool Rtsp = true;
  int SessionTimeout = 0;  // seconds announced in RTSP Session headers; 0 = the server's default (60)
  // Benchmark overrides of what profile 1 asks of the encoder (0 / empty: follow the profile).
  int ForceBitrate = 0;          // kbit/s
  int ForceGop = 0;              // frames between key frames
  std::string Pattern = "ball";  // videotestsrc pattern of the test picture
  bool Aud = true;               // H.264 access unit delimiters in band
  // Networks between camera and recorder.
  double UdpLossPercent = 0;       // RTP datagrams dropped at random (seeded), UDP only
  double UdpReorderPercent = 0;    // RTP datagrams sent after the next one instead (seeded), UDP only
  double UdpDuplicatePercent = 0;  // RTP datagrams sent twice (seeded), UDP only
  bool UdpBlocked = false;         // UDP SETUP answered, but nothing ever sent over UDP (a firewall)
  bool Tcp = true;                 // RTP inside the RTSP connection offered (false: such a SETUP gets 461)
  bool TcpOnly = false;            // and nothing else: a UDP SETUP gets 461
  unsigned Seed = 1;               // of the random drops
  // A file that keeps the preset numbers across restarts, as a camera keeps them in flash (empty:
  // presets live only as long as the process).
  std::string PresetStore;
};

struct VideoProfile {
  int Id = 1;
  int Width = 704;
  int Height = 480;
  std::string Codec = "H264";  // H264, MPEG4 or MJPEG
  int Bitrate = 1000;          // kbit/s
  int Framerate = 30;
  int GopLength = 30;
  std::string Format = "RTP";
  int Port = 554;
  int Quality = 3;  // Motion JPEG quality 1 (lowest) to 5
  int Vbr = 33;     // quantiser for the variable bit rate modes
  std::string Multicast = "off";
  std::string MulticastAddr = "228.0.0.1";
  int MulticastPort = 10000;

  std::string Resolution() const { return std::to_string(Width) + "x" + std::to_string(Height); }
  bool operator==(const VideoProfile&) const = default;
};

struct Reply {
  int Status = 200;
  std::string Body;
};

// The camera's state behind its CGI requests. Thread-safe: every HTTP connection runs on its own thread.
class CameraState {
 public:
  CameraState(const CameraConfig& config, uint16_t rtspPort);

  Reply Info() const;
  Reply StreamInfo() const;
  Reply Rs485() const;
  Reply Video(const Params& params);
  Reply Io(const Params& params);
  Reply PtzMove(const Params& params);
  Reply Focus(const Params& params);
  Reply Preset(const Params& params);

  bool SetInput(int number, bool on);
  std::string Describe() const;  // the /sim/state reply
  VideoProfile Profile1() const;
  // Where the camera looks now (pan, tilt and zoom integrated over time).
  const PtzView& View() const { return ViewState; }

  // Called (outside the lock) after profile 1 changed.
  void SetProfile1Listener(std::function<void(const VideoProfile&)> listener);
  // Where /sim/state reads "frames_sent" from (none: 0).
  void SetFramesSentSource(std::function<uint64_t()> source);
  // Further name=value lines (each ended by CR LF) for the end of /sim/state (none: nothing).
  void SetExtraStateSource(std::function<std::string()> source);
  // What /sim/rtsp?act=close does: closes every RTSP connection (none: nothing). Returns how many.
  void SetRtspCloser(std::function<int()> closer);
  int CloseRtspConnections();

 private:
  const CameraConfig Config;
  mutable std::mutex Lock;  // guards everything below
  VideoProfile Profiles[2];
  std::vector<bool> InputsOn;
  std::vector<bool> OutputsOn;
  std::set<int> Presets;
  int CurrentPreset = 0;
  void SavePresetsLocked() const;
  int Pan = 0, Tilt = 0, Zoom = 0, FocusSpeed = 0;
  int PtzCommands = 0;
  std::function<void(const VideoProfile&)> Profile1Listener;
  std::function<uint64_t()> FramesSentSource;
  std::function<std::string()> ExtraSource;
  std::function<int()> RtspCloser;
  PtzView ViewState;  // thread-safe on its own
};

// Strict decimal integer: optional sign, digits, nothing else; within [low, high].
bool ParseBounded(const std::string& text, long long low, long long high, long long& out);

}  // namespace camsim
