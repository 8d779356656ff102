#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http/digest_challenge.h"

namespace Web {

// Which authentication scheme a sender uses, decided the same way by every HTTP backend.

// The scheme named first in one WWW-Authenticate value ("Digest realm=..., Basic ..." -> Digest).
uint32_t SchemeOfChallenge(std::string_view value);

// The scheme a sender learns from the camera's first 401, given every WWW-Authenticate value of
// it: Digest wherever the camera lists it, else Basic; 0 when it offers neither, so that the
// request fails and the next one asks again instead of failing for good with a scheme we cannot
// answer.
uint32_t SchemeToLearn(const std::vector<std::string>& challenges);

// Of every WWW-Authenticate value of one reply, the Digest challenge to answer: the strongest the
// module can answer whatever the order (SHA-256 over MD5, qop "auth" over none), as the RTSP
// client chooses. False when no Digest challenge can be answered.
bool ChooseDigestChallenge(const std::vector<std::string>& challenges, korvalt::DIGEST_CHALLENGE& chosen);

}  // namespace Web
