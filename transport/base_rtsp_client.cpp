#include "transport/base_rtsp_client.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "http/h_utils.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "transport/rtsp_framing.h"
#include "transport/rtsp_method.h"
#include "transport/tls_rtsp_connection.h"

namespace korvalt {
namespace {

constexpr int kStatusOk = 200;
constexpr int kStatusUnauthorized = 401;
constexpr size_t kReadChunk = 4096;

// True when text begins with an URL scheme and "://" (RFC 3986: a letter, then letters, digits,
// "+", "-" or "."), as an absolute control URL does ("rtsp://host/x/trackID=0").
bool IsAbsoluteUrl(std::string_view text) {
  const size_t separator = text.find("://");
  if (separator == std::string_view::npos || separator == 0) return false;
  if (std::isalpha(static_cast<unsigned char>(text[0])) == 0) return false;
  for (const char c : text.substr(0, separator)) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

CBaseRTSPClient::CBaseRTSPClient(platform::Event* stopEvent) : StopEvent(stopEvent) {}

CBaseRTSPClient::~CBaseRTSPClient() {
  Disconnect();
}

void CBaseRTSPClient::Disconnect() {
  StopReader();
  Link.reset();
  platform::CloseSocket(Socket);
  Socket = platform::kNoSocket;
  Connected = false;
  Received.Clear();
}

bool CBaseRTSPClient::Fail(Failure failure) {
  LastError = failure;
  return false;
}

bool CBaseRTSPClient::WaitSocket(short events, int64_t deadlineMs) {
  const int64_t left = std::max<int64_t>(0, deadlineMs - platform::MonotonicMs());
  platform::Event& stop = StopEvent != nullptr ? *StopEvent : NeverSet;
  const platform::WaitResult result =
      Link ? Link->Wait(stop, events, static_cast<int>(left))
           : platform::WaitEventOrSocket(stop, Socket, events, static_cast<int>(left));
  switch (result) {
    case platform::WaitResult::kSocket:
      return true;
    case platform::WaitResult::kEvent:
      // The wait may have consumed an auto-reset stop event; leave it set for the owner's other waits.
      stop.Set();
      return Fail(Failure::kStopped);
    default:
      return Fail(Failure::kAnswerTimeout);
  }
}

bool CBaseRTSPClient::Connect(const RTSP_CONNECTION_PARAMS& params) {
  if (Connected) return true;
  Disconnect();
  Params = params;
  LastError = Failure::kNone;
  Presented.clear();

  Socket = platform::OpenSocket(platform::SocketKind::kTcp);
  if (Socket == platform::kNoSocket) return Fail(Failure::kConnectRefused);
  const int bufferSize = Params.ReceiveBufferSize;
  const int receiveMs = std::max(0, Params.ReceiveTimeout);
  if (!platform::SetSocketBuffer(Socket, true, bufferSize) ||
      !platform::SetSocketTimeout(Socket, true, receiveMs)) {
    Disconnect();
    return Fail(Failure::kConnectRefused);
  }
  // A name service that does not answer holds the connection no longer than the connect time-out,
  // and the owner's stop ends the wait at once.
  const uint32_t address = KnownAddress != 0 ? KnownAddress
                                             : Resolver.Resolve(Params.ServerAddress, StopEvent,
                                                                std::max(0, Params.ConnectTimeout));
  if (address == 0) {
    Disconnect();
    const bool stopped = StopEvent != nullptr && StopEvent->Wait(0);
    if (stopped) StopEvent->Set();
    return Fail(stopped ? Failure::kStopped : Failure::kUnresolved);
  }

  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = address;
  server.sin_port = htons(Params.ServerPort);
  // The TLS handshake counts as part of connecting.
  const int64_t deadline = platform::MonotonicMs() + std::max(0, Params.ConnectTimeout);
  const platform::ConnectResult connecting = platform::StartConnect(Socket, server);
  if (connecting != platform::ConnectResult::kConnected) {
    if (connecting != platform::ConnectResult::kInProgress) {
      Disconnect();
      return Fail(Failure::kConnectRefused);
    }
    if (!WaitSocket(POLLOUT, deadline)) {
      const Failure failure = LastError == Failure::kStopped ? Failure::kStopped : Failure::kConnectTimeout;
      Disconnect();
      return Fail(failure);
    }
    if (platform::PendingSocketError(Socket) != 0) {
      Disconnect();
      return Fail(Failure::kConnectRefused);
    }
  }
  // The socket stays non-blocking: every later wait is a poll with the owner's stop event.
  if (!OpenConnection(deadline)) {
    const Failure failure = LastError;
    Disconnect();
    return Fail(failure);
  }
  Connected = true;
  return true;
}

bool CBaseRTSPClient::OpenConnection(int64_t deadlineMs) {
  if (!Params.Tls) {
    Link = std::make_unique<CRTSPConnection>(Socket);
    return true;
  }
  CCameraLogin* login = Params.Login.get();
  if (login != nullptr && login->StreamKey().Refusing() && login->WaitMs(platform::MonotonicMs()) > 0) {
    // The camera presented a key we refused: no new handshake before the back-off allows one.
    return Fail(Failure::kHeldBack);
  }
  std::unique_ptr<CTlsRTSPConnection> tls = CTlsRTSPConnection::Create(Socket, Params.ServerAddress, login);
  if (!tls) return Fail(Failure::kNoTls);
  platform::Event& stop = StopEvent != nullptr ? *StopEvent : NeverSet;
  const CTlsRTSPConnection::Opened opened = tls->Open(deadlineMs, stop);
  Presented = tls->PresentedKey();
  switch (opened) {
    case CTlsRTSPConnection::Opened::kOk:
      Link = std::move(tls);
      return true;
    case CTlsRTSPConnection::Opened::kKeyRefused:
      return Fail(Failure::kKeyRefused);
    case CTlsRTSPConnection::Opened::kTimeout:
      return Fail(Failure::kTlsTimeout);
    case CTlsRTSPConnection::Opened::kStopped:
      return Fail(Failure::kStopped);
    case CTlsRTSPConnection::Opened::kNoTls:
      break;
  }
  return Fail(Failure::kNoTls);
}

std::string CBaseRTSPClient::PresentationUrl() const {
  return HUtils::Format("%s://%s:%d/%s", Params.Tls ? "rtsps" : "rtsp", Params.ServerAddress.c_str(),
                        static_cast<int>(Params.ServerPort), Params.UrlPath.c_str());
}

std::string CBaseRTSPClient::TrackUrl() const {
  std::string control;
  switch (Params.RequestUrlSelector) {
    case 0:
      control = Parser.VideoControl;
      break;
    case 1:
      control = Parser.AudioControl;
      break;
    case 2:
      control = Parser.MetadataControl;
      break;
    default:
      break;
  }
  if (IsAbsoluteUrl(control)) return control;
  if (IsAbsoluteUrl(Parser.ContentBase)) {
    const std::string& base = Parser.ContentBase;
    return base.back() == '/' ? base + control : base + "/" + control;
  }
  const std::string presentation = PresentationUrl();
  return Params.UrlPath.empty() ? presentation + control : presentation + "/" + control;
}

std::string CBaseRTSPClient::BuildRequest(int method) {
  const std::string name = RtspMethodName(method);
  if (name.empty()) return {};
  const std::string presentation = PresentationUrl();
  const std::string track = method == kRtspSetup ? TrackUrl() : std::string();

  std::string authorization;
  if (Params.AuthScheme == kAuthBasic) {
    std::string credentials;
    if (!HUtils::EncodeCredentials(Params.UserName, Params.Password, credentials)) return {};
    authorization = "Authorization: Basic " + credentials + "\r\n";
  } else if (Params.AuthScheme == kAuthDigest) {
    // The Digest uri is the request's own: the track for SETUP, the presentation otherwise.
    authorization = MakeDigestAuthorization(method == kRtspSetup ? track : presentation, method);
  }

  CredentialsSent = !authorization.empty();
  SequenceNumber += 1;
  const std::string version = "RTSP/1.0\r\n";
  const std::string cseq = HUtils::Format("CSeq: %u\r\n", SequenceNumber);
  const std::string accept = "Accept: application/sdp\r\n";
  const std::string userAgent = "User-Agent: Korvalt\r\n";
  // The identifier goes back exactly as the camera sent it.
  const std::string session = "Session: " + Parser.Session + "\r\n";
  const std::string range = "Range: npt=0.000-\r\n";
  const std::string transport = TransportLine();
  switch (method) {
    case kRtspDescribe:
      return name + " " + presentation + " " + version + cseq + accept + authorization + userAgent + "\r\n";
    case kRtspSetup:
      return name + " " + track + " " + version + cseq + transport + authorization + userAgent + "\r\n";
    case kRtspPlay:
    case kRtspPause:
      return name + " " + presentation + " " + version + cseq + session + range + authorization + userAgent +
             "\r\n";
    default:  // TEARDOWN, OPTIONS
      return name + " " + presentation + " " + version + cseq + session + authorization + userAgent + "\r\n";
  }
}

bool CBaseRTSPClient::SendAll(const std::string& request) {
  CMutexLock guard(SendLock);
  if (!Link) return Fail(Failure::kSendFailed);
  const int64_t deadline = platform::MonotonicMs() + std::max(0, Params.ReceiveTimeout);
  platform::Event& stop = StopEvent != nullptr ? *StopEvent : NeverSet;
  size_t sent = 0;
  switch (SendBytes(reinterpret_cast<const uint8_t*>(request.data()), request.size(), deadline, stop, sent)) {
    case Sent::kAll:
      return true;
    case Sent::kStopped:
      return Fail(Failure::kStopped);
    case Sent::kFailed:
      break;
  }
  return Fail(Failure::kSendFailed);
}

CBaseRTSPClient::Sent CBaseRTSPClient::SendBytes(const uint8_t* data, size_t size, int64_t deadlineMs,
                                                 platform::Event& stop, size_t& sent) {
  auto wait = [&](short events) -> Sent {
    const int64_t left = deadlineMs - platform::MonotonicMs();
    if (events == 0 || left <= 0) return Sent::kFailed;
    switch (Link->Wait(stop, events, static_cast<int>(left))) {
      case platform::WaitResult::kSocket:
        return Sent::kAll;
      case platform::WaitResult::kEvent:
        stop.Set();  // left set for the owner's other waits
        return Sent::kStopped;
      default:
        return Sent::kFailed;
    }
  };
  while (sent < size) {
    short again = 0;
    const intptr_t n = Link->Send(data + sent, size - sent, again);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const Sent waited = wait(again);
    if (waited != Sent::kAll) return waited;
  }
  for (;;) {
    short again = 0;
    if (Link->Flush(again)) return Sent::kAll;
    const Sent waited = wait(again);
    if (waited != Sent::kAll) return waited;
  }
}

bool CBaseRTSPClient::ReadResponse(std::string& response, int64_t deadlineMs) {
  if (Reader) {
    platform::Event& stop = StopEvent != nullptr ? *StopEvent : NeverSet;
    switch (Reader->NextResponse(response, deadlineMs, stop)) {
      case CInterleavedReader::Wait::kResponse:
        return true;
      case CInterleavedReader::Wait::kStopped:
        return Fail(Failure::kStopped);
      case CInterleavedReader::Wait::kEnded:
        return Fail(Failure::kClosed);
      case CInterleavedReader::Wait::kTimeout:
        return Fail(Failure::kAnswerTimeout);
    }
  }
  // A response is its header block up to the empty line, then exactly Content-Length bytes; a
  // camera may split it across segments or send several in one piece of any size, and frames of
  // RTP over this connection may come before it.
  char chunk[kReadChunk];
  for (;;) {
    switch (Received.Take(Sink, response)) {
      case CRTSPConnectionBuffer::Taken::kResponse:
        return true;
      case CRTSPConnectionBuffer::Taken::kTooLarge:
        return Fail(Failure::kAnswerTooLarge);
      case CRTSPConnectionBuffer::Taken::kNeedMore:
        break;
    }
    if (!WaitSocket(POLLIN, deadlineMs)) return false;
    const size_t room = std::min(sizeof chunk, Received.Room());
    if (room == 0) {
      Received.Clear();
      continue;
    }
    short again = 0;
    const intptr_t n = Link->Receive(chunk, room, again);
    if (n > 0) {
      Received.Append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || again == 0) {
      return Fail(Failure::kClosed);  // the camera closed the connection before the response was complete
    }
  }
}

bool CBaseRTSPClient::Exchange(int method) {
  LastError = Failure::kNone;
  if (!Connected) return Fail(Failure::kNotConnected);
  const std::string request = BuildRequest(method);
  if (request.empty()) return Fail(Failure::kNoRequest);
  if (!SendAll(request)) return false;
  const uint32_t sent = SequenceNumber;
  // One deadline for the whole exchange: late answers to earlier requests cannot stretch it.
  const int64_t deadline = platform::MonotonicMs() + std::max(0, Params.ReceiveTimeout);
  std::string response;
  for (;;) {
    if (!ReadResponse(response, deadline)) return false;
    // The answer to a request that timed out earlier arrives late: it is not this one's. An
    // answer without CSeq (some servers send their 401 and 404 so) counts for this request.
    const auto answered = CRTSPFraming::SequenceNumber(response);
    if (!answered || !CRTSPFraming::IsEarlier(*answered, sent)) break;
  }
  response.resize(std::min(response.size(), response.find('\0')));
  if (method == kRtspSetup) NoteSetupTransport(response);
  if (TakeResponse(response, method)) return true;
  const bool refused =
      Parser.StatusLineRead && Parser.StatusCode != kStatusOk && Parser.StatusCode != kStatusUnauthorized;
  return Fail(refused ? Failure::kStatus : Failure::kUnreadable);
}

bool CBaseRTSPClient::TakeResponse(const std::string& response, int method) {
  const bool accepted = Parser.Parse(response, method);
  if (Parser.CSeq) SequenceNumber = *Parser.CSeq;
  return accepted;
}

void CBaseRTSPClient::LimitReceiveTimeout(int32_t ms) {
  Params.ReceiveTimeout = std::min(Params.ReceiveTimeout, ms);
}

void CBaseRTSPClient::LimitConnectTimeout(int32_t ms) {
  Params.ConnectTimeout = std::min(Params.ConnectTimeout, ms);
}

bool CBaseRTSPClient::Reconnect() {
  const RTSP_CONNECTION_PARAMS params = Params;
  Disconnect();
  return Connect(params);
}

int32_t CBaseRTSPClient::SessionTimeout() const {
  return Parser.SessionTimeout > 0 ? Parser.SessionTimeout : Params.SessionTimeout;
}

bool CBaseRTSPClient::ExchangeWithRetry(int method) {
  Refused = false;
  bool offered = false;  // credentials went out (at the camera's turn)
  auto exchange = [&]() -> bool {
    const bool offers = Params.AuthScheme != kAuthNone && !Params.UserName.empty();
    if (offers && !offered && Params.Login && !Params.Login->ClaimTurn(platform::MonotonicMs()))
      return Fail(Failure::kHeldBack);
    const bool answered = Exchange(method);
    offered = offered || CredentialsSent;
    return answered;
  };
  bool result = exchange();
  if (result && Parser.StatusCode == kStatusUnauthorized) {
    const int32_t scheme = Parser.AuthScheme;
    if (!CredentialsSent && scheme != kAuthNone) {
      // Credentials only after the camera asked, in the scheme it asked for.
      Params.AuthScheme = scheme;
      result = exchange();
    } else if (CredentialsSent && CredentialsProven && scheme == kAuthDigest &&
               Params.AuthScheme == kAuthDigest && Parser.Digest.Nonce != CountedNonce) {
      // Credentials this session proved right, refused with another nonce: a camera that renews
      // its nonces without saying "stale". Answered once with the new one.
      result = exchange();
    } else if (CredentialsSent && scheme != Params.AuthScheme && scheme != kAuthNone) {
      // Refused in one scheme, the camera names another: the next request uses it. Asking again
      // now would be a second login refused within one try.
      Params.AuthScheme = scheme;
    }
  }
  // A stale nonce is no refusal: the credentials were right, the nonce expired on the way.
  if (result && Parser.StatusCode == kStatusUnauthorized && Parser.AuthScheme == kAuthDigest &&
      Params.AuthScheme == kAuthDigest && Parser.Digest.Stale) {
    result = exchange();
  }
  Refused = result && Parser.StatusCode == kStatusUnauthorized && CredentialsSent;
  if (CredentialsSent && result && !Refused) CredentialsProven = true;
  if (Refused) CredentialsProven = false;
  if (offered && Params.Login) {
    // The camera's answer to the credentials counts for the whole driver.
    const bool answered =
        Refused || (CredentialsSent && (LastError == Failure::kNone || LastError == Failure::kStatus));
    Params.Login->Answered(answered, Refused, platform::MonotonicMs());
  }
  // Nothing went out that the camera could have refused: say what it asked for instead.
  if (result && Parser.StatusCode == kStatusUnauthorized && !CredentialsSent)
    return Fail(Failure::kUnanswerable);
  return result;
}

std::string CBaseRTSPClient::FailureText() const {
  // The reason phrase is the camera's: it may quote the request it refused.
  return HUtils::MaskCredentials(DescribeFailure(), Params.UserName, Params.Password);
}

std::string CBaseRTSPClient::DescribeFailure() const {
  const int timeoutMs = std::max(0, Params.ReceiveTimeout);
  switch (LastError) {
    case Failure::kNone:
      // The exchange went through, but the status may still be a refusal (401 after the retry).
      if (Parser.StatusCode == kStatusOk) return "no failure";
      return HUtils::Format("%d %s", static_cast<int>(Parser.StatusCode), Parser.ReasonPhrase.c_str());
    case Failure::kUnresolved:
      return "host name not resolved";
    case Failure::kConnectRefused:
      return "connection refused";
    case Failure::kConnectTimeout:
      return HUtils::Format("no connection within %d ms", std::max(0, Params.ConnectTimeout));
    case Failure::kNotConnected:
      return "not connected";
    case Failure::kNoRequest:
      return "request could not be built";
    case Failure::kSendFailed:
      return "request could not be sent";
    case Failure::kAnswerTimeout:
      return HUtils::Format("no answer within %d ms", timeoutMs);
    case Failure::kClosed:
      return "connection closed by the camera";
    case Failure::kAnswerTooLarge:
      return "answer too large";
    case Failure::kUnreadable:
      return "unreadable answer";
    case Failure::kStatus:
      return HUtils::Format("%d %s", static_cast<int>(Parser.StatusCode), Parser.ReasonPhrase.c_str());
    case Failure::kStopped:
      return "stopped";
    case Failure::kHeldBack:
      if (Params.Tls && Params.Login && Params.Login->StreamKey().Refusing())
        return "not connected: the camera presented a TLS key that was refused, and its next try is not due "
               "yet";
      return "not sent: the camera refused the credentials lately and its next login is not due yet";
    case Failure::kKeyRefused:
      return "the camera's TLS key is not the pinned one; nothing was sent";
    case Failure::kNoTls:
      return "no TLS handshake: the camera closed the connection or does not speak TLS on this port";
    case Failure::kTlsTimeout:
      return HUtils::Format("no TLS handshake within %d ms", std::max(0, Params.ConnectTimeout));
    case Failure::kUnanswerable: {
      std::string asked = "names no authentication scheme";
      if (Parser.AuthScheme != kAuthNone) {
        asked = "asks for credentials, and no user name or password is set";
      } else if (!Parser.UnansweredChallenges.empty()) {
        asked = "asks for " + Parser.UnansweredChallenges + ", which the module cannot answer";
      }
      return HUtils::Format("%d %s: the camera %s; no credentials were sent",
                            static_cast<int>(Parser.StatusCode), Parser.ReasonPhrase.c_str(), asked.c_str());
    }
  }
  return {};
}

}  // namespace korvalt
