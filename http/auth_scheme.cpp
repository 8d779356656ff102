#include "http/auth_scheme.h"

#include <algorithm>

#include "http/h_utils.h"
#include "http/http_sender.h"

namespace Web {
namespace {

using korvalt::HUtils;

// qop "auth" adds the client nonce and count to what the hash covers: it outranks the same
// algorithm without it.
int RankOf(const korvalt::DIGEST_CHALLENGE& challenge) {
  return 2 * static_cast<int>(challenge.Algorithm) + (challenge.QopAuth ? 1 : 0);
}

}  // namespace

uint32_t SchemeOfChallenge(std::string_view value) {
  value = HUtils::TrimBlanks(value);
  const std::string_view token = value.substr(0, value.find_first_of(" \t,"));
  if (HUtils::EqualsIgnoringCase(token, "Basic")) return CHttpSender::kSchemeBasic;
  if (HUtils::EqualsIgnoringCase(token, "NTLM")) return CHttpSender::kSchemeNtlm;
  if (HUtils::EqualsIgnoringCase(token, "Passport1.4")) return CHttpSender::kSchemePassport;
  if (HUtils::EqualsIgnoringCase(token, "Digest")) return CHttpSender::kSchemeDigest;
  if (HUtils::EqualsIgnoringCase(token, "Negotiate")) return CHttpSender::kSchemeNegotiate;
  return 0;
}

uint32_t SchemeToLearn(const std::vector<std::string>& challenges) {
  uint32_t learnt = 0;
  for (const std::string& challenge : challenges) {
    const uint32_t offered = SchemeOfChallenge(challenge);
    if (offered == CHttpSender::kSchemeDigest) return offered;
    if (offered == CHttpSender::kSchemeBasic) learnt = offered;
  }
  return learnt;
}

bool ChooseDigestChallenge(const std::vector<std::string>& challenges, korvalt::DIGEST_CHALLENGE& chosen) {
  bool found = false;
  for (const std::string& value : challenges) {
    const std::string_view text = HUtils::TrimBlanks(value);
    const size_t schemeEnd = std::min(text.find_first_of(" \t"), text.size());
    if (!HUtils::EqualsIgnoringCase(text.substr(0, schemeEnd), "Digest")) continue;
    korvalt::DIGEST_CHALLENGE parsed;
    if (!HUtils::ParseDigestChallenge(text.substr(schemeEnd), parsed)) continue;
    if (!found || RankOf(parsed) > RankOf(chosen)) {
      chosen = parsed;
      found = true;
    }
  }
  return found;
}

}  // namespace Web
