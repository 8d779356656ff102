#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace camsim {

// What the command line says about authentication; HTTP and RTSP share it.
struct AuthOptions {
  std::string Scheme = "none";  // none, basic or digest
  bool DigestQop = true;        // Digest with qop="auth", or the older form without qop
  // Digest algorithms offered, one challenge each, in this order (MD5, MD5-sess, SHA-256,
  // SHA-256-sess).
  std::vector<std::string> Algorithms = {"MD5"};
  int NonceLifetime = 0;    // seconds a nonce stays valid; 0 = for the process's life
  int Lockout = 0;          // refused logins in a row that lock the account; 0 = never
  int LockoutSeconds = 60;  // how long a locked account refuses everything
  // With a window, Lockout counts the refused logins within its last so many seconds, accepted
  // ones in between or not; 0 counts them in a row.
  int LockoutWindowSeconds = 0;
  std::string User = "admin";
  std::string Password = "secret";
  bool NameMd5 = true;  // a plain MD5 challenge without qop names its algorithm (HTTP does, RTSP not)
};

// Server side of Basic and Digest (MD5, MD5-sess, SHA-256, SHA-256-sess; with qop=auth or the
// older form) for one user, with a camera's lock-out after refused logins. Thread-safe: the HTTP
// threads and the RTSP main loop share one.
class HttpAuth {
 public:
  HttpAuth(std::string scheme, bool digestQop, std::string user, std::string password);
  explicit HttpAuth(AuthOptions options);

  bool Enabled() const { return Options.Scheme != "none"; }
  // True when the Authorization header value grants method on target. stale is set for a correct
  // Digest answer computed with a nonce this process did not issue, or one that expired.
  bool Check(const std::string& method, const std::string& target, const std::string& authorization,
             bool& stale) const;
  // The WWW-Authenticate value of a 401 (the first of Challenges).
  std::string Challenge(bool stale) const;
  // One WWW-Authenticate value per offered algorithm (Basic: one).
  std::vector<std::string> Challenges(bool stale) const;

  enum class Verdict { kGranted, kRefused, kStale, kLocked };
  // Check as a camera does it: counts refused logins in a row (a request without credentials is
  // no login), locks the account after Lockout of them for LockoutSeconds (then even the right
  // password is refused), and logs every login that is not granted. protocol is "http", "https",
  // "rtsp" or "rtsps"; client is the peer's address and connection names the connection uniquely
  // (every verdict but kGranted challenges both).
  Verdict Login(const std::string& protocol, const std::string& method, const std::string& target,
                const std::string& authorization, const std::string& client = "",
                const std::string& connection = "");
  // Counts credentials by scheme and protocol, and those sent to a client or on a connection never
  // challenged; Login does it, and so does a front that answers without checking them (a redirect).
  void NoteCredentials(const std::string& protocol, const std::string& authorization,
                       const std::string& client, const std::string& connection);
  // Notes a login refused for another reason (a Digest uri that does not name the request).
  void NoteRefused(const std::string& protocol, const std::string& what);

  // "logins_accepted=N", "logins_refused=N" (locked ones included), the logins by scheme and by
  // protocol, "credentials_before_challenge=N" and one "login=..." line per login that was not
  // granted, for /sim/log; ClearLog empties them (which clients were challenged is kept).
  std::string LogLines() const;
  void ClearLog();
  // Counts logins, lock-out and log in other's account from now on (HTTP and RTSP share one).
  void UseLedgerOf(const HttpAuth& other) { Ledger = other.Ledger; }

  static constexpr const char* kRealm = "Quenlark";

 private:
  using Clock = std::chrono::steady_clock;

  bool CheckBasic(const std::string& credentials) const;
  bool CheckDigest(const std::string& method, const std::string& target, const std::string& fields,
                   bool& stale) const;
  std::string MakeNonce() const;
  // 0 when the nonce is not ours; else its age check: 1 fresh, -1 expired.
  int NonceState(const std::string& nonce) const;
  void Log(const std::string& line);
  // Login without the counting of credentials and challenged clients.
  Verdict Decide(const std::string& protocol, const std::string& method, const std::string& target,
                 const std::string& authorization);

  const AuthOptions Options;
  std::string Secret;  // per process: nonces of an earlier run are stale
  Clock::time_point Born = Clock::now();

  // The account's logins, lock-out and log.
  struct LoginLedger {
    std::mutex Lock;  // guards the members below
    int RefusedInARow = 0;
    std::deque<Clock::time_point> RefusedAt;  // within the lock-out window
    Clock::time_point LockedUntil{};
    uint64_t Accepted = 0;
    uint64_t Refused = 0;
    std::vector<std::string> Lines;
    std::map<std::string, uint64_t> ByScheme;    // "basic", "digest_md5", ... -> requests
    std::map<std::string, uint64_t> ByProtocol;  // "http", "https", "rtsp", "rtsps" -> requests
    uint64_t BeforeChallenge = 0;                // no 401 to the client's address since start
    uint64_t UnchallengedConnection = 0;         // no 401 on the request's connection before
    std::set<std::string> Challenged;            // client addresses answered 401 since start
    std::set<std::string> ChallengedLinks;       // connections answered 401, the latest ones
    std::deque<std::string> ChallengedOrder;     // ChallengedLinks, oldest first
  };
  std::shared_ptr<LoginLedger> Ledger = std::make_shared<LoginLedger>();
};

}  // namespace camsim
