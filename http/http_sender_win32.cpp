// CHttpSender over WinHTTP, in asynchronous mode: every step (send, response headers, data) is
// waited for together with the sender's abort event and bounded by the network time-out, and
// only the sending thread ever touches or closes a WinHTTP handle. Basic and Digest answers are
// made here (WinHTTP's own Digest is MD5-only and Wine's answers none); NTLM and Negotiate are
// left to WinHTTP's credentials.

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <new>
#include <string_view>

#include "http/digest_answer.h"
#include "http/h_utils.h"
#include "http/http_sender.h"
#include "http/request_deadline.h"
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

uint32_t SchemeOfKind(uint32_t kind) {
  switch (kind) {
    case CHttpRequest::kAuthBasic:
      return CHttpSender::kSchemeBasic;
    case CHttpRequest::kAuthNtlm:
      return CHttpSender::kSchemeNtlm;
    case CHttpRequest::kAuthPassport:
      return CHttpSender::kSchemePassport;
    case CHttpRequest::kAuthDigest:
      return CHttpSender::kSchemeDigest;
    case CHttpRequest::kAuthNegotiate:
      return CHttpSender::kSchemeNegotiate;
    default:
      return 0;
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return korvalt::HUtils::EqualsIgnoringCase(a, b);
}

// The scheme named first in a WWW-Authenticate value ("Digest realm=..., Basic ..." -> Digest).
uint32_t SchemeOfChallenge(std::string_view value) {
  const auto begin = value.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return 0;
  value.remove_prefix(begin);
  const std::string_view token = value.substr(0, value.find_first_of(" \t,"));
  if (EqualsNoCase(token, "Basic")) return CHttpSender::kSchemeBasic;
  if (EqualsNoCase(token, "NTLM")) return CHttpSender::kSchemeNtlm;
  if (EqualsNoCase(token, "Passport1.4")) return CHttpSender::kSchemePassport;
  if (EqualsNoCase(token, "Digest")) return CHttpSender::kSchemeDigest;
  if (EqualsNoCase(token, "Negotiate")) return CHttpSender::kSchemeNegotiate;
  return 0;
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

// One request's completions, signalled by WinHTTP's callback thread. Owned by the request handle
// once the callback is set: WinHTTP's last call for the handle (HANDLE_CLOSING) deletes it, so a
// request closed while an operation is under way never waits for that operation to give up.
struct RequestContext {
  RequestContext() : Completed(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~RequestContext() {
    if (Completed != nullptr) ::CloseHandle(Completed);
  }
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  HANDLE Completed;
  bool Failed = false;
  DWORD Bytes = 0;
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
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
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      c->Failed = true;
      ::SetEvent(c->Completed);
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      delete c;
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
  korvalt::platform::Event AbortEvent{korvalt::platform::Event::ResetMode::kManual};
};

// One open request and its context (owned by the request handle, see RequestContext).
struct CHttpSender::Transfer {
  HINTERNET Request = nullptr;
  RequestContext* Context = nullptr;

  ~Transfer() { Close(); }
  void Close() {
    if (Request == nullptr) return;
    ::WinHttpCloseHandle(Request);
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

std::wstring QueryHeader(HINTERNET request, DWORD info) {
  DWORD bytes = 0;
  ::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                        WINHTTP_NO_HEADER_INDEX);
  if (bytes == 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                            WINHTTP_NO_HEADER_INDEX) == 0) {
    return {};
  }
  value.resize(bytes / sizeof(wchar_t));
  return value;
}

DWORD WinHttpSchemeOf(uint32_t scheme) {
  switch (scheme) {
    case CHttpSender::kSchemeNtlm:
      return WINHTTP_AUTH_SCHEME_NTLM;
    case CHttpSender::kSchemeNegotiate:
      return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    default:
      return 0;
  }
}

}  // namespace

CHttpSender::CHttpSender(const korvalt::DEVICE_INFO& device) : Device(device) {
  Curl = std::make_unique<CurlHandles>();
}

CHttpSender::~CHttpSender() = default;

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
  return SendOnce(request, true);
}

bool CHttpSender::SendOnce(const CHttpRequest& request, bool mayRetry) {
  Transfer transfer;
  if (!Perform(request, transfer)) return false;
  if (StatusCode != kStatusUnauthorized || RememberedScheme != 0 || !mayRetry) {
    HasReply = true;
    return true;
  }
  // First 401 of this sender: remember the camera's first scheme for good and try it once. Only
  // Basic and Digest are remembered: a camera naming another scheme first fails this request, and
  // the next one asks again, instead of failing for good with a scheme we cannot answer.
  const uint32_t tried = SchemeOfKind(request.AuthKind);
  const std::string challenge =
      transfer.Request != nullptr
          ? korvalt::platform::WideToUtf8(QueryHeader(transfer.Request, WINHTTP_QUERY_WWW_AUTHENTICATE))
          : std::string();
  const uint32_t named = SchemeOfChallenge(challenge);
  transfer.Close();
  Body.clear();
  if (named != kSchemeBasic && named != kSchemeDigest) return false;
  RememberedScheme = named;
  if (RememberedScheme == tried) return false;
  return SendOnce(request, false);
}

bool CHttpSender::Perform(const CHttpRequest& request, Transfer& transfer) {
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
  if (Curl->Connection.Get() == nullptr) {
    Curl->Connection.Reset(::WinHttpConnect(Curl->Session.Get(),
                                            korvalt::platform::Utf8ToWide(Device.Address).c_str(),
                                            static_cast<INTERNET_PORT>(Device.Port), 0));
    if (Curl->Connection.Get() == nullptr) return false;
  }

  const bool secure = request.Secure == 1;
  const std::string path = (request.Path.front() == '/' ? "" : "/") + request.Path;
  const uint32_t scheme = RememberedScheme != 0 ? RememberedScheme : SchemeOfKind(request.AuthKind);
  const bool credentials = !Device.UserName.empty() && request.AuthKind != CHttpRequest::kAuthNone;
  if (credentials && scheme == kSchemePassport) return false;

  std::string challenge;  // a Digest challenge to answer on the second round
  for (int round = 0; round < 2; ++round) {
    transfer.Close();
    // The path is sent as it stands: the module escapes what needs escaping itself.
    transfer.Request = ::WinHttpOpenRequest(
        Curl->Connection.Get(), korvalt::platform::Utf8ToWide(request.Verb).c_str(),
        korvalt::platform::Utf8ToWide(path).c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES,
        WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY | (secure ? WINHTTP_FLAG_SECURE : 0));
    if (transfer.Request == nullptr) return false;
    transfer.Context = new (std::nothrow) RequestContext;
    if (transfer.Context == nullptr || transfer.Context->Completed == nullptr) {
      ::WinHttpCloseHandle(transfer.Request);  // no callback is set yet
      transfer.Request = nullptr;
      delete transfer.Context;
      transfer.Context = nullptr;
      return false;
    }
    HINTERNET handle = transfer.Request;
    ::WinHttpSetStatusCallback(handle, &OnStatus,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES, 0);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(transfer.Context);
    ::WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    if (secure && (request.Options & CHttpRequest::kIgnoreCertErrors) != 0) {
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
      } else if (scheme == kSchemeDigest && !challenge.empty()) {
        const std::string answer =
            korvalt::AnswerDigestChallenge(challenge, request.Verb, path, Device.UserName, Device.Password);
        if (answer.empty()) return false;
        headers += L"Authorization: " + korvalt::platform::Utf8ToWide(answer) + L"\r\n";
      } else if (WinHttpSchemeOf(scheme) != 0 && round == 1) {
        if (::WinHttpSetCredentials(handle, WINHTTP_AUTH_TARGET_SERVER, WinHttpSchemeOf(scheme),
                                    korvalt::platform::Utf8ToWide(Device.UserName).c_str(),
                                    korvalt::platform::Utf8ToWide(Device.Password).c_str(), nullptr) == 0) {
          return false;
        }
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
    // A Digest or NTLM/Negotiate scheme asks once without credentials and answers the camera's
    // challenge within the same transfer, as libcurl does.
    if (round == 0 && status == kStatusUnauthorized && credentials && scheme != kSchemeBasic) {
      const std::string named =
          korvalt::platform::WideToUtf8(QueryHeader(handle, WINHTTP_QUERY_WWW_AUTHENTICATE));
      if (scheme == kSchemeDigest && SchemeOfChallenge(named) == kSchemeDigest) {
        challenge = named;
        // The refusal's body read to its end leaves the connection to carry the answer.
        std::vector<uint8_t> refusal;
        if (ReadReply(handle, *transfer.Context, abort, Aborted, deadlineMs, kMaxRefusalBody, refusal) ==
            BodyEnd::kAborted) {
          return false;
        }
        continue;
      }
      if (WinHttpSchemeOf(scheme) != 0) continue;
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
