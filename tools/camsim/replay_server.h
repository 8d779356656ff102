#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera_state.h"
#include "http_auth.h"
#include "replay_sender.h"

namespace camsim {

// The camera's RTSP side when it replays a capture (--replay): "rtpvideo1.sdp" described by the
// capture's SDP, UDP unicast only, every playing client fed by one ReplaySender. All connections are
// served by one thread.
class ReplayServer {
 public:
  ReplayServer(const CameraConfig& config, RtpCapture capture);
  ~ReplayServer();
  ReplayServer(const ReplayServer&) = delete;
  ReplayServer& operator=(const ReplayServer&) = delete;

  // Listens on address:port (0: any free port) and starts serving; returns the bound port, or -1.
  int Start(const std::string& address, uint16_t port);
  void Stop();
  uint64_t FramesSent() const { return Sender.FramesSent(); }
  // /sim/state lines: datagrams_sent (to all clients together) and replay_clients (playing now).
  std::string StateLines() const;

  static constexpr size_t kMaxRequestBytes = 16384;
  static constexpr size_t kMaxConnections = 1024;

 private:
  struct Connection {
    int Fd = -1;
    sockaddr_in Peer{};
    std::string In;
    std::string Session;  // the session this connection set up ("" none)
    uint16_t ClientRtpPort = 0;
    uint64_t ClientId = 0;  // playing: the sender's id for it
  };

  void Run();
  void Accept();
  // False when the connection is to be closed.
  bool Serve(Connection& c);
  std::string Answer(Connection& c, const std::string& request);
  void Drop(Connection& c);

  const CameraConfig& Config;
  HttpAuth Auth;
  ReplaySender Sender;
  std::string Address;
  int Listener = -1;
  int WakeFd = -1;
  std::thread Thread;
  std::vector<std::unique_ptr<Connection>> Connections;  // only the serving thread touches them
  uint64_t SessionCounter = 0;
};

}  // namespace camsim
