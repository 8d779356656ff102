#pragma once

#include <string>
#include <string_view>

namespace korvalt {

// The "Authorization" header value (without the name) that answers one Digest challenge, the
// value of a WWW-Authenticate header ("Digest realm=..., nonce=..."), for method and uri, in the
// same form the RTSP client sends (MD5, MD5-sess, SHA-256 and SHA-256-sess; qop "auth" where
// offered). Empty when the challenge is not Digest or is one the module cannot answer. Used where
// the system's HTTP client cannot answer Digest itself (WinHTTP).
std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password);
// The same with a given client nonce for the qop form (tests); the one above draws a random one.
std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password, const std::string& clientNonce);

}  // namespace korvalt
