#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_state.h"
#include "http_auth.h"
#include "tls_identity.h"

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

// The camera's HTTP side: CGI requests, authentication, faults and the /sim/ controls, over plain
// HTTP, HTTPS or both (one log, one fault, one account).
class HttpFront {
 public:
  // auth is borrowed for the front's life.
  HttpFront(const CameraConfig& config, CameraState& state, HttpAuth& auth);
  ~HttpFront();

  // Binds the plain HTTP socket; returns the port, or -1.
  int Bind(const std::string& address, uint16_t port);
  // Binds the HTTPS socket serving identity (borrowed for the front's life); returns the port, or -1.
  int BindSecure(const std::string& address, uint16_t port, const TlsIdentity& identity);
  // From now on plain HTTP answers every camera request with 301 to the same path over HTTPS (the
  // /sim/ controls stay). Call after BindSecure, before Start.
  void RedirectToHttps() { Redirect = true; }
  // Serves on a thread per bound socket until Stop.
  void Start();
  // Stops accepting, wakes stalled requests, drops open connections and joins the serving threads.
  void Stop();
  // What /sim/sessions?act=drop calls (the RTSP side); set before Run.
  std::function<int()> DropRtspSessions;

 private:
  struct Fault {
    std::string Kind;  // status, empty, close or stall
    int Remaining = 0;
    int Value = 0;
  };

  // One listening socket and the thread that serves it.
  struct Listener {
    std::unique_ptr<httplib::Server> Server;
    int Port = -1;
    bool Secure = false;
    std::thread Thread;
    bool Done = false;  // guarded by StopLock
  };

  int Listen(Listener& listener, const std::string& address, uint16_t port);
  void Configure(Listener& listener);
  httplib::Server::HandlerResponse BeforeRouting(const httplib::Request& req, httplib::Response& res,
                                                 bool secure);
  void Redirect301(const httplib::Request& req, httplib::Response& res);
  void AddCameraRoutes(httplib::Server& server);
  void AddSimRoutes(httplib::Server& server);
  Fault TakeFault();
  void Stall(int milliseconds);
  void DropConnections(int peerPort);

  const CameraConfig& Config;
  CameraState& State;
  HttpAuth& Auth;
  TrafficLog Log;
  Listener Plain;
  Listener Tls;
  std::string BindAddress;
  bool Redirect = false;

  std::mutex FaultLock;  // guards Armed
  Fault Armed;

  std::mutex StopLock;  // guards Stopping and the listeners' Done; StopSignal wakes stalls and Stop
  std::condition_variable StopSignal;
  bool Stopping = false;
};

}  // namespace camsim
