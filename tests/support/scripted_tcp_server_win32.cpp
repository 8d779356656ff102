// The Windows side of the scripted server: Winsock, WSAPoll, and as the stop event a UDP socket
// that sends itself a datagram. Socket handles are kept in the header's int fields: Windows
// socket handles are small kernel handle values.
#include "scripted_tcp_server.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/socket.h"
#include "support/test_net.h"

namespace testsupport {
namespace {

constexpr int kBacklog = 16;
constexpr size_t kReadChunk = 4096;

int RemainingMs(int waitMs, int64_t startMs) {
  if (waitMs < 0) return -1;
  const int64_t left = waitMs - (korvalt::platform::MonotonicMs() - startMs);
  return left > 0 ? static_cast<int>(left) : 0;
}

// Polls fd for events together with the stop descriptor. 1 ready, 0 time-out, -1 stopping/error.
int WaitReady(int stopFd, int fd, short events, int waitMs) {
  const int64_t start = korvalt::platform::MonotonicMs();
  pollfd p[2] = {};
  p[0].fd = static_cast<SOCKET>(stopFd);
  p[0].events = POLLIN;
  p[1].fd = static_cast<SOCKET>(fd);
  p[1].events = events;
  const int rc = testsupport::PollSockets(p, fd >= 0 ? 2 : 1, RemainingMs(waitMs, start));
  if (rc < 0 || (p[0].revents & POLLIN)) return -1;
  if (rc == 0) return 0;
  return 1;
}

size_t ContentLength(std::string_view head) {
  constexpr std::string_view kName = "content-length:";
  std::string lower(head);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t at = lower.find(kName);
  if (at == std::string::npos) return 0;
  return static_cast<size_t>(std::strtoul(lower.c_str() + at + kName.size(), nullptr, 10));
}

}  // namespace

ScriptedTcpServer::Connection::Connection(ScriptedTcpServer& server, int fd, size_t index)
    : Server(server), Fd(fd), ConnectionIndex(index) {}

ScriptedTcpServer::Connection::~Connection() {
  Close();
}

void ScriptedTcpServer::Connection::Close() {
  if (Fd >= 0) ::closesocket(static_cast<SOCKET>(Fd));
  Fd = -1;
}

bool ScriptedTcpServer::Connection::Fill(int waitMs) {
  if (Fd < 0) return false;
  if (WaitReady(Server.StopFd, Fd, POLLIN, waitMs) != 1) return false;
  char buffer[kReadChunk];
  const int n = ::recv(static_cast<SOCKET>(Fd), buffer, sizeof buffer, 0);
  if (n <= 0) return n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK;
  Pending.append(buffer, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> ScriptedTcpServer::Connection::ReadUntil(std::string_view delimiter, int waitMs) {
  const int64_t start = korvalt::platform::MonotonicMs();
  for (;;) {
    const size_t at = Pending.find(delimiter);
    if (at != std::string::npos) {
      std::string out = Pending.substr(0, at + delimiter.size());
      Pending.erase(0, at + delimiter.size());
      return out;
    }
    if (!Fill(RemainingMs(waitMs, start))) return std::nullopt;
  }
}

std::optional<std::string> ScriptedTcpServer::Connection::ReadRequest(int waitMs) {
  const int64_t start = korvalt::platform::MonotonicMs();
  std::optional<std::string> head = ReadUntil("\r\n\r\n", waitMs);
  if (!head) return std::nullopt;
  const size_t length = ContentLength(*head);
  while (Pending.size() < length) {
    if (!Fill(RemainingMs(waitMs, start))) return std::nullopt;
  }
  std::string request = *head + Pending.substr(0, length);
  Pending.erase(0, length);
  {
    std::lock_guard<std::mutex> lock(Server.Lock);
    Server.Log.push_back(request);
  }
  return request;
}

bool ScriptedTcpServer::Connection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (Fd < 0 || WaitReady(Server.StopFd, Fd, POLLOUT, kDefaultWaitMs) != 1) return false;
    const int n = ::send(static_cast<SOCKET>(Fd), bytes.data(), static_cast<int>(bytes.size()), 0);
    if (n < 0) {
      if (::WSAGetLastError() == WSAEWOULDBLOCK) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ScriptedTcpServer::Connection::Trickle(std::string_view bytes, size_t chunk, int intervalMs) {
  chunk = std::max<size_t>(chunk, 1);
  while (!bytes.empty()) {
    const size_t n = std::min(chunk, bytes.size());
    if (!Send(bytes.substr(0, n))) return false;
    bytes.remove_prefix(n);
    if (!bytes.empty() && !Pause(intervalMs)) return false;
  }
  return true;
}

void ScriptedTcpServer::Connection::StaySilent() {
  // Reads (and drops) whatever comes so that a peer's close is noticed.
  while (Fill(-1)) Pending.clear();
}

bool ScriptedTcpServer::Connection::Pause(int ms) {
  return WaitReady(Server.StopFd, -1, 0, ms) == 0;
}

ScriptedTcpServer::ScriptedTcpServer(Handler handler) : OnConnection(std::move(handler)) {
  const SOCKET stop = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (stop == INVALID_SOCKET || ::bind(stop, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (stop != INVALID_SOCKET) ::closesocket(stop);
    throw std::runtime_error("socket failed");
  }
  StopFd = static_cast<int>(stop);
  const korvalt::platform::SocketHandle listener = testsupport::ListenOnLoopback(kBacklog, ListenPort);
  if (listener == korvalt::platform::kNoSocket) {
    ::closesocket(stop);
    throw std::runtime_error("bind/listen failed");
  }
  ListenFd = static_cast<int>(listener);
  Acceptor = std::thread([this] { AcceptLoop(); });
}

ScriptedTcpServer::~ScriptedTcpServer() {
  Stop();
}

void ScriptedTcpServer::Stop() {
  if (StopFd < 0) return;
  // The stop socket sends itself a datagram: readable from now on, for every wait.
  const SOCKET stop = static_cast<SOCKET>(StopFd);
  sockaddr_in self{};
  int length = sizeof self;
  const char one = 1;
  if (::getsockname(stop, reinterpret_cast<sockaddr*>(&self), &length) == 0)
    ::sendto(stop, &one, 1, 0, reinterpret_cast<sockaddr*>(&self), length);
  if (Acceptor.joinable()) Acceptor.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(Lock);
    workers.swap(Workers);
  }
  for (std::thread& worker : workers) worker.join();
  if (ListenFd >= 0) ::closesocket(static_cast<SOCKET>(ListenFd));
  ListenFd = -1;
  ::closesocket(stop);
  StopFd = -1;
}

void ScriptedTcpServer::AcceptLoop() {
  for (;;) {
    if (WaitReady(StopFd, ListenFd, POLLIN, -1) != 1) return;
    const korvalt::platform::SocketHandle accepted = testsupport::AcceptConnection(ListenFd);
    if (accepted == korvalt::platform::kNoSocket) continue;
    // Non-blocking, as the waits before each call expect.
    u_long nonBlocking = 1;
    ::ioctlsocket(static_cast<SOCKET>(accepted), FIONBIO, &nonBlocking);
    const int fd = static_cast<int>(accepted);
    const size_t index = Accepted.fetch_add(1);
    std::lock_guard<std::mutex> lock(Lock);
    Workers.emplace_back([this, fd, index] {
      Connection connection(*this, fd, index);
      try {
        OnConnection(connection);
      } catch (...) {
        // A failing script only ends its own connection.
      }
    });
  }
}

std::vector<std::string> ScriptedTcpServer::Requests() const {
  std::lock_guard<std::mutex> lock(Lock);
  return Log;
}

ScriptedTcpServer::Handler ScriptedTcpServer::Replies(std::vector<std::string> replies) {
  struct Script {
    std::vector<std::string> Replies;
    std::mutex Lock;
    size_t Next = 0;
  };
  auto script = std::make_shared<Script>();
  script->Replies = std::move(replies);
  return [script](Connection& connection) {
    while (connection.ReadRequest()) {
      std::string reply;
      {
        std::lock_guard<std::mutex> lock(script->Lock);
        if (script->Next >= script->Replies.size()) return;
        reply = script->Replies[script->Next++];
      }
      if (!connection.Send(reply)) return;
    }
  };
}

ScriptedTcpServer::Handler ScriptedTcpServer::Silent() {
  return [](Connection& connection) { connection.StaySilent(); };
}

}  // namespace testsupport
