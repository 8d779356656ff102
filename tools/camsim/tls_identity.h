#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace camsim {

// The camera's TLS certificate and key, as HTTPS and RTSP over TLS serve them.
class TlsIdentity {
 public:
  // A self-signed EC P-256 certificate valid for a year, with a key made now; commonName also goes
  // into the subject alternative name (as an IP address when it is one).
  static std::unique_ptr<TlsIdentity> Generate(const std::string& commonName, std::string& error);
  // A PEM certificate and its PEM private key.
  static std::unique_ptr<TlsIdentity> Load(const std::string& certFile, const std::string& keyFile,
                                           std::string& error);

  // Writes the pair as PEM (the key readable by its owner only).
  bool Save(const std::string& certFile, const std::string& keyFile, std::string& error) const;

  X509* Certificate() const { return Cert.get(); }
  EVP_PKEY* Key() const { return PrivateKey.get(); }
  // SHA-256 of the certificate's SubjectPublicKeyInfo (DER), lowercase hex: what a client pins.
  const std::string& KeySha256() const { return Fingerprint; }
  // Certificate and key in one PEM text.
  std::string Pem() const;

 private:
  struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
  };
  struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  };

  bool Finish(std::string& error);

  std::unique_ptr<X509, X509Free> Cert;
  std::unique_ptr<EVP_PKEY, KeyFree> PrivateKey;
  std::string Fingerprint;
};

}  // namespace camsim
