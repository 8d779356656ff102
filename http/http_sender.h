#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/device_info.h"
#include "http/http_request.h"
#include "platform/event.h"
#include "transport/host_resolver.h"

namespace Web {

// The module's HTTP client: one request at a time to one camera, over one libcurl handle kept
// for the sender's life so that the camera's connection is reused.
//
// Threads: Send and ReadBody belong to the owner's one thread (or are serialised by the owner).
// Abort, ClearAbort and IsAborted may be called from any thread while the sender exists.
class CHttpSender {
 public:
  // Authentication scheme flags, as remembered from a camera's 401 reply.
  static constexpr uint32_t kSchemeBasic = 1;
  static constexpr uint32_t kSchemeNtlm = 2;
  static constexpr uint32_t kSchemePassport = 4;
  static constexpr uint32_t kSchemeDigest = 8;
  static constexpr uint32_t kSchemeNegotiate = 16;

  // Every reply the module asks for is a CGI reply of a few name=value lines (the longest, the
  // stream information, holds well under 1 KiB). 1 MiB leaves room for a thousand times that,
  // while a camera that sends without end can make no sender hold more: with one sender per
  // channel, I/O thread and PTZ channel, a recorder holds many of them per camera.
  static constexpr size_t kMaxBodySize = size_t{1} << 20;

  explicit CHttpSender(const korvalt::DEVICE_INFO& device);
  virtual ~CHttpSender();
  CHttpSender(const CHttpSender&) = delete;
  CHttpSender& operator=(const CHttpSender&) = delete;

  // True when the request was sent and a reply came back, whatever its status. The first request
  // goes without credentials until the camera's 401 names the scheme (Digest wherever it offers
  // it), which is then used for every later request of this sender and of every sender sharing the
  // device record's login state; that 401 is answered once more with credentials.
  bool Send(const CHttpRequest& request);
  // The last Send offered no credentials because the camera's refused logins ask for a pause.
  bool WasHeldBack() const { return HeldBack; }
  // Empties body and fills it with the body of the current reply; returns its size.
  size_t ReadBody(std::vector<uint8_t>& body);

  uint32_t GetStatusCode() const { return StatusCode; }
  uint32_t GetRememberedScheme() const { return RememberedScheme; }
  const korvalt::DEVICE_INFO& GetDeviceInfo() const { return Device; }

  // Ends a running Send promptly and makes every Send fail until ClearAbort.
  void Abort();
  void ClearAbort();
  bool IsAborted() const { return Aborted.load(); }

  // The port of a redirect to "https://" on host itself, else 0.
  static uint16_t HttpsRedirectPort(std::string_view location, std::string_view host);

  // Test seam: a smaller body cap than kMaxBodySize.
  void SetMaxBodySize(size_t bytes) { MaxBodySize = bytes; }

  struct Transfer;  // state of one libcurl transfer, shared with its callbacks

 private:
  struct ROUTE {
    bool Secure = false;
    uint16_t Port = 0;
  };
  // HTTPS once the camera was found to use it; else TLS when the request, the port (443) or a
  // pinned key asks for it; else plain HTTP to the device record's port.
  ROUTE ChooseRoute(const CHttpRequest& request) const;
  // One request over the chosen route; a reply in neither protocol tries the other once.
  bool Exchange(const CHttpRequest& request, Transfer& transfer, ROUTE& route);
  bool Perform(const CHttpRequest& request, Transfer& transfer, const ROUTE& route);
  // Of a failed transfer (each backend): whether no reply came in the protocol spoken, and whether
  // the camera's key was refused.
  static bool WrongProtocolOrKeyRefused(Transfer& transfer, bool& keyRefused);
  static void ForgetTransfer(Transfer& transfer);
  bool SendOnce(const CHttpRequest& request, bool mayRetry);
  // This sender's remembered scheme, else the one the driver learnt; 0 while unknown.
  uint32_t KnownScheme() const;

  korvalt::DEVICE_INFO Device;    // copy taken at construction
  uint32_t RememberedScheme = 0;  // Basic or Digest, named first in the first 401 that named one; never reset
  uint32_t StatusCode = 0;        // of the last reply received
  bool HeldBack = false;          // the last Send waited for the camera's turn
  bool OfferedCredentials = false;  // the last Send offered them
  std::vector<uint8_t> Body;        // body of the current reply, handed out by ReadBody
  bool HasReply = false;
  size_t MaxBodySize = kMaxBodySize;
  std::atomic<bool> Aborted{false};  // set by any thread, read by the sending thread
  // Set with Aborted, so that a name look-up under way is given up at once.
  korvalt::platform::Event AbortEvent{korvalt::platform::Event::ResetMode::kManual};
  // libcurl never looks the camera's name up itself: its look-up could not be cut short, and an
  // abort would wait for it. Sending thread only.
  korvalt::CHostResolver Resolver;
  uint32_t CameraAddress = 0;  // network order; 0 until resolved, again after a failed request

  struct CurlHandles;
  // The backend's client handles, for the sender's life; shared only to be left to the driver's
  // next sender (CCameraLogin::KeepIdleHandles), never used by two senders at once.
  std::shared_ptr<CurlHandles> Curl;
  // Takes over handles a sender of the same driver left behind, else makes new ones.
  void AdoptHandles();
  // Leaves the handles to the driver's next sender, without the camera connection they hold.
  void LeaveHandles();
};

}  // namespace Web
