#include "tools/camctl/camera_probe.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

#include "tools/camctl/curl_exchange.h"

namespace camctl {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

ProbeAnswer ProbeConnect(const ProbeTarget& target, std::chrono::milliseconds timeout) {
  CurlExchange exchange;
  if (!exchange.Valid()) return {};
  exchange.Prepare("http://" + target.Host + ":" + std::to_string(target.Port) + "/", timeout);
  curl_easy_setopt(exchange.Handle(), CURLOPT_CONNECT_ONLY, 1L);
  return exchange.Perform();
}

ProbeAnswer ProbeGet(const ProbeTarget& target, const std::string& path, bool withCredentials,
                     std::chrono::milliseconds timeout) {
  CurlExchange exchange;
  if (!exchange.Valid()) return {};
  exchange.Prepare("http://" + target.Host + ":" + std::to_string(target.Port) + path, timeout);
  if (withCredentials) exchange.SetCredentials(target.User, target.Password);
  return exchange.Perform();
}

std::string ChallengeSummary(const std::string& challenge) {
  const size_t schemeEnd = challenge.find(' ');
  const std::string scheme = challenge.substr(0, schemeEnd);
  const std::string lower = Lower(challenge);
  size_t realm = lower.find("realm=");
  if (realm == std::string::npos) return scheme;
  realm += 6;
  std::string value;
  if (realm < challenge.size() && challenge[realm] == '"') {
    const size_t close = challenge.find('"', realm + 1);
    value = challenge.substr(realm + 1, close == std::string::npos ? std::string::npos : close - realm - 1);
  } else {
    const size_t end = challenge.find_first_of(", ", realm);
    value = challenge.substr(realm, end == std::string::npos ? std::string::npos : end - realm);
  }
  return scheme + " realm \"" + value + "\"";
}

std::string HeaderValue(const std::string& headers, const std::string& name) {
  const std::string wanted = Lower(name) + ":";
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find('\n', start);
    if (end == std::string::npos) end = headers.size();
    std::string line = headers.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Lower(line.substr(0, wanted.size())) == wanted) {
      const size_t value = line.find_first_not_of(" \t", wanted.size());
      return value == std::string::npos ? std::string() : line.substr(value);
    }
    start = end + 1;
  }
  return {};
}

std::string ReplyValue(const std::string& body, const std::string& key) {
  const std::string prefix = key + "=";
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find_first_of("\r\n", start);
    if (end == std::string::npos) end = body.size();
    if (body.compare(start, prefix.size(), prefix) == 0) {
      return body.substr(start + prefix.size(), end - start - prefix.size());
    }
    start = end + 1;
  }
  return {};
}

}  // namespace camctl
