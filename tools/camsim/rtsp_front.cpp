#include "rtsp_front.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "http_auth.h"

namespace camsim {
namespace {

constexpr const char* kMount = "/rtpvideo1.sdp";
constexpr const char* kRole = "camera-user";
constexpr int kDynamicPayloadType = 96;
constexpr int kJpegPayloadType = 26;
// Motion JPEG quality steps 1..5 as encoder qualities.
constexpr int kJpegQualities[] = {20, 40, 60, 80, 95};

constexpr size_t kMaxPendingStamps = 64;
constexpr uint8_t kRtpMarkerBit = 0x80;  // in the second byte of the RTP header
constexpr guint kViewUpdateMs = 40;

// Static, not a member: payloader threads may still run while the server object goes away.
std::atomic<uint64_t> gFramesSent{0};
std::atomic<uint64_t> gUdpRtpSent{0};
std::atomic<uint64_t> gUdpRtpDropped{0};

// RTCP packet types are 200 to 204; our RTP payload types (96, 26) never give these second bytes.
constexpr uint8_t kFirstRtcpType = 200;
constexpr uint8_t kLastRtcpType = 204;
constexpr int kCloseWaitMs = 2000;

std::atomic<uint64_t> gUdpRtpReordered{0};
std::atomic<uint64_t> gUdpRtpDuplicated{0};

// What the network between camera and recorder does to UDP; shared by every UDP sink.
struct UdpFilter {
  double LossPercent = 0;
  double ReorderPercent = 0;
  double DuplicatePercent = 0;
  bool Blocked = false;
  std::mutex Lock;  // guards Random and every sink's Held
  std::mt19937 Random;
};

// One UDP sink's share: a datagram held back to go out after the next one.
struct UdpSinkState {
  UdpFilter* Filter = nullptr;
  GstBuffer* Held = nullptr;  // owned
};

void FreeSinkState(gpointer data) {
  auto* state = static_cast<UdpSinkState*>(data);
  if (state->Held != nullptr) gst_buffer_unref(state->Held);
  delete state;
}

bool Chance(UdpFilter& filter, double percent) {
  return percent > 0 && std::uniform_real_distribution<double>(0, 100)(filter.Random) < percent;
}

// Appends what goes out in place of buffer (borrowed), in order, each with a reference of its own.
void Impair(UdpSinkState& state, GstBuffer* buffer, std::vector<GstBuffer*>& out) {
  UdpFilter& filter = *state.Filter;
  uint8_t second = 0;
  const bool rtcp =
      gst_buffer_extract(buffer, 1, &second, 1) == 1 && second >= kFirstRtcpType && second <= kLastRtcpType;
  if (rtcp) {
    if (!filter.Blocked) out.push_back(gst_buffer_ref(buffer));
    return;
  }
  gUdpRtpSent.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(filter.Lock);
  if (filter.Blocked || Chance(filter, filter.LossPercent)) {
    gUdpRtpDropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (state.Held == nullptr && Chance(filter, filter.ReorderPercent)) {
    state.Held = gst_buffer_ref(buffer);  // goes out after the next one
    gUdpRtpReordered.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  out.push_back(gst_buffer_ref(buffer));
  if (Chance(filter, filter.DuplicatePercent)) {
    out.push_back(gst_buffer_ref(buffer));
    gUdpRtpDuplicated.fetch_add(1, std::memory_order_relaxed);
  }
  if (state.Held != nullptr) {
    out.push_back(state.Held);
    state.Held = nullptr;
  }
}

// Set while a probe hands extra datagrams to its own sink, which runs the probe again.
thread_local bool tInjecting = false;

GstPadProbeReturn FilterUdp(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  if (tInjecting) return GST_PAD_PROBE_OK;
  auto* state = static_cast<UdpSinkState*>(data);
  std::vector<GstBuffer*> out;
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    Impair(*state, buffer, out);
    if (out.empty()) return GST_PAD_PROBE_DROP;
    // All but the last go out now, the last as this push.
    tInjecting = true;
    for (size_t i = 0; i + 1 < out.size(); ++i) gst_pad_chain(pad, out[i]);
    tInjecting = false;
    gst_buffer_unref(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = out.back();
    return GST_PAD_PROBE_OK;
  }
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    for (guint i = 0; i < gst_buffer_list_length(list); ++i)
      Impair(*state, gst_buffer_list_get(list, i), out);
    if (out.empty()) return GST_PAD_PROBE_DROP;
    GstBufferList* sent = gst_buffer_list_new_sized(static_cast<guint>(out.size()));
    for (GstBuffer* buffer : out) gst_buffer_list_add(sent, buffer);
    gst_buffer_list_unref(list);
    GST_PAD_PROBE_INFO_DATA(info) = sent;
  }
  return GST_PAD_PROBE_OK;
}

// The server adds its UDP sinks to the media's pipeline when a client first asks for UDP.
void OnElementAdded(GstBin*, GstBin*, GstElement* element, gpointer filter) {
  GstElementFactory* factory = gst_element_get_factory(element);
  if (factory == nullptr || g_strcmp0(GST_OBJECT_NAME(factory), "multiudpsink") != 0) return;
  if (GstPad* sink = gst_element_get_static_pad(element, "sink")) {
    auto* state = new UdpSinkState;
    state->Filter = static_cast<UdpFilter*>(filter);
    gst_pad_add_probe(
        sink, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        FilterUdp, state, FreeSinkState);
    gst_object_unref(sink);
  }
}

void OnFilteredMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer filter) {
  GstElement* element = gst_rtsp_media_get_element(media);
  if (!element) return;
  if (GstObject* pipeline = gst_object_get_parent(GST_OBJECT(element))) {
    g_signal_connect(pipeline, "deep-element-added", G_CALLBACK(OnElementAdded), filter);
    gst_object_unref(pipeline);
  }
  gst_object_unref(element);
}

UdpFilter& SharedUdpFilter(const CameraConfig& config) {
  // Lives as long as the process: sinks of old media may still send.
  static UdpFilter* filter = [&config] {
    auto* made = new UdpFilter;
    made->LossPercent = config.UdpLossPercent;
    made->ReorderPercent = config.UdpReorderPercent;
    made->DuplicatePercent = config.UdpDuplicatePercent;
    made->Blocked = config.UdpBlocked;
    made->Random.seed(config.Seed);
    return made;
  }();
  return *filter;
}

GstRTSPFilterResult CloseClient(GstRTSPServer*, GstRTSPClient*, gpointer count) {
  ++*static_cast<int*>(count);
  return GST_RTSP_FILTER_REMOVE;
}

bool HasMarker(GstBuffer* buffer) {
  uint8_t second = 0;
  return gst_buffer_extract(buffer, 1, &second, 1) == 1 && (second & kRtpMarkerBit) != 0;
}

GstPadProbeReturn CountFramesSent(GstPad*, GstPadProbeInfo* info, gpointer) {
  uint64_t frames = 0;
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    frames = HasMarker(GST_PAD_PROBE_INFO_BUFFER(info)) ? 1 : 0;
  } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    for (guint i = 0; i < gst_buffer_list_length(list); ++i)
      if (HasMarker(gst_buffer_list_get(list, i))) ++frames;
  }
  gFramesSent.fetch_add(frames, std::memory_order_relaxed);
  return GST_PAD_PROBE_OK;
}

// avenc_mpeg4 of this GStreamer/FFmpeg pairing stamps every output buffer with a garbage time, which
// stalls the sending sink. Without B-frames output order is input order, so the input times are put back.
struct Restamper {
  std::mutex Lock;  // guards Pending; the encoder may push from its own thread
  std::deque<std::pair<GstClockTime, GstClockTime>> Pending;  // (time, duration) of frames sent in
};

GstPadProbeReturn RememberInputTime(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* restamper = static_cast<Restamper*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  std::lock_guard<std::mutex> lock(restamper->Lock);
  if (restamper->Pending.size() >= kMaxPendingStamps) restamper->Pending.pop_front();
  restamper->Pending.emplace_back(GST_BUFFER_PTS(buffer), GST_BUFFER_DURATION(buffer));
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn RestoreOutputTime(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* restamper = static_cast<Restamper*>(data);
  std::pair<GstClockTime, GstClockTime> stamp;
  {
    std::lock_guard<std::mutex> lock(restamper->Lock);
    if (restamper->Pending.empty()) return GST_PAD_PROBE_OK;
    stamp = restamper->Pending.front();
    restamper->Pending.pop_front();
  }
  GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_BUFFER_PTS(buffer) = stamp.first;
  GST_BUFFER_DTS(buffer) = stamp.first;
  GST_BUFFER_DURATION(buffer) = stamp.second;
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

// A live camera cannot seek. The test source can, so GStreamer's RTSP server would answer every PLAY
// with "Range: npt=0.000-" by a flushing seek of the shared pipeline: each client's PLAY restarted the
// stream under the others, and a PLAY whose flush outran the next picture found a stream without its
// segment and aborted the server (gst_rtsp_media_get_rates). Refusing the seeking query on the
// payloader's output makes the media unseekable, so a PLAY never flushes it.
GstPadProbeReturn RefuseSeeking(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
  if (GST_QUERY_TYPE(query) != GST_QUERY_SEEKING) return GST_PAD_PROBE_OK;
  GstFormat format = GST_FORMAT_TIME;
  gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
  gst_query_set_seeking(query, format, FALSE, 0, -1);
  return GST_PAD_PROBE_HANDLED;
}

void OnMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer) {
  GstElement* pipeline = gst_rtsp_media_get_element(media);
  if (!pipeline) return;
  if (GstElement* payloader = gst_bin_get_by_name(GST_BIN(pipeline), "pay0")) {
    GstPad* src = gst_element_get_static_pad(payloader, "src");
    gst_pad_add_probe(
        src, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        CountFramesSent, nullptr, nullptr);
    gst_pad_add_probe(
        src, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
        RefuseSeeking, nullptr, nullptr);
    gst_object_unref(src);
    gst_object_unref(payloader);
  }
  if (GstElement* encoder = gst_bin_get_by_name(GST_BIN(pipeline), "restamp")) {
    auto* restamper = new Restamper;
    g_object_set_data_full(G_OBJECT(encoder), "camsim-restamper", restamper,
                           [](gpointer p) { delete static_cast<Restamper*>(p); });
    GstPad* sink = gst_element_get_static_pad(encoder, "sink");
    GstPad* src = gst_element_get_static_pad(encoder, "src");
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, RememberInputTime, restamper, nullptr);
    gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, RestoreOutputTime, restamper, nullptr);
    gst_object_unref(sink);
    gst_object_unref(src);
    gst_object_unref(encoder);
  }
  gst_object_unref(pipeline);
}

}  // namespace

uint64_t FramesSent() {
  return gFramesSent.load(std::memory_order_relaxed);
}

std::string UdpStateLines() {
  return "rtp_udp_sent=" + std::to_string(gUdpRtpSent.load()) +
         "\r\nrtp_udp_dropped=" + std::to_string(gUdpRtpDropped.load()) +
         "\r\nrtp_udp_reordered=" + std::to_string(gUdpRtpReordered.load()) +
         "\r\nrtp_udp_duplicated=" + std::to_string(gUdpRtpDuplicated.load()) + "\r\n";
}

int RtspFront::CloseConnections() {
  struct Job {
    GstRTSPServer* Servers[2];
    std::promise<int> Done;
  };
  auto job = std::make_shared<Job>();
  job->Servers[0] = Server;
  job->Servers[1] = TlsServer;
  std::future<int> done = job->Done.get_future();
  auto* held = new std::shared_ptr<Job>(job);
  // Clients belong to the main loop; closing them there keeps the server's own order.
  g_main_context_invoke(
      nullptr,
      [](gpointer data) -> gboolean {
        auto* job = static_cast<std::shared_ptr<Job>*>(data);
        int count = 0;
        for (GstRTSPServer* server : (*job)->Servers) {
          if (server == nullptr) continue;
          GList* kept = gst_rtsp_server_client_filter(server, CloseClient, &count);
          g_list_free_full(kept, g_object_unref);
        }
        (*job)->Done.set_value(count);
        delete job;
        return G_SOURCE_REMOVE;
      },
      held);
  if (done.wait_for(std::chrono::milliseconds(kCloseWaitMs)) != std::future_status::ready) return -1;
  return done.get();
}

VideoProfile EncoderProfile(VideoProfile profile, const CameraConfig& config) {
  if (config.ForceBitrate > 0) profile.Bitrate = config.ForceBitrate;
  if (config.ForceGop > 0) profile.GopLength = config.ForceGop;
  return profile;
}

std::string LaunchDescription(const VideoProfile& p, const std::string& pattern, bool aud, bool ptzView) {
  const std::string size = "width=" + std::to_string(p.Width) + ",height=" + std::to_string(p.Height);
  const std::string rate = ",framerate=" + std::to_string(p.Framerate) + "/1";
  std::string source;
  if (ptzView) {
    const ViewCrop crop = CropFor(PtzView::Position{}, p.Width, p.Height);
    // The ball crosses a black canvas: most views of it, the home position's included, would be
    // black. Colour bars give every view something to recognise.
    const std::string canvas = pattern == "ball" ? "smpte" : pattern;
    source = "videotestsrc is-live=true pattern=" + canvas +
             " ! video/x-raw,width=" + std::to_string(2 * p.Width) +
             ",height=" + std::to_string(2 * p.Height) + rate +
             " ! videocrop name=ptzview left=" + std::to_string(crop.Left) +
             " right=" + std::to_string(crop.Right) + " top=" + std::to_string(crop.Top) +
             " bottom=" + std::to_string(crop.Bottom) + " ! videoscale add-borders=false ! video/x-raw," +
             size + " ! videoconvert ! video/x-raw,format=I420 ! ";
  } else {
    source = "videotestsrc is-live=true pattern=" + pattern + " ! video/x-raw," + size + rate +
             " ! videoconvert ! video/x-raw,format=I420 ! ";
  }
  std::string encoder;
  if (p.Codec == "MJPEG") {
    const int quality = kJpegQualities[std::clamp(p.Quality, 1, 5) - 1];
    encoder = "jpegenc quality=" + std::to_string(quality) +
              " ! rtpjpegpay name=pay0 pt=" + std::to_string(kJpegPayloadType);
  } else if (p.Codec == "MPEG4") {
    // No B-frames: Simple Profile. Configuration in band before every key frame; max-ptime keeps the
    // payloader from packing several frames into one packet (cameras send one frame per marker).
    encoder = "avenc_mpeg4 name=restamp bitrate=" + std::to_string(p.Bitrate * 1000) +
              " gop-size=" + std::to_string(p.GopLength) +
              " max-bframes=0 ! rtpmp4vpay name=pay0 config-interval=-1 max-ptime=1 pt=" +
              std::to_string(kDynamicPayloadType);
  } else {
    encoder = "x264enc tune=zerolatency speed-preset=ultrafast bitrate=" + std::to_string(p.Bitrate) +
              " key-int-max=" + std::to_string(p.GopLength) + (aud ? "" : " aud=false") +
              " ! video/x-h264,profile=baseline ! rtph264pay name=pay0 config-interval=-1 pt=" +
              std::to_string(kDynamicPayloadType);
  }
  return "( " + source + encoder + " )";
}

namespace {

// The RTSP side's account check in place of GStreamer's: the camera's algorithms, qop, nonce
// lifetime and lock-out, shared with HTTP. One RTSP server per process, so one hook.
struct AuthHook {
  HttpAuth* Auth = nullptr;
  GstRTSPAuth* TlsAuth = nullptr;  // the RTSP-over-TLS server's: its requests log as "rtsps"
  GstRTSPToken* Token = nullptr;
  bool UriCheck = false;
  gboolean (*ParentCheck)(GstRTSPAuth*, GstRTSPContext*, const gchar*) = nullptr;
};
AuthHook gAuthHook;

void SendStatus(GstRTSPContext* ctx, GstRTSPStatusCode code, const std::vector<std::string>& challenges) {
  gst_rtsp_message_init_response(ctx->response, code, gst_rtsp_status_as_text(code), ctx->request);
  for (const std::string& challenge : challenges)
    gst_rtsp_message_add_header(ctx->response, GST_RTSP_HDR_WWW_AUTHENTICATE, challenge.c_str());
  gst_rtsp_client_send_message(ctx->client, ctx->session, ctx->response);
}

// The client's address, and its address and port as the name of its connection.
void PeerOf(GstRTSPClient* client, std::string& address, std::string& connection) {
  GstRTSPConnection* link = client != nullptr ? gst_rtsp_client_get_connection(client) : nullptr;
  if (link == nullptr) return;
  const gchar* ip = gst_rtsp_connection_get_ip(link);
  address = ip != nullptr ? ip : "";
  connection = "rtsp#" + address;  // the RTSP and RTSP-over-TLS servers listen on different ports
  GSocket* socket = gst_rtsp_connection_get_read_socket(link);
  GSocketAddress* peer = socket != nullptr ? g_socket_get_remote_address(socket, nullptr) : nullptr;
  if (peer != nullptr && G_IS_INET_SOCKET_ADDRESS(peer))
    connection += ":" + std::to_string(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(peer)));
  if (peer != nullptr) g_object_unref(peer);
}

gboolean CheckRequest(GstRTSPAuth* auth, GstRTSPContext* ctx, const gchar* check) {
  GstRTSPMethod method = GST_RTSP_INVALID;
  const gchar* uri = nullptr;
  GstRTSPVersion version = GST_RTSP_VERSION_INVALID;
  if (!g_str_equal(check, GST_RTSP_AUTH_CHECK_URL) || ctx->request == nullptr || ctx->response == nullptr ||
      gst_rtsp_message_parse_request(ctx->request, &method, &uri, &version) != GST_RTSP_OK) {
    return gAuthHook.ParentCheck(auth, ctx, check);
  }
  gchar* authorization = nullptr;
  gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_AUTHORIZATION, &authorization, 0);
  const std::string header = authorization != nullptr ? authorization : "";
  const std::string methodName = gst_rtsp_method_as_text(method);
  const char* protocol = auth == gAuthHook.TlsAuth ? "rtsps" : "rtsp";
  const std::string requestUri = uri != nullptr ? uri : "";
  std::string target = requestUri;
  const size_t at = header.find("uri=\"");
  if (at != std::string::npos) {
    const std::string named = header.substr(at + 5, header.find('"', at + 5) - at - 5);
    if (gAuthHook.UriCheck && named != requestUri) {
      // As some cameras: a Digest answer for another URI than the request's is a bad request.
      gAuthHook.Auth->NoteRefused(protocol, methodName + " " + requestUri + " uri=" + named);
      SendStatus(ctx, GST_RTSP_STS_BAD_REQUEST, {});
      return FALSE;
    }
    // As GStreamer's server does, the answer counts for the uri it names.
    target = named;
  }
  std::string client, connection;
  PeerOf(ctx->client, client, connection);
  const HttpAuth::Verdict verdict =
      gAuthHook.Auth->Login(protocol, methodName, target, header, client, connection);
  if (verdict == HttpAuth::Verdict::kGranted) {
    ctx->token = gAuthHook.Token;
    return TRUE;
  }
  SendStatus(ctx, GST_RTSP_STS_UNAUTHORIZED,
             gAuthHook.Auth->Challenges(verdict == HttpAuth::Verdict::kStale));
  return FALSE;
}

void InitAuthClass(gpointer klass, gpointer) {
  auto* authClass = static_cast<GstRTSPAuthClass*>(klass);
  gAuthHook.ParentCheck = authClass->check;
  authClass->check = CheckRequest;
}

GType CamsimAuthType() {
  static const GType type =
      g_type_register_static_simple(GST_TYPE_RTSP_AUTH, "CamsimRtspAuth", sizeof(GstRTSPAuthClass),
                                    InitAuthClass, sizeof(GstRTSPAuth), nullptr, static_cast<GTypeFlags>(0));
  return type;
}

void OnNewSession(GstRTSPClient*, GstRTSPSession* session, gpointer timeout) {
  gst_rtsp_session_set_timeout(session, static_cast<guint>(GPOINTER_TO_INT(timeout)));
}

void OnClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer timeout) {
  g_signal_connect(client, "new-session", G_CALLBACK(OnNewSession), timeout);
}

}  // namespace

RtspFront::RtspFront(const CameraConfig& config, HttpAuth& auth) : Config(config), Account(auth) {}

RtspFront::~RtspFront() {
  if (ViewTimer != 0) g_source_remove(ViewTimer);
  {
    std::lock_guard<std::mutex> lock(ViewLock);
    for (View* view : Views) {
      g_weak_ref_clear(&view->Element);
      delete view;
    }
    Views.clear();
  }
  if (SourceId != 0) g_source_remove(SourceId);
  if (TlsSourceId != 0) g_source_remove(TlsSourceId);
  if (Mounts) g_object_unref(Mounts);
  if (Auth) g_object_unref(Auth);
  if (TlsAuth) g_object_unref(TlsAuth);
  if (TlsServer) g_object_unref(TlsServer);
  if (Token) gst_rtsp_token_unref(Token);
  if (Server) g_object_unref(Server);
}

int RtspFront::Start(const std::string& address, uint16_t port) {
  Server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(Server, address.c_str());
  gst_rtsp_server_set_service(Server, std::to_string(port).c_str());
  Mounts = gst_rtsp_server_get_mount_points(Server);

  if (Config.Auth != "none") {
    Auth = NewAuth();
    gst_rtsp_server_set_auth(Server, Auth);
  }

  if (Config.SessionTimeout > 0) {
    g_signal_connect(Server, "client-connected", G_CALLBACK(OnClientConnected),
                     GINT_TO_POINTER(Config.SessionTimeout));
  }
  SourceId = gst_rtsp_server_attach(Server, nullptr);
  if (SourceId == 0) return -1;
  return gst_rtsp_server_get_bound_port(Server);
}

GstRTSPAuth* RtspFront::NewAuth() {
  auto* auth = static_cast<GstRTSPAuth*>(g_object_new(CamsimAuthType(), nullptr));
  gst_rtsp_auth_set_realm(auth, HttpAuth::kRealm);
  if (Token == nullptr)
    Token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
  gAuthHook.Auth = &Account;
  gAuthHook.Token = Token;
  gAuthHook.UriCheck = Config.DigestUriCheck;
  return auth;
}

int RtspFront::StartTls(const std::string& address, uint16_t port, const std::string& pem) {
  GError* error = nullptr;
  GTlsCertificate* certificate = g_tls_certificate_new_from_pem(pem.c_str(), -1, &error);
  if (certificate == nullptr) {
    std::fprintf(stderr, "camsim: RTSP over TLS: %s\n", error != nullptr ? error->message : "no certificate");
    g_clear_error(&error);
    return -1;
  }
  TlsServer = gst_rtsp_server_new();
  gst_rtsp_server_set_address(TlsServer, address.c_str());
  gst_rtsp_server_set_service(TlsServer, std::to_string(port).c_str());
  // One camera: the same stream, and sessions either port can name.
  gst_rtsp_server_set_mount_points(TlsServer, Mounts);
  GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(Server);
  gst_rtsp_server_set_session_pool(TlsServer, pool);
  g_object_unref(pool);
  // The certificate goes with the auth object: it configures every accepted connection for TLS. The
  // account check runs even without --auth, so that every request gets the role the stream needs.
  TlsAuth = NewAuth();
  gst_rtsp_auth_set_tls_certificate(TlsAuth, certificate);
  g_object_unref(certificate);
  gAuthHook.TlsAuth = TlsAuth;
  gst_rtsp_server_set_auth(TlsServer, TlsAuth);
  if (Config.SessionTimeout > 0) {
    g_signal_connect(TlsServer, "client-connected", G_CALLBACK(OnClientConnected),
                     GINT_TO_POINTER(Config.SessionTimeout));
  }
  TlsSourceId = gst_rtsp_server_attach(TlsServer, nullptr);
  if (TlsSourceId == 0) return -1;
  return gst_rtsp_server_get_bound_port(TlsServer);
}

int RtspFront::DropSessions() {
  if (Server == nullptr) return 0;
  GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(Server);
  if (pool == nullptr) return 0;
  const int count = static_cast<int>(gst_rtsp_session_pool_get_n_sessions(pool));
  GList* removed = gst_rtsp_session_pool_filter(
      pool, [](GstRTSPSessionPool*, GstRTSPSession*, gpointer) { return GST_RTSP_FILTER_REMOVE; }, nullptr);
  g_list_free_full(removed, g_object_unref);
  g_object_unref(pool);
  return count;
}

void RtspFront::Remount(const CameraState& state) {
  std::lock_guard<std::mutex> lock(RemountLock);
  const VideoProfile profile = EncoderProfile(state.Profile1(), Config);
  const std::string launch = LaunchDescription(profile, Config.Pattern, Config.Aud, Config.Ptz);
  // A profile request that changes nothing keeps the mounted stream: its clients go on sharing one
  // encoder with the next.
  if (launch == MountedLaunch) return;
  MountedLaunch = launch;
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, launch.c_str());
  // All clients of one profile share one encoder; a new factory per profile keeps old sessions intact.
  gst_rtsp_media_factory_set_shared(factory, TRUE);
  g_signal_connect(factory, "media-configure", G_CALLBACK(OnMediaConfigure), nullptr);
  if (!Config.Tcp) {
    gst_rtsp_media_factory_set_protocols(
        factory, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_UDP_MCAST));
  } else if (Config.TcpOnly) {
    gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
  }
  if (Config.UdpBlocked || Config.UdpLossPercent > 0 || Config.UdpReorderPercent > 0 ||
      Config.UdpDuplicatePercent > 0) {
    g_signal_connect(factory, "media-configure", G_CALLBACK(OnFilteredMediaConfigure),
                     &SharedUdpFilter(Config));
  }
  if (Config.Ptz) {
    g_object_set_data(G_OBJECT(factory), "camsim-width", GINT_TO_POINTER(profile.Width));
    g_object_set_data(G_OBJECT(factory), "camsim-height", GINT_TO_POINTER(profile.Height));
    g_signal_connect(factory, "media-configure", G_CALLBACK(OnPtzMediaConfigure), this);
    if (State == nullptr) {
      State = &state;
      ViewTimer = g_timeout_add(kViewUpdateMs, UpdateViews, this);
    }
  }
  if (Token) {
    gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                    GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
  }
  gst_rtsp_mount_points_add_factory(Mounts, kMount, factory);  // takes the factory
}

void RtspFront::OnPtzMediaConfigure(GstRTSPMediaFactory* factory, GstRTSPMedia* media, gpointer self) {
  auto* front = static_cast<RtspFront*>(self);
  GstElement* pipeline = gst_rtsp_media_get_element(media);
  if (!pipeline) return;
  if (GstElement* crop = gst_bin_get_by_name(GST_BIN(pipeline), "ptzview")) {
    auto* view = new View;
    g_weak_ref_init(&view->Element, crop);
    // The size the factory was made for; profile 1 may have changed since.
    view->Width = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(factory), "camsim-width"));
    view->Height = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(factory), "camsim-height"));
    // A new session starts where the camera looks now, not at the launch line's centre.
    const ViewCrop now = CropFor(front->State->View().At(), view->Width, view->Height);
    g_object_set(crop, "left", now.Left, "right", now.Right, "top", now.Top, "bottom", now.Bottom, nullptr);
    std::lock_guard<std::mutex> lock(front->ViewLock);
    front->Views.push_back(view);
    gst_object_unref(crop);
  }
  gst_object_unref(pipeline);
}

gboolean RtspFront::UpdateViews(gpointer self) {
  auto* front = static_cast<RtspFront*>(self);
  const PtzView::Position position = front->State->View().At();
  std::lock_guard<std::mutex> lock(front->ViewLock);
  for (auto it = front->Views.begin(); it != front->Views.end();) {
    View* view = *it;
    auto* element = static_cast<GstElement*>(g_weak_ref_get(&view->Element));
    if (element == nullptr) {
      g_weak_ref_clear(&view->Element);
      delete view;
      it = front->Views.erase(it);
      continue;
    }
    const ViewCrop crop = CropFor(position, view->Width, view->Height);
    int left = 0, right = 0, top = 0, bottom = 0;
    g_object_get(element, "left", &left, "right", &right, "top", &top, "bottom", &bottom, nullptr);
    if (ViewCrop{left, right, top, bottom} != crop) {
      g_object_set(element, "left", crop.Left, "right", crop.Right, "top", crop.Top, "bottom", crop.Bottom,
                   nullptr);
    }
    gst_object_unref(element);
    ++it;
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace camsim
