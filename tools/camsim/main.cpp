// camsim: one simulated Quenlark camera (CGI over HTTP, "rtpvideo1.sdp" over RTSP) on loopback.
#include <glib-unix.h>
#include <gst/gst.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "camera_state.h"
#include "http_front.h"
#include "replay_server.h"
#include "rtsp_front.h"
#include "tls_identity.h"

namespace {

constexpr uint16_t kDefaultRtspPort = 554;
constexpr uint16_t kDefaultRtspsPort = 322;  // registered for RTSP over TLS
constexpr const char* kAnyAddress = "0.0.0.0";
constexpr int kUsageError = 2;

const char kHelp[] =
    R"(Usage: camsim [OPTIONS]
Simulates one Quenlark network camera: its CGI requests over HTTP and "rtpvideo1.sdp" over RTSP.
The first line on stdout is "camsim ready http=PORT rtsp=PORT" once both servers listen; with
--https it goes on " https=PORT", with --rtsps " rtsps=PORT", then with either " key-sha256=HEX"
(HEX: SHA-256 of the certificate's SubjectPublicKeyInfo in DER, lowercase).
SIGINT or SIGTERM end it (exit status 0).

Options (also --name=value):
  --bind ADDRESS         IPv4 address to listen on (default 127.0.0.1)
  --http-port PORT       HTTP port, 0 = any free port (default 0)
  --rtsp-port PORT       RTSP port, 0 = any free port (default 0); profile 1 names it
  --no-rtsp              serve no RTSP (profile 1 still names --rtsp-port, 554 when 0)
  --https [PORT]         also serve every HTTP path over TLS on PORT (absent or 0 = any free port)
  --cert FILE --key FILE  the TLS certificate and its private key, PEM, for --https and --rtsps
                         (default: a self-signed EC P-256 certificate made at start, CN the bind
                         address, a new key each start)
  --save-cert FILE --save-key FILE  write the TLS certificate and key in use as PEM, to start again
                         with the same key through --cert and --key
  --rtsps [PORT]         also serve "rtpvideo1.sdp" as RTSP over TLS on PORT (absent: 322, 0 = any
                         free port), the certificate of --https; RTP goes inside the connection
  --rtsps-own-key        RTSP over TLS presents a certificate and key of its own, made at start (the
                         ready line then goes on " rtsps-key-sha256=HEX")
  --http on|off          off: no plain HTTP server at all (the ready line says http=0; needs --https)
  --http-redirect-to-https  plain HTTP answers every camera request with 301 and the same path
                         and query on the HTTPS port (the /sim/ controls stay)
  --session-timeout S    RTSP session time-out announced to clients, seconds (default: 60)
  --auth none|basic|digest   authentication for HTTP and RTSP (default none)
  --digest-qop yes|no    Digest challenge with qop="auth" or the older form (default: HTTP yes,
                         RTSP no; given, it holds for both)
  --digest-algorithm LIST  Digest algorithms offered, one challenge each in this order, from
                         MD5, MD5-sess, SHA-256, SHA-256-sess, comma-separated (default MD5)
  --nonce-lifetime S     a Digest nonce expires S seconds after it was issued: a right answer
                         with it gets 401 with stale=true (default 0: never)
  --lockout N            after N refused logins in a row (HTTP and RTSP together) refuse every
                         request, right password included, for --lockout-seconds (default 0: never)
  --lockout-seconds S    how long a lock-out lasts (default 60)
  --lockout-window S     count the refused logins of --lockout within the last S seconds, accepted
                         logins in between or not (default 0: in a row)
  --digest-uri-check yes|no  RTSP: a Digest uri other than the request line's URI answers
                         400 Bad Request, as some cameras do (default no: the answer counts for
                         the uri it names, as GStreamer's server does)
  --user NAME            user name (default admin)
  --password TEXT        password (default secret)
  --model NAME           model (default QL-3110)
  --firmware VERSION     firmware version (default 1.05)
  --mac ADDRESS          MAC address with colons (default 02:00:5E:10:00:01)
  --inputs N             digital inputs, 0..64 (default 1)
  --outputs N            digital outputs, 0..64 (default 1)
  --ptz yes|no           pan/tilt/zoom over RS-485 (default no)
  --standard pal|ntsc    video standard (default ntsc)
  --audio yes|no         report audio streams (default no)
  --udp-loss PERCENT     drop this share of RTP datagrams at random, UDP only (0..100, default 0;
                         seeded by --seed, default 1)
  --reorder PERCENT      send this share of RTP datagrams after the next one instead (swapped with
                         their neighbour), UDP only (0..100, default 0; seeded by --seed)
  --duplicate PERCENT    send this share of RTP datagrams twice, UDP only (0..100, default 0;
                         seeded by --seed)
  --udp-blocked          answer UDP SETUP but never send RTP or RTCP there, as behind a firewall
  --tcp yes|no|only      offer RTP inside the RTSP connection (default yes; no: such a SETUP is
                         answered 461 Unsupported Transport; only: a UDP SETUP is)
  --preset-store FILE    keep the preset numbers in FILE across restarts, as a camera keeps them
                         in flash (default: presets end with the process)
  --help, --version

Benchmark options (the profile keeps what the driver wrote; only the encoder differs):
  --force-bitrate KBPS   encode at this bit rate whatever profile 1 says (16..50000)
  --force-gop FRAMES     key frame every FRAMES pictures whatever profile 1 says (1..300)
  --pattern NAME         videotestsrc pattern of the picture (default ball; smpte has a noise
                         area that makes a high bit rate real)
  --aud yes|no           H.264 access unit delimiters, one 2-byte NAL unit before every
                         picture, as x264 writes them (default yes)
  --replay FILE          serve a recorded RTP stream instead of encoding: FILE.rtp as
                         tests/data/rtp keeps them (RFC 4571 framing) with FILE.json beside it;
                         its packets go to every playing client (UDP only), paced by their
                         timestamps and looped, only sequence numbers and timestamps rewritten

Camera requests (HTTP GET, replies are name=value lines ended by CR LF):
  /common/info.cgi  /config/stream_info.cgi  /config/rs485.cgi
  /config/video.cgi?profileid=1|2[&resolution=WxH&codec=H264|MPEG4|MJPEG&bitrate=KBPS&framerate=N
      &goplength=N&format=RTP&port=N&quality=1..5&vbr=N&multicast=on|off&multicast_addr=A&multicast_port=N]
  /config/io.cgi  /config/io.cgi?outN=on|off
  /config/ptz_move_cont.cgi?p=N&t=N&z=N  /config/focus_cont.cgi?f=N
  /config/ptz_preset.cgi?name=1..255&act=add|go|del   (go/del of an unknown preset: 404)
  A refused value answers 400, an unknown profile 404, unknown paths 404.

Simulator controls (HTTP GET, never authenticated, plain-text name=value replies):
  /sim/log      connections=N (TCP connections that carried camera requests), accepted=N (all TCP
                connections), then request=METHOD TARGET VERSION per camera request, in order;
                logins_accepted=N and logins_refused=N (HTTP and RTSP requests with credentials,
                refused or locked out), logins_SCHEME=N (basic, digest_md5, digest_md5_sess,
                digest_sha256, digest_sha256_sess, other) and logins_PROTOCOL=N (http, https, rtsp,
                rtsps) for every request with credentials, credentials_before_challenge=N (from a
                client address never answered 401) and credentials_unchallenged_connection=N (on a
                connection not yet answered 401), then login=refused|locked|stale PROTOCOL METHOD
                TARGET per login not granted and lockout=S when the account locks
  /sim/clear    empties the log and zeroes both counters
  /sim/input?n=N&state=on|off        sets digital input N (1-based)
  /sim/fault?kind=K&count=N&value=V  the next N camera requests (default 1) fail as K says:
                status (answer status V, default 500), empty (200 with an empty body),
                close (drop the connection without an answer), stall (answer only after V ms),
                none (clear the fault)
  /sim/sessions?act=drop  forgets every RTSP session, as a restarted camera: requests that name
                one get 454 Session Not Found; answers dropped=N
  /sim/rtsp?act=close  closes every RTSP connection at once (its sessions end, the HTTP side
                stays): a camera whose streaming service restarts; replies closed=N
  /sim/state    profiles (profile1.KEY=...), inN, outN, presets, preset, pan, tilt, zoom, focus,
                frames_sent (pictures sent since start by all streams together; every client of
                the shared stream receives each), fault; with --replay also datagrams_sent (to all
                clients together) and replay_clients; rtp_udp_sent and rtp_udp_dropped (RTP
                datagrams given to UDP and dropped by --udp-loss or --udp-blocked),
                rtp_udp_reordered and rtp_udp_duplicated (swapped by --reorder, sent twice by
                --duplicate)
)";

struct Args {
  camsim::CameraConfig Config;
  std::string Replay;  // capture file; empty: encode a test picture
  bool Https = false;
  uint16_t HttpsPort = 0;
  bool Rtsps = false;
  bool RtspsOwnKey = false;
  uint16_t RtspsPort = kDefaultRtspsPort;
  bool Http = true;
  bool Redirect = false;
  std::string CertFile, KeyFile;          // the TLS pair to serve; empty: make one
  std::string SaveCertFile, SaveKeyFile;  // where to write the pair in use
};

// An option whose value may be left out: the next argument is its value only when it is not a flag.
bool OptionalValue(int argc, char** argv, int& i, bool hasValue, std::string& value) {
  if (hasValue) return true;
  if (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0) return false;
  value = argv[++i];
  return true;
}

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "camsim: %s (see --help)\n", message.c_str());
  std::exit(kUsageError);
}

long long Number(const std::string& name, const std::string& value, long long low, long long high) {
  long long n = 0;
  if (!camsim::ParseBounded(value, low, high, n)) Fail("bad value for " + name + ": '" + value + "'");
  return n;
}

double Percent(const std::string& name, const std::string& value) {
  char* end = nullptr;
  const double percent = std::strtod(value.c_str(), &end);
  if (value.empty() || end == nullptr || *end != '\0' || !(percent >= 0 && percent <= 100))
    Fail(name + " takes a percentage from 0 to 100");
  return percent;
}

bool YesNo(const std::string& name, const std::string& value) {
  if (value != "yes" && value != "no") Fail(name + " takes yes or no");
  return value == "yes";
}

Args ParseArgs(int argc, char** argv) {
  Args args;
  camsim::CameraConfig& c = args.Config;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool hasValue = false;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    if (name == "--help") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    }
    if (name == "--version") {
      std::printf("camsim %s\n", QUENLARK_VERSION);
      std::exit(0);
    }
    if (name == "--no-rtsp") {
      c.Rtsp = false;
      continue;
    }
    if (name == "--udp-blocked") {
      c.UdpBlocked = true;
      continue;
    }
    if (name == "--http-redirect-to-https") {
      args.Redirect = true;
      continue;
    }
    if (name == "--https") {
      args.Https = true;
      if (OptionalValue(argc, argv, i, hasValue, value))
        args.HttpsPort = static_cast<uint16_t>(Number(name, value, 0, 65535));
      continue;
    }
    if (name == "--rtsps-own-key") {
      args.RtspsOwnKey = true;
      continue;
    }
    if (name == "--rtsps") {
      args.Rtsps = true;
      if (OptionalValue(argc, argv, i, hasValue, value))
        args.RtspsPort = static_cast<uint16_t>(Number(name, value, 0, 65535));
      continue;
    }
    if (!hasValue) {
      if (i + 1 >= argc) Fail("missing value for " + name);
      value = argv[++i];
    }
    if (name == "--bind")
      c.Bind = value;
    else if (name == "--session-timeout")
      c.SessionTimeout = static_cast<int>(Number(name, value, 0, 3600));
    else if (name == "--force-bitrate")
      c.ForceBitrate = static_cast<int>(Number(name, value, 16, 50000));
    else if (name == "--udp-loss")
      c.UdpLossPercent = Percent(name, value);
    else if (name == "--reorder")
      c.UdpReorderPercent = Percent(name, value);
    else if (name == "--duplicate")
      c.UdpDuplicatePercent = Percent(name, value);
    else if (name == "--seed")
      c.Seed = static_cast<unsigned>(Number(name, value, 0, 4294967295LL));
    else if (name == "--tcp") {
      if (value != "yes" && value != "no" && value != "only") Fail("--tcp takes yes, no or only");
      c.Tcp = value != "no";
      c.TcpOnly = value == "only";
    } else if (name == "--aud")
      c.Aud = YesNo(name, value);
    else if (name == "--replay")
      args.Replay = value;
    else if (name == "--cert")
      args.CertFile = value;
    else if (name == "--key")
      args.KeyFile = value;
    else if (name == "--save-cert")
      args.SaveCertFile = value;
    else if (name == "--save-key")
      args.SaveKeyFile = value;
    else if (name == "--http") {
      if (value != "on" && value != "off") Fail("--http takes on or off");
      args.Http = value == "on";
    } else if (name == "--force-gop")
      c.ForceGop = static_cast<int>(Number(name, value, 1, 300));
    else if (name == "--pattern") {
      // Goes into a launch description: a plain name only.
      if (value.empty() ||
          value.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos)
        Fail("--pattern takes a videotestsrc pattern name such as ball or smpte");
      c.Pattern = value;
    } else if (name == "--http-port")
      c.HttpPort = static_cast<uint16_t>(Number(name, value, 0, 65535));
    else if (name == "--rtsp-port")
      c.RtspPort = static_cast<uint16_t>(Number(name, value, 0, 65535));
    else if (name == "--auth") {
      if (value != "none" && value != "basic" && value != "digest")
        Fail("--auth takes none, basic or digest");
      c.Auth = value;
    } else if (name == "--digest-qop")
      c.DigestQop = YesNo(name, value) ? 1 : 0;
    else if (name == "--digest-algorithm") {
      c.DigestAlgorithms.clear();
      for (size_t start = 0; start <= value.size();) {
        const size_t comma = std::min(value.find(',', start), value.size());
        const std::string algorithm = value.substr(start, comma - start);
        if (algorithm != "MD5" && algorithm != "MD5-sess" && algorithm != "SHA-256" &&
            algorithm != "SHA-256-sess")
          Fail("--digest-algorithm takes MD5, MD5-sess, SHA-256 or SHA-256-sess, comma-separated");
        c.DigestAlgorithms.push_back(algorithm);
        start = comma + 1;
      }
    } else if (name == "--nonce-lifetime")
      c.NonceLifetime = static_cast<int>(Number(name, value, 0, 86400));
    else if (name == "--lockout")
      c.Lockout = static_cast<int>(Number(name, value, 0, 1000));
    else if (name == "--lockout-seconds")
      c.LockoutSeconds = static_cast<int>(Number(name, value, 1, 86400));
    else if (name == "--lockout-window")
      c.LockoutWindowSeconds = static_cast<int>(Number(name, value, 0, 86400));
    else if (name == "--digest-uri-check")
      c.DigestUriCheck = YesNo(name, value);
    else if (name == "--user")
      c.User = value;
    else if (name == "--password")
      c.Password = value;
    else if (name == "--model")
      c.Model = value;
    else if (name == "--preset-store")
      c.PresetStore = value;
    else if (name == "--firmware")
      c.Firmware = value;
    else if (name == "--mac")
      c.Mac = value;
    else if (name == "--inputs")
      c.Inputs = static_cast<int>(Number(name, value, 0, 64));
    else if (name == "--outputs")
      c.Outputs = static_cast<int>(Number(name, value, 0, 64));
    else if (name == "--ptz")
      c.Ptz = YesNo(name, value);
    else if (name == "--audio")
      c.Audio = YesNo(name, value);
    else if (name == "--standard") {
      if (value != "pal" && value != "ntsc") Fail("--standard takes pal or ntsc");
      c.Ntsc = value == "ntsc";
    } else
      Fail("unknown option " + name);
  }
  if (args.CertFile.empty() != args.KeyFile.empty()) Fail("--cert and --key go together");
  if (args.SaveCertFile.empty() != args.SaveKeyFile.empty()) Fail("--save-cert and --save-key go together");
  const bool tls = args.Https || args.Rtsps;
  if (!tls && (!args.CertFile.empty() || !args.SaveCertFile.empty()))
    Fail("--cert, --key, --save-cert and --save-key need --https or --rtsps");
  if (args.RtspsOwnKey && !args.Rtsps) Fail("--rtsps-own-key needs --rtsps");
  if (args.Rtsps && (!c.Rtsp || !args.Replay.empty()))
    Fail("--rtsps serves the encoded stream: not with --no-rtsp or --replay");
  if (!args.Https && (!args.Http || args.Redirect))
    Fail("--http off and --http-redirect-to-https need --https");
  if (!args.Http && args.Redirect) Fail("--http off leaves nothing to redirect");
  return args;
}

gboolean OnSignal(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  Args args = ParseArgs(argc, argv);
  camsim::CameraConfig& config = args.Config;
  std::signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<camsim::TlsIdentity> identity;
  std::unique_ptr<camsim::TlsIdentity> videoIdentity;  // --rtsps-own-key
  if (args.Https || args.Rtsps) {
    std::string error;
    identity = args.CertFile.empty()
                   ? camsim::TlsIdentity::Generate(config.Bind == kAnyAddress ? "camsim" : config.Bind, error)
                   : camsim::TlsIdentity::Load(args.CertFile, args.KeyFile, error);
    if (identity && !args.SaveCertFile.empty()) identity->Save(args.SaveCertFile, args.SaveKeyFile, error);
    if (identity && args.RtspsOwnKey)
      videoIdentity =
          camsim::TlsIdentity::Generate(config.Bind == kAnyAddress ? "camsim" : config.Bind, error);
    if (!error.empty()) {
      std::fprintf(stderr, "camsim: %s\n", error.c_str());
      return 1;
    }
  }
  std::unique_ptr<camsim::ReplayServer> replay;
  if (!args.Replay.empty()) {
    if (!config.Rtsp) Fail("--replay needs RTSP");
    if (config.UdpBlocked || config.UdpLossPercent > 0 || config.UdpReorderPercent > 0 ||
        config.UdpDuplicatePercent > 0 || !config.Tcp || config.TcpOnly)
      Fail(
          "--udp-loss, --reorder, --duplicate, --udp-blocked and --tcp apply to the encoded stream, not "
          "to --replay");
    camsim::RtpCapture capture;
    std::string error;
    if (!capture.Load(args.Replay, error)) {
      std::fprintf(stderr, "camsim: %s\n", error.c_str());
      return 1;
    }
    replay = std::make_unique<camsim::ReplayServer>(config, std::move(capture));
  } else if (config.Rtsp) {
    gst_init(nullptr, nullptr);
  }

  // One account for HTTP and RTSP, as a camera has: a lock-out holds for both. The two sides differ
  // only in the challenge's form when --digest-qop is not given.
  camsim::AuthOptions authOptions;
  authOptions.Scheme = config.Auth;
  authOptions.Algorithms = config.DigestAlgorithms;
  authOptions.NonceLifetime = config.NonceLifetime;
  authOptions.Lockout = config.Lockout;
  authOptions.LockoutSeconds = config.LockoutSeconds;
  authOptions.LockoutWindowSeconds = config.LockoutWindowSeconds;
  authOptions.User = config.User;
  authOptions.Password = config.Password;
  camsim::AuthOptions httpOptions = authOptions;
  httpOptions.DigestQop = config.DigestQop != 0;
  camsim::AuthOptions rtspOptions = authOptions;
  rtspOptions.DigestQop = config.DigestQop == 1;
  rtspOptions.NameMd5 = false;
  camsim::HttpAuth httpAuth(httpOptions);
  camsim::HttpAuth rtspAuth(rtspOptions);
  rtspAuth.UseLedgerOf(httpAuth);

  // Profile 1 names the RTSP port, so RTSP is bound before the camera state is made.
  std::unique_ptr<camsim::RtspFront> rtsp;
  uint16_t rtspPort = config.RtspPort;
  int rtspsPort = 0;
  if (replay) {
    const int bound = replay->Start(config.Bind, config.RtspPort);
    if (bound <= 0) {
      std::fprintf(stderr, "camsim: cannot listen for RTSP on %s:%u\n", config.Bind.c_str(), config.RtspPort);
      return 1;
    }
    rtspPort = static_cast<uint16_t>(bound);
  } else if (config.Rtsp) {
    rtsp = std::make_unique<camsim::RtspFront>(config, rtspAuth);
    const int bound = rtsp->Start(config.Bind, config.RtspPort);
    if (bound <= 0) {
      std::fprintf(stderr, "camsim: cannot listen for RTSP on %s:%u\n", config.Bind.c_str(), config.RtspPort);
      return 1;
    }
    rtspPort = static_cast<uint16_t>(bound);
    if (args.Rtsps) {
      const int tlsBound =
          rtsp->StartTls(config.Bind, args.RtspsPort, (videoIdentity ? videoIdentity : identity)->Pem());
      if (tlsBound <= 0) {
        std::fprintf(stderr, "camsim: cannot listen for RTSP over TLS on %s:%u\n", config.Bind.c_str(),
                     args.RtspsPort);
        return 1;
      }
      rtspsPort = tlsBound;
    }
  } else if (rtspPort == 0) {
    rtspPort = kDefaultRtspPort;
  }
  camsim::CameraState state(config, rtspPort);
  if (rtsp) {
    rtsp->Remount(state);
    state.SetProfile1Listener([&rtsp, &state](const camsim::VideoProfile&) { rtsp->Remount(state); });
    state.SetFramesSentSource(camsim::FramesSent);
    state.SetExtraStateSource(camsim::UdpStateLines);
    state.SetRtspCloser([&rtsp] { return rtsp->CloseConnections(); });
  }
  if (replay) {
    state.SetFramesSentSource([&replay] { return replay->FramesSent(); });
    state.SetExtraStateSource([&replay] { return replay->StateLines(); });
  }

  camsim::HttpFront http(config, state, httpAuth);
  if (rtsp) http.DropRtspSessions = [&rtsp] { return rtsp->DropSessions(); };
  int httpPort = 0;
  if (args.Http) {
    httpPort = http.Bind(config.Bind, config.HttpPort);
    if (httpPort <= 0) {
      std::fprintf(stderr, "camsim: cannot listen for HTTP on %s:%u\n", config.Bind.c_str(), config.HttpPort);
      return 1;
    }
  }
  std::string readyTls;
  if (args.Https) {
    const int httpsPort = http.BindSecure(config.Bind, args.HttpsPort, *identity);
    if (httpsPort <= 0) {
      std::fprintf(stderr, "camsim: cannot listen for HTTPS on %s:%u\n", config.Bind.c_str(), args.HttpsPort);
      return 1;
    }
    if (args.Redirect) http.RedirectToHttps();
    readyTls += " https=" + std::to_string(httpsPort);
  }
  if (rtspsPort > 0) readyTls += " rtsps=" + std::to_string(rtspsPort);
  if (identity) readyTls += " key-sha256=" + identity->KeySha256();
  if (videoIdentity) readyTls += " rtsps-key-sha256=" + videoIdentity->KeySha256();
  http.Start();

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGINT, OnSignal, loop);
  g_unix_signal_add(SIGTERM, OnSignal, loop);
  std::printf("camsim ready http=%d rtsp=%u%s\n", httpPort, rtspPort, readyTls.c_str());
  std::fflush(stdout);
  g_main_loop_run(loop);

  http.Stop();
  state.SetProfile1Listener(nullptr);
  state.SetRtspCloser(nullptr);
  rtsp.reset();
  state.SetFramesSentSource(nullptr);
  state.SetExtraStateSource(nullptr);
  replay.reset();
  g_main_loop_unref(loop);
  return 0;
}
