#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "platform/socket.h"

namespace korvalt {

// What the RTSP client reads and writes: the TCP socket itself here, or a TLS session over it
// (CTlsRTSPConnection). Neither waits: a call that cannot progress says which socket events to
// wait for, and Wait waits for them together with the owner's stop event.
//
// Threads: the reader thread receives while the worker (or the reader's sink) sends; a connection
// that keeps state of its own guards it.
class CRTSPConnection {
 public:
  // The events to wait for after a socket call that did nothing; 0 when it failed for good.
  static short AgainAfter(short events);

  // socket is the client's: it stays open until the connection is gone.
  explicit CRTSPConnection(platform::SocketHandle socket) : Socket(socket) {}
  virtual ~CRTSPConnection() = default;
  CRTSPConnection(const CRTSPConnection&) = delete;
  CRTSPConnection& operator=(const CRTSPConnection&) = delete;

  // Bytes taken (> 0), or -1 with again set to the socket events to wait for before the next try
  // (0: the connection failed for good). Bytes taken are sent, or on their way (Flush).
  virtual intptr_t Send(const void* data, size_t size, short& again);
  // Bytes read (> 0), 0 when the camera closed the connection, or -1 as Send.
  virtual intptr_t Receive(void* buffer, size_t size, short& again);
  // Puts bytes taken earlier on the wire as far as the socket lets: true when none are left;
  // else again as Send.
  virtual bool Flush(short& again) {
    again = 0;
    return true;
  }
  // Waits up to ms for the socket to report one of events, or for stop. Bytes already read from
  // the socket and not yet received count as readable.
  virtual platform::WaitResult Wait(platform::Event& stop, short events, int ms);

  platform::SocketHandle Handle() const { return Socket; }

 protected:
  const platform::SocketHandle Socket;
};

}  // namespace korvalt
