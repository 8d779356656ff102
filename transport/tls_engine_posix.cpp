// The TLS engine on OpenSSL: the session reads from and writes to memory BIOs, never a socket.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>

#include "transport/tls_engine.h"

namespace korvalt {
namespace {

constexpr size_t kChunk = 16 * 1024;

bool IsAddressLiteral(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.' || c == ':';
  });
}

class COpenSslEngine final : public CTlsEngine {
 public:
  ~COpenSslEngine() override {
    SSL_free(Session);  // frees both BIOs
    SSL_CTX_free(Context);
  }

  bool Init(const std::string& serverName, Web::TLS_KEY_CHECK& check) {
    Context = SSL_CTX_new(TLS_client_method());
    if (Context == nullptr) return false;
    SSL_CTX_set_min_proto_version(Context, TLS1_2_VERSION);
    // The same judgement of the camera's key as the CGI's, inside the handshake.
    Web::InstallKeyCheck(Context, check);
    Session = SSL_new(Context);
    if (Session == nullptr) return false;
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (in == nullptr || out == nullptr) {
      BIO_free(in);
      BIO_free(out);
      return false;
    }
    // An empty memory BIO reports "retry", not end of file.
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(Session, in, out);
    In = in;
    Out = out;
    SSL_set_connect_state(Session);
    // A name is sent for the camera's server to pick its certificate by; an address is not.
    if (!IsAddressLiteral(serverName)) SSL_set_tlsext_host_name(Session, serverName.c_str());
    return true;
  }

  Status Handshake(std::string& in, std::string& out) override {
    if (!Feed(in)) return Fail(out);
    const int result = SSL_do_handshake(Session);
    Drain(out);
    if (result == 1) return Status::kOk;
    return SSL_get_error(Session, result) == SSL_ERROR_WANT_READ ? Status::kNeedMore : Fail(out);
  }

  bool Encrypt(std::span<const uint8_t> data, std::string& out) override {
    while (!data.empty()) {
      const int size = static_cast<int>(std::min(data.size(), kChunk));
      const int written = SSL_write(Session, data.data(), size);
      if (written <= 0) {
        ERR_clear_error();
        return false;
      }
      data = data.subspan(static_cast<size_t>(written));
    }
    Drain(out);
    return true;
  }

  Status Decrypt(std::string& in, std::string& plain, std::string& out) override {
    if (!Feed(in)) return Fail(out);
    bool produced = false;
    char chunk[kChunk];
    for (;;) {
      const int n = SSL_read(Session, chunk, sizeof chunk);
      if (n > 0) {
        plain.append(chunk, static_cast<size_t>(n));
        produced = true;
        continue;
      }
      const int error = SSL_get_error(Session, n);
      Drain(out);
      if (error == SSL_ERROR_WANT_READ) return produced ? Status::kOk : Status::kNeedMore;
      if (error == SSL_ERROR_ZERO_RETURN) return Status::kClosed;
      return Fail(out);
    }
  }

 private:
  bool Feed(std::string& in) {
    if (in.empty()) return true;
    const int written = BIO_write(In, in.data(), static_cast<int>(in.size()));
    if (written != static_cast<int>(in.size())) return false;
    in.clear();
    return true;
  }

  void Drain(std::string& out) {
    char chunk[kChunk];
    for (;;) {
      const int n = BIO_read(Out, chunk, sizeof chunk);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
  }

  Status Fail(std::string& out) {
    // The error queue is per thread: what this session left there must not reach another caller.
    ERR_clear_error();
    Drain(out);  // the alert that tells the camera why
    return Status::kFailed;
  }

  SSL_CTX* Context = nullptr;
  SSL* Session = nullptr;
  BIO* In = nullptr;   // owned by Session
  BIO* Out = nullptr;  // owned by Session
};

}  // namespace

std::unique_ptr<CTlsEngine> CTlsEngine::Create(const std::string& serverName, Web::TLS_KEY_CHECK& check) {
  auto engine = std::make_unique<COpenSslEngine>();
  if (!engine->Init(serverName, check)) {
    ERR_clear_error();
    return nullptr;
  }
  return engine;
}

}  // namespace korvalt
