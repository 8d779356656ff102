#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include "http/tls_key.h"
#include "platform/text.h"

namespace Web {
namespace {

std::string FingerprintOf(PCCERT_CONTEXT certificate) {
  BYTE* der = nullptr;
  DWORD size = 0;
  if (::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                            &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                            &der, &size) == 0 ||
      der == nullptr) {
    return {};
  }
  std::string fingerprint = korvalt::CCameraKey::Fingerprint(der, size);
  ::LocalFree(der);
  return fingerprint;
}

// The system's store and its SSL policy for the camera's name.
bool VerifiedByStore(PCCERT_CONTEXT certificate, const std::string& host) {
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof chainPara;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (::CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                                nullptr, &chain) == 0 ||
      chain == nullptr) {
    return false;
  }
  std::wstring name = korvalt::platform::Utf8ToWide(host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = name.data();
  CERT_CHAIN_POLICY_PARA policyPara = {};
  policyPara.cbSize = sizeof policyPara;
  policyPara.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof status;
  const bool ok =
      ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status) != 0 &&
      status.dwError == 0;
  ::CertFreeCertificateChain(chain);
  return ok;
}

}  // namespace

bool CheckPresentedKey(void* certificate, TLS_KEY_CHECK& check) {
  auto* leaf = static_cast<PCCERT_CONTEXT>(certificate);
  check.Checked = true;
  check.Presented = leaf != nullptr ? FingerprintOf(leaf) : std::string();
  const bool storeVerified = leaf != nullptr && !check.Host.empty() && VerifiedByStore(leaf, check.Host);
  return JudgePresentedKey(check, storeVerified);
}

void InstallKeyCheck(void*, TLS_KEY_CHECK&) {}

}  // namespace Web
