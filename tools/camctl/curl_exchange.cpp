#include "tools/camctl/curl_exchange.h"

#include <cerrno>

namespace camctl {
namespace {

// A header block grows no further than this; a peer that sends more is not a camera.
constexpr size_t kMaxHeaders = 16 * 1024;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

CurlExchange::CurlExchange() : Curl(curl_easy_init()) {
  if (Curl == nullptr) return;
  curl_easy_setopt(Curl, CURLOPT_NOSIGNAL, 1L);
  // A camera sits on the recorder's network; a proxy from the environment would hide it.
  curl_easy_setopt(Curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(Curl, CURLOPT_WRITEFUNCTION, &CurlExchange::OnBody);
  curl_easy_setopt(Curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(Curl, CURLOPT_HEADERFUNCTION, &CurlExchange::OnHeader);
  curl_easy_setopt(Curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(Curl, CURLOPT_ERRORBUFFER, ErrorText);
}

CurlExchange::~CurlExchange() {
  if (Curl != nullptr) curl_easy_cleanup(Curl);
}

void CurlExchange::Prepare(const std::string& url, std::chrono::milliseconds timeout) {
  const long ms = static_cast<long>(std::max<int64_t>(timeout.count(), 1));
  curl_easy_setopt(Curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(Curl, CURLOPT_CONNECTTIMEOUT_MS, ms);
  curl_easy_setopt(Curl, CURLOPT_TIMEOUT_MS, ms);
}

void CurlExchange::SetCredentials(const std::string& user, const std::string& password) {
  curl_easy_setopt(Curl, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(Curl, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(Curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST);
}

size_t CurlExchange::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* exchange = static_cast<CurlExchange*>(self);
  const size_t bytes = size * count;
  std::string& body = exchange->Current.Body;
  if (body.size() < kMaxProbeBody) body.append(data, std::min(bytes, kMaxProbeBody - body.size()));
  return bytes;
}

size_t CurlExchange::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* exchange = static_cast<CurlExchange*>(self);
  const size_t bytes = size * count;
  const std::string line(data, bytes);
  ProbeAnswer& answer = exchange->Current;
  // Each reply of a multi-pass authentication starts a block of its own; the last one counts.
  if (StartsWith(line, "HTTP/") || StartsWith(line, "RTSP/")) answer.Headers.clear();
  if (answer.Headers.size() + bytes > kMaxHeaders) return 0;
  answer.Headers += line;
  const std::string challenge = HeaderValue(line, "WWW-Authenticate");
  if (!challenge.empty()) answer.Challenge = challenge;
  return bytes;
}

ProbeAnswer CurlExchange::Perform() {
  Current = ProbeAnswer();
  ErrorText[0] = '\0';
  const CURLcode code = curl_easy_perform(Curl);
  ProbeAnswer answer = std::move(Current);
  Current = ProbeAnswer();
  curl_easy_getinfo(Curl, CURLINFO_RESPONSE_CODE, &answer.Status);
  long osError = 0;
  curl_easy_getinfo(Curl, CURLINFO_OS_ERRNO, &osError);
  curl_off_t connectTime = 0;
  curl_easy_getinfo(Curl, CURLINFO_CONNECT_TIME_T, &connectTime);
  answer.Error = ErrorText[0] != '\0' ? ErrorText : curl_easy_strerror(code);
  switch (code) {
    case CURLE_OK:
      answer.How = Reach::Answered;
      answer.Error.clear();
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
      answer.How = Reach::NoName;
      break;
    case CURLE_COULDNT_CONNECT:
      answer.How = osError == ECONNREFUSED                             ? Reach::Refused
                   : osError == EHOSTUNREACH || osError == ENETUNREACH ? Reach::Unreachable
                                                                       : Reach::Failed;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      answer.How = connectTime > 0 ? Reach::NoAnswer : Reach::ConnectTimeout;
      break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      answer.How = Reach::Closed;
      break;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_RTSP_CSEQ_ERROR:
    case CURLE_RTSP_SESSION_ERROR:
      answer.How = Reach::Garbled;
      break;
    default:
      answer.How = Reach::Failed;
      break;
  }
  return answer;
}

}  // namespace camctl
