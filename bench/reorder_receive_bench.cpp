// The channel's receive path with and without the reorder stage, in one run: source filter, loss
// counter and H.264 parser as the channel chains them, the reorder stage between filter and loss
// counter or not. The 1080p H.264 capture goes through it in order, and with 5 % of its datagrams
// swapped with their neighbour and 3 % sent twice. Once in process (the stage's own cost, no
// socket), once over loopback through CUDPPort and CRTPReceiver (the receive thread's CPU time).
// bench/run_reorder_bench.sh writes the table.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "media/parsers/h264_rtp_media_parser.h"
#include "transport/rtp_loss_counter.h"
#include "transport/rtp_receiver.h"
#include "transport/rtp_reorder_buffer.h"
#include "transport/rtp_source_filter.h"

namespace {

using benchsupport::BenchDriver;
using benchsupport::DiscardingHost;
using benchsupport::gAllocations;

constexpr const char* kCapture = "h264_gst_inband_1080p";
constexpr size_t kSequenceOffset = 2;
constexpr double kSwapPercent = 5;
constexpr double kDuplicatePercent = 3;
constexpr unsigned kSeed = 7;
constexpr auto kDeliveryWait = std::chrono::milliseconds(200);

enum Path : int64_t { kToday = 0, kWithReorder = 1 };
enum Traffic : int64_t { kInOrder = 0, kSwappedAndDoubled = 1 };

int64_t ThreadCpuNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// The order in which one pass sends the capture's datagrams: every index once, some swapped
// with the next, some twice in a row. The same order for every pass.
std::vector<size_t> SendOrder(size_t count, Traffic traffic) {
  std::vector<size_t> order;
  std::mt19937 random(kSeed);
  std::uniform_real_distribution<double> percent(0, 100);
  for (size_t i = 0; i < count; ++i) {
    if (traffic == kSwappedAndDoubled && i + 1 < count && percent(random) < kSwapPercent) {
      order.push_back(i + 1);
      order.push_back(i);
      ++i;
      continue;
    }
    order.push_back(i);
    if (traffic == kSwappedAndDoubled && percent(random) < kDuplicatePercent) order.push_back(i);
  }
  return order;
}

// As CBaseRTPChannel::OnRTPPacket chains them, with or without the reorder stage.
class ChannelPath : public korvalt::IRTPReceiverUser, public korvalt::CRtpReorderBuffer::ISink {
 public:
  explicit ChannelPath(Path path)
      : Driver(&Host),
        Parser("QuenlarkIPCapture", &Driver),
        UseReorder(path == kWithReorder),
        Reorder(*this) {
    Parser.SetClient(&Host);
    Filter.Expect(0, std::nullopt, Now());
  }

  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void Take(const korvalt::RTP_PACKET_INFO& info) {
    const int64_t now = Now();
    switch (Filter.Accept(0, info.Ssrc, now)) {
      case korvalt::CRtpSourceFilter::Verdict::kDropped:
        return;
      case korvalt::CRtpSourceFilter::Verdict::kNewStream:
        Reorder.Restart();
        Loss.Restart();
        break;
      case korvalt::CRtpSourceFilter::Verdict::kTaken:
        break;
    }
    if (UseReorder) {
      Reorder.Push(info, now);
    } else {
      OnOrderedPacket(info);
    }
  }

  void OnOrderedPacket(const korvalt::RTP_PACKET_INFO& packet) override {
    Loss.Add(packet.SequenceNumber);
    Parser.ProcessPacket(packet);
  }

  void OnRTPPacket(korvalt::CRTPReceiver*, const sockaddr_in&,
                   const korvalt::RTP_PACKET_INFO& info) override {
    if (!ClockKnown.load(std::memory_order_relaxed)) {
      clockid_t clock{};
      pthread_getcpuclockid(pthread_self(), &clock);
      Clock.store(clock);
      ClockKnown.store(true);
    }
    Take(info);
    Received.fetch_add(1, std::memory_order_release);
  }
  void OnRTPTimeout() override {}
  void OnRTPClosed(korvalt::CRTPReceiver*) override {}

  DiscardingHost Host;
  BenchDriver Driver;
  korvalt::CH264RTPMediaParser Parser;
  korvalt::CRtpSourceFilter Filter;
  korvalt::CRtpLossCounter Loss;
  const bool UseReorder;
  korvalt::CRtpReorderBuffer Reorder;
  std::atomic<uint64_t> Received{0};
  std::atomic<clockid_t> Clock{};
  std::atomic<bool> ClockKnown{false};
};

void Report(benchmark::State& state, ChannelPath& path, double datagrams, double passes, int64_t cpuNs,
            uint64_t allocations) {
  state.counters["cpu_ns_per_datagram"] = static_cast<double>(cpuNs) / datagrams;
  state.counters["allocs_per_datagram"] = static_cast<double>(allocations) / datagrams;
  state.counters["pictures_per_pass"] = static_cast<double>(path.Host.Frames.load()) / passes;
  state.counters["lost_per_pass"] = static_cast<double>(path.Loss.Lost()) / passes;
  state.counters["duplicates_per_pass"] = static_cast<double>(path.Reorder.Duplicates()) / passes;
  state.counters["datagrams"] = datagrams;
}

// The chain alone, on this thread: range(0) the path, range(1) the traffic.
void BM_ReorderStageInProcess(benchmark::State& state) {
  const benchsupport::Stream stream = benchsupport::Load(kCapture);
  if (stream.Packets.empty()) {
    state.SkipWithError("test stream missing");
    return;
  }
  ChannelPath path(static_cast<Path>(state.range(0)));
  const std::vector<size_t> order = SendOrder(stream.Packets.size(), static_cast<Traffic>(state.range(1)));
  clockid_t clock{};
  pthread_getcpuclockid(pthread_self(), &clock);
  uint16_t base = 0;
  auto pass = [&] {
    for (const size_t i : order) {
      korvalt::RTP_PACKET_INFO info = stream.Packets[i];
      info.SequenceNumber = static_cast<uint16_t>(base + i);
      path.Take(info);
    }
    base = static_cast<uint16_t>(base + stream.Packets.size());
  };
  pass();  // warm: buffers reach their size
  path.Host.Frames = 0;
  const uint64_t lostBefore = path.Loss.Lost();
  const uint64_t allocationsBefore = gAllocations.load();
  const int64_t cpuBefore = ThreadCpuNs(clock);
  for (auto _ : state) {
    const int64_t start = ThreadCpuNs(clock);
    pass();
    state.SetIterationTime(static_cast<double>(ThreadCpuNs(clock) - start) / 1e9);
  }
  const double passes = static_cast<double>(state.iterations());
  Report(state, path, passes * static_cast<double>(order.size()), passes, ThreadCpuNs(clock) - cpuBefore,
         gAllocations.load() - allocationsBefore);
  state.counters["lost_per_pass"] = static_cast<double>(path.Loss.Lost() - lostBefore) / passes;
}

// Sends the capture to a local port in a pass's order, one picture's datagrams per sendmmsg, and
// waits after each picture until the receiver has taken them all.
class Sender {
 public:
  Sender(const benchsupport::Stream& stream, const std::vector<size_t>& order) : Source(stream.Datagrams) {
    Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 4 * 1024 * 1024;
    ::setsockopt(Fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    Datagrams.reserve(order.size());
    size_t start = 0;
    for (const size_t i : order) {
      Datagrams.push_back(Source[i]);
      Indices.push_back(i);
      const bool marker = Source[i].size() > 1 && (Source[i][1] & 0x80) != 0;
      if (marker) {
        Pictures.push_back({start, Datagrams.size()});
        start = Datagrams.size();
      }
    }
    if (start < Datagrams.size()) Pictures.push_back({start, Datagrams.size()});
    Messages.resize(Datagrams.size());
    Vectors.resize(Datagrams.size());
  }
  ~Sender() { ::close(Fd); }

  // One pass; returns the datagrams that never arrived.
  uint64_t Pass(uint16_t port, const std::atomic<uint64_t>& received) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint64_t lost = 0;
    for (size_t i = 0; i < Datagrams.size(); ++i) {
      const auto sequence = static_cast<uint16_t>(Base + Indices[i]);
      Datagrams[i][kSequenceOffset] = static_cast<uint8_t>(sequence >> 8);
      Datagrams[i][kSequenceOffset + 1] = static_cast<uint8_t>(sequence);
      Vectors[i] = {Datagrams[i].data(), Datagrams[i].size()};
      Messages[i] = {};
      Messages[i].msg_hdr.msg_name = &to;
      Messages[i].msg_hdr.msg_namelen = sizeof to;
      Messages[i].msg_hdr.msg_iov = &Vectors[i];
      Messages[i].msg_hdr.msg_iovlen = 1;
    }
    Base = static_cast<uint16_t>(Base + Source.size());
    for (const auto& [first, last] : Pictures) {
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
  const std::vector<std::vector<uint8_t>>& Source;
  std::vector<std::vector<uint8_t>> Datagrams;  // in sending order
  std::vector<size_t> Indices;                  // of each in the capture
  std::vector<std::pair<size_t, size_t>> Pictures;
  std::vector<mmsghdr> Messages;
  std::vector<iovec> Vectors;
  int Fd = -1;
  uint16_t Base = 0;
  uint64_t Sent = 0;
};

// The whole receive path over loopback: range(0) the path, range(1) the traffic.
void BM_ReorderStageUdp(benchmark::State& state) {
  const benchsupport::Stream stream = benchsupport::Load(kCapture);
  if (stream.Datagrams.empty()) {
    state.SkipWithError("test stream missing");
    return;
  }
  auto path = std::make_unique<ChannelPath>(static_cast<Path>(state.range(0)));
  korvalt::CRTPReceiver receiver;
  receiver.User = path.get();
  if (receiver.Port.Open(0) != korvalt::CUDPPort::kOpened) {
    state.SkipWithError("cannot open the port");
    return;
  }
  Sender sender(stream, SendOrder(stream.Datagrams.size(), static_cast<Traffic>(state.range(1))));
  const uint16_t port = receiver.Port.BoundPort();
  uint64_t lost = sender.Pass(port, path->Received);  // warm
  if (!path->ClockKnown.load()) {
    state.SkipWithError("no datagram arrived");
    return;
  }
  const clockid_t clock = path->Clock.load();
  path->Host.Frames = 0;
  const uint64_t lossBefore = path->Loss.Lost();
  const uint64_t allocationsBefore = gAllocations.load();
  const int64_t cpuBefore = ThreadCpuNs(clock);
  int64_t cpuLast = cpuBefore;
  lost = 0;
  for (auto _ : state) {
    lost += sender.Pass(port, path->Received);
    const int64_t now = ThreadCpuNs(clock);
    state.SetIterationTime(static_cast<double>(now - cpuLast) / 1e9);
    cpuLast = now;
  }
  receiver.User = nullptr;
  receiver.Port.Close();
  const double passes = static_cast<double>(state.iterations());
  Report(state, *path, passes * static_cast<double>(sender.Count()), passes, cpuLast - cpuBefore,
         gAllocations.load() - allocationsBefore);
  state.counters["lost_per_pass"] = static_cast<double>(path->Loss.Lost() - lossBefore) / passes;
  state.counters["datagrams_lost"] = static_cast<double>(lost);
}

void Arguments(benchmark::internal::Benchmark* b) {
  for (const int64_t traffic : {kInOrder, kSwappedAndDoubled})
    for (const int64_t path : {kToday, kWithReorder}) b->Args({path, traffic});
}

BENCHMARK(BM_ReorderStageInProcess)->Apply(Arguments)->UseManualTime()->Iterations(5000)->Repetitions(3);
BENCHMARK(BM_ReorderStageUdp)->Apply(Arguments)->UseManualTime()->Iterations(300)->Repetitions(3);

}  // namespace
