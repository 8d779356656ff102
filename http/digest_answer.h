#pragma once

#include <string>
#include <string_view>

namespace korvalt {

// The "Authorization" header value (without the name) that answers one Digest challenge, the
// value of a WWW-Authenticate header ("Digest realm=..., nonce=..."), for method and uri: MD5, with
// qop "auth" when the challenge offers it, else in the RFC 2069 form that the RTSP client sends.
// Empty when the challenge is not Digest, lacks realm or nonce, or names another algorithm.
// Used where the system's HTTP client cannot answer Digest itself (WinHTTP).
std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password);
// The same with a given client nonce for the qop form (tests); the one above draws a random one.
std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password, const std::string& clientNonce);

}  // namespace korvalt
