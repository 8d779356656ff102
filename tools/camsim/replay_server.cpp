#include "replay_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace camsim {
namespace {

constexpr const char* kMount = "/rtpvideo1.sdp";
constexpr int kDefaultSessionTimeout = 60;
constexpr int kListenBacklog = 256;

// The value of a header (name without the colon, any case) in a request's header block; "" if absent.
std::string HeaderValue(const std::string& head, const std::string& name) {
  size_t start = head.find("\r\n");
  while (start != std::string::npos && start + 2 < head.size()) {
    start += 2;
    const size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t colon = line.find(':');
    if (colon == name.size()) {
      bool same = true;
      for (size_t i = 0; i < colon && same; ++i)
        same = std::tolower(static_cast<unsigned char>(line[i])) ==
               std::tolower(static_cast<unsigned char>(name[i]));
      if (same) {
        const size_t value = line.find_first_not_of(" \t", colon + 1);
        return value == std::string::npos ? std::string() : line.substr(value);
      }
    }
    start = end;
  }
  return {};
}

// The path of an RTSP URL ("rtsp://host:port/a/b" gives "/a/b"; a bare path stays as it is).
std::string UrlPath(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t slash = url.find('/', scheme + 3);
  return slash == std::string::npos ? "/" : url.substr(slash);
}

// client_port=A-B of a Transport header: A, or 0 when absent or not a UDP unicast transport.
uint16_t ClientRtpPort(const std::string& transport) {
  if (transport.find("TCP") != std::string::npos || transport.find("interleaved") != std::string::npos ||
      transport.find("multicast") != std::string::npos)
    return 0;
  const size_t at = transport.find("client_port=");
  if (at == std::string::npos) return 0;
  long long port = 0;
  const std::string digits =
      transport.substr(at + 12, transport.find_first_not_of("0123456789", at + 12) - at - 12);
  if (!ParseBounded(digits, 1, 65535, port)) return 0;
  return static_cast<uint16_t>(port);
}

}  // namespace

ReplayServer::ReplayServer(const CameraConfig& config, RtpCapture capture)
    : Config(config),
      // RTSP Digest as cameras and GStreamer's server challenge it: without qop.
      Auth(config.Auth, false, config.User, config.Password),
      Sender(std::move(capture)) {}

ReplayServer::~ReplayServer() {
  Stop();
}

int ReplayServer::Start(const std::string& address, uint16_t port) {
  Address = address;
  Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  socklen_t length = sizeof local;
  if (Listener < 0 || ::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      ::bind(Listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(Listener, kListenBacklog) != 0 ||
      ::getsockname(Listener, reinterpret_cast<sockaddr*>(&local), &length) != 0 || !Sender.Start(address)) {
    Stop();
    return -1;
  }
  WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (WakeFd < 0) {
    Stop();
    return -1;
  }
  Thread = std::thread([this] { Run(); });
  return ntohs(local.sin_port);
}

void ReplayServer::Stop() {
  if (Thread.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(WakeFd, &one, sizeof one);
    Thread.join();
  }
  for (auto& c : Connections) Drop(*c);
  Connections.clear();
  Sender.Stop();
  for (int* fd : {&Listener, &WakeFd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::string ReplayServer::StateLines() const {
  return "datagrams_sent=" + std::to_string(Sender.DatagramsSent()) +
         "\r\nreplay_clients=" + std::to_string(Sender.ClientCount()) + "\r\n";
}

void ReplayServer::Run() {
  std::vector<pollfd> polled;
  for (;;) {
    polled.assign({{WakeFd, POLLIN, 0}, {Listener, POLLIN, 0}});
    for (const auto& c : Connections) polled.push_back({c->Fd, POLLIN, 0});
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (polled[0].revents != 0) return;
    // Connections first: Accept may add to the list that polled mirrors.
    for (size_t i = Connections.size(); i-- > 0;) {
      if (polled[i + 2].revents == 0) continue;
      if (!Serve(*Connections[i])) {
        Drop(*Connections[i]);
        Connections.erase(Connections.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if (polled[1].revents != 0) Accept();
  }
}

void ReplayServer::Accept() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd =
        ::accept4(Listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (Connections.size() >= kMaxConnections) {
      ::close(fd);
      continue;
    }
    auto c = std::make_unique<Connection>();
    c->Fd = fd;
    c->Peer = peer;
    Connections.push_back(std::move(c));
  }
}

void ReplayServer::Drop(Connection& c) {
  // A client whose connection closes stops getting the stream, as a teardown would.
  if (c.ClientId != 0) Sender.RemoveClient(c.ClientId);
  c.ClientId = 0;
  if (c.Fd >= 0) ::close(c.Fd);
  c.Fd = -1;
}

bool ReplayServer::Serve(Connection& c) {
  char chunk[4096];
  const ssize_t n = ::recv(c.Fd, chunk, sizeof chunk, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
  if (n > 0) c.In.append(chunk, static_cast<size_t>(n));
  for (;;) {
    const size_t end = c.In.find("\r\n\r\n");
    if (end == std::string::npos) return c.In.size() <= kMaxRequestBytes;
    const std::string head = c.In.substr(0, end + 2);
    long long body = 0;
    const std::string length = HeaderValue(head, "Content-Length");
    if (!length.empty() && !ParseBounded(length, 0, kMaxRequestBytes, body)) return false;
    if (c.In.size() < end + 4 + static_cast<size_t>(body)) return c.In.size() <= 2 * kMaxRequestBytes;
    c.In.erase(0, end + 4 + static_cast<size_t>(body));
    const std::string reply = Answer(c, head);
    // Replies are small; a client that does not read them is dropped.
    if (::send(c.Fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size()))
      return false;
  }
}

std::string ReplayServer::Answer(Connection& c, const std::string& head) {
  const size_t firstEnd = head.find("\r\n");
  const std::string line = head.substr(0, firstEnd);
  const size_t space1 = line.find(' ');
  const size_t space2 = line.find(' ', space1 == std::string::npos ? 0 : space1 + 1);
  const std::string method = line.substr(0, space1);
  const std::string url = space1 == std::string::npos ? "" : line.substr(space1 + 1, space2 - space1 - 1);
  const std::string cseq = HeaderValue(head, "CSeq");
  auto reply = [&](const std::string& status, const std::string& headers = "", const std::string& body = "") {
    std::string text = "RTSP/1.0 " + status + "\r\nCSeq: " + cseq + "\r\nServer: camsim replay\r\n" + headers;
    if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
  };
  if (space1 == std::string::npos || space2 == std::string::npos || line.compare(space2 + 1, 5, "RTSP/") != 0)
    return reply("400 Bad Request");
  if (method == "OPTIONS")
    return reply("200 OK",
                 "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER, SET_PARAMETER\r\n");
  if (Auth.Enabled()) {
    bool stale = false;
    // As GStreamer's server does, a Digest answer counts for the uri it names: clients answer every
    // request of a session with the presentation's URL.
    const std::string authorization = HeaderValue(head, "Authorization");
    const size_t uri = authorization.find("uri=\"");
    const std::string target =
        uri == std::string::npos ? url
                                 : authorization.substr(uri + 5, authorization.find('"', uri + 5) - uri - 5);
    if (!Auth.Check(method, target, authorization, stale))
      return reply("401 Unauthorized", "WWW-Authenticate: " + Auth.Challenge(stale) + "\r\n");
  }
  const std::string path = UrlPath(url);
  if (path.compare(0, std::string(kMount).size(), kMount) != 0) return reply("404 Not Found");
  const int timeout = Config.SessionTimeout > 0 ? Config.SessionTimeout : kDefaultSessionTimeout;
  const std::string sessionHeader = "Session: " + c.Session + ";timeout=" + std::to_string(timeout) + "\r\n";
  const std::string asked = HeaderValue(head, "Session");
  const bool ours = !c.Session.empty() && asked.substr(0, asked.find(';')) == c.Session;

  if (method == "DESCRIBE") {
    const std::string base = url.back() == '/' ? url : url + "/";
    return reply("200 OK", "Content-Type: application/sdp\r\nContent-Base: " + base + "\r\n",
                 Sender.Stream().Sdp(Address));
  }
  if (method == "SETUP") {
    const uint16_t port = ClientRtpPort(HeaderValue(head, "Transport"));
    if (port == 0) return reply("461 Unsupported Transport");
    if (c.ClientId != 0) return reply("455 Method Not Valid in This State");
    if (c.Session.empty()) {
      char id[32];
      std::snprintf(id, sizeof id, "%08X%08X", static_cast<unsigned>(::getpid()),
                    static_cast<unsigned>(++SessionCounter));
      c.Session = id;
    }
    c.ClientRtpPort = port;
    char transport[160];
    std::snprintf(transport, sizeof transport,
                  "Transport: RTP/AVP;unicast;client_port=%u-%u;server_port=%u-%u;ssrc=%08X\r\n", port,
                  static_cast<unsigned>(port + 1), Sender.RtpPort(),
                  static_cast<unsigned>(Sender.RtpPort() + 1), Sender.Ssrc());
    return reply("200 OK",
                 transport + ("Session: " + c.Session + ";timeout=" + std::to_string(timeout) + "\r\n"));
  }
  if (method == "PLAY") {
    if (!ours || c.ClientRtpPort == 0) return reply("454 Session Not Found");
    if (c.ClientId == 0) {
      sockaddr_in to = c.Peer;
      to.sin_port = htons(c.ClientRtpPort);
      c.ClientId = Sender.AddClient(to);
    }
    const ReplaySender::Position next = Sender.Next();
    return reply("200 OK", sessionHeader + "Range: npt=now-\r\nRTP-Info: url=" + url +
                               "/stream=0;seq=" + std::to_string(next.Sequence) +
                               ";rtptime=" + std::to_string(next.Timestamp) + "\r\n");
  }
  if (method == "TEARDOWN") {
    if (!ours) return reply("454 Session Not Found");
    if (c.ClientId != 0) Sender.RemoveClient(c.ClientId);
    c.ClientId = 0;
    c.ClientRtpPort = 0;
    c.Session.clear();
    return reply("200 OK");
  }
  if (method == "GET_PARAMETER" || method == "SET_PARAMETER")
    return asked.empty() || ours ? reply("200 OK", ours ? sessionHeader : "")
                                 : reply("454 Session Not Found");
  return reply("501 Not Implemented");
}

}  // namespace camsim
