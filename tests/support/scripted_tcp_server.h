#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

// A TCP server on 127.0.0.1 (port chosen by the system) that plays a script per accepted
// connection: read a request, send bytes, trickle them, stay silent, close. Each connection runs
// its handler on a thread of its own; every wait also watches the server's stop event, so the
// destructor ends promptly whatever the script was doing. Usable for HTTP and RTSP alike.
class ScriptedTcpServer {
 public:
  static constexpr int kDefaultWaitMs = 5000;

  class Connection {
   public:
    Connection(ScriptedTcpServer& server, int fd, size_t index);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // One request: the header block up to the blank line plus a Content-Length body. Recorded in
    // the server's request log. Empty when the peer closed, the server stops or waitMs passed.
    std::optional<std::string> ReadRequest(int waitMs = kDefaultWaitMs);
    // Bytes up to and including delimiter.
    std::optional<std::string> ReadUntil(std::string_view delimiter, int waitMs = kDefaultWaitMs);
    bool Send(std::string_view bytes);
    // Sends chunk bytes at a time with intervalMs between chunks; false when stopped or the peer left.
    bool Trickle(std::string_view bytes, size_t chunk, int intervalMs);
    // Answers nothing, keeps the connection open until the peer closes it or the server stops.
    void StaySilent();
    // Waits ms; false when the server is stopping.
    bool Pause(int ms);
    void Close();
    // Zero-based number of this connection in accept order.
    size_t Index() const { return ConnectionIndex; }

   private:
    // Reads more into Pending; false on close, stop or time-out.
    bool Fill(int waitMs);

    ScriptedTcpServer& Server;
    int Fd = -1;
    size_t ConnectionIndex = 0;
    std::string Pending;  // received and not yet consumed
  };

  using Handler = std::function<void(Connection&)>;

  explicit ScriptedTcpServer(Handler handler);
  ~ScriptedTcpServer();
  ScriptedTcpServer(const ScriptedTcpServer&) = delete;
  ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

  uint16_t Port() const { return ListenPort; }
  size_t ConnectionCount() const { return Accepted.load(); }
  std::vector<std::string> Requests() const;
  // Ends every connection and joins every thread. Called by the destructor.
  void Stop();

  // A handler that answers requests, over any number of connections, with replies in order; a
  // connection is closed once the replies run out.
  static Handler Replies(std::vector<std::string> replies);
  // A handler that accepts and never answers.
  static Handler Silent();

 private:
  void AcceptLoop();

  Handler OnConnection;
  int StopFd = -1;  // eventfd, readable once Stop was called
  int ListenFd = -1;
  uint16_t ListenPort = 0;
  std::atomic<size_t> Accepted{0};
  std::thread Acceptor;
  mutable std::mutex Lock;  // guards Workers and Log; the acceptor and connection threads write them
  std::vector<std::thread> Workers;
  std::vector<std::string> Log;
};

}  // namespace testsupport
