#include "replay_sender.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>

namespace camsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxBatch = 1024;  // UIO_MAXIOV: most messages one sendmmsg takes
constexpr int kSendBuffer = 4 * 1024 * 1024;
constexpr int kPortPairTries = 32;
// Further behind than this (a stalled machine), the timeline moves on instead of bursting to catch up.
constexpr auto kMaxLag = std::chrono::seconds(1);

uint16_t Sequence(const std::vector<uint8_t>& packet) {
  return static_cast<uint16_t>(packet[2] << 8 | packet[3]);
}
uint32_t Timestamp(const std::vector<uint8_t>& packet) {
  return uint32_t{packet[4]} << 24 | uint32_t{packet[5]} << 16 | uint32_t{packet[6]} << 8 | packet[7];
}

int BoundUdp(const std::string& address, uint16_t port, uint16_t& bound) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  bound = ntohs(local.sin_port);
  return fd;
}

}  // namespace

ReplaySender::Timeline ReplaySender::MakeTimeline(const RtpCapture& capture) {
  Timeline t;
  const auto& packets = capture.Packets;
  if (packets.empty()) return t;
  const uint32_t first = Timestamp(packets.front());
  // Does every picture start later than the one before? (Signed distances, so that a timestamp
  // that wraps within the capture stays in order.)
  bool timed = true;
  int64_t pictureStart = 0;
  bool newPicture = false;
  for (const auto& p : packets) {
    const int64_t offset = static_cast<int32_t>(Timestamp(p) - first);
    if (newPicture && offset <= pictureStart) timed = false;
    if (newPicture) pictureStart = offset;
    newPicture = (p[1] & 0x80) != 0;
  }
  int64_t picture = 0;
  std::map<int64_t, size_t> steps;  // how often each step between successive pictures occurs
  for (size_t i = 0; i < packets.size(); ++i) {
    const int64_t offset =
        timed ? static_cast<int32_t>(Timestamp(packets[i]) - first) : picture * int64_t{kDefaultFrameTicks};
    if (!t.Offsets.empty() && offset > t.Offsets.back()) ++steps[offset - t.Offsets.back()];
    t.Offsets.push_back(offset);
    t.Stamps.push_back(static_cast<uint32_t>(first + offset));
    if ((packets[i][1] & 0x80) != 0) ++picture;
  }
  int64_t step = kDefaultFrameTicks;
  size_t seen = 0;
  for (const auto& [ticks, count] : steps) {
    if (count > seen) step = ticks, seen = count;
  }
  t.LoopTicks = static_cast<uint32_t>(*std::max_element(t.Offsets.begin(), t.Offsets.end()) + step);
  t.LoopSequences = static_cast<uint16_t>(Sequence(packets.back()) - Sequence(packets.front()) + 1);
  return t;
}

ReplaySender::ReplaySender(RtpCapture capture) : Capture(std::move(capture)), Times(MakeTimeline(Capture)) {
  if (!Capture.Packets.empty()) {
    FirstSequence = Sequence(Capture.Packets.front());
    FirstTimestamp = Timestamp(Capture.Packets.front());
  }
  Cursor = {FirstSequence, FirstTimestamp};
}

ReplaySender::~ReplaySender() {
  Stop();
}

bool ReplaySender::Start(const std::string& address) {
  if (Capture.Packets.empty()) return false;
  for (int i = 0; i < kPortPairTries && RtcpSocket < 0; ++i) {
    if (RtpSocket >= 0) ::close(RtpSocket);
    RtpSocket = BoundUdp(address, 0, ServerRtpPort);
    uint16_t rtcp = 0;
    if (RtpSocket >= 0 && ServerRtpPort < 65535) RtcpSocket = BoundUdp(address, ServerRtpPort + 1, rtcp);
  }
  WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (RtpSocket < 0 || RtcpSocket < 0 || WakeFd < 0) {
    Stop();
    return false;
  }
  ::setsockopt(RtpSocket, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  Thread = std::thread([this] { Run(); });
  return true;
}

void ReplaySender::Stop() {
  if (Thread.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(WakeFd, &one, sizeof one);
    Thread.join();
  }
  for (int* fd : {&RtpSocket, &RtcpSocket, &WakeFd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

uint64_t ReplaySender::AddClient(const sockaddr_in& rtp) {
  std::lock_guard<std::mutex> guard(Lock);
  Clients.emplace_back(NextId, rtp);
  return NextId++;
}

void ReplaySender::RemoveClient(uint64_t id) {
  std::lock_guard<std::mutex> guard(Lock);
  std::erase_if(Clients, [id](const auto& client) { return client.first == id; });
}

size_t ReplaySender::ClientCount() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Clients.size();
}

ReplaySender::Position ReplaySender::Next() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Cursor;
}

void ReplaySender::DrainRtcp() {
  char buffer[2048];
  while (::recv(RtcpSocket, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

void ReplaySender::Run() {
  auto& packets = Capture.Packets;
  std::vector<uint16_t> sequences;
  for (const auto& p : packets) sequences.push_back(Sequence(p));
  const std::vector<uint32_t>& stamps = Times.Stamps;
  std::vector<sockaddr_in> to;
  auto start = Clock::now();
  for (uint64_t loop = 0;; ++loop) {
    const auto seqShift = static_cast<uint16_t>(loop * Times.LoopSequences);
    const auto tsShift = static_cast<uint32_t>(loop * Times.LoopTicks);
    for (size_t i = 0; i < packets.size();) {
      size_t end = i + 1;
      while (end < packets.size() && Times.Offsets[end] == Times.Offsets[i]) ++end;
      {
        std::lock_guard<std::mutex> guard(Lock);
        Cursor = {static_cast<uint16_t>(sequences[i] + seqShift), stamps[i] + tsShift};
      }
      const int64_t ticks = static_cast<int64_t>(loop) * Times.LoopTicks + Times.Offsets[i];
      auto due = start + std::chrono::microseconds(ticks * 1000000 / RtpCapture::kClockRate);
      if (Clock::now() - due > kMaxLag) {
        start += Clock::now() - due;
        due = Clock::now();
      }
      for (;;) {
        const auto left = due - Clock::now();
        if (left <= Clock::duration::zero()) break;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p[2] = {{WakeFd, POLLIN, 0}, {RtcpSocket, POLLIN, 0}};
        if (::ppoll(p, 2, &wait, nullptr) < 0 && errno != EINTR) return;
        if (p[0].revents != 0) return;
        if (p[1].revents != 0) DrainRtcp();
      }
      {
        std::lock_guard<std::mutex> guard(Lock);
        to.clear();
        for (const auto& client : Clients) to.push_back(client.second);
      }
      if (!to.empty()) {
        for (size_t k = i; k < end; ++k) {
          auto& p = packets[k];
          const uint16_t seq = static_cast<uint16_t>(sequences[k] + seqShift);
          const uint32_t ts = stamps[k] + tsShift;
          p[2] = static_cast<uint8_t>(seq >> 8);
          p[3] = static_cast<uint8_t>(seq);
          for (int b = 0; b < 4; ++b) p[4 + b] = static_cast<uint8_t>(ts >> (24 - 8 * b));
          if ((p[1] & 0x80) != 0) Frames.fetch_add(1, std::memory_order_relaxed);
        }
        SendPicture(i, end, to);
      }
      i = end;
    }
  }
}

void ReplaySender::SendPicture(size_t first, size_t last, const std::vector<sockaddr_in>& to) {
  // Runs of datagrams of one size (the last one may be shorter) go out as one UDP GSO send: the
  // kernel cuts the run apart again, so every client receives the recorded datagrams one by one,
  // but the sender passes through the network stack once per run instead of once per datagram.
  Runs.clear();
  Vectors.clear();
  for (size_t k = first; k < last; ++k) {
    auto& packet = Capture.Packets[k];
    Vectors.push_back({packet.data(), packet.size()});
    GsoRun* run = Runs.empty() ? nullptr : &Runs.back();
    const bool joins = Gso && run != nullptr && !run->Closed && run->Count < kMaxSegments &&
                       packet.size() <= run->Segment && (run->Count + 1) * run->Segment <= kMaxGsoBytes;
    if (joins) {
      ++run->Count;
      run->Closed = packet.size() < run->Segment;  // a shorter datagram ends its run
    } else {
      Runs.push_back({k - first, 1, static_cast<uint16_t>(packet.size()), false, {}});
    }
  }
  for (GsoRun& run : Runs) {
    if (run.Count < 2) continue;
    auto* header = reinterpret_cast<cmsghdr*>(run.Control);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    std::memcpy(CMSG_DATA(header), &run.Segment, sizeof(uint16_t));
  }
  const size_t count = Runs.size() * to.size();
  Messages.resize(std::max(Messages.size(), count));
  size_t m = 0;
  for (const sockaddr_in& client : to) {
    for (GsoRun& run : Runs) {
      Messages[m] = {};
      msghdr& h = Messages[m++].msg_hdr;
      h.msg_name = const_cast<sockaddr_in*>(&client);
      h.msg_namelen = sizeof client;
      h.msg_iov = &Vectors[run.First];
      h.msg_iovlen = run.Count;
      if (run.Count > 1) {
        h.msg_control = run.Control;
        h.msg_controllen = CMSG_SPACE(sizeof(uint16_t));
      }
    }
  }
  for (size_t at = 0; at < count;) {
    const int n =
        ::sendmmsg(RtpSocket, &Messages[at], static_cast<unsigned>(std::min(kMaxBatch, count - at)), 0);
    if (n > 0) {
      for (size_t k = at; k < at + static_cast<size_t>(n); ++k)
        Datagrams.fetch_add(Messages[k].msg_hdr.msg_iovlen, std::memory_order_relaxed);
      at += static_cast<size_t>(n);
      continue;
    }
    if (Messages[at].msg_hdr.msg_controllen != 0 &&
        (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT)) {
      // No UDP GSO here: from now on every datagram goes on its own.
      Gso = false;
      SendPicture(first, last, to);
      return;
    }
    ++at;  // a datagram the kernel refused (a client gone) is skipped; the rest still go
  }
}

}  // namespace camsim
