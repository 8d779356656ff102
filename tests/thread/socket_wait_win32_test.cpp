// Socket waits on Windows: two threads waiting on one socket for different things, and the event
// handles a long run of waits and connections leaves behind.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "support/process_handles.h"
#include "support/test_net.h"

namespace {

using korvalt::platform::Event;
using korvalt::platform::SocketHandle;
using korvalt::platform::WaitEventOrSocket;
using korvalt::platform::WaitResult;

// Long enough that a wait that missed its wake-up is told apart from a late one on a loaded machine.
constexpr int kLongWaitMs = 20000;
constexpr int64_t kPromptMs = 10000;
// The other thread's wait is meant to time out; it only has to select and leave.
constexpr int kShortWaitMs = 200;
// Time for the first waiter to reach its wait; if it is slower, the case checks less, never fails.
constexpr DWORD kSettleMs = 300;

void SetNonBlocking(SocketHandle socket) {
  u_long on = 1;
  ASSERT_EQ(::ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &on), 0);
}

// Sends until the socket's buffers are full (the peer reads nothing).
void FillSendBuffer(SocketHandle socket) {
  static char chunk[64 * 1024] = {};
  while (korvalt::platform::Send(socket, chunk, sizeof chunk) > 0) {
  }
  ASSERT_EQ(korvalt::platform::LastSocketError(), korvalt::platform::SocketError::kWouldBlock);
}

void Drain(SocketHandle socket) {
  static char chunk[64 * 1024];
  while (korvalt::platform::Receive(socket, chunk, sizeof chunk) > 0) {
  }
}

struct SharedSocketCase {
  const char* Name;
  short FirstWaitsFor;   // the long wait on a thread of its own
  short SecondWaitsFor;  // the short wait on the test's thread, on the same socket, meanwhile
};

class SocketWaitsShareASocket : public ::testing::TestWithParam<SharedSocketCase> {};

// A receiver and a sender on one socket (the interleaved RTSP reader and the worker sending a
// request): the second wait must not cancel the first one's.
TEST_P(SocketWaitsShareASocket, AnotherThreadsWaitDoesNotCancelTheFirst) {
  const SharedSocketCase& c = GetParam();
  SocketHandle pair[2];
  ASSERT_TRUE(testsupport::ConnectedPair(pair));
  SetNonBlocking(pair[0]);
  SetNonBlocking(pair[1]);
  FillSendBuffer(pair[0]);  // so that a POLLOUT wait on it waits

  Event stop(Event::ResetMode::kManual);
  std::atomic<WaitResult> first{WaitResult::kError};
  std::atomic<int64_t> firstEndedMs{0};
  std::thread waiter([&] {
    first = WaitEventOrSocket(stop, pair[0], c.FirstWaitsFor, kLongWaitMs);
    firstEndedMs = korvalt::platform::MonotonicMs();
  });
  ::Sleep(kSettleMs);
  Event otherStop(Event::ResetMode::kManual);
  EXPECT_EQ(WaitEventOrSocket(otherStop, pair[0], c.SecondWaitsFor, kShortWaitMs), WaitResult::kTimeout);

  // Now what the first waiter waits for happens.
  const int64_t readyMs = korvalt::platform::MonotonicMs();
  if ((c.FirstWaitsFor & POLLIN) != 0) {
    ASSERT_EQ(korvalt::platform::Send(pair[1], "x", 1), 1);
  } else {
    Drain(pair[1]);
  }
  waiter.join();
  EXPECT_EQ(first.load(), WaitResult::kSocket);
  EXPECT_LT(firstEndedMs.load() - readyMs, kPromptMs);
  korvalt::platform::CloseSocket(pair[0]);
  korvalt::platform::CloseSocket(pair[1]);
}

INSTANTIATE_TEST_SUITE_P(Windows, SocketWaitsShareASocket,
                         ::testing::Values(SharedSocketCase{"ReceiverWhileSenderWaits", POLLIN, POLLOUT},
                                           SharedSocketCase{"SenderWhileReceiverWaits", POLLOUT, POLLIN}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A recorder reconnects for months: connections, their reader threads and their waits come and
// go, and the process's event handles stay as they were.
TEST(SocketWaits, ConnectionsAndTheirThreadsLeaveNoEventHandles) {
  Event stop(Event::ResetMode::kManual);
  auto connectionWithReader = [&stop] {
    SocketHandle pair[2];
    ASSERT_TRUE(testsupport::ConnectedPair(pair));
    std::thread reader([&] {
      // Waits until the peer closes, as a connection's reader does.
      while (WaitEventOrSocket(stop, pair[0], POLLIN, kLongWaitMs) == WaitResult::kSocket) {
        char byte = 0;
        if (korvalt::platform::Receive(pair[0], &byte, 1) <= 0) break;
      }
    });
    ASSERT_EQ(korvalt::platform::Send(pair[1], "x", 1), 1);
    korvalt::platform::CloseSocket(pair[1]);
    reader.join();
    korvalt::platform::CloseSocket(pair[0]);
  };
  constexpr int kWarmUp = 3;
  constexpr int kConnections = 40;
  for (int i = 0; i < kWarmUp; ++i) connectionWithReader();
  const size_t before = testsupport::ProcessEventHandles();
  ASSERT_GT(before, 0U);
  for (int i = 0; i < kConnections; ++i) connectionWithReader();
  // A few for the system's own caches at most; one per connection is a leak.
  EXPECT_LE(testsupport::ProcessEventHandles(), before + 2);
}

}  // namespace
