// CHttpSender over WinHTTP, run under Wine against camsim (started by the caller on 127.0.0.1):
//   http_smoke PORT USER PASSWORD [SILENT_PORT]
// asks "/common/info.cgi" with the camera's scheme found from its first 401 (Basic or Digest,
// answered by the module), checks the reply, and with SILENT_PORT (a server that accepts and never
// answers) that an abort from another thread ends a waiting request at once.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "http/http_sender.h"
#include "platform/clock.h"

namespace {

int gFailures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++gFailures;
}

korvalt::DEVICE_INFO Device(int port, const char* user, const char* password) {
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = static_cast<uint16_t>(port);
  device.UserName = user;
  device.Password = password;
  device.NetworkTimeout = 3000;
  return device;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const int port = std::atoi(argv[1]);
  Web::CHttpSender sender(Device(port, argv[2], argv[3]));
  for (int i = 0; i < 2; ++i) {
    const bool sent = sender.Send(Web::CHttpRequest("GET", "/common/info.cgi"));
    std::vector<uint8_t> body;
    sender.ReadBody(body);
    const std::string text(body.begin(), body.end());
    Check(sent && sender.GetStatusCode() == 200 && text.find("model=") != std::string::npos,
          "request " + std::to_string(i + 1) + ": status " + std::to_string(sender.GetStatusCode()) + ", " +
              std::to_string(body.size()) + " bytes, remembered scheme " +
              std::to_string(sender.GetRememberedScheme()));
  }
  Web::CHttpSender wrong(Device(port, argv[2], "wrong"));
  const bool refused = wrong.Send(Web::CHttpRequest("GET", "/common/info.cgi"));
  Check(!refused || wrong.GetStatusCode() == 401, "a wrong password ends with 401");

  if (argc > 4) {
    Web::CHttpSender silent(Device(std::atoi(argv[4]), argv[2], argv[3]));
    const int64_t start = korvalt::platform::MonotonicMs();
    std::thread aborter([&silent] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      silent.Abort();
    });
    const bool sent = silent.Send(Web::CHttpRequest("GET", "/common/info.cgi"));
    const int64_t took = korvalt::platform::MonotonicMs() - start;
    aborter.join();
    Check(!sent && took >= 250 && took < 1000,
          "an abort (after 300 ms) ends a request to a silent server after " + std::to_string(took) + " ms");
  }
  std::printf("%s\n", gFailures == 0 ? "http smoke test passed" : "http smoke test FAILED");
  return gFailures == 0 ? 0 : 1;
}
