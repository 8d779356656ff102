// The receive path in process: the 1080p H.264 capture pushed over loopback, a picture's datagrams
// at a time, into one CUDPPort + CRTPReceiver + H.264 parser. Its receive thread's CPU time per
// datagram stands beside a bare poll + recvmmsg loop on a socket of its own with the same traffic
// (the floor) and beside memcpy of the payload bytes. bench/run_receive_bench.sh writes the table.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "media/parsers/h264_rtp_media_parser.h"
#include "transport/rtp_receiver.h"

namespace {

using benchsupport::BenchDriver;
using benchsupport::DiscardingHost;
using benchsupport::gAllocations;

constexpr const char* kCapture = "h264_gst_inband_1080p";
constexpr size_t kSequenceOffset = 2;
constexpr int kFloorBatch = 16;
constexpr int kFloorSocketBuffer = 131070;
// A datagram not seen by then was dropped; the sender moves on.
constexpr auto kDeliveryWait = std::chrono::milliseconds(200);

int64_t ThreadCpuNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// Sends the capture to a local port, one picture's datagrams per sendmmsg, and waits after each
// picture until the receiver has taken them all, so that nothing is lost for want of a pace.
class Sender {
 public:
  explicit Sender(const benchsupport::Stream& stream) : Datagrams(stream.Datagrams) {
    Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 4 * 1024 * 1024;
    ::setsockopt(Fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    size_t start = 0;
    for (size_t i = 0; i < Datagrams.size(); ++i) {
      const bool marker = Datagrams[i].size() > 1 && (Datagrams[i][1] & 0x80) != 0;
      if (marker || i + 1 == Datagrams.size()) {
        Pictures.push_back({start, i + 1});
        start = i + 1;
      }
    }
    Messages.resize(Datagrams.size());
    Vectors.resize(Datagrams.size());
  }
  ~Sender() { ::close(Fd); }

  // One pass over the capture; returns the datagrams that never arrived.
  uint64_t Pass(uint16_t port, const std::atomic<uint64_t>& received) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint64_t lost = 0;
    for (const auto& [first, last] : Pictures) {
      for (size_t i = first; i < last; ++i) {
        auto& d = Datagrams[i];
        d[kSequenceOffset] = static_cast<uint8_t>(Sequence >> 8);
        d[kSequenceOffset + 1] = static_cast<uint8_t>(Sequence);
        ++Sequence;
        Vectors[i] = {d.data(), d.size()};
        Messages[i] = {};
        Messages[i].msg_hdr.msg_name = &to;
        Messages[i].msg_hdr.msg_namelen = sizeof to;
        Messages[i].msg_hdr.msg_iov = &Vectors[i];
        Messages[i].msg_hdr.msg_iovlen = 1;
      }
      for (size_t i = first; i < last;) {
        const int n = ::sendmmsg(Fd, &Messages[i], static_cast<unsigned>(last - i), 0);
        if (n <= 0) break;
        i += static_cast<size_t>(n);
      }
      Sent += last - first;
      const auto deadline = std::chrono::steady_clock::now() + kDeliveryWait;
      while (received.load(std::memory_order_acquire) + lost < Sent) {
        if (std::chrono::steady_clock::now() > deadline) {
          lost = Sent - received.load();
          break;
        }
        std::this_thread::yield();
      }
    }
    return lost;
  }

  size_t Count() const { return Datagrams.size(); }

 private:
  std::vector<std::vector<uint8_t>> Datagrams;
  std::vector<std::pair<size_t, size_t>> Pictures;  // [first, last) datagram of each picture
  std::vector<mmsghdr> Messages;
  std::vector<iovec> Vectors;
  int Fd = -1;
  uint16_t Sequence = 0;
  uint64_t Sent = 0;
};

// Runs passes and reports the receiving thread's CPU time per datagram as the iteration time.
void Measure(benchmark::State& state, Sender& sender, uint16_t port, const std::atomic<uint64_t>& received,
             const std::atomic<clockid_t>& receiverClock, const std::atomic<bool>& clockKnown) {
  uint64_t lost = sender.Pass(port, received);  // warm: buffers reach their size
  if (!clockKnown.load()) {
    state.SkipWithError("no datagram arrived");
    return;
  }
  const clockid_t clock = receiverClock.load();
  const uint64_t allocationsBefore = gAllocations.load();
  const int64_t cpuBefore = ThreadCpuNs(clock);
  int64_t cpuLast = cpuBefore;
  lost = 0;
  for (auto _ : state) {
    lost += sender.Pass(port, received);
    const int64_t now = ThreadCpuNs(clock);
    state.SetIterationTime(static_cast<double>(now - cpuLast) / 1e9);
    cpuLast = now;
  }
  const double datagrams = static_cast<double>(state.iterations()) * static_cast<double>(sender.Count());
  state.counters["cpu_ns_per_datagram"] = static_cast<double>(cpuLast - cpuBefore) / datagrams;
  state.counters["allocs_per_datagram"] =
      static_cast<double>(gAllocations.load() - allocationsBefore) / datagrams;
  state.counters["lost_datagrams"] = static_cast<double>(lost);
  state.counters["datagrams"] = datagrams;
}

class ParsingUser : public korvalt::IRTPReceiverUser {
 public:
  explicit ParsingUser(korvalt::CH264RTPMediaParser& parser) : Parser(parser) {}
  void OnRTPPacket(korvalt::CRTPReceiver*, const sockaddr_in&,
                   const korvalt::RTP_PACKET_INFO& info) override {
    if (!ClockKnown.load(std::memory_order_relaxed)) {
      clockid_t clock{};
      pthread_getcpuclockid(pthread_self(), &clock);
      Clock.store(clock);
      ClockKnown.store(true);
    }
    Parser.ProcessPacket(info);
    Received.fetch_add(1, std::memory_order_release);
  }
  void OnRTPTimeout() override {}
  void OnRTPClosed(korvalt::CRTPReceiver*) override {}

  korvalt::CH264RTPMediaParser& Parser;
  std::atomic<uint64_t> Received{0};
  std::atomic<clockid_t> Clock{};
  std::atomic<bool> ClockKnown{false};
};

// One receive path of the module: UDP port, RTP receiver and H.264 parser, delivering to a host
// that drops every picture.
struct ModuleReceivePath {
  ModuleReceivePath() : Driver(&Host), Parser("QuenlarkIPCapture", &Driver), User(Parser) {
    Parser.SetClient(&Host);
    Receiver.User = &User;
    Opened = Receiver.Port.Open(0) == korvalt::CUDPPort::kOpened;
  }
  ~ModuleReceivePath() {
    Receiver.User = nullptr;
    Receiver.Port.Close();
  }
  ModuleReceivePath(const ModuleReceivePath&) = delete;
  ModuleReceivePath& operator=(const ModuleReceivePath&) = delete;

  DiscardingHost Host;
  BenchDriver Driver;
  korvalt::CH264RTPMediaParser Parser;
  ParsingUser User;
  korvalt::CRTPReceiver Receiver;
  bool Opened = false;
};

void BM_ReceiveModule(benchmark::State& state) {
  const benchsupport::Stream stream = benchsupport::Load(kCapture);
  if (stream.Datagrams.empty()) {
    state.SkipWithError("test stream missing");
    return;
  }
  ModuleReceivePath path;
  if (!path.Opened) {
    state.SkipWithError("cannot open the port");
    return;
  }
  Sender sender(stream);
  Measure(state, sender, path.Receiver.Port.BoundPort(), path.User.Received, path.User.Clock,
          path.User.ClockKnown);
}

// The floor: what any receiver must pay to take the same datagrams from a socket.
void BM_ReceiveBareRecvmmsg(benchmark::State& state) {
  const benchsupport::Stream stream = benchsupport::Load(kCapture);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int stop = ::eventfd(0, EFD_CLOEXEC);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kFloorSocketBuffer, sizeof kFloorSocketBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);

  std::atomic<uint64_t> received{0};
  std::atomic<clockid_t> clock{};
  std::atomic<bool> clockKnown{false};
  std::thread thread([&] {
    clockid_t own{};
    pthread_getcpuclockid(pthread_self(), &own);
    clock.store(own);
    clockKnown.store(true);
    std::vector<uint8_t> storage(size_t{kFloorBatch} * 65536);
    std::array<iovec, kFloorBatch> slots{};
    std::array<sockaddr_in, kFloorBatch> senders{};
    std::array<mmsghdr, kFloorBatch> messages{};
    for (int i = 0; i < kFloorBatch; ++i) {
      slots[i] = {storage.data() + static_cast<size_t>(i) * 65536, 65536};
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_iov = &slots[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
      pollfd p[2] = {{stop, POLLIN, 0}, {fd, POLLIN, 0}};
      if (::poll(p, 2, -1) < 0 || (p[0].revents & POLLIN) != 0) return;
      for (;;) {
        for (auto& m : messages) m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
        const int n = ::recvmmsg(fd, messages.data(), kFloorBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
        if (n <= 0) break;
        received.fetch_add(static_cast<uint64_t>(n), std::memory_order_release);
        if (n < kFloorBatch) break;
      }
    }
  });
  Sender sender(stream);
  while (!clockKnown.load()) std::this_thread::yield();
  Measure(state, sender, ntohs(address.sin_port), received, clock, clockKnown);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(stop, &one, sizeof one);
  thread.join();
  ::close(stop);
  ::close(fd);
}

// Copying the payload bytes once, as gathering a picture must.
void BM_ReceiveMemcpyPayload(benchmark::State& state) {
  const benchsupport::Stream stream = benchsupport::Load(kCapture);
  std::vector<uint8_t> picture(12 * 1024 * 1024);
  clockid_t clock{};
  pthread_getcpuclockid(pthread_self(), &clock);
  const int64_t before = ThreadCpuNs(clock);
  for (auto _ : state) {
    const int64_t start = ThreadCpuNs(clock);
    size_t offset = 0;
    for (const korvalt::RTP_PACKET_INFO& info : stream.Packets) {
      std::memcpy(picture.data() + offset, info.Payload, info.PayloadLength);
      offset = info.Marker != 0 ? 0 : offset + info.PayloadLength;
    }
    benchmark::DoNotOptimize(picture.data());
    benchmark::ClobberMemory();
    state.SetIterationTime(static_cast<double>(ThreadCpuNs(clock) - start) / 1e9);
  }
  const double datagrams =
      static_cast<double>(state.iterations()) * static_cast<double>(stream.Packets.size());
  state.counters["cpu_ns_per_datagram"] = static_cast<double>(ThreadCpuNs(clock) - before) / datagrams;
  state.counters["datagrams"] = datagrams;
}

BENCHMARK(BM_ReceiveModule)->UseManualTime()->Iterations(300)->Repetitions(3);
BENCHMARK(BM_ReceiveBareRecvmmsg)->UseManualTime()->Iterations(300)->Repetitions(3);
BENCHMARK(BM_ReceiveMemcpyPayload)->UseManualTime()->Iterations(20000)->Repetitions(3);

// Kernel drops of the socket bound to a local UDP port (the drops column of /proc/net/udp).
uint64_t KernelDrops(uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // header
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if (local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0) continue;
    std::string last;
    for (std::string field; fields >> field;) last = field;
    return std::stoull(last);
  }
  return 0;
}

// Gives the module's own socket on port another receive buffer: the socket is found among the
// process's descriptors by its bound port. Returns the size the kernel then reports.
int ForceReceiveBuffer(uint16_t port, int bytes) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = -1;
    try {
      fd = std::stoi(entry.path().filename().string());
    } catch (...) {
      continue;
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
    if (address.sin_family != AF_INET || ntohs(address.sin_port) != port) continue;
    if (bytes > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int effective = 0;
    length = sizeof effective;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &effective, &length);
    return effective;
  }
  return 0;
}

// H.264 pictures as a camera sends them: parameter sets (from the capture) before a key frame,
// slices cut into FU-A fragments of kFragmentBytes, the marker on the last datagram.
class PictureMaker {
 public:
  static constexpr size_t kFragmentBytes = 1400;
  explicit PictureMaker(const benchsupport::Stream& stream) {
    for (const auto& d : stream.Datagrams)
      if (d.size() > 12 && (d[12] & 0x1F) == 24) ParameterSets = d;  // STAP-A
  }
  std::vector<std::vector<uint8_t>> Make(size_t bytes, bool key) {
    std::vector<std::vector<uint8_t>> out;
    if (key && !ParameterSets.empty()) out.push_back(Header(false, ParameterSets));
    const uint8_t type = key ? 5 : 1;
    for (size_t offset = 0; offset < bytes; offset += kFragmentBytes) {
      const bool first = offset == 0;
      const bool last = offset + kFragmentBytes >= bytes;
      std::vector<uint8_t> d = Header(last, {});
      d.push_back(0x60 | 28);  // FU indicator: F=0, NRI=3, Type=28 (FU-A)
      d.push_back(static_cast<uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | type));  // |S|E|R|Type|
      d.insert(d.end(), std::min(kFragmentBytes, bytes - offset), static_cast<uint8_t>(0x55));
      out.push_back(std::move(d));
    }
    Timestamp += 3000;
    return out;
  }

 private:
  std::vector<uint8_t> Header(bool marker, const std::vector<uint8_t>& from) {
    std::vector<uint8_t> d = from.empty() ? std::vector<uint8_t>(12) : from;
    d[0] = 0x80;  // V=2
    d[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | 96);
    d[2] = static_cast<uint8_t>(Sequence >> 8);
    d[3] = static_cast<uint8_t>(Sequence);
    ++Sequence;
    for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<uint8_t>(Timestamp >> (24 - 8 * i));
    d[8] = 0x12, d[9] = 0x34, d[10] = 0x56, d[11] = 0x78;  // SSRC
    return d;
  }

  std::vector<uint8_t> ParameterSets;
  uint16_t Sequence = 0;
  uint32_t Timestamp = 0;
};

// A key frame of range(0) KB sent at memory speed right behind a 20 KB picture, while the host's
// sink takes 20 ms per picture, so the key frame waits in the socket. range(1) is the receive
// buffer forced on the module's socket (0: the module's own choice).
void BM_KeyFrameBurst(benchmark::State& state) {
  constexpr int kRounds = 10;
  constexpr size_t kSmallPicture = 20 * 1024;
  const benchsupport::Stream stream = benchsupport::Load(kCapture);
  ModuleReceivePath path;
  DiscardingHost& host = path.Host;
  host.SinkDelay = std::chrono::milliseconds(20);
  if (!path.Opened) {
    state.SkipWithError("cannot open the port");
    return;
  }
  const uint16_t port = path.Receiver.Port.BoundPort();
  const int effective = ForceReceiveBuffer(port, static_cast<int>(state.range(1)));
  const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int sendBuffer = 8 * 1024 * 1024;
  ::setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto send = [&](const std::vector<std::vector<uint8_t>>& datagrams) {
    for (const auto& d : datagrams)
      ::sendto(sender, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  auto waitFrames = [&](uint64_t frames) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (host.Frames.load() < frames && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  PictureMaker maker(stream);
  const size_t keyBytes = static_cast<size_t>(state.range(0)) * 1024;
  send(maker.Make(keyBytes, true));  // the parser starts at a key frame
  waitFrames(1);
  const uint64_t framesBefore = host.Frames.load();
  const uint64_t dropsBefore = KernelDrops(port);
  uint64_t sent = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const auto small = maker.Make(kSmallPicture, false);
      const auto key = maker.Make(keyBytes, true);
      send(small);
      send(key);
      sent += 2;
      waitFrames(framesBefore + sent);
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  state.counters["kernel_drops"] = static_cast<double>(KernelDrops(port) - dropsBefore);
  state.counters["pictures_sent"] = static_cast<double>(sent);
  state.counters["pictures_lost"] = static_cast<double>(sent - (host.Frames.load() - framesBefore));
  state.counters["rcvbuf_kernel"] = effective;
  ::close(sender);
}

BENCHMARK(BM_KeyFrameBurst)
    ->ArgsProduct({{100, 300, 600}, {0, 131070, 262144, 524288, 1048576, 2097152}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
