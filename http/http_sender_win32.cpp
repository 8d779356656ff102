// CHttpSender over WinHTTP, in asynchronous mode: every step (send, response headers, data) is
// waited for together with the sender's abort event and bounded by the network time-out, and
// only the sending thread ever touches or closes a WinHTTP handle. Basic and Digest answers are
// made here (WinHTTP's own Digest is MD5-only and Wine's answers none).
//
// WinHTTP calls OnStatus, code of this DLL, on threads of its own until a handle's last
// notification (HANDLE_CLOSING), which may come after the sender and even the driver are gone:
// each handle with the callback holds a reference to the DLL, dropped only once that last
// notification has returned.

#include <windows.h>
// After windows.h, which they need.
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "http/auth_scheme.h"
#include "http/h_utils.h"
#include "http/http_sender.h"
#include "http/request_deadline.h"
#include "http/tls_key.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/text.h"

namespace Web {
namespace {

constexpr const wchar_t* kUserAgent = L"Korvalt::HttpClient";
constexpr uint32_t kStatusUnauthorized = 401;
constexpr DWORD kReadChunk = 16 * 1024;
// A 401's body read so that its connection is kept; a longer one costs the connection instead.
constexpr size_t kMaxRefusalBody = 64 * 1024;
// WWW-Authenticate headers of one reply looked at; a camera names two or three.
constexpr DWORD kMaxChallenges = 16;

std::string FreshClientNonce() {
  try {
    return korvalt::HUtils::MakeClientNonce();
  } catch (...) {
    return {};  // the answer that needs one then fails, as an unanswerable challenge does
  }
}

bool HasControlChars(std::string_view s, bool blankAllowed) {
  return std::any_of(s.begin(), s.end(), [blankAllowed](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f || (!blankAllowed && u == ' ');
  });
}

bool IsPlainHost(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
}

// Drops a reference to this DLL after the thread-pool callback that asks for it has returned, so
// that the last reference never goes while code of the DLL still runs on the calling thread.
void CALLBACK ReleaseModule(PTP_CALLBACK_INSTANCE instance, void* module) {
  ::FreeLibraryWhenCallbackReturns(instance, static_cast<HMODULE>(module));
}

// One request's completions, signalled by WinHTTP's callback thread. Owned by two once the
// callback is set: the request handle (WinHTTP's last call for it, HANDLE_CLOSING, lets go) and the
// sending thread's transfer (Close lets go); the last one deletes it. So a request closed while an
// operation is under way never waits for that operation to give up, and a request the key check
// closed from the callback leaves the sending thread a context to read.
struct RequestContext {
  RequestContext() : Completed(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    // The DLL stays loaded while WinHTTP may call into it for this handle; a host that unloads
    // the module after deleting its drivers only drops its own reference meanwhile.
    const auto anchor = reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ReleaseModule));
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, anchor, &Module) == 0) Module = nullptr;
  }
  ~RequestContext() {
    if (Completed != nullptr) ::CloseHandle(Completed);
  }
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  // Called from HANDLE_CLOSING, WinHTTP's last call for the handle: nothing of the context is
  // touched afterwards by it. Should the thread pool refuse the work, the reference stays: the DLL
  // is then never unloaded, which is safe.
  static void Retire(RequestContext* context) {
    if (context->Owners.fetch_sub(1) != 1) return;
    HMODULE module = context->Module;
    delete context;
    if (module != nullptr) ::TrySubmitThreadpoolCallback(&ReleaseModule, module, nullptr);
  }
  // The sending thread is done with it. The host holds the DLL while a sender exists, so the
  // reference may go here directly.
  static void Leave(RequestContext* context) {
    if (context->Owners.fetch_sub(1) != 1) return;
    HMODULE module = context->Module;
    delete context;
    if (module != nullptr) ::FreeLibrary(module);
  }
  // The handle never got the callback: no notification will come.
  static void Discard(RequestContext* context) {
    if (context == nullptr) return;
    if (context->Module != nullptr) ::FreeLibrary(context->Module);
    delete context;
  }

  HANDLE Completed;
  HMODULE Module = nullptr;  // this DLL's reference, held for the handle's life
  std::atomic<int> Owners{2};
  std::atomic<bool> Closed{false};  // the handle is closed once: by the sender, or by the key check
  bool Failed = false;
  DWORD Error = 0;  // of the failure
  DWORD Bytes = 0;
  // Over TLS the camera's key is judged when the connection is up and before the request goes out.
  bool Secure = false;
  std::shared_ptr<korvalt::CCameraLogin> Login;  // kept while WinHTTP may still call
  TLS_KEY_CHECK KeyCheck;
};

// The server certificate's key, judged before the request is sent; a refused key closes the
// request, which WinHTTP then does not send.
void CheckKeyBeforeSending(HINTERNET handle, RequestContext& c) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof certificate;
  const bool have =
      ::WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) != 0 &&
      certificate != nullptr;
  const bool accepted = have && CheckPresentedKey(const_cast<CERT_CONTEXT*>(certificate), c.KeyCheck);
  if (certificate != nullptr) ::CertFreeCertificateContext(certificate);
  if (accepted) return;
  c.KeyCheck.Refused = true;
  c.Failed = true;
  if (!c.Closed.exchange(true)) ::WinHttpCloseHandle(handle);
  ::SetEvent(c.Completed);
}

void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  auto* c = reinterpret_cast<RequestContext*>(context);
  if (c == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      ::SetEvent(c->Completed);
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      c->Bytes = info != nullptr ? *static_cast<DWORD*>(info) : 0;
      ::SetEvent(c->Completed);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      c->Bytes = length;
      ::SetEvent(c->Completed);
      break;
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
      if (c->Secure) CheckKeyBeforeSending(handle, *c);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      c->Error = info != nullptr ? static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError : 0;
      c->Failed = true;
      ::SetEvent(c->Completed);
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      RequestContext::Retire(c);
      break;
    default:
      break;
  }
}

class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle = nullptr) : Handle(handle) {}
  ~InternetHandle() { Reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  void Reset(HINTERNET handle = nullptr) {
    if (Handle != nullptr) ::WinHttpCloseHandle(Handle);
    Handle = handle;
  }
  HINTERNET Get() const { return Handle; }

 private:
  HINTERNET Handle;
};

}  // namespace

// The WinHTTP session and connection of the sender's camera (the Linux backend keeps its libcurl
// handles under this name), and the abort event every wait watches.
struct CHttpSender::CurlHandles {
  InternetHandle Session;
  InternetHandle Connection;
  uint16_t ConnectionPort = 0;  // the port Connection was made for
  korvalt::platform::Event AbortEvent{korvalt::platform::Event::ResetMode::kManual};

  // The camera's last Digest challenge, answered again with the next nonce count until the camera
  // refuses it: one round trip per request instead of two. Sending thread only.
  struct DigestSession {
    korvalt::DIGEST_CHALLENGE Challenge;
    std::string ClientNonce;  // one per nonce: the -sess algorithms hash it into every answer
    uint32_t NonceCount = 0;  // answers given to this nonce
  };
  std::optional<DigestSession> Digest;
};

// One open request and its context (owned by the request handle, see RequestContext).
struct CHttpSender::Transfer {
  HINTERNET Request = nullptr;
  RequestContext* Context = nullptr;    // one of its two owners while set
  std::vector<std::string> Challenges;  // every WWW-Authenticate value of the last reply, in order
  std::string Location;                 // of a redirect
  DWORD Error = 0;                      // WinHTTP's error of a failed request
  bool KeyRefused = false;

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() { Close(); }
  void Close() {
    if (Request == nullptr) return;
    if (Context == nullptr) {
      ::WinHttpCloseHandle(Request);
    } else {
      Error = Context->Error;
      KeyRefused = KeyRefused || Context->KeyCheck.Refused;
      if (!Context->Closed.exchange(true)) ::WinHttpCloseHandle(Request);
      RequestContext::Leave(Context);
    }
    Request = nullptr;
    Context = nullptr;
  }
};

namespace {

// Waits for the request's next completion, the abort event or the request's deadline. Silence
// within a phase is WinHTTP's own time-out (set per send and receive); the deadline ends a camera
// that trickles a byte now and then for ever.
bool Await(RequestContext& context, korvalt::platform::Event& abort, int64_t deadlineMs) {
  HANDLE objects[2] = {reinterpret_cast<HANDLE>(abort.NativeHandle()), context.Completed};
  const int64_t left = std::max<int64_t>(deadlineMs - korvalt::platform::MonotonicMs(), 0);
  const DWORD rc = ::WaitForMultipleObjects(2, objects, FALSE, static_cast<DWORD>(left));
  return rc == WAIT_OBJECT_0 + 1 && !context.Failed;
}

enum class BodyEnd { kComplete, kCut, kAborted };

// Reads the rest of a reply into out, up to cap bytes in all; what arrived before a cut stays.
BodyEnd ReadReply(HINTERNET handle, RequestContext& context, korvalt::platform::Event& abort,
                  const std::atomic<bool>& aborted, int64_t deadlineMs, size_t cap,
                  std::vector<uint8_t>& out) {
  for (;;) {
    if (::WinHttpQueryDataAvailable(handle, nullptr) == 0 || !Await(context, abort, deadlineMs))
      return aborted.load() ? BodyEnd::kAborted : BodyEnd::kCut;
    const DWORD available = context.Bytes;
    if (available == 0) return BodyEnd::kComplete;
    const size_t room = cap - std::min(out.size(), cap);
    if (room == 0) return BodyEnd::kCut;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>({available, kReadChunk, room}));
    const size_t at = out.size();
    out.resize(at + chunk);
    if (::WinHttpReadData(handle, out.data() + at, chunk, nullptr) == 0 ||
        !Await(context, abort, deadlineMs)) {
      out.resize(at);
      return aborted.load() ? BodyEnd::kAborted : BodyEnd::kCut;
    }
    out.resize(at + context.Bytes);
    if (context.Bytes == 0) return BodyEnd::kComplete;
  }
}

// One header of the reply, the index-th of its name; false when there is no such header.
bool QueryHeader(HINTERNET request, DWORD info, DWORD index, std::wstring& value) {
  DWORD bytes = 0;
  DWORD at = index;
  ::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes, &at);
  if (bytes == 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
  at = index;
  if (::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes, &at) == 0)
    return false;
  value.resize(bytes / sizeof(wchar_t));
  return true;
}

// Every WWW-Authenticate value of the reply: a camera may name each scheme, or each Digest
// algorithm, in a header of its own.
std::vector<std::string> QueryChallenges(HINTERNET request) {
  std::vector<std::string> challenges;
  std::wstring value;
  for (DWORD index = 0; index < kMaxChallenges; ++index) {
    if (!QueryHeader(request, WINHTTP_QUERY_WWW_AUTHENTICATE, index, value)) break;
    challenges.push_back(korvalt::platform::WideToUtf8(value));
  }
  return challenges;
}

// A reply in neither protocol: a TLS port spoken to in plain HTTP, or the other way round. A TLS
// port may reset the connection on a plain request; WinHTTP then reports either its connection
// error or, under Wine at times, the socket's own WSAECONNRESET.
bool WrongProtocol(DWORD error) {
  return error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE || error == ERROR_WINHTTP_SECURE_FAILURE ||
         error == ERROR_WINHTTP_CONNECTION_ERROR || error == WSAECONNRESET;
}

}  // namespace

CHttpSender::CHttpSender(const korvalt::DEVICE_INFO& device) : Device(device) {
  AdoptHandles();
}

CHttpSender::~CHttpSender() {
  LeaveHandles();
}

// A session per sender, closed with it: the Windows soak shows private bytes level off with it, and
// a session handed on would carry the last sender's abort event and Digest state.
void CHttpSender::AdoptHandles() {
  Curl = std::make_shared<CurlHandles>();
}

void CHttpSender::LeaveHandles() {}

void CHttpSender::Abort() {
  Aborted.store(true);
  if (Curl) Curl->AbortEvent.Set();
}

void CHttpSender::ClearAbort() {
  Aborted.store(false);
  if (Curl) Curl->AbortEvent.Reset();
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
  // Refused credentials: the next request asks for a fresh challenge instead of answering the
  // refused nonce again and then the new one, two failed logins where one will do (cameras lock
  // accounts by failed logins).
  if (StatusCode == kStatusUnauthorized && Curl) Curl->Digest.reset();
  return sent;
}

uint32_t CHttpSender::KnownScheme() const {
  if (RememberedScheme != 0) return RememberedScheme;
  return Device.Login ? Device.Login->Scheme() : 0;
}

bool CHttpSender::WrongProtocolOrKeyRefused(Transfer& transfer, bool& keyRefused) {
  transfer.Close();
  keyRefused = transfer.KeyRefused;
  return WrongProtocol(transfer.Error);
}

void CHttpSender::ForgetTransfer(Transfer& transfer) {
  transfer.Close();
  transfer.Error = 0;
  transfer.KeyRefused = false;
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
      transfer.Close();
      Body.clear();
      StatusCode = 0;
      return SendOnce(request, mayRetry);
    }
  }
  if (StatusCode != kStatusUnauthorized || hadScheme || !mayRetry) {
    HasReply = true;
    return true;
  }
  // The first 401 this sender (or its driver) meets: the request went without credentials, and
  // the camera's challenge decides the scheme, for good and for every sender of the driver.
  const uint32_t named = SchemeToLearn(transfer.Challenges);
  korvalt::DIGEST_CHALLENGE offered;
  const bool digestAnswerable = named == kSchemeDigest && ChooseDigestChallenge(transfer.Challenges, offered);
  transfer.Close();
  Body.clear();
  if (named == 0) return false;
  RememberedScheme = named;
  if (Device.Login) Device.Login->LearnScheme(named);
  if (Device.UserName.empty() || request.AuthKind == CHttpRequest::kAuthNone) {
    // Nothing to offer: the 401 is the reply.
    HasReply = true;
    return true;
  }
  // This refusal's challenge is answered at once, without asking for it again.
  if (digestAnswerable) Curl->Digest = CurlHandles::DigestSession{std::move(offered), FreshClientNonce(), 0};
  return SendOnce(request, false);
}

bool CHttpSender::Perform(const CHttpRequest& request, Transfer& transfer, const ROUTE& route) {
  if (Aborted.load() || !Curl || !Curl->AbortEvent.Valid()) return false;
  if (request.Verb.empty() || request.Path.empty()) return false;
  if (HasControlChars(request.Verb, false) || HasControlChars(request.Path, false)) return false;
  if (!IsPlainHost(Device.Address)) return false;
  if ((request.Options & CHttpRequest::kDoNotWaitForReply) != 0 || request.TotalLength > request.Body.size())
    return false;
  for (const std::string& line : request.ExtraHeaders) {
    if (HasControlChars(line, true)) return false;
  }
  const int timeoutMs = std::max<int32_t>(Device.NetworkTimeout, 1);
  const int64_t deadlineMs = korvalt::platform::MonotonicMs() + RequestDeadlineMs(timeoutMs);
  korvalt::platform::Event& abort = Curl->AbortEvent;

  if (Curl->Session.Get() == nullptr) {
    Curl->Session.Reset(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (Curl->Session.Get() == nullptr) return false;
  }
  // Name resolution, connecting, sending and receiving are each bounded by the network time-out.
  ::WinHttpSetTimeouts(Curl->Session.Get(), timeoutMs, timeoutMs, timeoutMs, timeoutMs);
  if (Curl->Connection.Get() == nullptr || Curl->ConnectionPort != route.Port) {
    Curl->Connection.Reset(::WinHttpConnect(Curl->Session.Get(),
                                            korvalt::platform::Utf8ToWide(Device.Address).c_str(),
                                            static_cast<INTERNET_PORT>(route.Port), 0));
    Curl->ConnectionPort = route.Port;
    if (Curl->Connection.Get() == nullptr) return false;
  }

  const bool secure = route.Secure;
  korvalt::CCameraLogin* login = Device.Login.get();
  if (secure && login != nullptr && login->Key().Refusing() &&
      login->WaitMs(korvalt::platform::MonotonicMs()) > 0) {
    // The camera presented a key we refused: no new handshake before the back-off allows one.
    HeldBack = true;
    return false;
  }
  const std::string path = (request.Path.front() == '/' ? "" : "/") + request.Path;
  // Credentials only once the camera's challenge named the scheme (Basic or Digest): a password
  // never crosses the network in Basic's readable form to a camera that offers Digest. While the
  // camera's refused logins ask for a pause, none at all.
  const uint32_t scheme = KnownScheme();
  // A camera whose key is pinned spoke TLS: plain HTTP to it carries no password.
  const bool plainForbidden = !secure && login != nullptr && login->Key().Pinned();
  const bool credentials = !Device.UserName.empty() && request.AuthKind != CHttpRequest::kAuthNone &&
                           scheme != 0 && !plainForbidden;
  if (credentials) {
    if (Device.Login && !Device.Login->ClaimTurn(korvalt::platform::MonotonicMs())) {
      HeldBack = true;
      return false;
    }
    OfferedCredentials = true;
    if (scheme == kSchemeBasic && !secure && login != nullptr && login->FirstTimeBasicInClear())
      login->Say(
          2, Device.Address +
                 ": the camera accepts only Basic authentication over plain HTTP: the password crosses the "
                 "network readable. Switch the camera to HTTPS, or to Digest authentication");
  }

  for (int round = 0; round < 2; ++round) {
    bool answeredDigest = false;  // this round carries an answer to the remembered challenge
    transfer.Close();
    // The path is sent as it stands: the module escapes what needs escaping itself.
    transfer.Request = ::WinHttpOpenRequest(
        Curl->Connection.Get(), korvalt::platform::Utf8ToWide(request.Verb).c_str(),
        korvalt::platform::Utf8ToWide(path).c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES,
        WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY | (secure ? WINHTTP_FLAG_SECURE : 0));
    if (transfer.Request == nullptr) return false;
    transfer.Context = new (std::nothrow) RequestContext;
    HINTERNET handle = transfer.Request;
    if (transfer.Context == nullptr || transfer.Context->Completed == nullptr ||
        ::WinHttpSetStatusCallback(handle, &OnStatus,
                                   WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                                       WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      ::WinHttpCloseHandle(handle);  // no callback is set: nothing will call for it
      transfer.Request = nullptr;
      RequestContext::Discard(transfer.Context);
      transfer.Context = nullptr;
      return false;
    }
    transfer.Context->Secure = secure;
    transfer.Context->Login = Device.Login;
    transfer.Context->KeyCheck.Login = login;
    transfer.Context->KeyCheck.Host = Device.Address;
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(transfer.Context);
    ::WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    if (secure) {
      // Cameras carry self-signed certificates: their key decides, judged before sending.
      DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
      ::WinHttpSetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }

    std::wstring headers;
    for (const std::string& line : request.ExtraHeaders)
      headers += korvalt::platform::Utf8ToWide(line) + L"\r\n";
    if (credentials) {
      if (scheme == kSchemeBasic) {
        // No length limit here: RTSP's 100-byte header buffer is not HTTP's.
        const std::string pair = Device.UserName + ":" + Device.Password;
        std::string encoded(2 * pair.size() + 8, '\0');  // beyond the encoder's asked-for room
        size_t length = encoded.size();
        if (!korvalt::HUtils::Base64Encode(reinterpret_cast<const uint8_t*>(pair.data()), pair.size(),
                                           encoded.data(), &length)) {
          return false;
        }
        encoded.resize(length);
        headers += L"Authorization: Basic " + korvalt::platform::Utf8ToWide(encoded) + L"\r\n";
      } else if (scheme == kSchemeDigest && Curl->Digest) {
        CurlHandles::DigestSession& digest = *Curl->Digest;
        korvalt::DIGEST_ANSWER_INPUT input;
        input.UserName = Device.UserName;
        input.Password = Device.Password;
        input.Method = request.Verb;
        input.Uri = path;
        input.NonceCount = ++digest.NonceCount;
        input.ClientNonce = digest.ClientNonce;
        const std::string answer = korvalt::HUtils::MakeDigestCredentials(digest.Challenge, input);
        if (answer.empty()) {
          Curl->Digest.reset();
          return false;
        }
        headers += L"Authorization: " + korvalt::platform::Utf8ToWide(answer) + L"\r\n";
        answeredDigest = true;
      }
    }

    void* body = request.Body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<uint8_t*>(request.Body.data());
    const auto bodySize = static_cast<DWORD>(request.Body.size());
    if (::WinHttpSendRequest(handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                             headers.empty() ? 0 : static_cast<DWORD>(-1), body, bodySize, bodySize,
                             context) == 0) {
      return false;
    }
    if (!Await(*transfer.Context, abort, deadlineMs)) return false;
    if (::WinHttpReceiveResponse(handle, nullptr) == 0 || !Await(*transfer.Context, abort, deadlineMs))
      return false;

    DWORD status = 0;
    DWORD size = sizeof status;
    if (::WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) == 0 ||
        status == 0) {
      return false;
    }
    StatusCode = status;
    transfer.Challenges.clear();
    transfer.Location.clear();
    std::wstring location;
    if (status >= 300 && status < 400 && QueryHeader(handle, WINHTTP_QUERY_LOCATION, 0, location))
      transfer.Location = korvalt::platform::WideToUtf8(location);
    if (status == kStatusUnauthorized) transfer.Challenges = QueryChallenges(handle);
    // Digest without a challenge to answer asks once without credentials and answers the camera's
    // challenge within the same transfer, as libcurl does.
    if (round == 0 && status == kStatusUnauthorized && credentials && scheme == kSchemeDigest) {
      korvalt::DIGEST_CHALLENGE offered;
      if (ChooseDigestChallenge(transfer.Challenges, offered)) {
        // A refused answer gets a second one only when the camera says its nonce went stale, as
        // libcurl does: many cameras hand out a new nonce with every refusal, and answering that
        // too would make two refused logins of one request (cameras lock accounts by them).
        if (!answeredDigest || offered.Stale) {
          Curl->Digest = CurlHandles::DigestSession{std::move(offered), FreshClientNonce(), 0};
          // The refusal's body read to its end leaves the connection to carry the answer.
          std::vector<uint8_t> refusal;
          if (ReadReply(handle, *transfer.Context, abort, Aborted, deadlineMs, kMaxRefusalBody, refusal) ==
              BodyEnd::kAborted) {
            return false;
          }
          continue;
        }
      }
    }
    break;
  }

  Body.clear();
  if (request.Verb == "HEAD") return true;
  // A reply whose headers arrived counts even if its body broke off: the caller sees a short body.
  // An abort counts as no reply.
  if (ReadReply(transfer.Request, *transfer.Context, abort, Aborted, deadlineMs, MaxBodySize, Body) ==
      BodyEnd::kAborted) {
    Body.clear();
    return false;
  }
  return true;
}

size_t CHttpSender::ReadBody(std::vector<uint8_t>& body) {
  body.clear();
  if (!HasReply) return 0;
  body.swap(Body);
  Body.clear();
  HasReply = false;
  return body.size();
}

}  // namespace Web
