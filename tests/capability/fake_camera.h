#pragma once
// A camera whose CGI replies a test writes by hand, for replies camsim never gives (an empty
// "videos", no "model", odd frame rates and sizes).

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/scripted_tcp_server.h"

namespace captest {

class FakeCamera {
 public:
  struct Reply {
    int Status = 200;
    std::string Body;
    bool Stall = false;  // never answers; the connection stays open until the camera goes
  };

  FakeCamera()
      : State(std::make_shared<Shared>()),
        Server([state = State](testsupport::ScriptedTcpServer::Connection& connection) {
          while (const auto request = connection.ReadRequest()) {
            if (!Answer(*state, connection, *request)) return;
          }
        }) {}

  // Replies by path without query; unknown paths answer 404.
  void Set(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> guard(State->Lock);
    State->Replies[path] = std::move(reply);
  }
  // Called with the path before each reply, on the connection's thread.
  void OnRequest(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> guard(State->Lock);
    State->Hook = std::move(hook);
  }
  // Paths requested, in order.
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> guard(State->Lock);
    return State->Log;
  }
  uint16_t HttpPort() const { return Server.Port(); }

 private:
  struct Shared {
    std::mutex Lock;  // guards everything below; connection threads and the test
    std::map<std::string, Reply> Replies;
    std::function<void(const std::string&)> Hook;
    std::vector<std::string> Log;
  };

  static bool Answer(Shared& state, testsupport::ScriptedTcpServer::Connection& connection,
                     const std::string& request) {
    // "GET /path?query HTTP/1.1"
    const size_t begin = request.find(' ') + 1;
    const size_t end = request.find_first_of(" ?", begin);
    const std::string path = request.substr(begin, end - begin);
    std::function<void(const std::string&)> hook;
    Reply reply{404, "", false};
    {
      std::lock_guard<std::mutex> guard(state.Lock);
      state.Log.push_back(path);
      hook = state.Hook;
      if (const auto it = state.Replies.find(path); it != state.Replies.end()) reply = it->second;
    }
    if (hook) hook(path);
    if (reply.Stall) {
      connection.StaySilent();
      return false;
    }
    return connection.Send("HTTP/1.1 " + std::to_string(reply.Status) +
                           " Reply\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(reply.Body.size()) + "\r\n\r\n" + reply.Body);
  }

  std::shared_ptr<Shared> State;
  testsupport::ScriptedTcpServer Server;  // last: its threads stop before State goes
};

}  // namespace captest
