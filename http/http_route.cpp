// The choice between HTTPS and plain HTTP, made the same way by both HTTP backends.
#include "http/h_utils.h"
#include "http/http_sender.h"
#include "platform/clock.h"

namespace Web {
namespace {

constexpr uint16_t kHttpsPort = 443;

}  // namespace

// The port of a redirect to "https://" on the camera's own host, else 0: a camera that serves its
// CGI over HTTPS only answers plain requests so; a redirect to another host is never followed.
uint16_t CHttpSender::HttpsRedirectPort(std::string_view location, std::string_view host) {
  constexpr std::string_view kScheme = "https://";
  if (location.size() < kScheme.size() ||
      !korvalt::HUtils::EqualsIgnoringCase(location.substr(0, kScheme.size()), kScheme))
    return 0;
  location.remove_prefix(kScheme.size());
  const std::string_view authority = location.substr(0, location.find_first_of("/?#"));
  const size_t colon = authority.find(':');
  if (!korvalt::HUtils::EqualsIgnoringCase(authority.substr(0, colon), host)) return 0;
  if (colon == std::string_view::npos) return kHttpsPort;
  const std::string_view digits = authority.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return 0;
  uint32_t port = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return 0;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  return port >= 1 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

CHttpSender::ROUTE CHttpSender::ChooseRoute(const CHttpRequest& request) const {
  const korvalt::CCameraKey* key = Device.Login ? &Device.Login->Key() : nullptr;
  if (key != nullptr && key->UsesHttps()) return {true, key->HttpsPort()};
  // A pinned key says the camera spoke TLS when it was queried.
  const bool secure = request.Secure == 1 || Device.Port == kHttpsPort || (key != nullptr && key->Pinned());
  return {secure, Device.Port};
}

bool CHttpSender::Exchange(const CHttpRequest& request, Transfer& transfer, ROUTE& route) {
  route = ChooseRoute(request);
  korvalt::CCameraKey* key = Device.Login ? &Device.Login->Key() : nullptr;
  if (Perform(request, transfer, route)) {
    if (key != nullptr && route.Secure) key->UseHttps(route.Port);
    if (key != nullptr && !route.Secure) key->AnsweredPlain(route.Port, korvalt::platform::MonotonicMs());
    return true;
  }
  bool keyRefused = false;
  const bool wrongProtocol = WrongProtocolOrKeyRefused(transfer, keyRefused);
  const bool settled =
      key != nullptr &&
      (key->UsesHttps() ||
       (!route.Secure && key->AnsweredPlainRecently(route.Port, korvalt::platform::MonotonicMs())));
  if (HeldBack || Aborted.load() || settled || keyRefused || !wrongProtocol) return false;
  // Neither answered in the protocol we spoke: the other one, once, on the same port. Plain HTTP
  // after a failed TLS handshake only finds a redirect: no credentials go with it to a pinned camera.
  route.Secure = !route.Secure;
  ForgetTransfer(transfer);
  StatusCode = 0;
  if (!Perform(request, transfer, route)) return false;
  if (key != nullptr && route.Secure) key->UseHttps(route.Port);
  return true;
}

}  // namespace Web
