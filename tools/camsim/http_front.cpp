#include "http_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <list>
#include <memory>
#include <thread>

namespace camsim {
namespace {

constexpr int kDefaultFaultStatus = 500;
constexpr int kMaxScannedDescriptor = 65536;
constexpr size_t kKeepAliveRequests = 100000;
constexpr auto kStopPoll = std::chrono::milliseconds(20);
constexpr const char* kText = "text/plain";
constexpr int kMovedPermanently = 301;
constexpr const char* kHostCharacters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]";

// Marks the connection a thread serves as counted for a generation of the log.
thread_local uint64_t tCountedGeneration = 0;
// Names the connection a thread serves for the account's challenge bookkeeping; ports are reused.
thread_local uint64_t tConnection = 0;
std::atomic<uint64_t> gConnections{0};

// One thread per connection, so a stalled request never holds up another one, and the queue sees each
// accepted connection (its enqueue is the accept hook).
class ConnectionQueue : public httplib::TaskQueue {
 public:
  explicit ConnectionQueue(TrafficLog& log) : Log(log) {}

  void enqueue(std::function<void()> fn) override {
    ++Log.Accepted;
    std::lock_guard<std::mutex> lock(Lock);
    Reap();
    auto done = std::make_shared<std::atomic<bool>>(false);
    Workers.push_back({std::thread([fn = std::move(fn), done] {
                         tCountedGeneration = 0;
                         tConnection = ++gConnections;
                         fn();
                         *done = true;
                       }),
                       done});
  }

  void shutdown() override {
    std::lock_guard<std::mutex> lock(Lock);
    for (Worker& w : Workers) w.Thread.join();
    Workers.clear();
  }

 private:
  struct Worker {
    std::thread Thread;
    std::shared_ptr<std::atomic<bool>> Done;
  };

  void Reap() {
    for (auto it = Workers.begin(); it != Workers.end();) {
      if (*it->Done) {
        it->Thread.join();
        it = Workers.erase(it);
      } else {
        ++it;
      }
    }
  }

  TrafficLog& Log;
  std::mutex Lock;  // guards Workers
  std::list<Worker> Workers;
};

std::string ConnectionName() {
  return "http#" + std::to_string(tConnection);
}

void SetReply(httplib::Response& res, const Reply& reply) {
  res.status = reply.Status;
  res.set_content(reply.Body, kText);
}

}  // namespace

HttpFront::HttpFront(const CameraConfig& config, CameraState& state, HttpAuth& auth)
    : Config(config), State(state), Auth(auth) {}

HttpFront::~HttpFront() {
  Stop();
}

void HttpFront::Configure(Listener& listener) {
  httplib::Server& server = *listener.Server;
  server.new_task_queue = [this] { return new ConnectionQueue(Log); };
  server.set_keep_alive_max_count(kKeepAliveRequests);
  // A real camera answers at once; without it Nagle and delayed ACKs add 40 ms to every reply.
  server.set_tcp_nodelay(true);
  const bool secure = listener.Secure;
  server.set_pre_routing_handler([this, secure](const httplib::Request& req, httplib::Response& res) {
    return BeforeRouting(req, res, secure);
  });
  AddCameraRoutes(server);
  AddSimRoutes(server);
}

int HttpFront::Listen(Listener& listener, const std::string& address, uint16_t port) {
  BindAddress = address;
  Configure(listener);
  if (port == 0) {
    listener.Port = listener.Server->bind_to_any_port(address);
  } else {
    listener.Port = listener.Server->bind_to_port(address, port) ? port : -1;
  }
  return listener.Port;
}

int HttpFront::Bind(const std::string& address, uint16_t port) {
  Plain.Server = std::make_unique<httplib::Server>();
  return Listen(Plain, address, port);
}

int HttpFront::BindSecure(const std::string& address, uint16_t port, const TlsIdentity& identity) {
  // The server takes its own references to the certificate and key.
  auto server = std::make_unique<httplib::SSLServer>(identity.Certificate(), identity.Key());
  if (!server->is_valid()) return -1;
  Tls.Server = std::move(server);
  Tls.Secure = true;
  return Listen(Tls, address, port);
}

void HttpFront::Start() {
  for (Listener* listener : {&Plain, &Tls}) {
    if (!listener->Server || listener->Port <= 0) continue;
    listener->Thread = std::thread([this, listener] {
      listener->Server->listen_after_bind();
      std::lock_guard<std::mutex> lock(StopLock);
      listener->Done = true;
      StopSignal.notify_all();
    });
  }
}

void HttpFront::Stop() {
  std::unique_lock<std::mutex> lock(StopLock);
  Stopping = true;
  StopSignal.notify_all();
  // stop() is a no-op until the accept loop runs, so repeat it until every loop has ended.
  for (Listener* listener : {&Plain, &Tls}) {
    while (listener->Thread.joinable() && !listener->Done) {
      lock.unlock();
      listener->Server->stop();
      DropConnections(-1);
      lock.lock();
      StopSignal.wait_for(lock, kStopPoll);
    }
  }
  lock.unlock();
  for (Listener* listener : {&Plain, &Tls})
    if (listener->Thread.joinable()) listener->Thread.join();
}

httplib::Server::HandlerResponse HttpFront::BeforeRouting(const httplib::Request& req, httplib::Response& res,
                                                          bool secure) {
  using HandlerResponse = httplib::Server::HandlerResponse;
  if (req.path.rfind("/sim/", 0) == 0) return HandlerResponse::Unhandled;

  {
    std::lock_guard<std::mutex> lock(Log.Lock);
    Log.Lines.push_back(req.method + " " + req.target + " " + req.version);
  }
  const uint64_t generation = Log.Generation;
  if (tCountedGeneration != generation) {
    tCountedGeneration = generation;
    ++Log.CameraConnections;
  }

  const std::string authorization = req.get_header_value("Authorization");
  if (!secure && Redirect) {
    // Credentials sent here crossed the network in the clear before the redirect: count them.
    Auth.NoteCredentials("http", authorization, req.remote_addr, ConnectionName());
    Redirect301(req, res);
    return HandlerResponse::Handled;
  }

  const Fault fault = TakeFault();
  if (fault.Kind == "status") {
    res.status = fault.Value > 0 ? fault.Value : kDefaultFaultStatus;
    res.set_content("", kText);
    return HandlerResponse::Handled;
  }
  if (fault.Kind == "empty") {
    res.status = 200;
    res.set_content("", kText);
    return HandlerResponse::Handled;
  }
  if (fault.Kind == "close") {
    DropConnections(req.remote_port);
    res.status = kDefaultFaultStatus;
    return HandlerResponse::Handled;
  }
  if (fault.Kind == "stall") Stall(fault.Value);

  const HttpAuth::Verdict verdict = Auth.Login(secure ? "https" : "http", req.method, req.target,
                                               authorization, req.remote_addr, ConnectionName());
  if (verdict != HttpAuth::Verdict::kGranted) {
    res.status = 401;
    for (const std::string& challenge : Auth.Challenges(verdict == HttpAuth::Verdict::kStale))
      res.set_header("WWW-Authenticate", challenge);
    res.set_content("error=unauthorized\r\n", kText);
    return HandlerResponse::Handled;
  }
  return HandlerResponse::Unhandled;
}

void HttpFront::Redirect301(const httplib::Request& req, httplib::Response& res) {
  // The host the client asked for, without its port; a name that could break the header line falls
  // back to the address we listen on.
  std::string host = req.get_header_value("Host");
  if (!host.empty() && host.front() == '[') {
    host = host.substr(0, host.find(']') == std::string::npos ? 0 : host.find(']') + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  if (host.empty() || host.find_first_not_of(kHostCharacters) != std::string::npos) host = BindAddress;
  res.status = kMovedPermanently;
  res.set_header("Location", "https://" + host + ":" + std::to_string(Tls.Port) + req.target);
  res.set_content("", kText);
}

void HttpFront::AddCameraRoutes(httplib::Server& server) {
  auto route = [this, &server](const char* path, Reply (CameraState::*handler)(const Params&)) {
    server.Get(path, [this, handler](const httplib::Request& req, httplib::Response& res) {
      SetReply(res, (State.*handler)(req.params));
    });
  };
  auto fixed = [this, &server](const char* path, Reply (CameraState::*handler)() const) {
    server.Get(path, [this, handler](const httplib::Request&, httplib::Response& res) {
      SetReply(res, (State.*handler)());
    });
  };
  fixed("/common/info.cgi", &CameraState::Info);
  fixed("/config/stream_info.cgi", &CameraState::StreamInfo);
  fixed("/config/rs485.cgi", &CameraState::Rs485);
  route("/config/video.cgi", &CameraState::Video);
  route("/config/io.cgi", &CameraState::Io);
  route("/config/ptz_move_cont.cgi", &CameraState::PtzMove);
  route("/config/focus_cont.cgi", &CameraState::Focus);
  route("/config/ptz_preset.cgi", &CameraState::Preset);
}

void HttpFront::AddSimRoutes(httplib::Server& server) {
  server.Get("/sim/log", [this](const httplib::Request&, httplib::Response& res) {
    std::string body = "connections=" + std::to_string(Log.CameraConnections.load()) + "\r\n" +
                       "accepted=" + std::to_string(Log.Accepted.load()) + "\r\n";
    std::lock_guard<std::mutex> lock(Log.Lock);
    for (const std::string& line : Log.Lines) body += "request=" + line + "\r\n";
    body += Auth.LogLines();
    res.set_content(body, kText);
  });
  server.Get("/sim/clear", [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(Log.Lock);
    Log.Lines.clear();
    Auth.ClearLog();
    ++Log.Generation;
    Log.CameraConnections = 0;
    // This request's own connection is already open and is not counted again.
    Log.Accepted = 0;
    res.set_content("ok\r\n", kText);
  });
  server.Get("/sim/input", [this](const httplib::Request& req, httplib::Response& res) {
    long long number = 0;
    const std::string state = req.get_param_value("state");
    if (!ParseBounded(req.get_param_value("n"), 1, 1000, number) || (state != "on" && state != "off") ||
        !State.SetInput(static_cast<int>(number), state == "on")) {
      SetReply(res, {400, "error=usage: /sim/input?n=NUMBER&state=on|off\r\n"});
      return;
    }
    res.set_content("in" + std::to_string(number) + "=" + state + "\r\n", kText);
  });
  server.Get("/sim/fault", [this](const httplib::Request& req, httplib::Response& res) {
    Fault fault;
    fault.Kind = req.get_param_value("kind");
    long long count = 1, value = 0;
    const bool countOk =
        !req.has_param("count") || ParseBounded(req.get_param_value("count"), 0, 1000000, count);
    const bool valueOk =
        !req.has_param("value") || ParseBounded(req.get_param_value("value"), 0, 3600000, value);
    const bool kindOk = fault.Kind == "status" || fault.Kind == "empty" || fault.Kind == "close" ||
                        fault.Kind == "stall" || fault.Kind == "none";
    if (!countOk || !valueOk || !kindOk ||
        (fault.Kind == "status" && value != 0 && (value < 100 || value > 599))) {
      SetReply(res, {400, "error=usage: /sim/fault?kind=status|empty|close|stall|none&count=N&value=V\r\n"});
      return;
    }
    fault.Remaining = fault.Kind == "none" ? 0 : static_cast<int>(count);
    fault.Value = static_cast<int>(value);
    {
      std::lock_guard<std::mutex> lock(FaultLock);
      Armed = fault;
    }
    res.set_content("kind=" + fault.Kind + "\r\ncount=" + std::to_string(fault.Remaining) +
                        "\r\nvalue=" + std::to_string(fault.Value) + "\r\n",
                    kText);
  });
  server.Get("/sim/sessions", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.get_param_value("act") != "drop" || !DropRtspSessions) {
      res.status = 400;
      res.set_content("error=act\r\n", kText);
      return;
    }
    res.set_content("dropped=" + std::to_string(DropRtspSessions()) + "\r\n", kText);
  });
  server.Get("/sim/rtsp", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.get_param_value("act") != "close") {
      SetReply(res, {400, "error=usage: /sim/rtsp?act=close\r\n"});
      return;
    }
    res.set_content("closed=" + std::to_string(State.CloseRtspConnections()) + "\r\n", kText);
  });
  server.Get("/sim/state", [this](const httplib::Request&, httplib::Response& res) {
    std::string text = State.Describe();
    {
      std::lock_guard<std::mutex> lock(FaultLock);
      text += "fault=" + (Armed.Remaining > 0 ? Armed.Kind : std::string("none")) + "\r\n" +
              "faultcount=" + std::to_string(Armed.Remaining) + "\r\n";
    }
    res.set_content(text, kText);
  });
}

HttpFront::Fault HttpFront::TakeFault() {
  std::lock_guard<std::mutex> lock(FaultLock);
  if (Armed.Remaining <= 0) return {};
  --Armed.Remaining;
  return Armed;
}

void HttpFront::Stall(int milliseconds) {
  std::unique_lock<std::mutex> lock(StopLock);
  StopSignal.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return Stopping; });
}

void HttpFront::DropConnections(int peerPort) {
  // httplib hides the accepted sockets, so find them: our port locally, the client's port remotely.
  // Only shutdown() is used: the descriptor stays httplib's to close.
  rlimit limit{};
  int last = kMaxScannedDescriptor;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(last))
    last = static_cast<int>(limit.rlim_cur);
  for (int fd = 0; fd < last; ++fd) {
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET ||
        (ntohs(local.sin_port) != Plain.Port && ntohs(local.sin_port) != Tls.Port))
      continue;
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;  // the listening socket
    if (peerPort >= 0 && ntohs(peer.sin_port) != peerPort) continue;
    ::shutdown(fd, SHUT_RDWR);
  }
}

}  // namespace camsim
