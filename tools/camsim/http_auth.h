#pragma once

#include <cstdint>
#include <string>

namespace camsim {

// Server side of HTTP Basic and Digest (MD5, with qop=auth or without qop) for one user.
class HttpAuth {
 public:
  HttpAuth(std::string scheme, bool digestQop, std::string user, std::string password);

  bool Enabled() const { return Scheme != "none"; }
  // True when the Authorization header value grants method on target. stale is set for a correct
  // Digest answer computed with a nonce this process did not issue (for example before a restart).
  bool Check(const std::string& method, const std::string& target, const std::string& authorization,
             bool& stale) const;
  // The WWW-Authenticate value of a 401.
  std::string Challenge(bool stale) const;

  static constexpr const char* kRealm = "Quenlark";

 private:
  bool CheckBasic(const std::string& credentials) const;
  bool CheckDigest(const std::string& method, const std::string& target, const std::string& fields,
                   bool& stale) const;
  std::string MakeNonce() const;
  bool NonceIsOurs(const std::string& nonce) const;

  const std::string Scheme;
  const bool DigestQop;
  const std::string User;
  const std::string Password;
  std::string Secret;  // per process: nonces of an earlier run are stale
};

}  // namespace camsim
