#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "http/camera_login.h"
#include "http/tls_key.h"
#include "thread/annotated_mutex.h"
#include "transport/rtsp_connection.h"
#include "transport/tls_engine.h"

namespace korvalt {

// RTSP over TLS: the client's bytes go through a TLS session over the TCP socket. The handshake
// judges the camera's key with the driver's pin before a byte of a request goes out. The session
// never waits inside the library: records are read from and written to the socket here, so every
// wait is the client's (bounded, and ended by its stop event).
class CTlsRTSPConnection final : public CRTSPConnection {
 public:
  // Most bytes read from the socket and not yet decrypted: a whole record and one read more.
  static constexpr size_t kMaxIncoming = 64 * 1024;

  enum class Opened {
    kOk,
    kKeyRefused,  // the camera's key is not the pinned (or first accepted) one; nothing was sent
    kNoTls,       // the camera closed the connection or answered no TLS handshake
    kTimeout,     // no complete handshake before the deadline
    kStopped,     // the owner's stop ended the wait
  };

  // A session of this system's library for the camera at host; login (null: any key) judges the
  // key. Null when the library cannot make one.
  static std::unique_ptr<CTlsRTSPConnection> Create(platform::SocketHandle socket, const std::string& host,
                                                    CCameraLogin* login);
  // Over an engine the caller made (tests, fuzzing).
  CTlsRTSPConnection(platform::SocketHandle socket, std::unique_ptr<CTlsEngine> engine);
  ~CTlsRTSPConnection() override;

  // The handshake, before deadlineMs (monotonic) and until stop.
  Opened Open(int64_t deadlineMs, platform::Event& stop);
  // The key the camera presented, as the check saw it.
  const std::string& PresentedKey() const { return Check.Presented; }

  intptr_t Send(const void* data, size_t size, short& again) override;
  intptr_t Receive(void* buffer, size_t size, short& again) override;
  bool Flush(short& again) override;
  platform::WaitResult Wait(platform::Event& stop, short events, int ms) override;

 private:
  explicit CTlsRTSPConnection(platform::SocketHandle socket);
  bool FlushLocked(short& again) QL_REQUIRES(Lock);
  intptr_t TakePlain(void* buffer, size_t size) QL_REQUIRES(Lock);
  // Reads what the socket holds into Incoming: > 0 read, 0 closed, -1 with again.
  intptr_t ReadSocket(short& again) QL_REQUIRES(Lock);

  Web::TLS_KEY_CHECK Check;  // the engine's check: made before it, gone after it
  CMutex Lock;               // guards the session and the buffers: the reader receives while others send
  std::unique_ptr<CTlsEngine> Engine QL_GUARDED_BY(Lock);
  std::string Incoming QL_GUARDED_BY(Lock);  // records read, not yet decrypted
  std::string Plain QL_GUARDED_BY(Lock);     // decrypted, not yet received
  size_t PlainAt QL_GUARDED_BY(Lock) = 0;
  std::string Outgoing QL_GUARDED_BY(Lock);  // records not yet on the wire
  size_t OutgoingAt QL_GUARDED_BY(Lock) = 0;
};

}  // namespace korvalt
