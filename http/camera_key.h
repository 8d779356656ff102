#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace korvalt {

// The camera's TLS key as one driver knows it, and whether the driver reaches the camera's CGI over
// HTTPS. Cameras carry self-signed certificates that no certificate store can judge, so the key is
// pinned instead: by its SubjectPublicKeyInfo's SHA-256 (a certificate renewed with the same key
// stays valid), as the capability query reports it and the host hands it back. Without a pin the
// first key seen is kept for the driver's life. HTTPS, once used, is never given up for plain HTTP.
//
// Threads: any; the lock guards every member and is never held while calling out.
class CCameraKey {
 public:
  static constexpr size_t kFingerprintChars = 64;  // lower-case hex of the SHA-256

  struct VERDICT {
    bool Accepted = false;
    // The one line to log about it, or empty: the first key accepted without a pin (level 2) and the
    // first refusal of a series (level 1) are said once.
    int Level = 0;
    std::string Line;
  };

  // The pin the host handed back: 64 hex digits (either case); anything else ("(none)", empty) is
  // no pin. A pin other than before forgets the key seen so far. Returns whether a pin is set.
  bool UsePin(std::string_view text);
  std::string Pin() const;
  bool Pinned() const;

  // The key the camera presented, and whether its certificate verified against the system's
  // certificate store for the camera's name (accepted then, unless a pin names another key).
  // address names the camera in the line.
  VERDICT Check(const std::string& fingerprint, bool storeVerified, const std::string& address);
  // The key accepted last (the pinned one, the first seen or a store-verified one); empty if none.
  std::string Accepted() const;
  // A refused key's series is under way: requests wait with the login back-off.
  bool Refusing() const;

  // Another camera (address or port) than before: nothing known of it.
  void Forget();

  // The CGI goes over HTTPS to this port from now on.
  void UseHttps(uint16_t port);
  bool UsesHttps() const;
  uint16_t HttpsPort() const;

  // The CGI answered plain HTTP on port at nowMs (monotonic). A request to that port that then gets
  // no HTTP reply met a fault of the camera or the network, not a port turned TLS: within
  // kPlainTrustMs it is not tried over TLS (a handshake per broken reply buys nothing).
  static constexpr int64_t kPlainTrustMs = 60000;
  void AnsweredPlain(uint16_t port, int64_t nowMs);
  bool AnsweredPlainRecently(uint16_t port, int64_t nowMs) const;

  // Lower-case hex of the SHA-256 of der.
  static std::string Fingerprint(const uint8_t* der, size_t size);
  // The canonical form of a pin text (lower case), or empty when it is none.
  static std::string NormalPin(std::string_view text);

 private:
  mutable std::mutex Lock;
  std::string PinText;
  std::string AcceptedKey;
  bool FirstSaid = false;
  bool RefusalSaid = false;  // within the current refusal series
  bool InRefusal = false;
  bool Https = false;
  uint16_t Port = 0;
  uint16_t PlainPort = 0;     // 0: no plain answer yet
  int64_t PlainAnswerMs = 0;  // monotonic
};

}  // namespace korvalt
