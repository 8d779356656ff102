#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "http/camera_login.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "thread/annotated_mutex.h"
#include "transport/host_resolver.h"
#include "transport/interleaved_reader.h"
#include "transport/rtsp_connection.h"
#include "transport/rtsp_response_parser.h"

namespace korvalt {

// How to reach the camera's RTSP server; filled by the channel and copied at Connect.
struct RTSP_CONNECTION_PARAMS {
  uint16_t ServerPort = 554;
  uint16_t ClientRtpPort = 0;   // first number of client_port
  uint16_t ClientRtcpPort = 0;  // second number of client_port
  std::string ServerAddress;    // camera host name or address
  std::string UserName;
  std::string Password;
  int32_t ConnectTimeout = 5000;       // ms
  int32_t ReceiveTimeout = 5000;       // ms; bounds sending a request and reading its answer
  int32_t ReceiveBufferSize = 65536;   // SO_RCVBUF
  int32_t SessionTimeout = 60;         // s, while the camera has named none
  int32_t AuthScheme = kRtspAuthNone;  // changed by the client after a 401
  std::string UrlPath;                 // presentation path on the server
  int32_t RequestUrlSelector = 0;      // control SETUP uses: 0 video, 1 audio, 2 metadata
  bool Interleaved = false;            // SETUP asks for RTP and RTCP over this connection, not UDP
  // RTSP over TLS ("rtsps"): the camera's key is judged with Login's pin in the handshake, before
  // any request goes out.
  bool Tls = false;
  // The camera's login state, shared with the driver's other parts: credentials go out only at
  // the camera's turn, and a refusal counts for the camera. Null: this client on its own.
  std::shared_ptr<CCameraLogin> Login;
};

// One TCP connection to the camera's RTSP server and single request/response exchanges on it,
// with one retry carrying credentials after a 401. Used by one thread (its channel's); every
// wait is bounded by the time-outs and ends at once when the owner's stop event is set.
class CBaseRTSPClient {
 public:
  static constexpr int32_t kAuthNone = kRtspAuthNone;
  static constexpr int32_t kAuthBasic = kRtspAuthBasic;
  static constexpr int32_t kAuthDigest = kRtspAuthDigest;
  // A longer answer is refused rather than buffered without bound.
  static constexpr size_t kMaxResponseSize = 64 * 1024;

  // Why the last Connect or exchange failed, for the owner's report.
  enum class Failure {
    kNone,
    kUnresolved,      // the server's name did not resolve in time
    kConnectRefused,  // the connection was refused or failed at once
    kConnectTimeout,  // no connection within the connect time-out
    kNotConnected,    // an exchange without a connection
    kNoRequest,       // the request could not be built
    kSendFailed,      // the request could not be sent in time
    kAnswerTimeout,   // no (whole) answer within the receive time-out
    kClosed,          // the server closed the connection before answering
    kAnswerTooLarge,  // the answer exceeds kMaxResponseSize
    kUnreadable,      // the answer is no RTSP response the parser accepts
    kStatus,          // the server answered with a status other than 200 (the parser has it)
    kUnanswerable,    // a 401 whose challenges this client cannot answer: no credentials went out
    kHeldBack,        // the camera refused a login of the driver lately: its turn has not come
    kStopped,         // the owner's stop event ended the wait
    kKeyRefused,      // TLS: the camera's key is not the one pinned or accepted; nothing was sent
    kNoTls,           // TLS: the camera closed the connection or answered no TLS handshake
    kTlsTimeout,      // TLS: no complete handshake within the connect time-out
  };

  // stopEvent is borrowed from the owner for the client's lifetime (may be null).
  explicit CBaseRTSPClient(platform::Event* stopEvent = nullptr);

  // The request text for a method code (RtspMethod); empty when no request can be made.
  virtual std::string BuildRequest(int method);
  virtual ~CBaseRTSPClient();

  CBaseRTSPClient(const CBaseRTSPClient&) = delete;
  CBaseRTSPClient& operator=(const CBaseRTSPClient&) = delete;

  void SetStopEvent(platform::Event* stopEvent) { StopEvent = stopEvent; }
  // The parameters requests are built from, without connecting; Connect sets them too.
  void SetConnection(const RTSP_CONNECTION_PARAMS& params) { Params = params; }
  // True at once when already connected.
  bool Connect(const RTSP_CONNECTION_PARAMS& params);
  // One request and its response; true when the parser accepts the response (status 200 or 401).
  bool Exchange(int method);
  // Exchange, repeated once with the camera's scheme after a 401, and once more with the new
  // nonce when the camera calls the last one stale. A camera that still refuses gives true with
  // status 401 and CredentialsRefused. A 401 after a request without credentials (the camera asks
  // for nothing this client can answer) fails with kUnanswerable.
  bool ExchangeWithRetry(int method);
  // The last ExchangeWithRetry ended in a 401 after the credentials went out: the camera refuses
  // them (a wrong password, or an account the camera locked).
  bool CredentialsRefused() const { return Refused; }
  // Takes in one response to method as if it had just arrived: what it says is kept for the
  // requests that follow, which continue from its CSeq. True when the parser accepts it.
  bool TakeResponse(const std::string& response, int method);
  void Disconnect();
  // A new connection with the parameters of the last Connect; what the camera's answers said (the
  // session, the CSeq count, the challenge) carries over to it.
  bool Reconnect();
  bool IsConnected() const { return Connected; }
  // The connection is RTSP over TLS.
  bool OverTls() const { return Params.Tls; }
  // The key the camera presented in the last TLS handshake (lower-case hex of its SHA-256), or empty.
  const std::string& PresentedKey() const { return Presented; }
  // Waits for answers no longer than ms from now on (a last TEARDOWN while stopping).
  void LimitReceiveTimeout(int32_t ms);
  // Connects no longer than ms from now on (a last TEARDOWN over a new connection while stopping).
  void LimitConnectTimeout(int32_t ms);
  // An address the owner already resolved (network order), so that Connect needs no look-up.
  void UseServerAddress(uint32_t address) { KnownAddress = address; }

  std::string PresentationUrl() const;
  // The URL SETUP names for the selected media: an absolute control URL as it stands, a relative
  // one under Content-Base when the server sent one, else under the presentation URL.
  std::string TrackUrl() const;
  Failure LastFailure() const { return LastError; }
  // The failure in words: the server's status and reason, or what went wrong with the exchange.
  std::string FailureText() const;
  // The Digest "Authorization" line for uri (the request's own URI) and method, or empty when an
  // input is missing. Counts the requests made with the camera's present nonce.
  std::string MakeDigestAuthorization(const std::string& uri, int method);

  // RTP over the RTSP connection. The sink gets every frame read from the connection from now on,
  // also those read with the opening's responses; borrowed until StopReader or Disconnect.
  void SetInterleavedSink(IInterleavedSink* sink) { Sink = sink; }
  // From PLAY on, a thread of the client reads the connection: frames reach the sink as they
  // arrive, responses wait for the exchange that asked for them.
  bool StartReader();
  void StopReader();
  // Sends one frame on channel. Callable from the sink (on the reader's thread); gives up rather
  // than wait while a request is being sent. A frame sent only in part ends the connection.
  bool SendInterleaved(uint8_t channel, std::span<const uint8_t> data);
  // What the last SETUP answer said of the interleaved transport: taken or not, and its channels.
  bool InterleavedAccepted() const { return InterleavedTaken; }
  uint8_t RtpChannel() const { return InterleavedRtpChannel; }
  uint8_t RtcpChannel() const { return InterleavedRtcpChannel; }
  enum class Activity { kQuiet, kStopped, kClosed };
  // Waits up to ms for the owner's stop or for the camera to close or reset the connection
  // (kClosed). Bytes that arrive meanwhile are kept for the next exchange.
  Activity WatchConnection(int ms);

  // What the last response said.
  int32_t StatusCode() const { return Parser.StatusCode; }
  const std::string& Session() const { return Parser.Session; }
  // Seconds after which the server drops an idle session: as it announced, else as configured.
  int32_t SessionTimeout() const;
  // The scheme requests carry (kAuthNone, kAuthBasic, kAuthDigest), switched by a challenge.
  int32_t AuthScheme() const { return Params.AuthScheme; }
  // What the DESCRIBE answers announced for the video: H.264 parameter sets, MPEG-4 configuration.
  const std::vector<uint8_t>& Sps() const { return Parser.Sps; }
  const std::vector<uint8_t>& Pps() const { return Parser.Pps; }
  const std::vector<uint8_t>& VideoConfig() const { return Parser.VideoConfig; }
  // The video encodings the DESCRIBE answer offered ("H264/90000"); empty when it named none.
  const std::vector<std::string>& VideoEncodings() const { return Parser.VideoEncodings; }
  // What the SETUP answer's Transport header named: the camera's RTP port (0 none) and SSRC.
  uint16_t ServerRtpPort() const { return Parser.ServerRtpPort; }
  std::optional<uint32_t> TransportSsrc() const { return Parser.TransportSsrc; }

 private:
  bool Fail(Failure failure);
  std::string DescribeFailure() const;
  bool SendAll(const std::string& request);
  bool ReadResponse(std::string& response, int64_t deadlineMs);
  // Reads what the socket holds without waiting; false when the connection ended.
  bool ReadAvailable();
  std::string TransportLine() const;
  bool SendFrameLocked(uint8_t channel, std::span<const uint8_t> data) QL_REQUIRES(SendLock);
  // Reads the Transport header of a SETUP answer sent in the interleaved form.
  void NoteSetupTransport(const std::string& response);
  // Waits for the socket; on failure LastError tells the stop from the time-out.
  bool WaitSocket(short events, int64_t deadlineMs);
  // The connection over the connected socket: plain, or TLS after its handshake.
  bool OpenConnection(int64_t deadlineMs);
  // Sends size bytes through the connection and waits until they are on the wire, until deadlineMs
  // or stop; sent counts what was taken. Callers hold SendLock.
  enum class Sent { kAll, kStopped, kFailed };
  Sent SendBytes(const uint8_t* data, size_t size, int64_t deadlineMs, platform::Event& stop, size_t& sent)
      QL_REQUIRES(SendLock);

  RTSP_CONNECTION_PARAMS Params;
  CRTSPResponseParser Parser;
  // CSeq of the last request; a response's CSeq replaces it, so the next request continues from
  // the camera's count.
  uint32_t SequenceNumber = 0;
  platform::SocketHandle Socket = platform::kNoSocket;
  // Over Socket once connected; made and ended by this thread, used by the reader in between.
  std::unique_ptr<CRTSPConnection> Link;
  bool Connected = false;
  CRTSPConnectionBuffer Received{kMaxResponseSize};  // read past the last response, kept for the next one
  IInterleavedSink* Sink = nullptr;                  // borrowed; receives interleaved frames
  std::unique_ptr<CInterleavedReader> Reader;        // reads the connection after PLAY over TCP
  CMutex SendLock;  // one message or frame at a time on the socket (worker and reader send)
  bool InterleavedTaken = false;
  uint8_t InterleavedRtpChannel = 0;
  uint8_t InterleavedRtcpChannel = 1;
  platform::Event* StopEvent = nullptr;  // the owner's; set means "give up every wait"
  platform::Event NeverSet;              // stands in when the owner gave none
  CHostResolver Resolver;
  uint32_t KnownAddress = 0;  // network order; 0 = resolve Params.ServerAddress
  Failure LastError = Failure::kNone;
  bool Refused = false;
  bool CredentialsSent = false;    // the last request carried an "Authorization" header
  bool CredentialsProven = false;  // a request of this client with credentials was answered, not refused
  std::string CountedNonce;        // the nonce NonceCount counts requests for
  uint32_t NonceCount = 0;
  std::string Presented;  // the last handshake's key
};

}  // namespace korvalt
