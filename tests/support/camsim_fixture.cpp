// What the camsim fixture does the same on both systems: its requests to the simulator's own
// pages. Starting and stopping the simulator is per system (camsim_fixture_<system>.cpp).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_sender.h"
#include "platform/socket.h"
#include "support/camsim_fixture.h"
#include "support/test_net.h"

namespace testsupport {
namespace {

constexpr int kSimTimeoutMs = 5000;

std::string Value(const std::string& body, const std::string& key) {
  const std::string prefix = key + "=";
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find("\r\n", start);
    if (end == std::string::npos) end = body.size();
    if (body.compare(start, prefix.size(), prefix) == 0)
      return body.substr(start + prefix.size(), end - start - prefix.size());
    start = end + 2;
  }
  return {};
}

}  // namespace

void Camsim::ReadTlsFields(const std::string& readyLine) {
  unsigned port = 0;
  const size_t at = readyLine.find(" https=");
  if (at != std::string::npos && std::sscanf(readyLine.c_str() + at, " https=%u", &port) == 1)
    HttpsPortNumber = static_cast<uint16_t>(port);
  const size_t rtsps = readyLine.find(" rtsps=");
  if (rtsps != std::string::npos && std::sscanf(readyLine.c_str() + rtsps, " rtsps=%u", &port) == 1)
    RtspsPortNumber = static_cast<uint16_t>(port);
  constexpr std::string_view kKey = " key-sha256=";
  const size_t key = readyLine.find(kKey);
  Key = key == std::string::npos ? std::string() : readyLine.substr(key + kKey.size(), 64);
  constexpr std::string_view kVideoKey = " rtsps-key-sha256=";
  const size_t videoKey = readyLine.find(kVideoKey);
  VideoKey =
      videoKey == std::string::npos ? std::string() : readyLine.substr(videoKey + kVideoKey.size(), 64);
}

std::string Camsim::SimGet(const std::string& pathAndQuery) {
  int status = 0;
  return SimGet(pathAndQuery, status);
}

std::string Camsim::SimGet(const std::string& pathAndQuery, int& status) {
  namespace platform = korvalt::platform;
  status = 0;
  if (Http == 0 && HttpsPortNumber != 0) {
    // No plain port: the simulator's own paths over TLS, by a sender that takes any key.
    korvalt::DEVICE_INFO device;
    device.Address = "127.0.0.1";
    device.Port = HttpsPortNumber;
    device.NetworkTimeout = kSimTimeoutMs;
    Web::CHttpSender sender(device);
    Web::CHttpRequest request("GET", pathAndQuery);
    request.Secure = 1;
    std::vector<uint8_t> body;
    if (!sender.Send(request)) return {};
    status = static_cast<int>(sender.GetStatusCode());
    sender.ReadBody(body);
    return std::string(body.begin(), body.end());
  }
  const platform::SocketHandle socket = platform::OpenSocket(platform::SocketKind::kTcp);
  if (socket == platform::kNoSocket) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Http);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  pollfd p{};
  p.fd = socket;
  p.events = POLLOUT;
  const platform::ConnectResult connecting = platform::StartConnect(socket, address);
  const bool connected =
      connecting == platform::ConnectResult::kConnected ||
      (connecting == platform::ConnectResult::kInProgress && PollSockets(&p, 1, kSimTimeoutMs) == 1 &&
       platform::PendingSocketError(socket) == 0);
  const std::string request =
      "GET " + pathAndQuery + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (connected &&
      platform::Send(socket, request.data(), request.size()) == static_cast<intptr_t>(request.size())) {
    char chunk[4096];
    p.events = POLLIN;
    while (PollSockets(&p, 1, kSimTimeoutMs) > 0) {
      const intptr_t n = platform::Receive(socket, chunk, sizeof chunk);
      if (n <= 0) break;
      reply.append(chunk, static_cast<size_t>(n));
    }
  }
  platform::CloseSocket(socket);
  const size_t headerEnd = reply.find("\r\n\r\n");
  if (headerEnd == std::string::npos || std::sscanf(reply.c_str(), "HTTP/1.%*d %d", &status) != 1) {
    status = 0;
    return {};
  }
  return reply.substr(headerEnd + 4);
}

std::vector<std::string> Camsim::RequestLog() {
  const std::string body = SimGet("/sim/log");
  std::vector<std::string> lines;
  const std::string prefix = "request=";
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find("\r\n", start);
    if (end == std::string::npos) end = body.size();
    if (body.compare(start, prefix.size(), prefix) == 0)
      lines.push_back(body.substr(start + prefix.size(), end - start - prefix.size()));
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> Camsim::RequestPaths(const std::vector<std::string>& prefixes) {
  std::vector<std::string> paths;
  for (const std::string& line : RequestLog()) {
    const size_t start = line.find(' ');
    const size_t end = line.rfind(' ');
    if (start == std::string::npos || end <= start) continue;
    const std::string path = line.substr(start + 1, end - start - 1);
    bool wanted = prefixes.empty();
    for (const std::string& prefix : prefixes) wanted = wanted || path.rfind(prefix, 0) == 0;
    if (wanted) paths.push_back(path);
  }
  return paths;
}

int Camsim::ConnectionCount() {
  return LogCount("connections");
}

int Camsim::LogCount(const std::string& name) {
  const std::string value = Value(SimGet("/sim/log"), name);
  return value.empty() ? -1 : std::atoi(value.c_str());
}

CamsimOptions TlsCameraOptions() {
  CamsimOptions options;
  options.Auth = "digest";
  options.Rtsp = true;
  options.Https = true;
  options.PlainHttp = false;
  options.Rtsps = true;
  return options;
}

void Camsim::ClearLog() {
  SimGet("/sim/clear");
}

bool Camsim::SetInput(int number, bool on) {
  int status = 0;
  SimGet("/sim/input?n=" + std::to_string(number) + "&state=" + (on ? "on" : "off"), status);
  return status == 200;
}

bool Camsim::InjectFault(const std::string& kind, int count, int value) {
  int status = 0;
  SimGet("/sim/fault?kind=" + kind + "&count=" + std::to_string(count) + "&value=" + std::to_string(value),
         status);
  return status == 200;
}

}  // namespace testsupport
