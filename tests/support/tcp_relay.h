#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/socket.h"

namespace testsupport {

// A TCP relay on 127.0.0.1 in front of a server port: it forwards one connection at a time and
// records every byte that passes, per direction, so a test can read what anyone on the network
// between recorder and camera could. It can also cut a connection in the middle of a TLS record the
// server sends (a camera that dies mid-record).
class TcpRelay {
 public:
  explicit TcpRelay(uint16_t serverPort);
  ~TcpRelay();  // closes everything and joins
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  bool Ok() const { return Listener != korvalt::platform::kNoSocket; }
  uint16_t Port() const { return ListenPort; }
  // What the clients sent to the server, and the server to the clients, so far.
  std::string ToServer();
  std::string ToClient();
  // Connections accepted so far.
  size_t Connections() const { return Accepted.load(); }
  // The next TLS record the server sends is forwarded only in part (its header and half its body),
  // then both sides of the connection are closed.
  void CutMidRecord() { CutPending.store(true); }

 private:
  void Run();
  // Forwards between the two until either closes or the relay stops.
  void Pump(korvalt::platform::SocketHandle client, korvalt::platform::SocketHandle server);
  // Forwards bytes from the server, cutting where asked; false when the connection is to end.
  bool FromServer(const char* data, size_t size, korvalt::platform::SocketHandle client);

  const uint16_t ServerPort;
  korvalt::platform::SocketHandle Listener = korvalt::platform::kNoSocket;
  uint16_t ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::atomic<bool> CutPending{false};
  std::atomic<size_t> Accepted{0};
  std::mutex Lock;  // guards the records
  std::string Up;
  std::string Down;
  // The relay thread's parse of the server's records: header bytes seen, body bytes still to come.
  std::string RecordHeader;
  size_t RecordLeft = 0;
  std::thread Thread;
};

// True when bytes are a whole sequence of TLS records (content type 20 to 23, version 3.x, a
// length), so that nothing between them travels in the clear; a last record may be incomplete.
bool AllTlsRecords(const std::string& bytes);

// Expects what the relay passed to be a stream's worth of TLS records both ways, with no RTSP
// text, stream name or credentials readable in them.
void ExpectNothingInTheClear(TcpRelay& relay);

}  // namespace testsupport
