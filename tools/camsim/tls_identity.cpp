#include "tls_identity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace camsim {
namespace {

constexpr long kValiditySeconds = 365L * 24 * 60 * 60;
constexpr int kX509Version3 = 2;  // versions count from 0
constexpr mode_t kKeyFileMode = 0600;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

std::string OpenSslError(const std::string& what) {
  const unsigned long code = ERR_get_error();
  char text[256] = "";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return code != 0 ? what + ": " + text : what;
}

bool IsIpv4(const std::string& text) {
  in_addr address{};
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

std::string ToPem(const std::function<int(BIO*)>& write) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return "";
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : "";
}

}  // namespace

std::unique_ptr<TlsIdentity> TlsIdentity::Generate(const std::string& commonName, std::string& error) {
  auto identity = std::make_unique<TlsIdentity>();
  identity->PrivateKey.reset(EVP_EC_gen("P-256"));
  identity->Cert.reset(X509_new());
  X509* cert = identity->Cert.get();
  uint32_t serial = 0;
  if (!identity->PrivateKey || cert == nullptr ||
      RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1) {
    error = OpenSslError("cannot make a TLS key");
    return nullptr;
  }
  // A positive serial number: clients refuse zero and negative ones.
  serial = (serial & 0x7FFFFFFFu) | 1u;
  X509_NAME* name = X509_get_subject_name(cert);
  const std::string altName = (IsIpv4(commonName) ? "IP:" : "DNS:") + commonName;
  if (X509_set_version(cert, kX509Version3) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(serial)) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert), 0) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySeconds) == nullptr ||
      X509_set_pubkey(cert, identity->PrivateKey.get()) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(cert, name) != 1 || !AddExtension(cert, NID_subject_alt_name, altName) ||
      X509_sign(cert, identity->PrivateKey.get(), EVP_sha256()) == 0) {
    error = OpenSslError("cannot make a TLS certificate");
    return nullptr;
  }
  if (!identity->Finish(error)) return nullptr;
  return identity;
}

std::unique_ptr<TlsIdentity> TlsIdentity::Load(const std::string& certFile, const std::string& keyFile,
                                               std::string& error) {
  auto identity = std::make_unique<TlsIdentity>();
  FilePtr certIn(std::fopen(certFile.c_str(), "r"));
  if (certIn) identity->Cert.reset(PEM_read_X509(certIn.get(), nullptr, nullptr, nullptr));
  if (!identity->Cert) {
    error = OpenSslError("cannot read a PEM certificate from " + certFile);
    return nullptr;
  }
  FilePtr keyIn(std::fopen(keyFile.c_str(), "r"));
  if (keyIn) identity->PrivateKey.reset(PEM_read_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
  if (!identity->PrivateKey) {
    error = OpenSslError("cannot read a PEM private key from " + keyFile);
    return nullptr;
  }
  if (X509_check_private_key(identity->Cert.get(), identity->PrivateKey.get()) != 1) {
    error = OpenSslError(keyFile + " is not the key of " + certFile);
    return nullptr;
  }
  if (!identity->Finish(error)) return nullptr;
  return identity;
}

bool TlsIdentity::Save(const std::string& certFile, const std::string& keyFile, std::string& error) const {
  FilePtr certOut(std::fopen(certFile.c_str(), "w"));
  if (!certOut || PEM_write_X509(certOut.get(), Cert.get()) != 1) {
    error = "cannot write " + certFile;
    return false;
  }
  const int fd = ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kKeyFileMode);
  FilePtr keyOut(fd >= 0 ? ::fdopen(fd, "w") : nullptr);
  if (fd >= 0 && !keyOut) ::close(fd);
  if (!keyOut ||
      PEM_write_PrivateKey(keyOut.get(), PrivateKey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    error = "cannot write " + keyFile;
    return false;
  }
  return true;
}

std::string TlsIdentity::Pem() const {
  return ToPem([this](BIO* bio) { return PEM_write_bio_X509(bio, Cert.get()); }) + ToPem([this](BIO* bio) {
           return PEM_write_bio_PrivateKey(bio, PrivateKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
         });
}

bool TlsIdentity::Finish(std::string& error) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(Cert.get()), &der);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  const bool hashed = length > 0 && EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength,
                                               EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed) {
    error = OpenSslError("cannot hash the certificate's public key");
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  Fingerprint.clear();
  for (unsigned int i = 0; i < digestLength; ++i) {
    Fingerprint.push_back(kHex[digest[i] >> 4]);
    Fingerprint.push_back(kHex[digest[i] & 0x0F]);
  }
  return true;
}

}  // namespace camsim
