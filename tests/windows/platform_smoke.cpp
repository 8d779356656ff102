// The Windows side of the platform layer, run under Wine: UDP datagrams through CUDPPort (one per
// receive call, an oversized one dropped and the buffer grown), a prompt close, event and socket
// waits with the event first, and the counted Winsock start-up. Exit status 0 when all hold.

#include <atomic>
#include <cstdio>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "platform/socket_startup.h"
#include "transport/udp_port.h"

namespace {

using namespace korvalt;

int gFailures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++gFailures;
}

struct User : IUDPPortUser {
  std::atomic<int> Datagrams{0};
  std::atomic<int> Closed{0};
  std::atomic<size_t> LastLength{0};
  platform::Event Arrived;
  void OnUDPData(CUDPPort*, const sockaddr_in&, const uint8_t*, size_t length) override {
    LastLength = length;
    ++Datagrams;
    Arrived.Set();
  }
  void OnUDPTimeout() override {}
  void OnUDPClosed(CUDPPort*) override { ++Closed; }
};

}  // namespace

int main() {
  Check(platform::SocketStartup(), "WSAStartup");
  {
    User user;
    CUDPPort port;
    port.SetUser(&user);
    port.SetWaitTimeoutMs(200);
    Check(port.Open(0) == CUDPPort::kOpened && port.BoundPort() != 0, "UDP port opens on a free port");

    const platform::SocketHandle sender = platform::OpenSocket(platform::SocketKind::kUdp);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port.BoundPort());
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    uint8_t payload[4096] = {};
    for (size_t i = 0; i < 5; ++i) platform::SendTo(sender, payload, 1000 + i, to);
    const int64_t start = platform::MonotonicMs();
    while (user.Datagrams < 5 && platform::MonotonicMs() - start < 2000) user.Arrived.Wait(100);
    Check(user.Datagrams == 5 && user.LastLength == 1004, "five datagrams arrive whole");

    port.SetBufferSize(500);
    platform::SendTo(sender, payload, 2000, to);
    platform::SendTo(sender, payload, 300, to);
    while (user.Datagrams < 6 && platform::MonotonicMs() - start < 4000) user.Arrived.Wait(100);
    Check(user.Datagrams == 6 && user.LastLength == 300 && port.BufferSize() == 1524,
          "a datagram longer than the buffer is dropped and the buffer grows");

    const int64_t closing = platform::MonotonicMs();
    port.Close();
    Check(platform::MonotonicMs() - closing < 500 && user.Closed == 1, "close is prompt and reported once");
    platform::CloseSocket(sender);
  }
  {
    platform::Event stop(platform::Event::ResetMode::kManual);
    const platform::SocketHandle idle = platform::OpenSocket(platform::SocketKind::kUdp);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ::bind(idle, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    const int64_t waiting = platform::MonotonicMs();
    Check(platform::WaitEventOrSocket(stop, idle, POLLIN, 150) == platform::WaitResult::kTimeout &&
              platform::MonotonicMs() - waiting >= 100,
          "a socket wait without data times out");
    stop.Set();
    Check(platform::WaitEventOrSocket(stop, idle, POLLIN, 5000) == platform::WaitResult::kEvent,
          "the stop event ends a socket wait");
    platform::CloseSocket(idle);

    platform::Event first;
    platform::Event second;
    second.Set();
    Check(platform::WaitAny(first, second, 1000) == 1 && !second.Wait(0),
          "an auto-reset event is consumed once");
  }
  platform::SocketCleanup();
  Check(platform::SocketUsers() == 0, "every start-up has its clean-up");
  std::printf("%s\n", gFailures == 0 ? "platform smoke test passed" : "platform smoke test FAILED");
  return gFailures == 0 ? 0 : 1;
}
