#include "http/digest_answer.h"

#include <algorithm>

#include "http/digest_challenge.h"
#include "http/h_utils.h"

namespace korvalt {

std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password) {
  try {
    return AnswerDigestChallenge(challenge, method, uri, user, password, HUtils::MakeClientNonce());
  } catch (...) {
    return {};
  }
}

std::string AnswerDigestChallenge(std::string_view challenge, const std::string& method,
                                  const std::string& uri, const std::string& user,
                                  const std::string& password, const std::string& clientNonce) {
  try {
    challenge = HUtils::TrimBlanks(challenge);
    const size_t schemeEnd = std::min(challenge.find_first_of(" \t"), challenge.size());
    if (!HUtils::EqualsIgnoringCase(challenge.substr(0, schemeEnd), "Digest")) return {};
    DIGEST_CHALLENGE parsed;
    if (!HUtils::ParseDigestChallenge(challenge.substr(schemeEnd), parsed)) return {};
    DIGEST_ANSWER_INPUT input;
    input.UserName = user;
    input.Password = password;
    input.Method = method;
    input.Uri = uri;
    input.ClientNonce = clientNonce;  // each answer follows a fresh challenge: its count is 1
    return HUtils::MakeDigestCredentials(parsed, input);
  } catch (...) {
    return {};
  }
}

}  // namespace korvalt
