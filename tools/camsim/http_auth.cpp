#include "http_auth.h"

#include <glib.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <random>

#include "md5.h"

namespace camsim {
namespace {

constexpr size_t kStampDigits = 8;     // seconds since start, hexadecimal
constexpr size_t kCounterDigits = 16;  // stamp and counter
constexpr const char* kOpaque = "5ccc069c403ebaf9f0171e9517f40e41";
constexpr size_t kMaxChallengedClients = 4096;  // beyond it new clients count as never challenged
constexpr size_t kMaxChallengedConnections = 4096;

// Every count /sim/log reports, so a zero is written out rather than left for the reader to infer.
const char* const kSchemes[] = {"basic",         "digest_md5",         "digest_md5_sess",
                                "digest_sha256", "digest_sha256_sess", "other"};
const char* const kProtocols[] = {"http", "https", "rtsp", "rtsps"};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool DecodeBase64(const std::string& in, std::string& out) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.clear();
  uint32_t buffer = 0;
  int bits = 0;
  size_t padding = 0;
  for (char c : in) {
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding > 0) return false;  // data after padding
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) return false;
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return padding <= 2 && (in.size() % 4 == 0);
}

// Parses 'name=value, name="quoted value", ...' into lower-case names and unquoted values.
std::map<std::string, std::string> ParseFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    const size_t eq = text.find('=', i);
    if (eq == std::string::npos) break;
    std::string name = Lower(text.substr(i, eq - i));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    i = eq + 1;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value.push_back(text[i]);
      }
      ++i;  // closing quote
    } else {
      const size_t end = text.find(',', i);
      value = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      i = end == std::string::npos ? text.size() : end;
    }
    fields[name] = value;
  }
  return fields;
}

// GLib's hashes: independent of the module's own MD5 and SHA-256.
std::string Hash(const std::string& algorithm, const std::string& text) {
  const bool sha = Lower(algorithm).rfind("sha-256", 0) == 0;
  if (!sha) return Md5Hex(text);
  gchar* hex =
      g_compute_checksum_for_string(G_CHECKSUM_SHA256, text.data(), static_cast<gssize>(text.size()));
  std::string out = hex != nullptr ? hex : "";
  g_free(hex);
  return out;
}

bool IsSession(const std::string& algorithm) {
  const std::string lower = Lower(algorithm);
  return lower.size() > 5 && lower.compare(lower.size() - 5, 5, "-sess") == 0;
}

// The scheme an Authorization value uses, as /sim/log names it.
std::string SchemeOf(const std::string& authorization) {
  const size_t space = authorization.find(' ');
  const std::string kind = Lower(authorization.substr(0, space));
  if (kind == "basic") return "basic";
  if (kind != "digest" || space == std::string::npos) return "other";
  auto fields = ParseFields(authorization.substr(space + 1));
  const std::string algorithm = Lower(fields["algorithm"].empty() ? "MD5" : fields["algorithm"]);
  if (algorithm == "md5") return "digest_md5";
  if (algorithm == "md5-sess") return "digest_md5_sess";
  if (algorithm == "sha-256") return "digest_sha256";
  if (algorithm == "sha-256-sess") return "digest_sha256_sess";
  return "other";
}

AuthOptions OptionsOf(std::string scheme, bool digestQop, std::string user, std::string password) {
  AuthOptions options;
  options.Scheme = std::move(scheme);
  options.DigestQop = digestQop;
  options.User = std::move(user);
  options.Password = std::move(password);
  return options;
}

}  // namespace

HttpAuth::HttpAuth(std::string scheme, bool digestQop, std::string user, std::string password)
    : HttpAuth(OptionsOf(std::move(scheme), digestQop, std::move(user), std::move(password))) {}

HttpAuth::HttpAuth(AuthOptions options) : Options(std::move(options)) {
  std::random_device random;
  Secret = std::to_string(random()) + std::to_string(random());
}

bool HttpAuth::Check(const std::string& method, const std::string& target, const std::string& authorization,
                     bool& stale) const {
  stale = false;
  if (Options.Scheme == "none") return true;
  const size_t space = authorization.find(' ');
  if (space == std::string::npos) return false;
  const std::string kind = Lower(authorization.substr(0, space));
  const std::string rest = authorization.substr(space + 1);
  if (Options.Scheme == "basic") return kind == "basic" && CheckBasic(rest);
  return kind == "digest" && CheckDigest(method, target, rest, stale);
}

std::string HttpAuth::Challenge(bool stale) const {
  return Challenges(stale).front();
}

std::vector<std::string> HttpAuth::Challenges(bool stale) const {
  if (Options.Scheme == "basic") return {std::string("Basic realm=\"") + kRealm + "\""};
  std::vector<std::string> values;
  for (const std::string& algorithm : Options.Algorithms) {
    std::string value = std::string("Digest realm=\"") + kRealm + "\", nonce=\"" + MakeNonce() + "\"";
    // The plain older form (MD5, no qop) as GStreamer's server sends it names no algorithm.
    const bool plain = Lower(algorithm) == "md5" && !Options.DigestQop;
    if (!plain || Options.NameMd5) value += ", algorithm=" + algorithm;
    if (Options.DigestQop) value += ", qop=\"auth\"";
    if (!plain) value += std::string(", opaque=\"") + kOpaque + "\"";
    if (stale) value += ", stale=true";
    values.push_back(value);
  }
  return values;
}

bool HttpAuth::CheckBasic(const std::string& credentials) const {
  std::string decoded;
  std::string token = credentials;
  while (!token.empty() && token.back() == ' ') token.pop_back();
  return DecodeBase64(token, decoded) && decoded == Options.User + ":" + Options.Password;
}

bool HttpAuth::CheckDigest(const std::string& method, const std::string& target, const std::string& text,
                           bool& stale) const {
  auto fields = ParseFields(text);
  const std::string& nonce = fields["nonce"];
  const std::string& uri = fields["uri"];
  if (fields["username"] != Options.User || fields["realm"] != kRealm || nonce.empty()) return false;
  // The answer's algorithm must be one offered; none named means MD5.
  const std::string algorithm = fields["algorithm"].empty() ? "MD5" : fields["algorithm"];
  bool offered = false;
  for (const std::string& a : Options.Algorithms) offered = offered || Lower(a) == Lower(algorithm);
  if (!offered) return false;
  const bool plain = Lower(algorithm) == "md5" && !Options.DigestQop;
  if (!plain && fields["opaque"] != kOpaque) return false;
  // The uri names the request target; an absolute form ends with it.
  if (uri != target &&
      !(uri.size() > target.size() && uri.compare(uri.size() - target.size(), target.size(), target) == 0 &&
        uri.find("://") != std::string::npos))
    return false;
  std::string ha1 = Hash(algorithm, Options.User + ":" + kRealm + ":" + Options.Password);
  if (IsSession(algorithm)) {
    if (fields["cnonce"].empty()) return false;
    ha1 = Hash(algorithm, ha1 + ":" + nonce + ":" + fields["cnonce"]);
  }
  const std::string ha2 = Hash(algorithm, method + ":" + uri);
  std::string expected;
  if (Options.DigestQop) {
    if (fields["qop"] != "auth" || fields["nc"].size() != 8 || fields["cnonce"].empty()) return false;
    expected =
        Hash(algorithm, ha1 + ":" + nonce + ":" + fields["nc"] + ":" + fields["cnonce"] + ":auth:" + ha2);
  } else {
    if (!fields["qop"].empty()) return false;
    expected = Hash(algorithm, ha1 + ":" + nonce + ":" + ha2);
  }
  if (Lower(fields["response"]) != expected) return false;
  if (NonceState(nonce) != 1) {
    stale = true;
    return false;
  }
  return true;
}

HttpAuth::Verdict HttpAuth::Login(const std::string& protocol, const std::string& method,
                                  const std::string& target, const std::string& authorization,
                                  const std::string& client, const std::string& connection) {
  NoteCredentials(protocol, authorization, client, connection);
  if (!Enabled()) return Verdict::kGranted;
  const Verdict verdict = Decide(protocol, method, target, authorization);
  if (verdict != Verdict::kGranted) {
    std::lock_guard<std::mutex> guard(Ledger->Lock);
    if (Ledger->Challenged.size() < kMaxChallengedClients) Ledger->Challenged.insert(client);
    if (Ledger->ChallengedLinks.insert(connection).second) {
      Ledger->ChallengedOrder.push_back(connection);
      // Connections come and go; the oldest are long closed.
      if (Ledger->ChallengedOrder.size() > kMaxChallengedConnections) {
        Ledger->ChallengedLinks.erase(Ledger->ChallengedOrder.front());
        Ledger->ChallengedOrder.pop_front();
      }
    }
  }
  return verdict;
}

void HttpAuth::NoteCredentials(const std::string& protocol, const std::string& authorization,
                               const std::string& client, const std::string& connection) {
  if (authorization.empty()) return;
  const std::string scheme = SchemeOf(authorization);
  std::lock_guard<std::mutex> guard(Ledger->Lock);
  ++Ledger->ByScheme[scheme];
  ++Ledger->ByProtocol[protocol];
  if (Ledger->Challenged.count(client) == 0) ++Ledger->BeforeChallenge;
  if (Ledger->ChallengedLinks.count(connection) == 0) ++Ledger->UnchallengedConnection;
}

HttpAuth::Verdict HttpAuth::Decide(const std::string& protocol, const std::string& method,
                                   const std::string& target, const std::string& authorization) {
  const Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::mutex> guard(Ledger->Lock);
    if (now < Ledger->LockedUntil) {
      if (!authorization.empty()) {
        ++Ledger->Refused;
        Ledger->Lines.push_back("login=locked " + protocol + " " + method + " " + target);
      }
      return Verdict::kLocked;
    }
  }
  bool stale = false;
  const bool granted = Check(method, target, authorization, stale);
  std::lock_guard<std::mutex> guard(Ledger->Lock);
  if (granted) {
    ++Ledger->Accepted;
    Ledger->RefusedInARow = 0;
    return Verdict::kGranted;
  }
  if (stale) {
    Ledger->Lines.push_back("login=stale " + protocol + " " + method + " " + target);
    return Verdict::kStale;
  }
  // A request without credentials asks for the challenge: it is no login.
  if (authorization.empty()) return Verdict::kRefused;
  ++Ledger->Refused;
  Ledger->Lines.push_back("login=refused " + protocol + " " + method + " " + target);
  bool lock = false;
  if (Options.Lockout > 0 && Options.LockoutWindowSeconds > 0) {
    auto& times = Ledger->RefusedAt;
    times.push_back(now);
    while (now - times.front() >= std::chrono::seconds(Options.LockoutWindowSeconds)) times.pop_front();
    lock = times.size() >= static_cast<size_t>(Options.Lockout);
    if (lock) times.clear();
  } else if (Options.Lockout > 0) {
    lock = ++Ledger->RefusedInARow >= Options.Lockout;
  }
  if (lock) {
    Ledger->RefusedInARow = 0;
    Ledger->LockedUntil = now + std::chrono::seconds(Options.LockoutSeconds);
    Ledger->Lines.push_back("lockout=" + std::to_string(Options.LockoutSeconds));
  }
  return Verdict::kRefused;
}

void HttpAuth::NoteRefused(const std::string& protocol, const std::string& what) {
  std::lock_guard<std::mutex> guard(Ledger->Lock);
  ++Ledger->Refused;
  Ledger->Lines.push_back("login=refused " + protocol + " " + what);
}

std::string HttpAuth::LogLines() const {
  std::lock_guard<std::mutex> guard(Ledger->Lock);
  std::string text = "logins_accepted=" + std::to_string(Ledger->Accepted) +
                     "\r\nlogins_refused=" + std::to_string(Ledger->Refused) + "\r\n";
  for (const char* scheme : kSchemes) {
    const auto found = Ledger->ByScheme.find(scheme);
    text += std::string("logins_") + scheme + "=" +
            std::to_string(found != Ledger->ByScheme.end() ? found->second : 0) + "\r\n";
  }
  for (const char* protocol : kProtocols) {
    const auto found = Ledger->ByProtocol.find(protocol);
    text += std::string("logins_") + protocol + "=" +
            std::to_string(found != Ledger->ByProtocol.end() ? found->second : 0) + "\r\n";
  }
  text += "credentials_before_challenge=" + std::to_string(Ledger->BeforeChallenge) + "\r\n" +
          "credentials_unchallenged_connection=" + std::to_string(Ledger->UnchallengedConnection) + "\r\n";
  for (const std::string& line : Ledger->Lines) text += line + "\r\n";
  return text;
}

void HttpAuth::ClearLog() {
  std::lock_guard<std::mutex> guard(Ledger->Lock);
  Ledger->Accepted = 0;
  Ledger->Refused = 0;
  Ledger->Lines.clear();
  Ledger->ByScheme.clear();
  Ledger->ByProtocol.clear();
  Ledger->BeforeChallenge = 0;
  Ledger->UnchallengedConnection = 0;
}

std::string HttpAuth::MakeNonce() const {
  static std::atomic<uint32_t> counter{1};
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - Born).count();
  char digits[kCounterDigits + 1];
  std::snprintf(digits, sizeof digits, "%08x%08x", static_cast<unsigned>(age),
                static_cast<unsigned>(counter++));
  return std::string(digits) + Md5Hex(Secret + ":" + digits);
}

int HttpAuth::NonceState(const std::string& nonce) const {
  if (nonce.size() <= kCounterDigits) return 0;
  const std::string digits = nonce.substr(0, kCounterDigits);
  if (nonce.substr(kCounterDigits) != Md5Hex(Secret + ":" + digits)) return 0;
  if (Options.NonceLifetime <= 0) return 1;
  const unsigned long issued = std::strtoul(digits.substr(0, kStampDigits).c_str(), nullptr, 16);
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - Born).count();
  return age - static_cast<long long>(issued) >= Options.NonceLifetime ? -1 : 1;
}

}  // namespace camsim
