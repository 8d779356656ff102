// Bytes as they arrive on an RTSP over TLS connection: the camera's records (cut where the input
// says) carry responses and "$" frames, and the connection's read path decrypts them as the socket
// hands them over. The ciphertext is split once at every byte, each time a fresh encryption of the
// same bytes in the same long-lived session: whatever the split, the connection must hand back
// exactly the bytes sent, and the framing must cut them into the same frames and responses.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/tls_key.h"
#include "transport/interleaved_reader.h"
#include "transport/tls_engine.h"
#include "transport/tls_rtsp_connection.h"

namespace {

constexpr size_t kMaxMessage = 4096;
constexpr size_t kMaxPayload = 512;  // each input is encrypted once per byte of its records
constexpr size_t kMinRecord = 16;

struct FrameList : korvalt::IInterleavedSink {
  void OnInterleavedFrame(uint8_t channel, const uint8_t* data, size_t length) override {
    Units.push_back(std::to_string(channel) + ":" + std::string(reinterpret_cast<const char*>(data), length));
  }
  void OnInterleavedEnded() override {}
  std::vector<std::string> Units;
};

void TakeUnits(korvalt::CRTSPConnectionBuffer& held, FrameList& sink) {
  for (;;) {
    std::string response;
    const auto taken = held.Take(&sink, response);
    if (taken == korvalt::CRTSPConnectionBuffer::Taken::kNeedMore) return;
    sink.Units.push_back(taken == korvalt::CRTSPConnectionBuffer::Taken::kResponse ? response : "too large");
  }
}

std::vector<std::string> Units(std::string_view bytes) {
  korvalt::CRTSPConnectionBuffer held(kMaxMessage);
  FrameList sink;
  held.Append(bytes.data(), bytes.size());
  TakeUnits(held, sink);
  return sink.Units;
}

void Drain(BIO* bio, std::string& out) {
  char chunk[4096];
  for (int n = 0; (n = BIO_read(bio, chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<size_t>(n));
}

// The camera's side, in memory, and the module's connection over one end of a socket pair.
struct Session {
  Session() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) __builtin_trap();
    Near = pair[0];
    Far = pair[1];
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("QL-3110"), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_sign(certificate, key, EVP_sha256());
    SSL_CTX_use_certificate(context, certificate);
    SSL_CTX_use_PrivateKey(context, key);
    SSL_CTX_set_num_tickets(context, 0);
    Camera = SSL_new(context);
    CameraIn = BIO_new(BIO_s_mem());
    CameraOut = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(CameraIn, -1);
    SSL_set_bio(Camera, CameraIn, CameraOut);
    SSL_set_accept_state(Camera);
    X509_free(certificate);
    EVP_PKEY_free(key);
    SSL_CTX_free(context);  // the session keeps what it needs

    // The handshake between the two engines in memory; the connection takes the module's after it.
    auto engine = korvalt::CTlsEngine::Create("127.0.0.1", Check);
    if (!engine) __builtin_trap();
    std::string toCamera;
    std::string toModule;
    bool moduleDone = false;
    for (int round = 0; round < 10 && !(moduleDone && SSL_is_init_finished(Camera)); ++round) {
      moduleDone = engine->Handshake(toModule, toCamera) == korvalt::CTlsEngine::Status::kOk;
      BIO_write(CameraIn, toCamera.data(), static_cast<int>(toCamera.size()));
      toCamera.clear();
      SSL_do_handshake(Camera);
      Drain(CameraOut, toModule);
    }
    if (!moduleDone || !SSL_is_init_finished(Camera)) __builtin_trap();
    Connection = std::make_unique<korvalt::CTlsRTSPConnection>(Near, std::move(engine));
  }

  // The camera's records for payload, record bytes of it at a time.
  std::string Encrypt(std::string_view payload, size_t record) {
    for (size_t at = 0; at < payload.size(); at += record) {
      const std::string_view piece = payload.substr(at, record);
      if (SSL_write(Camera, piece.data(), static_cast<int>(piece.size())) != static_cast<int>(piece.size()))
        __builtin_trap();
    }
    std::string out;
    Drain(CameraOut, out);
    return out;
  }

  void Put(std::string_view bytes) {
    if (bytes.empty()) return;
    if (write(Far, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) __builtin_trap();
  }

  // Everything the connection hands back now.
  void Read(std::string& plain) {
    char chunk[1024];
    for (;;) {
      short again = 0;
      const intptr_t n = Connection->Receive(chunk, sizeof chunk, again);
      if (n <= 0) {
        if (n == 0 || again == 0) __builtin_trap();  // nothing ended the session
        return;
      }
      plain.append(chunk, static_cast<size_t>(n));
    }
  }

  Web::TLS_KEY_CHECK Check;  // no login: any key
  int Near = -1;
  int Far = -1;
  SSL* Camera = nullptr;
  BIO* CameraIn = nullptr;
  BIO* CameraOut = nullptr;
  std::unique_ptr<korvalt::CTlsRTSPConnection> Connection;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static Session* session = new Session();  // one session for the whole run
  const size_t record = data[0] % 256 + kMinRecord;
  const std::string_view payload(reinterpret_cast<const char*>(data + 1), std::min(size - 1, kMaxPayload));
  const std::vector<std::string> expected = Units(payload);
  std::string records = session->Encrypt(payload, record);
  const size_t length = records.size();
  for (size_t split = 0; split <= length; ++split) {
    if (split > 0) records = session->Encrypt(payload, record);
    if (records.size() != length) __builtin_trap();
    korvalt::CRTSPConnectionBuffer held(kMaxMessage);
    FrameList sink;
    std::string plain;
    session->Put(std::string_view(records).substr(0, split));
    session->Read(plain);
    held.Append(plain.data(), plain.size());
    TakeUnits(held, sink);
    const size_t before = plain.size();
    session->Put(std::string_view(records).substr(split));
    session->Read(plain);
    held.Append(plain.data() + before, plain.size() - before);
    TakeUnits(held, sink);
    if (plain != payload || sink.Units != expected) __builtin_trap();
  }
  return 0;
}
