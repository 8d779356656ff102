#include "transport/tls_rtsp_connection.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"

namespace korvalt {
namespace {

constexpr size_t kReadChunk = 16 * 1024;  // one TLS record's worth

}  // namespace

std::unique_ptr<CTlsRTSPConnection> CTlsRTSPConnection::Create(platform::SocketHandle socket,
                                                               const std::string& host, CCameraLogin* login) {
  std::unique_ptr<CTlsRTSPConnection> connection(new CTlsRTSPConnection(socket));
  connection->Check.Login = login;
  if (login != nullptr) connection->Check.Key = &login->StreamKey();
  connection->Check.Host = host;
  std::unique_ptr<CTlsEngine> engine = CTlsEngine::Create(host, connection->Check);
  if (!engine) return nullptr;
  CMutexLock guard(connection->Lock);
  connection->Engine = std::move(engine);
  return connection;
}

CTlsRTSPConnection::CTlsRTSPConnection(platform::SocketHandle socket) : CRTSPConnection(socket) {}

CTlsRTSPConnection::CTlsRTSPConnection(platform::SocketHandle socket, std::unique_ptr<CTlsEngine> engine)
    : CRTSPConnection(socket), Engine(std::move(engine)) {}

CTlsRTSPConnection::~CTlsRTSPConnection() {
  CMutexLock guard(Lock);
  Engine.reset();  // before the check it refers to
}

CTlsRTSPConnection::Opened CTlsRTSPConnection::Open(int64_t deadlineMs, platform::Event& stop) {
  auto wait = [&](short events) -> Opened {
    const int64_t left = deadlineMs - platform::MonotonicMs();
    if (left <= 0) return Opened::kTimeout;
    switch (platform::WaitEventOrSocket(stop, Socket, events, static_cast<int>(left))) {
      case platform::WaitResult::kSocket:
        return Opened::kOk;
      case platform::WaitResult::kEvent:
        stop.Set();  // the owner's other waits see it too
        return Opened::kStopped;
      case platform::WaitResult::kTimeout:
        return Opened::kTimeout;
      default:
        return Opened::kNoTls;
    }
  };
  for (;;) {
    CTlsEngine::Status status = CTlsEngine::Status::kFailed;
    {
      // The key check logs through the driver from inside the handshake: no other thread uses the
      // session yet, and the lock is not held while it does.
      std::unique_ptr<CTlsEngine> engine;
      std::string incoming;
      std::string outgoing;
      {
        CMutexLock guard(Lock);
        if (!Engine) return Opened::kNoTls;
        engine = std::move(Engine);
        incoming.swap(Incoming);
      }
      status = engine->Handshake(incoming, outgoing);
      CMutexLock guard(Lock);
      Engine = std::move(engine);
      Incoming.swap(incoming);
      Outgoing.append(outgoing);
    }
    // The handshake's own records go out whatever the outcome: a refusal's alert tells the camera why.
    for (;;) {
      short again = 0;
      bool flushed = false;
      {
        CMutexLock guard(Lock);
        flushed = FlushLocked(again);
      }
      if (flushed) break;
      if (again == 0) return Check.Refused ? Opened::kKeyRefused : Opened::kNoTls;
      const Opened waited = wait(again);
      if (waited != Opened::kOk) return Check.Refused ? Opened::kKeyRefused : waited;
    }
    if (status == CTlsEngine::Status::kOk) return Opened::kOk;
    if (status != CTlsEngine::Status::kNeedMore) return Check.Refused ? Opened::kKeyRefused : Opened::kNoTls;
    const Opened waited = wait(POLLIN);
    if (waited != Opened::kOk) return waited;
    short again = 0;
    intptr_t n = 0;
    {
      CMutexLock guard(Lock);
      n = ReadSocket(again);
    }
    if (n == 0 || (n < 0 && again == 0)) return Opened::kNoTls;
  }
}

intptr_t CTlsRTSPConnection::ReadSocket(short& again) {
  if (Incoming.size() >= kMaxIncoming) {
    // No record is this long: the camera speaks no TLS the engine can follow.
    again = 0;
    return -1;
  }
  char chunk[kReadChunk];
  const size_t room = std::min(sizeof chunk, kMaxIncoming - Incoming.size());
  const intptr_t n = platform::Receive(Socket, chunk, room);
  if (n > 0) {
    Incoming.append(chunk, static_cast<size_t>(n));
    return n;
  }
  if (n == 0) return 0;
  again = CRTSPConnection::AgainAfter(POLLIN);
  return -1;
}

bool CTlsRTSPConnection::FlushLocked(short& again) {
  while (OutgoingAt < Outgoing.size()) {
    const intptr_t n = platform::Send(Socket, Outgoing.data() + OutgoingAt, Outgoing.size() - OutgoingAt);
    if (n > 0) {
      OutgoingAt += static_cast<size_t>(n);
      continue;
    }
    again = n < 0 ? CRTSPConnection::AgainAfter(POLLOUT) : POLLOUT;
    return false;
  }
  Outgoing.clear();
  OutgoingAt = 0;
  return true;
}

bool CTlsRTSPConnection::Flush(short& again) {
  CMutexLock guard(Lock);
  return FlushLocked(again);
}

intptr_t CTlsRTSPConnection::Send(const void* data, size_t size, short& again) {
  CMutexLock guard(Lock);
  // Records already made go first, whole: bytes of two records must never interleave.
  if (!FlushLocked(again)) return -1;
  const size_t take = std::min(size, kReadChunk);
  if (take == 0 || !Engine ||
      !Engine->Encrypt(std::span<const uint8_t>(static_cast<const uint8_t*>(data), take), Outgoing)) {
    again = 0;
    return -1;
  }
  // Taken: what the socket does not take now goes out before anything else.
  short ignored = 0;
  FlushLocked(ignored);
  return static_cast<intptr_t>(take);
}

intptr_t CTlsRTSPConnection::TakePlain(void* buffer, size_t size) {
  const size_t n = std::min(size, Plain.size() - PlainAt);
  std::memcpy(buffer, Plain.data() + PlainAt, n);
  PlainAt += n;
  if (PlainAt == Plain.size()) {
    Plain.clear();
    PlainAt = 0;
  }
  return static_cast<intptr_t>(n);
}

intptr_t CTlsRTSPConnection::Receive(void* buffer, size_t size, short& again) {
  CMutexLock guard(Lock);
  if (size == 0) {
    again = POLLIN;
    return -1;
  }
  if (PlainAt < Plain.size()) return TakePlain(buffer, size);
  if (!Engine) {
    again = 0;
    return -1;
  }
  for (;;) {
    if (!Incoming.empty()) {
      const CTlsEngine::Status status = Engine->Decrypt(Incoming, Plain, Outgoing);
      // What the library answers on its own goes out as far as the socket lets now, else before
      // the next request.
      short ignored = 0;
      FlushLocked(ignored);
      if (!Plain.empty()) return TakePlain(buffer, size);
      if (status == CTlsEngine::Status::kClosed) return 0;
      if (status == CTlsEngine::Status::kFailed) {
        again = 0;
        return -1;
      }
    }
    const intptr_t n = ReadSocket(again);
    if (n <= 0) return n;
  }
}

platform::WaitResult CTlsRTSPConnection::Wait(platform::Event& stop, short events, int ms) {
  bool buffered = false;
  {
    CMutexLock guard(Lock);
    buffered = (events & POLLIN) != 0 && PlainAt < Plain.size();
  }
  if (!buffered) return platform::WaitEventOrSocket(stop, Socket, events, ms);
  // Decrypted bytes wait in here, not in the socket; a stop still wins over them.
  return platform::WaitEventOrSocket(stop, Socket, events, 0) == platform::WaitResult::kEvent
             ? platform::WaitResult::kEvent
             : platform::WaitResult::kSocket;
}

}  // namespace korvalt
