#pragma once

#include <gst/rtsp-server/rtsp-server.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "camera_state.h"
#include "http_auth.h"

namespace camsim {

// GStreamer launch description of the test picture (videotestsrc pattern) encoded as the profile says;
// H.264 access unit delimiters in band unless aud is false. With ptzView the picture is a window
// (the element "ptzview") onto a test picture twice as large, which pan, tilt and zoom move.
std::string LaunchDescription(const VideoProfile& profile, const std::string& pattern = "ball",
                              bool aud = true, bool ptzView = false);

// Profile 1 as the encoder gets it: the command line's benchmark overrides applied.
VideoProfile EncoderProfile(VideoProfile profile, const CameraConfig& config);

// Pictures sent since start by every stream together: RTP packets with the marker bit set on the
// payloaders' output. Clients of a shared stream each receive every one of them.
uint64_t FramesSent();

// "rtp_udp_sent=N", "rtp_udp_dropped=N", "rtp_udp_reordered=N" and "rtp_udp_duplicated=N" lines
// for /sim/state: RTP datagrams given to UDP sinks, those of them that --udp-loss or --udp-blocked
// dropped, that --reorder sent after their neighbour and that --duplicate sent twice.
std::string UdpStateLines();

// The camera's RTSP side: "rtpvideo1.sdp" encoded from profile 1, on the default GLib main context.
class RtspFront {
 public:
  // auth is borrowed for the front's life.
  RtspFront(const CameraConfig& config, HttpAuth& auth);
  ~RtspFront();
  // Forgets every RTSP session, as a camera that restarted its server does: requests naming one
  // get 454 Session Not Found. Returns how many there were. Callable from any thread.
  int DropSessions();
  RtspFront(const RtspFront&) = delete;
  RtspFront& operator=(const RtspFront&) = delete;

  // Binds and attaches the server (nothing mounted yet); returns the bound port, or -1.
  int Start(const std::string& address, uint16_t port);
  // After Start, before the first Remount: a second server on port that speaks RTSP over TLS with the
  // PEM certificate and key, serving the same stream (RTP inside the encrypted connection when the
  // client asks for TCP); returns the bound port, or -1.
  int StartTls(const std::string& address, uint16_t port, const std::string& pem);
  // Mounts a fresh factory for the camera's present profile 1: sessions already playing keep their
  // encoder, the next one gets the new settings. Callable from any thread.
  void Remount(const CameraState& state);
  // Closes every client connection at once, on the main loop; returns how many there were.
  int CloseConnections();

 private:
  const CameraConfig& Config;
  GstRTSPServer* Server = nullptr;
  GstRTSPMountPoints* Mounts = nullptr;
  HttpAuth& Account;
  GstRTSPAuth* Auth = nullptr;
  GstRTSPToken* Token = nullptr;  // the role every granted request gets
  guint SourceId = 0;
  GstRTSPServer* TlsServer = nullptr;
  GstRTSPAuth* TlsAuth = nullptr;
  guint TlsSourceId = 0;

  // Our account check in GStreamer's auth type (sets the shared hook and Token).
  GstRTSPAuth* NewAuth();
  std::mutex RemountLock;     // keeps factory swaps in the order of profile changes
  std::string MountedLaunch;  // the mounted factory's pipeline; guarded by RemountLock

  // Follows the camera's pan, tilt and zoom in every playing picture (cameras with PTZ only).
  static gboolean UpdateViews(gpointer self);
  static void OnPtzMediaConfigure(GstRTSPMediaFactory* factory, GstRTSPMedia* media, gpointer self);
  const CameraState* State = nullptr;  // set by the first Remount; lives as long as camsim
  guint ViewTimer = 0;
  std::mutex ViewLock;  // guards Views
  struct View {
    GWeakRef Element;  // the media's "ptzview" crop; empty once the media is gone
    int Width = 0;
    int Height = 0;
  };
  std::vector<View*> Views;
};

}  // namespace camsim
