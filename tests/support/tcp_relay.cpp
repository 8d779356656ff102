#include "support/tcp_relay.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_net.h"

namespace testsupport {
namespace {

namespace platform = korvalt::platform;

constexpr int kPollMs = 20;  // how soon the relay notices its end
constexpr size_t kChunk = 16 * 1024;
constexpr size_t kRecordHeader = 5;  // type, version (2), length (2)

bool SendWhole(platform::SocketHandle socket, const char* data, size_t size) {
  while (size > 0) {
    const intptr_t n = platform::Send(socket, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && platform::LastSocketError() != platform::SocketError::kWouldBlock &&
        platform::LastSocketError() != platform::SocketError::kInterrupted)
      return false;
    pollfd p{};
    p.fd = socket;
    p.events = POLLOUT;
    PollSockets(&p, 1, kPollMs);
  }
  return true;
}

platform::SocketHandle ConnectTo(uint16_t port) {
  const platform::SocketHandle socket = platform::OpenSocket(platform::SocketKind::kTcp);
  if (socket == platform::kNoSocket) return socket;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const platform::ConnectResult result = platform::StartConnect(socket, address);
  pollfd p{};
  p.fd = socket;
  p.events = POLLOUT;
  if (result == platform::ConnectResult::kConnected ||
      (result == platform::ConnectResult::kInProgress && PollSockets(&p, 1, 5000) == 1 &&
       platform::PendingSocketError(socket) == 0))
    return socket;
  platform::CloseSocket(socket);
  return platform::kNoSocket;
}

}  // namespace

void ExpectNothingInTheClear(TcpRelay& relay) {
  const std::string up = relay.ToServer();
  const std::string down = relay.ToClient();
  EXPECT_GT(down.size(), 10000u);
  EXPECT_TRUE(AllTlsRecords(up));
  EXPECT_TRUE(AllTlsRecords(down));
  for (const std::string& seen : {up, down}) {
    EXPECT_EQ(seen.find("RTSP/1.0"), std::string::npos);
    EXPECT_EQ(seen.find("rtpvideo1.sdp"), std::string::npos);
    EXPECT_EQ(seen.find("Digest"), std::string::npos);
  }
}

bool AllTlsRecords(const std::string& bytes) {
  size_t at = 0;
  while (at + kRecordHeader <= bytes.size()) {
    const auto type = static_cast<uint8_t>(bytes[at]);
    const auto major = static_cast<uint8_t>(bytes[at + 1]);
    const size_t length = (static_cast<uint8_t>(bytes[at + 3]) << 8) | static_cast<uint8_t>(bytes[at + 4]);
    if (type < 20 || type > 23 || major != 3 || length > (1u << 14) + 2048) return false;
    at += kRecordHeader + length;
  }
  return true;
}

TcpRelay::TcpRelay(uint16_t serverPort) : ServerPort(serverPort) {
  Listener = ListenOnLoopback(4, ListenPort);
  if (Ok()) Thread = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
  Stopping.store(true);
  if (Thread.joinable()) Thread.join();
  platform::CloseSocket(Listener);
}

std::string TcpRelay::ToServer() {
  std::lock_guard<std::mutex> guard(Lock);
  return Up;
}

std::string TcpRelay::ToClient() {
  std::lock_guard<std::mutex> guard(Lock);
  return Down;
}

void TcpRelay::Run() {
  while (!Stopping.load()) {
    pollfd p{};
    p.fd = Listener;
    p.events = POLLIN;
    if (PollSockets(&p, 1, kPollMs) != 1) continue;
    const platform::SocketHandle client = AcceptConnection(Listener);
    if (client == platform::kNoSocket) continue;
    Accepted.fetch_add(1);
    const platform::SocketHandle server = ConnectTo(ServerPort);
    if (server != platform::kNoSocket) Pump(client, server);
    platform::CloseSocket(client);
    platform::CloseSocket(server);
  }
}

void TcpRelay::Pump(platform::SocketHandle client, platform::SocketHandle server) {
  RecordHeader.clear();
  RecordLeft = 0;
  char chunk[kChunk];
  while (!Stopping.load()) {
    pollfd p[2] = {};
    p[0].fd = client;
    p[0].events = POLLIN;
    p[1].fd = server;
    p[1].events = POLLIN;
    if (PollSockets(p, 2, kPollMs) <= 0) continue;
    if (p[0].revents != 0) {
      const intptr_t n = platform::Receive(client, chunk, sizeof chunk);
      if (n <= 0) return;
      {
        std::lock_guard<std::mutex> guard(Lock);
        Up.append(chunk, static_cast<size_t>(n));
      }
      if (!SendWhole(server, chunk, static_cast<size_t>(n))) return;
    }
    if (p[1].revents != 0) {
      const intptr_t n = platform::Receive(server, chunk, sizeof chunk);
      if (n < 0 && platform::LastSocketError() == platform::SocketError::kWouldBlock) continue;
      if (n <= 0 || !FromServer(chunk, static_cast<size_t>(n), client)) return;
    }
  }
}

bool TcpRelay::FromServer(const char* data, size_t size, platform::SocketHandle client) {
  size_t forward = size;
  bool cut = false;
  // Walk the records to find where to cut: half-way through the body of the next one that starts.
  for (size_t at = 0; at < size;) {
    if (RecordLeft > 0) {
      const size_t step = std::min(RecordLeft, size - at);
      RecordLeft -= step;
      at += step;
      continue;
    }
    RecordHeader.push_back(data[at++]);
    if (RecordHeader.size() < kRecordHeader) continue;
    RecordLeft = (static_cast<uint8_t>(RecordHeader[3]) << 8) | static_cast<uint8_t>(RecordHeader[4]);
    RecordHeader.clear();
    if (CutPending.load() && RecordLeft >= 2) {
      forward = std::min(size, at + RecordLeft / 2);
      cut = true;
      CutPending.store(false);
      break;
    }
  }
  {
    std::lock_guard<std::mutex> guard(Lock);
    Down.append(data, forward);
  }
  return SendWhole(client, data, forward) && !cut;
}

}  // namespace testsupport
