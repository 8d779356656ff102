#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "http/tls_key.h"

namespace Web {
namespace {

std::string FingerprintOf(X509* certificate) {
  unsigned char* der = nullptr;
  const int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
  if (size <= 0 || der == nullptr) return {};
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(der,
                                                                 [](unsigned char* p) { OPENSSL_free(p); });
  return korvalt::CCameraKey::Fingerprint(der, static_cast<size_t>(size));
}

int VerifyThroughKey(X509_STORE_CTX* store, void* user) {
  auto* check = static_cast<TLS_KEY_CHECK*>(user);
  return CheckPresentedKey(store, *check) ? 1 : 0;
}

}  // namespace

bool CheckPresentedKey(void* certificate, TLS_KEY_CHECK& check) {
  auto* store = static_cast<X509_STORE_CTX*>(certificate);
  X509* leaf = store ? X509_STORE_CTX_get0_cert(store) : nullptr;
  check.Checked = true;
  check.Presented = leaf ? FingerprintOf(leaf) : std::string();
  // The store's own verdict, for the camera's name or address: a certificate a known authority
  // issued to this name is good whatever key it carries.
  bool storeVerified = false;
  if (leaf != nullptr && !check.Host.empty()) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, check.Host.c_str()) != 1)
      X509_VERIFY_PARAM_set1_host(param, check.Host.c_str(), check.Host.size());
    storeVerified = X509_verify_cert(store) == 1;
  }
  return JudgePresentedKey(check, storeVerified);
}

void InstallKeyCheck(void* context, TLS_KEY_CHECK& check) {
  auto* ctx = static_cast<SSL_CTX*>(context);
  // Verification is ours alone: the handshake fails when the key is refused, before any request.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // check lives for one transfer; a renegotiation later on the cached connection must not call it.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // The hashed directory is read per certificate looked up, not loaded whole per connection.
  SSL_CTX_load_verify_dir(ctx, X509_get_default_cert_dir());
  SSL_CTX_set_cert_verify_callback(ctx, &VerifyThroughKey, &check);
}

}  // namespace Web
