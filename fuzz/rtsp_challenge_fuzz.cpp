// An RTSP 401 whose WWW-Authenticate lines come from the camera, and the next request the client
// builds from it: whatever realm, nonce, opaque, algorithm, qop and stale flag a camera sends, in
// however many challenges, the Authorization line stays one line and the request keeps its shape.
// The challenge text also goes through the Digest parser and answer builder directly, and through
// the credential masking, which must leave no password behind.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/h_utils.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

namespace {

// Every CR is followed by LF and every LF preceded by CR; the request ends with its empty line.
bool WellFormed(std::string_view request) {
  for (size_t i = 0; i < request.size(); ++i) {
    if (request[i] == '\r' && (i + 1 >= request.size() || request[i + 1] != '\n')) return false;
    if (request[i] == '\n' && (i == 0 || request[i - 1] != '\r')) return false;
    if (request[i] == '\0') return false;
  }
  return request.empty() || request.ends_with("\r\n\r\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the method of the retried request (0 and 7 are no method).
  const int method = data[0] % 8;
  std::string challenge(reinterpret_cast<const char*>(data + 1), size - 1);
  // The client hands over the text up to its first zero byte.
  challenge.resize(std::min(challenge.size(), challenge.find('\0')));

  korvalt::DIGEST_CHALLENGE digest;
  korvalt::HUtils::ParseDigestChallenge(challenge, digest);
  korvalt::DIGEST_ANSWER_INPUT input;
  input.UserName = "admin";
  input.Password = "secret";
  input.Method = "DESCRIBE";
  input.Uri = "rtsp://127.0.0.1:554/rtpvideo1.sdp";
  input.ClientNonce = "0123456789abcdef";
  const std::string credentials = korvalt::HUtils::MakeDigestCredentials(digest, input);
  if (credentials.find('\0') != std::string::npos) __builtin_trap();
  if (korvalt::HUtils::MaskCredentials(challenge, "admin", "secret").find("secret") != std::string::npos)
    __builtin_trap();

  korvalt::RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = "127.0.0.1";
  params.UrlPath = "rtpvideo1.sdp";
  params.UserName = "admin";
  params.Password = "secret";
  const std::string response = "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n" + challenge + "\r\n\r\n";
  // The retry goes out in the challenge's scheme; either one must stay well formed.
  for (const int32_t scheme : {korvalt::CBaseRTSPClient::kAuthBasic, korvalt::CBaseRTSPClient::kAuthDigest}) {
    params.AuthScheme = scheme;
    korvalt::CBaseRTSPClient client;
    client.SetConnection(params);
    if (!client.TakeResponse(response, method)) return 0;
    if (!WellFormed(client.BuildRequest(method))) __builtin_trap();
  }
  return 0;
}
