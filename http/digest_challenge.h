#pragma once

#include <cstdint>
#include <string>

namespace korvalt {

// The hash algorithms of Digest authentication this module answers, weakest first: a camera that
// offers several challenges gets the answer to the strongest.
enum class DigestAlgorithm : int32_t {
  kUnsupported = 0,  // named by the camera, not answerable (SHA-512-256, anything unknown)
  kMd5Sess,
  kMd5,
  kSha256Sess,
  kSha256,
};

// One Digest challenge as a camera sends it in "WWW-Authenticate: Digest ...". Shared by the RTSP
// client and any HTTP client that answers Digest itself.
struct DIGEST_CHALLENGE {
  std::string Realm;
  std::string Nonce;
  std::string Opaque;  // echoed unchanged when present
  DigestAlgorithm Algorithm = DigestAlgorithm::kMd5;
  bool AlgorithmNamed = false;  // the challenge carried "algorithm="
  bool QopAuth = false;         // "qop" offers "auth": answer with qop, cnonce and nc
  bool QopNamed = false;        // "qop" was present at all (perhaps only "auth-int")
  bool Stale = false;           // "stale=true": the nonce expired, the credentials were right
};

// What one Digest answer is computed from besides the challenge.
struct DIGEST_ANSWER_INPUT {
  std::string UserName;
  std::string Password;
  std::string Method;       // "DESCRIBE", "GET", ...
  std::string Uri;          // the request's own URI
  uint32_t NonceCount = 1;  // of this nonce, counted from 1
  std::string ClientNonce;  // used with qop and by the -sess algorithms
};

}  // namespace korvalt
