#include "http/digest_answer.h"

#include <random>

#include "http/h_utils.h"

namespace korvalt {
namespace {

// The value of key="..." or key=token in a challenge's parameter list; empty when absent.
std::string Parameter(std::string_view parameters, std::string_view key) {
  size_t at = 0;
  while (at < parameters.size()) {
    while (at < parameters.size() &&
           (parameters[at] == ' ' || parameters[at] == '\t' || parameters[at] == ','))
      ++at;
    const size_t equals = parameters.find('=', at);
    if (equals == std::string_view::npos) return {};
    std::string_view name = parameters.substr(at, equals - at);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    std::string value;
    size_t next = equals + 1;
    while (next < parameters.size() && (parameters[next] == ' ' || parameters[next] == '\t')) ++next;
    if (next < parameters.size() && parameters[next] == '"') {
      for (++next; next < parameters.size() && parameters[next] != '"'; ++next) {
        if (parameters[next] == '\\' && next + 1 < parameters.size()) ++next;
        value.push_back(parameters[next]);
      }
      ++next;  // the closing quote
    } else {
      const size_t end = std::min(parameters.find(',', next), parameters.size());
      value.assign(parameters.substr(next, end - next));
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      next = end;
    }
    if (HUtils::EqualsIgnoringCase(name, key)) return value;
    at = next;
  }
  return {};
}

// Values inside a quoted header parameter: a quote or backslash would end or bend the string.
std::string Quoted(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool OffersQopAuth(const std::string& qop) {
  size_t at = 0;
  while (at <= qop.size()) {
    const size_t end = std::min(qop.find(',', at), qop.size());
    std::string_view option(qop.data() + at, end - at);
    while (!option.empty() && option.front() == ' ') option.remove_prefix(1);
    while (!option.empty() && option.back() == ' ') option.remove_suffix(1);
    if (HUtils::EqualsIgnoringCase(option, "auth")) return true;
    at = end + 1;
  }
  return false;
}

std::string ClientNonce() {
  std::random_device random;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string nonce;
  for (int i = 0; i < 16; ++i) nonce.push_back(kHex[random() & 0xF]);
  return nonce;
}

}  // namespace

std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password) {
  try {
    return AnswerDigestChallenge(challenge, method, uri, user, password, ClientNonce());
  } catch (...) {
    return {};
  }
}

std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password, const std::string& clientNonce) {
  try {
    while (!challenge.empty() && (challenge.front() == ' ' || challenge.front() == '\t'))
      challenge.remove_prefix(1);
    const size_t schemeEnd = std::min(challenge.find_first_of(" \t"), challenge.size());
    if (!HUtils::EqualsIgnoringCase(challenge.substr(0, schemeEnd), "Digest")) return {};
    const std::string_view parameters = challenge.substr(schemeEnd);
    const std::string realm = Parameter(parameters, "realm");
    const std::string nonce = Parameter(parameters, "nonce");
    const std::string algorithm = Parameter(parameters, "algorithm");
    if (realm.empty() || nonce.empty() || user.empty()) return {};
    if (!algorithm.empty() && !HUtils::EqualsIgnoringCase(algorithm, "MD5")) return {};
    const std::string opaque = Parameter(parameters, "opaque");
    const bool qopAuth = OffersQopAuth(Parameter(parameters, "qop"));

    const std::string ha1 = HUtils::MD5Hex(user + ":" + realm + ":" + password);
    const std::string ha2 = HUtils::MD5Hex(method + ":" + uri);
    std::string answer = "Digest username=\"" + Quoted(user) + "\", realm=\"" + Quoted(realm) +
                         "\", nonce=\"" + Quoted(nonce) + "\", uri=\"" + Quoted(uri) + "\"";
    if (qopAuth) {
      const std::string count = "00000001";
      const std::string& cnonce = clientNonce;
      answer += ", qop=auth, nc=" + count + ", cnonce=\"" + cnonce + "\", response=\"" +
                HUtils::MD5Hex(ha1 + ":" + nonce + ":" + count + ":" + cnonce + ":auth:" + ha2) + "\"";
    } else {
      answer += ", response=\"" + HUtils::MD5Hex(ha1 + ":" + nonce + ":" + ha2) + "\"";
    }
    if (!algorithm.empty()) answer += ", algorithm=MD5";
    if (!opaque.empty()) answer += ", opaque=\"" + Quoted(opaque) + "\"";
    return answer;
  } catch (...) {
    return {};
  }
}

}  // namespace korvalt
