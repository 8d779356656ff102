#include "http_auth.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <random>

#include "md5.h"

namespace camsim {
namespace {

constexpr size_t kCounterDigits = 16;

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

}  // namespace

HttpAuth::HttpAuth(std::string scheme, bool digestQop, std::string user, std::string password)
    : Scheme(std::move(scheme)), DigestQop(digestQop), User(std::move(user)), Password(std::move(password)) {
  std::random_device random;
  Secret = std::to_string(random()) + std::to_string(random());
}

bool HttpAuth::Check(const std::string& method, const std::string& target, const std::string& authorization,
                     bool& stale) const {
  stale = false;
  if (Scheme == "none") return true;
  const size_t space = authorization.find(' ');
  if (space == std::string::npos) return false;
  const std::string kind = Lower(authorization.substr(0, space));
  const std::string rest = authorization.substr(space + 1);
  if (Scheme == "basic") return kind == "basic" && CheckBasic(rest);
  return kind == "digest" && CheckDigest(method, target, rest, stale);
}

std::string HttpAuth::Challenge(bool stale) const {
  if (Scheme == "basic") return std::string("Basic realm=\"") + kRealm + "\"";
  std::string value =
      std::string("Digest realm=\"") + kRealm + "\", nonce=\"" + MakeNonce() + "\", algorithm=MD5";
  if (DigestQop) value += ", qop=\"auth\"";
  if (stale) value += ", stale=true";
  return value;
}

bool HttpAuth::CheckBasic(const std::string& credentials) const {
  std::string decoded;
  std::string token = credentials;
  while (!token.empty() && token.back() == ' ') token.pop_back();
  return DecodeBase64(token, decoded) && decoded == User + ":" + Password;
}

bool HttpAuth::CheckDigest(const std::string& method, const std::string& target, const std::string& text,
                           bool& stale) const {
  auto fields = ParseFields(text);
  const std::string& nonce = fields["nonce"];
  const std::string& uri = fields["uri"];
  if (fields["username"] != User || fields["realm"] != kRealm || nonce.empty()) return false;
  if (!fields["algorithm"].empty() && Lower(fields["algorithm"]) != "md5") return false;
  // The uri names the request target; an absolute form ends with it.
  if (uri != target &&
      !(uri.size() > target.size() && uri.compare(uri.size() - target.size(), target.size(), target) == 0 &&
        uri.find("://") != std::string::npos))
    return false;
  const std::string ha1 = Md5Hex(User + ":" + kRealm + ":" + Password);
  const std::string ha2 = Md5Hex(method + ":" + uri);
  std::string expected;
  if (DigestQop) {
    if (fields["qop"] != "auth" || fields["nc"].empty() || fields["cnonce"].empty()) return false;
    expected = Md5Hex(ha1 + ":" + nonce + ":" + fields["nc"] + ":" + fields["cnonce"] + ":auth:" + ha2);
  } else {
    if (!fields["qop"].empty()) return false;
    expected = Md5Hex(ha1 + ":" + nonce + ":" + ha2);
  }
  if (Lower(fields["response"]) != expected) return false;
  if (!NonceIsOurs(nonce)) {
    stale = true;
    return false;
  }
  return true;
}

std::string HttpAuth::MakeNonce() const {
  static std::atomic<uint64_t> counter{1};
  char digits[kCounterDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(counter++));
  return std::string(digits) + Md5Hex(Secret + ":" + digits);
}

bool HttpAuth::NonceIsOurs(const std::string& nonce) const {
  if (nonce.size() <= kCounterDigits) return false;
  const std::string digits = nonce.substr(0, kCounterDigits);
  return nonce.substr(kCounterDigits) == Md5Hex(Secret + ":" + digits);
}

}  // namespace camsim
