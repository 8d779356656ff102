#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "camera_state.h"
#include "http_auth.h"

namespace camsim {

// Request log and connection counters, shared by the server and its connection threads.
struct TrafficLog {
  std::mutex Lock;  // guards Lines
  std::vector<std::string> Lines;
  std::atomic<uint64_t> Accepted{0};  // TCP connections accepted since the last clear
  std::atomic<uint64_t> CameraConnections{
      0};                               // connections that carried a camera request since the last clear
  std::atomic<uint64_t> Generation{1};  // bumped by a clear, so open connections count again
};

// The camera's HTTP side: CGI requests, authentication, faults and the /sim/ controls.
class HttpFront {
 public:
  // auth is borrowed for the front's life.
  HttpFront(const CameraConfig& config, CameraState& state, HttpAuth& auth);
  ~HttpFront();

  // Binds the listening socket; returns the port, or -1.
  int Bind(const std::string& address, uint16_t port);
  // Serves until Stop; call on a thread of its own.
  void Run();
  // Stops accepting, wakes stalled requests, drops open connections and waits for Run to end.
  void Stop();
  // What /sim/sessions?act=drop calls (the RTSP side); set before Run.
  std::function<int()> DropRtspSessions;

 private:
  struct Fault {
    std::string Kind;  // status, empty, close or stall
    int Remaining = 0;
    int Value = 0;
  };

  httplib::Server::HandlerResponse BeforeRouting(const httplib::Request& req, httplib::Response& res);
  void AddCameraRoutes();
  void AddSimRoutes();
  Fault TakeFault();
  void Stall(int milliseconds);
  void DropConnections(int peerPort);

  const CameraConfig& Config;
  CameraState& State;
  HttpAuth& Auth;
  TrafficLog Log;
  httplib::Server Server;
  int Port = -1;

  std::mutex FaultLock;  // guards Armed
  Fault Armed;

  std::mutex StopLock;  // guards Stopping, RunDone; StopSignal wakes stalls and Stop
  std::condition_variable StopSignal;
  bool Stopping = false;
  bool RunDone = false;
};

}  // namespace camsim
