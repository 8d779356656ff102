#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "http/tls_key.h"

namespace korvalt {

// One TLS client session as the system's library keeps it (OpenSSL on Linux, SChannel on
// Windows), without a socket: its owner hands it the bytes the camera sent and puts what it
// produces on the wire, so that every wait stays the owner's (bounded, and ended by its stop).
// Not thread-safe: the owner serialises every call.
class CTlsEngine {
 public:
  enum class Status {
    kOk,        // done: the handshake is complete, or the records at hand are decrypted
    kNeedMore,  // waits for more bytes from the camera
    kClosed,    // the camera ended the session (close_notify)
    kFailed,    // no TLS, a broken record, or a key the check refused
  };

  // The engine of this system. check is borrowed for the engine's life: the camera's key is judged
  // with it inside the handshake, before any byte of a request goes out. Null when the library
  // cannot make one.
  static std::unique_ptr<CTlsEngine> Create(const std::string& serverName, Web::TLS_KEY_CHECK& check);
  virtual ~CTlsEngine() = default;

  // Takes what the camera sent (in loses what was used) and appends the records to send to out.
  virtual Status Handshake(std::string& in, std::string& out) = 0;
  // Appends the records that carry data to out.
  virtual bool Encrypt(std::span<const uint8_t> data, std::string& out) = 0;
  // Takes records from in (in loses what was used) and appends their data to plain, at most about
  // one read of the socket's worth; out gets what the library answers on its own (alerts, key
  // updates). kNeedMore: in holds no whole record more.
  virtual Status Decrypt(std::string& in, std::string& plain, std::string& out) = 0;
};

}  // namespace korvalt
