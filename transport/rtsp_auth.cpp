// The Digest Authorization line of RTSP requests, in its RFC 2069 form.
#include <string>

#include "http/h_utils.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

// Values inside a quoted header parameter: a quote or backslash would end or bend the string.
std::string Quoted(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string CBaseRTSPClient::MakeDigestAuthorization(const std::string& uri, int method) const {
  try {
    const RTSP_CONNECTION_PARAMS& p = Params;
    if (p.AuthScheme != kAuthDigest || Parser.Realm.empty() || Parser.Nonce.empty() || p.UserName.empty() ||
        p.Password.empty() || uri.empty()) {
      return {};
    }
    const std::string ha1 = HUtils::MD5Hex(p.UserName + ":" + Parser.Realm + ":" + p.Password);
    const std::string ha2 = HUtils::MD5Hex(std::string(RtspMethodName(method)) + ":" + uri);
    const std::string response = HUtils::MD5Hex(ha1 + ":" + Parser.Nonce + ":" + ha2);
    return "Authorization: Digest username=\"" + Quoted(p.UserName) + "\", realm=\"" + Quoted(Parser.Realm) +
           "\", nonce=\"" + Quoted(Parser.Nonce) + "\", uri=\"" + Quoted(uri) + "\", response=\"" + response +
           "\"\r\n";
  } catch (...) {
    return {};
  }
}

}  // namespace korvalt
