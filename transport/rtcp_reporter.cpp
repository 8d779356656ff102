#include "transport/rtcp_reporter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "platform/socket.h"
#include "thread/annotated_mutex.h"

namespace korvalt {
namespace {

constexpr int kSocketBufferSize = 65536;
constexpr int kSocketTimeoutMs = 500;
constexpr size_t kReceiveSize = 4096;
// Shorter packets (a bare BYE, for instance) mean the camera is done with us.
constexpr size_t kShortPacket = 10;
constexpr size_t kCnameCapacity = 128;
constexpr size_t kMaxCnameLength = 255;  // an SDES item's length is one byte

constexpr uint8_t kVersion2OneItem = 0x81;  // V=2, P=0, count 1
constexpr uint8_t kPacketTypeSr = 200;
constexpr uint8_t kPacketTypeRr = 201;
constexpr uint8_t kPacketTypeSdes = 202;
constexpr uint8_t kPacketTypeBye = 203;
constexpr uint8_t kSdesCname = 1;
constexpr size_t kReceiverReportSize = 32;
// Last SR timestamp: the middle 32 bits of the sender report's NTP time stamp.
constexpr size_t kSrNtpMiddleOffset = 10;
constexpr size_t kSenderSsrcOffset = 4;
constexpr uint32_t kDelaySinceLastSr = 1;

void PutBe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutBe32(std::vector<uint8_t>& out, uint32_t value) {
  PutBe16(out, static_cast<uint16_t>(value >> 16));
  PutBe16(out, static_cast<uint16_t>(value));
}

}  // namespace

struct CRTCPReporter::State {
  ~State() { platform::CloseSocket(Socket); }

  CMutex OpenLock;  // guards Socket and the CNAME; held while the socket and identity are set up
  std::atomic<int> LastError{0};     // last socket error code seen by the thread
  std::atomic<bool> EndFlag{false};  // set to stop the thread, or when it stops by itself
  std::atomic<bool> Running{false};  // true while the thread procedure runs
  platform::Event StopEvent{platform::Event::ResetMode::kManual};  // wakes the thread at Stop
  // Set by Open; then used and closed by the thread only.
  platform::SocketHandle Socket QL_GUARDED_BY(OpenLock) = platform::kNoSocket;
  std::atomic<uint32_t> Ssrc{0};
  std::atomic<uint16_t> BoundPort{0};
  std::atomic<uint32_t> CameraAddress{0};  // network byte order; 0 answers nobody
  std::atomic<uint16_t> Sequence{0};       // reported as highest sequence received; never advanced
  std::array<char, kCnameCapacity> Cname QL_GUARDED_BY(OpenLock) = {};
  uint16_t CnameLength QL_GUARDED_BY(OpenLock) = 0;
};

CRTCPReporter::CRTCPReporter() : Shared(std::make_shared<State>()) {}

CRTCPReporter::~CRTCPReporter() {
  Stop();
  Join();
}

bool CRTCPReporter::Open(uint16_t port) {
  if (Thread.Attached()) return false;
  State& state = *Shared;
  const platform::SocketHandle fd = platform::OpenSocket(platform::SocketKind::kUdp);
  if (fd == platform::kNoSocket) return false;

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  // A port that cannot be bound would leave the camera's reports unanswered while we claim success.
  bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ok = ok && platform::SetSocketBuffer(fd, true, kSocketBufferSize);
  ok = ok && platform::SetSocketBuffer(fd, false, kSocketBufferSize);
  ok = ok && platform::SetSocketTimeout(fd, true, kSocketTimeoutMs);
  ok = ok && platform::SetSocketTimeout(fd, false, kSocketTimeoutMs);
  if (!ok) {
    platform::CloseSocket(fd);
    return false;
  }

  socklen_t addressLength = sizeof address;
  const bool named = ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0;

  CMutexLock guard(state.OpenLock);
  platform::CloseSocket(state.Socket);
  state.Socket = fd;
  state.BoundPort.store(named ? ntohs(address.sin_port) : port);
  state.EndFlag.store(false);
  state.StopEvent.Reset();
  // Two channels opened in the same second must not share an SSRC.
  try {
    std::random_device random;
    state.Ssrc.store(static_cast<uint32_t>(random()));
  } catch (...) {
    state.Ssrc.store(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&state)) ^ 0x5A17C0DEu);
  }
  state.Cname.fill('\0');
  std::strncpy(state.Cname.data(), "default", state.Cname.size() - 1);
  std::array<char, kCnameCapacity> host{};
  if (::gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0') state.Cname = host;
  state.Cname.back() = '\0';
  state.CnameLength = static_cast<uint16_t>(std::strlen(state.Cname.data()));
  return true;
}

void CRTCPReporter::SetCameraAddress(uint32_t address) {
  Shared->CameraAddress.store(address);
}

bool CRTCPReporter::Start() {
  {
    CMutexLock guard(Shared->OpenLock);
    if (Shared->Socket < 0) return false;
  }
  // Running from here on, so that a join right after Start sees the thread as alive.
  Shared->Running.store(true);
  if (Thread.Start([state = Shared] { Run(state); })) return true;
  Shared->Running.store(false);
  return false;
}

void CRTCPReporter::Stop() {
  Shared->EndFlag.store(true);
  Shared->StopEvent.Set();
}

bool CRTCPReporter::Join(int timeoutMs) {
  if (!Thread.Attached()) return true;
  if (Thread.JoinFor(timeoutMs)) return true;
  // Never kill it: the thread holds its own reference to everything it uses.
  Thread.Detach();
  return false;
}

uint16_t CRTCPReporter::BoundPort() const {
  return Shared->BoundPort.load();
}

uint32_t CRTCPReporter::Ssrc() const {
  return Shared->Ssrc.load();
}
bool CRTCPReporter::IsRunning() const {
  return Shared->Running.load();
}
int CRTCPReporter::LastError() const {
  return Shared->LastError.load();
}

bool CRTCPReporter::AnswerPacket(std::span<const uint8_t> packet, uint32_t ssrc, uint32_t sequence,
                                 std::span<const uint8_t> cname, std::vector<uint8_t>& answer) {
  answer.clear();
  if (packet.size() <= kShortPacket) return false;
  // Receiver report: |V=2|P|RC=1|PT=201|length=7|, our SSRC, one report block.
  answer.push_back(kVersion2OneItem);
  answer.push_back(kPacketTypeRr);
  PutBe16(answer, kReceiverReportSize / 4 - 1);
  PutBe32(answer, ssrc);
  answer.insert(answer.end(), packet.begin() + kSenderSsrcOffset, packet.begin() + kSenderSsrcOffset + 4);
  PutBe32(answer, 0);  // fraction lost, cumulative lost
  PutBe32(answer, sequence);
  PutBe32(answer, 0);  // jitter
  // Only a sender report carries an NTP time stamp to echo; otherwise LSR is 0.
  if (packet[1] == kPacketTypeSr && packet.size() >= kSrNtpMiddleOffset + 4) {
    answer.insert(answer.end(), packet.begin() + kSrNtpMiddleOffset, packet.begin() + kSrNtpMiddleOffset + 4);
  } else {
    PutBe32(answer, 0);
  }
  PutBe32(answer, kDelaySinceLastSr);

  // SDES: one chunk with our CNAME, ended by a null item and padded to a 32-bit boundary.
  cname = cname.first(std::min(cname.size(), kMaxCnameLength));
  const size_t sdesStart = answer.size();
  answer.push_back(kVersion2OneItem);
  answer.push_back(kPacketTypeSdes);
  PutBe16(answer, 0);  // length, filled in below
  PutBe32(answer, ssrc);
  answer.push_back(kSdesCname);
  answer.push_back(static_cast<uint8_t>(cname.size()));
  answer.insert(answer.end(), cname.begin(), cname.end());
  do {
    answer.push_back(0);
  } while ((answer.size() - sdesStart) % 4 != 0);
  const size_t sdesWords = (answer.size() - sdesStart) / 4 - 1;
  answer[sdesStart + 2] = static_cast<uint8_t>(sdesWords >> 8);
  answer[sdesStart + 3] = static_cast<uint8_t>(sdesWords);
  return true;
}

void CRTCPReporter::Run(const std::shared_ptr<State>& shared) {
  State& state = *shared;
  platform::SocketHandle fd = platform::kNoSocket;
  uint32_t ssrc = 0;
  std::vector<uint8_t> cname;
  {
    CMutexLock guard(state.OpenLock);
    fd = state.Socket;
    ssrc = state.Ssrc.load();
    cname.assign(state.Cname.begin(), state.Cname.begin() + state.CnameLength);
  }

  std::vector<uint8_t> packet(kReceiveSize);
  std::vector<uint8_t> answer;
  sockaddr_in camera{};
  bool heardCamera = false;
  while (!state.EndFlag.load()) {
    const platform::WaitResult wait =
        platform::WaitEventOrSocket(state.StopEvent, fd, POLLIN, kSocketTimeoutMs);
    if (wait == platform::WaitResult::kEvent) break;
    if (wait == platform::WaitResult::kTimeout) continue;
    if (wait == platform::WaitResult::kError) {
      state.LastError.store(platform::LastSocketErrorCode());
      state.EndFlag.store(true);
      break;
    }
    sockaddr_in from{};
    const intptr_t received = platform::ReceiveFrom(fd, packet.data(), packet.size(), from);
    if (received < 0) {
      state.LastError.store(platform::LastSocketErrorCode());
      const platform::SocketError error = platform::LastSocketError();
      if (error == platform::SocketError::kWouldBlock || error == platform::SocketError::kInterrupted)
        continue;
      state.EndFlag.store(true);
      break;
    }
    // Only the camera is answered: anyone else could otherwise aim our reports at a third host
    // or end the reporter.
    const uint32_t cameraAddress = state.CameraAddress.load();
    if (from.sin_family != AF_INET || cameraAddress == 0 || from.sin_addr.s_addr != cameraAddress) continue;
    camera = from;
    heardCamera = true;
    if (!AnswerPacket(std::span<const uint8_t>(packet.data(), static_cast<size_t>(received)), ssrc,
                      state.Sequence.load(), cname, answer)) {
      state.EndFlag.store(true);
      break;
    }

    // A lost report is harmless; never block on it.
    if (platform::SendTo(fd, answer.data(), answer.size(), from) < 0) {
      state.LastError.store(platform::LastSocketErrorCode());
    }
  }

  if (heardCamera) {
    std::vector<uint8_t> bye{kVersion2OneItem, kPacketTypeBye};
    PutBe16(bye, 1);
    PutBe32(bye, ssrc);
    platform::SendTo(fd, bye.data(), bye.size(), camera);
  }
  {
    CMutexLock guard(state.OpenLock);
    platform::CloseSocket(state.Socket);
    state.Socket = platform::kNoSocket;
  }
  state.Running.store(false);
}

}  // namespace korvalt
