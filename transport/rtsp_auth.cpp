// The Digest Authorization line of RTSP requests: the older form for a challenge without qop,
// qop=auth with client nonce and nonce count where the camera offers it.
#include <string>

#include "http/h_utils.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

namespace korvalt {

std::string CBaseRTSPClient::MakeDigestAuthorization(const std::string& uri, int method) {
  try {
    const RTSP_CONNECTION_PARAMS& p = Params;
    if (p.AuthScheme != kAuthDigest) return {};
    const DIGEST_CHALLENGE& challenge = Parser.Digest;
    // The count starts again with every nonce the camera hands out.
    if (challenge.Nonce != CountedNonce) {
      CountedNonce = challenge.Nonce;
      NonceCount = 0;
    }
    DIGEST_ANSWER_INPUT input;
    input.UserName = p.UserName;
    input.Password = p.Password;
    input.Method = RtspMethodName(method);
    input.Uri = uri;
    input.NonceCount = NonceCount + 1;
    input.ClientNonce = HUtils::MakeClientNonce();
    const std::string credentials = HUtils::MakeDigestCredentials(challenge, input);
    if (credentials.empty()) return {};
    NonceCount += 1;
    return "Authorization: " + credentials + "\r\n";
  } catch (...) {
    return {};
  }
}

}  // namespace korvalt
