#include "transport/udp_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <vector>

#include "transport/rtp_receiver.h"
#include "udp_test_util.h"

namespace korvalt {
namespace {

using transporttest::UdpPeer;
constexpr int kWaitMs = 5000;

// Records callbacks; optionally closes the port from inside OnUDPData.
class RecordingUser : public IUDPPortUser {
 public:
  void OnUDPData(CUDPPort* port, const sockaddr_in&, const uint8_t* data, size_t length) override {
    std::unique_lock<std::mutex> lock(Lock);
    Datagrams.emplace_back(data, data + length);
    if (CloseInCallback) {
      lock.unlock();
      port->Close();  // calls OnUDPClosed on this thread
      lock.lock();
      ClosedInCallback = true;
    }
    Changed.notify_all();
  }
  void OnUDPTimeout() override {
    std::lock_guard<std::mutex> guard(Lock);
    ++Timeouts;
    Changed.notify_all();
  }
  void OnUDPClosed(CUDPPort*) override {
    std::lock_guard<std::mutex> guard(Lock);
    ++Closed;
    Changed.notify_all();
  }

  template <typename Predicate>
  bool WaitFor(Predicate predicate) {
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), predicate);
  }

  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::vector<uint8_t>> Datagrams;
  int Timeouts = 0;
  int Closed = 0;
  bool CloseInCallback = false;
  bool ClosedInCallback = false;
};

TEST(UDPPort, OpenTwiceReportsAlreadyOpenAndCloseIsRepeatable) {
  CUDPPort port;
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);
  EXPECT_NE(port.BoundPort(), 0);
  EXPECT_EQ(port.Open(0), CUDPPort::kAlreadyOpen);
  port.Close();
  EXPECT_EQ(port.BoundPort(), 0);
  port.Close();
  EXPECT_EQ(port.Open(0), CUDPPort::kOpened);
}

TEST(UDPPort, BindingATakenPortFails) {
  CUDPPort first;
  ASSERT_EQ(first.Open(0), CUDPPort::kOpened);
  CUDPPort second;
  EXPECT_EQ(second.Open(first.BoundPort()), CUDPPort::kBindFailed);
  EXPECT_EQ(second.BoundPort(), 0);
}

TEST(UDPPort, DeliversDatagramsAndReportsClose) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);
  UdpPeer peer;
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), {1, 2, 3}));
  ASSERT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == 1; }));
  EXPECT_EQ(user.Datagrams[0], (std::vector<uint8_t>{1, 2, 3}));
  port.Close();
  std::lock_guard<std::mutex> guard(user.Lock);
  EXPECT_EQ(user.Closed, 1);
}

TEST(UDPPort, EmptyDatagramDoesNotEndReception) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);
  UdpPeer peer;
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), {}));
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), {7}));
  ASSERT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == 1; }));
  EXPECT_EQ(user.Datagrams[0], std::vector<uint8_t>{7});
}

TEST(UDPPort, CloseFromInsideCallbackDoesNotWaitForItself) {
  RecordingUser user;
  user.CloseInCallback = true;
  CUDPPort port;
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);
  const uint16_t bound = port.BoundPort();
  UdpPeer peer;
  ASSERT_TRUE(peer.SendTo(bound, {9}));
  ASSERT_TRUE(user.WaitFor([&] { return user.ClosedInCallback && user.Closed == 1; }));
  EXPECT_EQ(port.BoundPort(), 0);
  // The port can be opened again once its old thread has gone.
  EXPECT_EQ(port.Open(0), CUDPPort::kOpened);
}

TEST(UDPPort, OversizedDatagramIsLostOnceAndGrowsTheBuffer) {
  RecordingUser user;
  CUDPPort port;
  port.SetBufferSize(4096);
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);
  UdpPeer peer;
  const std::vector<uint8_t> big(4500, 0xAB);
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), big));
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), {1}));
  ASSERT_TRUE(user.WaitFor([&] { return !user.Datagrams.empty(); }));
  EXPECT_EQ(user.Datagrams[0], std::vector<uint8_t>{1});  // the truncated one never reached the user
  EXPECT_EQ(port.BufferSize(), 4096u + 1024u);
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), big));
  ASSERT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == 2; }));
  EXPECT_EQ(user.Datagrams[1], big);
}

TEST(UDPPort, SilenceReportsTimeoutAndCloseWakesTheThreadAtOnce) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  port.SetWaitTimeoutMs(20);
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);
  ASSERT_TRUE(user.WaitFor([&] { return user.Timeouts >= 2; }));

  // With a long wait the thread sits in poll; Close must not wait for the wait to run out.
  CUDPPort quiet;
  quiet.SetWaitTimeoutMs(60000);
  ASSERT_EQ(quiet.Open(0), CUDPPort::kOpened);
  const auto start = std::chrono::steady_clock::now();
  quiet.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Holds the receive thread inside its first OnUDPData until released, so that the datagrams sent
// meanwhile queue up in the socket and the thread meets them all at once, as in a camera's burst.
class HeldUser : public IUDPPortUser {
 public:
  void OnUDPData(CUDPPort* port, const sockaddr_in& from, const uint8_t* data, size_t length) override {
    std::unique_lock<std::mutex> lock(Lock);
    Datagrams.emplace_back(data, data + length);
    Senders.push_back(from.sin_addr.s_addr);
    Changed.notify_all();
    Changed.wait(lock, [&] { return Released; });
    if (length == 1 && data[0] == CloseOn) {
      lock.unlock();
      port->Close();
    }
  }
  void OnUDPTimeout() override {}
  void OnUDPClosed(CUDPPort*) override {
    std::lock_guard<std::mutex> guard(Lock);
    Closed = true;
    Changed.notify_all();
  }

  void Release() {
    std::lock_guard<std::mutex> guard(Lock);
    Released = true;
    Changed.notify_all();
  }
  template <typename Predicate>
  bool WaitFor(Predicate predicate) {
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), predicate);
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(Lock);
    return Datagrams.size();
  }

  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::vector<uint8_t>> Datagrams;
  std::vector<uint32_t> Senders;  // source address of each datagram
  bool Released = false;
  bool Closed = false;
  int CloseOn = -1;  // first byte of a one-byte datagram whose callback closes the port
};

// Opens port for user and holds its thread in the first callback (datagram {0}).
void OpenAndHold(CUDPPort& port, HeldUser& user, const UdpPeer& peer) {
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), {0}));
  ASSERT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == 1; }));
}

TEST(UDPPort, QueuedBurstArrivesWholeAndInOrder) {
  // Several batches' worth, with empty datagrams among them that must be skipped.
  constexpr int kBurst = 100;
  HeldUser user;
  CUDPPort port;
  UdpPeer peer;
  OpenAndHold(port, user, peer);
  std::vector<std::vector<uint8_t>> expected{{0}};
  for (int i = 1; i <= kBurst; ++i) {
    const std::vector<uint8_t> datagram{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x5A};
    ASSERT_TRUE(peer.SendTo(port.BoundPort(), datagram));
    expected.push_back(datagram);
    if (i % 7 == 0) {
      ASSERT_TRUE(peer.SendTo(port.BoundPort(), {}));
    }
  }
  user.Release();
  ASSERT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == expected.size(); }));
  std::lock_guard<std::mutex> guard(user.Lock);
  EXPECT_EQ(user.Datagrams, expected);
}

TEST(UDPPort, EachDatagramOfABurstCarriesItsOwnSender) {
  // The channel drops datagrams that do not come from the camera; a batch mixing senders must
  // name each one's own source.
  if (!transporttest::LoopbackSendersAreTold())
    GTEST_SKIP() << "this system does not tell loopback senders apart";
  HeldUser user;
  CUDPPort port;
  UdpPeer camera("127.0.0.1");
  UdpPeer stranger("127.0.0.2");
  ASSERT_TRUE(stranger.Ok());
  OpenAndHold(port, user, camera);
  std::vector<uint32_t> expected{transporttest::LoopbackAddress("127.0.0.1")};
  for (int i = 0; i < 20; ++i) {
    const char* source = i % 3 == 0 ? "127.0.0.2" : "127.0.0.1";
    ASSERT_TRUE((i % 3 == 0 ? stranger : camera).SendTo(port.BoundPort(), {static_cast<uint8_t>(i)}));
    expected.push_back(transporttest::LoopbackAddress(source));
  }
  user.Release();
  ASSERT_TRUE(user.WaitFor([&] { return user.Senders.size() == expected.size(); }));
  std::lock_guard<std::mutex> guard(user.Lock);
  EXPECT_EQ(user.Senders, expected);
}

TEST(UDPPort, OversizedDatagramsInOneBurstAreEachLostOnceAsAlone) {
  // Received one at a time, the first 4500-byte datagram is lost and grows the buffer to 5120, so
  // the second fits; a 5500-byte one is then lost once more and grows it to 6144.
  HeldUser user;
  CUDPPort port;
  port.SetBufferSize(4096);
  UdpPeer peer;
  OpenAndHold(port, user, peer);
  const std::vector<uint8_t> big(4500, 0xAB);
  const std::vector<uint8_t> bigger(5500, 0xCD);
  for (const auto* datagram : {&big, &big, &bigger, &bigger})
    ASSERT_TRUE(peer.SendTo(port.BoundPort(), *datagram));
  ASSERT_TRUE(peer.SendTo(port.BoundPort(), {1}));
  user.Release();
  ASSERT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == 4; }));
  std::lock_guard<std::mutex> guard(user.Lock);
  EXPECT_EQ(user.Datagrams[1], big);
  EXPECT_EQ(user.Datagrams[2], bigger);
  EXPECT_EQ(user.Datagrams[3], std::vector<uint8_t>{1});
  EXPECT_EQ(port.BufferSize(), 6144u);
}

TEST(UDPPort, CloseDuringABurstDeliversNothingMore) {
  // The fifth datagram of a queued burst closes the port from its callback; the rest of the
  // burst, already taken from the socket in the same batch, must not reach the user.
  constexpr int kBurst = 40;
  HeldUser user;
  user.CloseOn = 5;
  CUDPPort port;
  UdpPeer peer;
  OpenAndHold(port, user, peer);
  for (int i = 1; i <= kBurst; ++i) ASSERT_TRUE(peer.SendTo(port.BoundPort(), {static_cast<uint8_t>(i)}));
  user.Release();
  ASSERT_TRUE(user.WaitFor([&] { return user.Closed; }));
  ASSERT_EQ(port.Open(0), CUDPPort::kOpened);  // waits for the old thread to end
  std::lock_guard<std::mutex> guard(user.Lock);
  EXPECT_EQ(user.Datagrams, (std::vector<std::vector<uint8_t>>{{0}, {1}, {2}, {3}, {4}, {5}}));
}

TEST(UDPPort, SocketHoldsAKeyFrameBurstWhileTheUserIsBusy) {
  // 600 KB in 1400-byte datagrams, sent while the receive thread is held in a callback as a slow
  // frame sink holds it; none may be dropped by the kernel.
  constexpr size_t kDatagramBytes = 1400;
  constexpr size_t kBurst = 600 * 1024 / kDatagramBytes + 1;
  std::ifstream limit("/proc/sys/net/core/rmem_max");
  size_t rmemMax = 0;
  limit >> rmemMax;
  if (rmemMax < 1024 * 1024) GTEST_SKIP() << "net.core.rmem_max " << rmemMax << " caps the socket buffer";
  HeldUser user;
  CRTPReceiver receiver;  // the RTP port's datagram buffer size
  receiver.Port.SetUser(&user);
  UdpPeer peer;
  ASSERT_EQ(receiver.Port.Open(0), CUDPPort::kOpened);
  ASSERT_TRUE(peer.SendTo(receiver.Port.BoundPort(), {0}));
  ASSERT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == 1; }));
  std::vector<uint8_t> datagram(kDatagramBytes, 0x55);
  for (size_t i = 0; i < kBurst; ++i) {
    datagram[0] = static_cast<uint8_t>(i);
    ASSERT_TRUE(peer.SendTo(receiver.Port.BoundPort(), datagram));
  }
  user.Release();
  EXPECT_TRUE(user.WaitFor([&] { return user.Datagrams.size() == kBurst + 1; })) << user.Datagrams.size();
  receiver.Port.SetUser(nullptr);
  receiver.Port.Close();
}

class RecordingRtpUser : public IRTPReceiverUser {
 public:
  void OnRTPPacket(CRTPReceiver*, const sockaddr_in& from, const RTP_PACKET_INFO& info) override {
    std::lock_guard<std::mutex> guard(Lock);
    Sequences.push_back(info.SequenceNumber);
    Payloads.emplace_back(info.Payload, info.Payload + info.PayloadLength);
    LastFrom = from;
    Changed.notify_all();
  }
  void OnRTPTimeout() override {}
  void OnRTPClosed(CRTPReceiver*) override {
    std::lock_guard<std::mutex> guard(Lock);
    ++Closed;
  }

  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<uint16_t> Sequences;
  std::vector<std::vector<uint8_t>> Payloads;
  sockaddr_in LastFrom{};
  int Closed = 0;
};

TEST(RTPReceiver, HandsOnWellFormedPacketsOnly) {
  RecordingRtpUser user;
  CRTPReceiver receiver;
  EXPECT_EQ(receiver.Port.BufferSize(), 4096u);
  receiver.User = &user;
  ASSERT_EQ(receiver.Port.Open(0), CUDPPort::kOpened);
  UdpPeer peer;
  const uint16_t port = receiver.Port.BoundPort();
  // Header only (12 bytes), then version 1, then a good packet with sequence 7.
  ASSERT_TRUE(peer.SendTo(port, {0x80, 96, 0, 5, 0, 0, 0, 0, 0, 0, 0, 1}));
  ASSERT_TRUE(peer.SendTo(port, {0x40, 96, 0, 6, 0, 0, 0, 0, 0, 0, 0, 1, 0xAA}));
  ASSERT_TRUE(peer.SendTo(port, {0x80, 96, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1, 0xBB, 0xCC}));
  std::unique_lock<std::mutex> lock(user.Lock);
  ASSERT_TRUE(user.Changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                    [&] { return !user.Sequences.empty(); }));
  EXPECT_EQ(user.Sequences, std::vector<uint16_t>{7});
  EXPECT_EQ(user.Payloads[0], (std::vector<uint8_t>{0xBB, 0xCC}));
  EXPECT_EQ(user.LastFrom.sin_addr.s_addr, transporttest::LoopbackAddress());
  lock.unlock();
  receiver.Port.Close();
  EXPECT_EQ(user.Closed, 1);
}

}  // namespace
}  // namespace korvalt
