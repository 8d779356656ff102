#include "http/http_sender.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <mutex>
#include <string_view>

#include "http/auth_scheme.h"
#include "http/request_deadline.h"
#include "http/tls_key.h"
#include "platform/clock.h"

namespace Web {
namespace {

constexpr const char* kUserAgent = "Korvalt::HttpClient";
constexpr long kStatusUnauthorized = 401;
// Longest sleep of the transfer loop; an abort also wakes it at once.
constexpr int kPollSliceMs = 50;
constexpr size_t kMaxChallenges = 16;
constexpr size_t kMaxChallengeSize = 4096;

std::once_flag gCurlInitOnce;

void EnsureCurlGlobalInit() {
  // Never cleaned up: other threads of the host may still use libcurl when we are done.
  std::call_once(gCurlInitOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// libcurl's flag for a scheme; 0 for schemes libcurl cannot do (Passport).
unsigned long CurlAuthOfScheme(uint32_t scheme) {
  switch (scheme) {
    case CHttpSender::kSchemeBasic:
      return CURLAUTH_BASIC;
    case CHttpSender::kSchemeNtlm:
      return CURLAUTH_NTLM;
    case CHttpSender::kSchemeDigest:
      return CURLAUTH_DIGEST;
    case CHttpSender::kSchemeNegotiate:
      return CURLAUTH_NEGOTIATE;
    default:
      return 0;
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Texts that end up in the request line or a header must not smuggle in line breaks or, for the
// request line, blanks.
bool HasControlChars(std::string_view s, bool blankAllowed) {
  return std::any_of(s.begin(), s.end(), [blankAllowed](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f || (!blankAllowed && u == ' ');
  });
}

// Host names and dotted IPv4 addresses only: anything else could rewrite the URL ("user@host").
bool IsPlainHost(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
}

// libcurl's receive buffer, per transfer (its default is 16 KiB, its least 1 KiB).
constexpr long kReceiveBufferBytes = 4096;

// A reply that was no HTTP at all: a TLS port spoken to in plain HTTP, or the other way round.
bool WrongProtocol(CURLcode result) {
  return result == CURLE_WEIRD_SERVER_REPLY || result == CURLE_GOT_NOTHING || result == CURLE_RECV_ERROR ||
         result == CURLE_UNSUPPORTED_PROTOCOL || result == CURLE_SSL_CONNECT_ERROR;
}

}  // namespace

struct CHttpSender::CurlHandles {
  CURL* Easy = nullptr;
  CURLM* Multi = nullptr;  // holds the connection cache between transfers
  // The camera connection's socket, watched for arriving bytes: libcurl reports header bytes only
  // per complete line, so a reply trickling in would otherwise look like a stall. Touched only by
  // the sending thread (libcurl calls back on it) and the destructor.
  int Socket = -1;

  static int OnSocketOpened(void* user, curl_socket_t fd, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) static_cast<CurlHandles*>(user)->Socket = fd;
    return CURL_SOCKOPT_OK;
  }
  static int OnSocketClosing(void* user, curl_socket_t fd) {
    auto* self = static_cast<CurlHandles*>(user);
    if (self->Socket == fd) self->Socket = -1;
    return ::close(fd);
  }
  // True when bytes wait on the socket, i.e. the camera sent something since libcurl last read.
  bool BytesWaiting() const {
    int pending = 0;
    return Socket >= 0 && ::ioctl(Socket, FIONREAD, &pending) == 0 && pending > 0;
  }

  CurlHandles() : Easy(curl_easy_init()), Multi(curl_multi_init()) {}
  ~CurlHandles() {
    if (Easy) curl_easy_cleanup(Easy);
    if (Multi) curl_multi_cleanup(Multi);
  }
  // For another sender: the easy handle (and the receive buffer it allocated) stays; the multi
  // handle goes, and with it the connection cache, so no idle connection to the camera is held
  // by a handle that waits.
  bool Park() {
    if (Easy == nullptr || Multi == nullptr) return false;
    curl_multi_cleanup(Multi);
    Multi = nullptr;
    Socket = -1;
    return true;
  }
  bool Unpark() {
    curl_easy_reset(Easy);
    Multi = curl_multi_init();
    return Multi != nullptr;
  }
  CurlHandles(const CurlHandles&) = delete;
  CurlHandles& operator=(const CurlHandles&) = delete;
};

struct CHttpSender::Transfer {
  std::vector<uint8_t>* Body = nullptr;
  size_t MaxBody = kMaxBodySize;
  bool BodyCapped = false;
  bool HeadersDone = false;             // the header block of the latest response is complete
  std::vector<std::string> Challenges;  // every WWW-Authenticate value of the latest response
  std::string Location;                 // of the latest response
  CURLcode Result = CURLE_OK;           // libcurl's verdict on a finished transfer
  TLS_KEY_CHECK KeyCheck;               // the camera's key, judged during the TLS handshake
  const std::atomic<bool>* Aborted = nullptr;
  int TimeoutMs = 0;
  int64_t DeadlineMs = INT64_MAX;  // monotonic: the request ends here whatever arrives
  bool Connected = false;          // the stall clock runs from the moment the request can be sent
  int64_t LastProgressMs = 0;
  curl_off_t LastUpload = 0;

  void Progress() { LastProgressMs = korvalt::platform::MonotonicMs(); }
  bool StallExpired() const {
    return Connected && korvalt::platform::MonotonicMs() - LastProgressMs > TimeoutMs;
  }
  bool DeadlinePassed() const { return korvalt::platform::MonotonicMs() >= DeadlineMs; }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    std::string_view line(data, length);
    t->Progress();
    if (line.starts_with("HTTP/")) {
      // A new response (after an interim 100 or libcurl's own Digest round trip): forget the last.
      t->HeadersDone = false;
      t->Challenges.clear();
      t->Location.clear();
      t->Body->clear();
      t->BodyCapped = false;
    } else if (line == "\r\n" || line == "\n") {
      t->HeadersDone = true;
    } else {
      constexpr std::string_view kLocation = "Location:";
      if (line.size() >= kLocation.size() && EqualsNoCase(line.substr(0, kLocation.size()), kLocation)) {
        std::string_view value = line.substr(kLocation.size());
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
          value.remove_suffix(1);
        t->Location.assign(value.substr(0, 2048));
      }
      constexpr std::string_view kName = "WWW-Authenticate:";
      if (line.size() >= kName.size() && EqualsNoCase(line.substr(0, kName.size()), kName)) {
        line.remove_prefix(kName.size());
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        // A camera names two or three; more are no answer of ours to keep.
        if (t->Challenges.size() < kMaxChallenges)
          t->Challenges.emplace_back(line.substr(0, kMaxChallengeSize));
      }
    }
    return length;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t length = size * count;
    t->Progress();
    t->Body->insert(t->Body->end(), data, data + length);
    if (t->Body->size() >= t->MaxBody) {
      t->BodyCapped = true;
      return 0;  // ends the transfer; what arrived so far is the reply
    }
    return length;
  }

  static CURLcode OnTlsContext(CURL*, void* context, void* user) {
    InstallKeyCheck(context, static_cast<Transfer*>(user)->KeyCheck);
    return CURLE_OK;
  }

  static int OnPrerequest(void* user, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(user);
    t->Connected = true;
    t->HeadersDone = false;
    t->Progress();
    return CURL_PREREQFUNC_OK;
  }

  static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* t = static_cast<Transfer*>(user);
    if (t->Aborted->load()) return 1;
    if (uploaded != t->LastUpload) {
      t->LastUpload = uploaded;
      t->Progress();
    }
    return t->StallExpired() || t->DeadlinePassed() ? 1 : 0;
  }
};

CHttpSender::CHttpSender(const korvalt::DEVICE_INFO& device) : Device(device) {
  EnsureCurlGlobalInit();
  AdoptHandles();
}

CHttpSender::~CHttpSender() {
  LeaveHandles();
}

void CHttpSender::AdoptHandles() {
  if (Device.Login) Curl = std::static_pointer_cast<CurlHandles>(Device.Login->TakeIdleHandles());
  if (!Curl || !Curl->Unpark()) Curl = std::make_shared<CurlHandles>();
}

void CHttpSender::LeaveHandles() {
  if (Device.Login && Curl && Curl->Park()) Device.Login->KeepIdleHandles(std::move(Curl));
}

void CHttpSender::Abort() {
  Aborted.store(true);
  AbortEvent.Set();
  if (Curl && Curl->Multi) curl_multi_wakeup(Curl->Multi);
}

void CHttpSender::ClearAbort() {
  Aborted.store(false);
  AbortEvent.Reset();
}

bool CHttpSender::Send(const CHttpRequest& request) {
  Body.clear();
  HasReply = false;
  HeldBack = false;
  // A request that gets no reply must not leave an earlier reply's status (a 401) behind.
  StatusCode = 0;
  OfferedCredentials = false;
  const bool sent = SendOnce(request, true);
  if (OfferedCredentials && Device.Login)
    Device.Login->Answered(sent, StatusCode == kStatusUnauthorized, korvalt::platform::MonotonicMs());
  // The camera may have moved to another address: the next request looks its name up again.
  if (!sent) CameraAddress = 0;
  // After refused credentials libcurl would open the next request with the old nonce and, refused
  // again, answer the new challenge too: two failed logins per request, and cameras lock accounts
  // by failed logins. Forgetting the nonce makes it one. Every option is set anew per transfer.
  if (StatusCode == kStatusUnauthorized && Curl && Curl->Easy) curl_easy_reset(Curl->Easy);
  return sent;
}

uint32_t CHttpSender::KnownScheme() const {
  if (RememberedScheme != 0) return RememberedScheme;
  return Device.Login ? Device.Login->Scheme() : 0;
}

bool CHttpSender::WrongProtocolOrKeyRefused(Transfer& transfer, bool& keyRefused) {
  keyRefused = transfer.KeyCheck.Refused;
  return WrongProtocol(transfer.Result);
}

void CHttpSender::ForgetTransfer(Transfer& transfer) {
  transfer = Transfer{};
}

bool CHttpSender::SendOnce(const CHttpRequest& request, bool mayRetry) {
  Transfer transfer;
  const bool hadScheme = KnownScheme() != 0;
  ROUTE route;
  if (!Exchange(request, transfer, route)) return false;
  if (!route.Secure && StatusCode >= 300 && StatusCode < 400 && Device.Login) {
    // A camera that serves its CGI over HTTPS only: there for the driver's life, never back.
    const uint16_t port = HttpsRedirectPort(transfer.Location, Device.Address);
    if (port != 0) {
      Device.Login->Key().UseHttps(port);
      Body.clear();
      StatusCode = 0;
      return SendOnce(request, mayRetry);
    }
  }
  if (StatusCode != kStatusUnauthorized || hadScheme || !mayRetry) {
    HasReply = true;
    return true;
  }
  // The first 401 this sender (or its driver) meets: the request went without credentials, and the
  // camera's challenge decides the scheme, for good and for every sender of the driver. Digest
  // wins over Basic wherever the camera lists it; a camera offering neither fails this request,
  // and the next one asks again, instead of failing for good with a scheme we cannot answer.
  const uint32_t named = SchemeToLearn(transfer.Challenges);
  Body.clear();
  if (named == 0) return false;
  RememberedScheme = named;
  if (Device.Login) Device.Login->LearnScheme(named);
  if (Device.UserName.empty() || request.AuthKind == CHttpRequest::kAuthNone) {
    // Nothing to offer: the 401 is the reply.
    HasReply = true;
    return true;
  }
  // libcurl keeps the challenge it saw without credentials and would answer it at once, then,
  // refused, answer the next one too: two refused logins for one request.
  if (Curl && Curl->Easy) curl_easy_reset(Curl->Easy);
  return SendOnce(request, false);
}

bool CHttpSender::Perform(const CHttpRequest& request, Transfer& transfer, const ROUTE& route) {
  if (Aborted.load() || !Curl || !Curl->Easy || !Curl->Multi) return false;
  if (request.Verb.empty() || request.Path.empty()) return false;
  if (HasControlChars(request.Verb, false) || HasControlChars(request.Path, false)) return false;
  if (!IsPlainHost(Device.Address)) return false;
  // Replies are always awaited and bodies always sent whole; nothing in the module needs more.
  if ((request.Options & CHttpRequest::kDoNotWaitForReply) != 0 || request.TotalLength > request.Body.size())
    return false;

  const int timeoutMs = std::max<int32_t>(Device.NetworkTimeout, 1);
  if (CameraAddress == 0) CameraAddress = Resolver.Resolve(Device.Address, &AbortEvent, timeoutMs);
  if (CameraAddress == 0 || Aborted.load()) return false;
  korvalt::CCameraLogin* login = Device.Login.get();
  if (route.Secure && login != nullptr && login->Key().Refusing() &&
      login->WaitMs(korvalt::platform::MonotonicMs()) > 0) {
    // The camera presented a key we refused: no new handshake before the back-off allows one.
    HeldBack = true;
    return false;
  }
  char address[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &CameraAddress, address, sizeof address) == nullptr) return false;

  CURL* easy = Curl->Easy;
  const bool secure = route.Secure;
  const std::string url = std::string(secure ? "https://" : "http://") + Device.Address + ":" +
                          std::to_string(route.Port) + (request.Path.front() == '/' ? "" : "/") +
                          request.Path;
  // The address found above, for this name and port, in libcurl's cache of the multi handle.
  const std::string resolved = Device.Address + ":" + std::to_string(route.Port) + ":" + address;

  // Every option is set on every transfer: the handle is reused and must not carry the last one's.
  bool ok = true;
  auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
  set(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
  set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L));
  set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent));
  set(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
  set(curl_easy_setopt(easy, CURLOPT_NOPROXY, "*"));
  set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4)));
  set(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
  set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs)));
  // libcurl allocates its receive buffer for each transfer and frees it after: at its default of
  // 16 KiB, the requests of a burst of restarts, each in its own thread, leave that much free in
  // every allocator arena they ran on. Camera replies are small; large ones just take more reads.
  set(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes));
  set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
  set(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr));
  if (!request.Body.empty()) {
    set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.Body.size())));
    set(curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.Body.data()));
  }
  if (request.Verb == "HEAD") {
    set(curl_easy_setopt(easy, CURLOPT_NOBODY, 1L));
  } else if (request.Verb != "GET" || !request.Body.empty()) {
    set(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.Verb.c_str()));
  }
  // Cameras carry self-signed certificates: the camera's key decides (pinned, the first seen, or a
  // certificate the system's store verifies for the camera's name), judged within the handshake.
  transfer.KeyCheck.Login = login;
  transfer.KeyCheck.Host = Device.Address;
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L));
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L));
  set(curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, secure ? &Transfer::OnTlsContext : nullptr));
  set(curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, secure ? &transfer : nullptr));
  if (!ok) return false;

  // Credentials: one scheme at a time, never libcurl's "any", and none before the camera's
  // challenge named the scheme: a password never crosses the network in Basic's readable form to a
  // camera that offers Digest. While the camera's refused logins ask for a pause, none at all.
  set(curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr));
  set(curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr));
  set(curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC));
  const uint32_t scheme = KnownScheme();
  // A camera whose key is pinned spoke TLS: plain HTTP to it carries no password.
  const bool plainForbidden = !secure && login != nullptr && login->Key().Pinned();
  if (!Device.UserName.empty() && request.AuthKind != CHttpRequest::kAuthNone && scheme != 0 &&
      !plainForbidden) {
    if (Device.Login && !Device.Login->ClaimTurn(korvalt::platform::MonotonicMs())) {
      HeldBack = true;
      return false;
    }
    OfferedCredentials = true;
    const unsigned long auth = CurlAuthOfScheme(scheme);
    if (auth == 0) return false;
    if (scheme == kSchemeBasic && !secure && login != nullptr && login->FirstTimeBasicInClear())
      login->Say(
          2, Device.Address +
                 ": the camera accepts only Basic authentication over plain HTTP: the password crosses the "
                 "network readable. Switch the camera to HTTPS, or to Digest authentication");
    set(curl_easy_setopt(easy, CURLOPT_HTTPAUTH, auth));
    set(curl_easy_setopt(easy, CURLOPT_USERNAME, Device.UserName.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_PASSWORD, Device.Password.c_str()));
  }
  if (!ok) return false;

  struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<curl_slist, SlistDeleter> pinned(curl_slist_append(nullptr, resolved.c_str()));
  if (!pinned) return false;
  set(curl_easy_setopt(easy, CURLOPT_RESOLVE, pinned.get()));
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const std::string& line : request.ExtraHeaders) {
    if (HasControlChars(line, true)) return false;
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) return false;
    headers.release();
    headers.reset(grown);
  }
  set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get()));

  transfer.Body = &Body;
  transfer.MaxBody = MaxBodySize;
  transfer.Aborted = &Aborted;
  transfer.TimeoutMs = timeoutMs;
  transfer.DeadlineMs = korvalt::platform::MonotonicMs() + RequestDeadlineMs(timeoutMs);
  set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader));
  set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer));
  set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody));
  set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer));
  set(curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::OnPrerequest));
  set(curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer));
  set(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress));
  set(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer));
  set(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
  set(curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &CurlHandles::OnSocketOpened));
  set(curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, Curl.get()));
  set(curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlHandles::OnSocketClosing));
  set(curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, Curl.get()));
  if (!ok) return false;

  Body.clear();
  if (curl_multi_add_handle(Curl->Multi, easy) != CURLM_OK) return false;
  CURLcode result = CURLE_OK;
  bool finished = false;
  bool interrupted = false;
  for (;;) {
    int running = 0;
    if (Curl->BytesWaiting()) transfer.Progress();
    if (curl_multi_perform(Curl->Multi, &running) != CURLM_OK) {
      interrupted = true;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(Curl->Multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
        result = message->data.result;
        transfer.Result = result;
        finished = true;
      }
    }
    if (finished) break;
    if (Aborted.load() || transfer.StallExpired() || transfer.DeadlinePassed()) {
      interrupted = true;
      break;
    }
    const int64_t left = transfer.DeadlineMs - korvalt::platform::MonotonicMs();
    curl_multi_poll(Curl->Multi, nullptr, 0, static_cast<int>(std::clamp<int64_t>(left, 1, kPollSliceMs)),
                    nullptr);
  }
  // Removing an unfinished transfer closes its connection; a finished one stays cached for reuse.
  curl_multi_remove_handle(Curl->Multi, easy);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(easy, CURLOPT_RESOLVE, nullptr);

  if (Aborted.load()) {
    Body.clear();
    return false;
  }
  const bool complete =
      finished && (result == CURLE_OK || (result == CURLE_WRITE_ERROR && transfer.BodyCapped));
  // A reply whose headers arrived counts even if its body broke off: the caller sees a short body.
  if (!complete && !(transfer.HeadersDone && (interrupted || finished))) {
    Body.clear();
    return false;
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status <= 0) {
    Body.clear();
    return false;
  }
  StatusCode = static_cast<uint32_t>(status);
  return true;
}

size_t CHttpSender::ReadBody(std::vector<uint8_t>& body) {
  body.clear();
  if (!HasReply) return 0;
  body.swap(Body);
  Body.clear();
  HasReply = false;  // the reply's body is consumed, as reading a stream would
  return body.size();
}

}  // namespace Web
