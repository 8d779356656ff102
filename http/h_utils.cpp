#include "http/h_utils.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "http/http_sender.h"
#include "platform/socket.h"

namespace korvalt {
namespace {

constexpr const char* kRequestOrigin = "korvalt::HUtils::RequestGetRD";
constexpr uint32_t kCodeStatusRefused = 6;
constexpr uint32_t kCodeNotSent = 9;
constexpr uint32_t kCodeEmptyReply = 10;

// Repetition counter: wraps from kCounterWrap back to kCounterRestart, so the sparsest rate
// (once per 4096 calls) holds for ever.
constexpr uint32_t kCounterWrap = 65535;
constexpr uint32_t kCounterRestart = 4095;

}  // namespace

CResultDef HUtils::RequestGetRD(std::vector<uint8_t>& body, Web::CHttpSender& sender, CResultDef& result,
                                const std::string& path, bool wantBody) {
  result = CResultDef(std::string());
  const DEVICE_INFO& device = sender.GetDeviceInfo();
  const std::string deviceName = Format("device %s:%u", device.Address.c_str(), unsigned{device.Port});

  const Web::CHttpRequest request("GET", path);
  body.clear();

  if (!sender.Send(request) || sender.GetStatusCode() == 0) {
    result.Level = ipcapture::kDebugLevelRequestNotSent;
    result.Code = kCodeNotSent;
    result.Text =
        Format("%s: cannot send request \"%s\" to %s", kRequestOrigin, path.c_str(), deviceName.c_str());
  } else if (sender.GetStatusCode() / 100 != 2) {
    result.Level = ipcapture::kDebugLevelError;
    result.Code = kCodeStatusRefused;
    result.Text = Format("%s: %s does not process request \"%s\", status code = %u", kRequestOrigin,
                         deviceName.c_str(), path.c_str(), sender.GetStatusCode());
  }
  if (wantBody && result.Code == 0) {
    if (sender.ReadBody(body) == 0) {
      result.Level = ipcapture::kDebugLevelError;
      result.Code = kCodeEmptyReply;
      result.Text = Format("%s: incorrect response for request \"%s\" from %s", kRequestOrigin, path.c_str(),
                           deviceName.c_str());
    }
    // The parsers read the body as text up to its first zero byte.
    body.push_back(0);
  }
  return result;
}

namespace {

bool LogFailure(const CResultDef& result, IDebugMessage* sink) {
  if (result.Code == 0) return true;
  if (!result.Text.empty() && sink != nullptr && HUtils::ShouldLog(sink)) {
    sink->DebugMessage(result.Level, "%s", result.Text.c_str());
  }
  return false;
}

}  // namespace

bool HUtils::Query(std::vector<uint8_t>& body, Web::CHttpSender& sender, IDebugMessage* sink,
                   const std::string& path) {
  CResultDef result;
  RequestGetRD(body, sender, result, path, true);
  return LogFailure(result, sink);
}

bool HUtils::Command(Web::CHttpSender& sender, IDebugMessage* sink, const std::string& path) {
  std::vector<uint8_t> body;
  CResultDef result;
  RequestGetRD(body, sender, result, path, false);
  return LogFailure(result, sink);
}

std::string HUtils::GetValue(const std::string& key, const std::string& separator, const std::string& text,
                             const std::string& terminators) {
  if (key.empty() || separator.empty() || terminators.empty()) return {};
  const std::string_view all(text);
  size_t p = all.find(key);
  while (p != std::string_view::npos) {
    const size_t lastTerminator = all.find_last_of(terminators, p);
    const size_t lineStart = lastTerminator == std::string_view::npos ? 0 : lastTerminator + 1;
    const size_t terminator = all.find_first_of(terminators, p);
    const size_t lineEnd = terminator == std::string_view::npos ? all.size() : terminator;
    // The separator is looked for within the line only (it may start there and run past its end):
    // searching the rest of the reply for every key-only line made the time grow with the square
    // of the reply.
    const std::string_view window = all.substr(p, lineEnd - p + separator.size() - 1);
    const size_t found = window.find(separator);
    if (found != std::string_view::npos) {
      const size_t sep = p + found;
      const std::string name = Trim(std::string(all.substr(lineStart, sep - lineStart)));
      const size_t valueStart = sep + separator.size();
      if (name == key && valueStart < all.size())
        return std::string(all.substr(valueStart, lineEnd - valueStart));
    }
    if (lineEnd >= all.size()) break;
    // A key that itself holds a terminator ends its line where it starts: move on regardless.
    p = all.find(key, std::max(lineEnd, p + 1));
  }
  return {};
}

int HUtils::GetIntValue(const std::string& key, const std::string& separator, const std::string& text,
                        const std::string& terminators) {
  const std::string value = GetValue(key, separator, text, terminators);
  return value.empty() ? 0 : std::atoi(value.c_str());
}

bool HUtils::IsValue(const std::string& key, const std::string& separator, const std::string& expected,
                     const std::string& text, const std::string& terminators) {
  const std::string value = GetValue(key, separator, text, terminators);
  return !value.empty() && value == expected;
}

std::vector<std::string> HUtils::GetValueList(const std::string& key, const std::string& separator,
                                              const std::string& text, const std::string& delimiter,
                                              const std::string& terminators) {
  std::vector<std::string> list;
  const std::string value = GetValue(key, separator, text, terminators);
  if (value.empty() || delimiter.empty()) return list;
  size_t position = 0;
  for (;;) {
    const size_t next = value.find(delimiter, position);
    const size_t end = next == std::string::npos ? value.size() : next;
    if (end > position) list.push_back(value.substr(position, end - position));
    if (next == std::string::npos) break;
    position = next + delimiter.size();
  }
  return list;
}

uint32_t HUtils::ResolveHost(const std::string& host) {
  if (host.empty()) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  uint32_t address = 0;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(found);
  return address;
}

bool HUtils::ShouldLog(IDebugMessage* sink) {
  if (sink == nullptr) return false;
  uint32_t current = sink->RepetitionCounter.load();
  uint32_t n = 0;
  do {
    n = current + 1;
    if (n >= kCounterWrap) n = kCounterRestart;
  } while (!sink->RepetitionCounter.compare_exchange_weak(current, n));
  if (n < 15) return true;
  if (n < 255) return n % 16 == 0;
  if (n < 4095) return n % 256 == 0;
  return n % 4096 == 0;
}

}  // namespace korvalt
