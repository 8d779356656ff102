#pragma once

#include <string>

#include "http/camera_login.h"

namespace Web {

// One TLS connection's check of the camera's key, made during the handshake, before any byte of a
// request goes out. The system's TLS library calls back into it (OpenSSL on Linux, SChannel's
// certificate context on Windows).
struct TLS_KEY_CHECK {
  korvalt::CCameraLogin* Login = nullptr;  // not owned; null: any key is taken
  korvalt::CCameraKey* Key = nullptr;      // not owned; the login's key state to judge with; null: Key()
  std::string Host;                        // the camera's name or address, for the store's check
  bool Checked = false;                    // the handshake presented a key and it was judged
  bool Refused = false;                    // ... and refused
  std::string Presented;                   // its fingerprint
};

// Judges the key of the certificate the camera presented. certificate is the system's object:
// an X509_STORE_CTX* during OpenSSL's verification, a PCCERT_CONTEXT on Windows. Logs the verdict's
// line through the login; on a refusal starts or continues the login's back-off. True: accepted.
bool CheckPresentedKey(void* certificate, TLS_KEY_CHECK& check);

// The verdict on check.Presented, shared by the backends: logs its line through the login, and on a
// refusal starts or continues the login's back-off. True: accepted.
bool JudgePresentedKey(TLS_KEY_CHECK& check, bool storeVerified);

// OpenSSL only: makes every handshake of the SSL_CTX* context check the key with check.
void InstallKeyCheck(void* context, TLS_KEY_CHECK& check);

}  // namespace Web
