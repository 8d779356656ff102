#include "http/camera_key.h"

#include <algorithm>
#include <cctype>

#include "http/sha256.h"

namespace korvalt {

std::string CCameraKey::Fingerprint(const uint8_t* der, size_t size) {
  CSha256 hash;
  hash.Update(der, size);
  const auto digest = hash.Finish();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(kFingerprintChars);
  for (const uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0f]);
  }
  return text;
}

std::string CCameraKey::NormalPin(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  if (text.size() != kFingerprintChars || !std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c));
      }))
    return {};
  std::string pin(text);
  std::transform(pin.begin(), pin.end(), pin.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return pin;
}

bool CCameraKey::UsePin(std::string_view text) {
  std::string pin = NormalPin(text);
  std::lock_guard<std::mutex> guard(Lock);
  if (pin != PinText) {
    PinText = std::move(pin);
    AcceptedKey.clear();
    FirstSaid = false;
    RefusalSaid = false;
    InRefusal = false;
  }
  return !PinText.empty();
}

std::string CCameraKey::Pin() const {
  std::lock_guard<std::mutex> guard(Lock);
  return PinText;
}

bool CCameraKey::Pinned() const {
  std::lock_guard<std::mutex> guard(Lock);
  return !PinText.empty();
}

CCameraKey::VERDICT CCameraKey::Check(const std::string& fingerprint, bool storeVerified,
                                      const std::string& address) {
  VERDICT verdict;
  std::lock_guard<std::mutex> guard(Lock);
  const std::string& expected = PinText.empty() ? AcceptedKey : PinText;
  if (fingerprint.empty()) {
    verdict.Accepted = false;
  } else if (expected.empty() || fingerprint == expected || (PinText.empty() && storeVerified)) {
    verdict.Accepted = true;
    if (AcceptedKey.empty() && PinText.empty() && !storeVerified && !FirstSaid) {
      FirstSaid = true;
      verdict.Level = 2;
      verdict.Line =
          address +
          ": no key pinned for the camera's TLS certificate; accepting the key it presents, SHA-256 " +
          fingerprint +
          " (of its public key), for this session. Compare it with the camera's web page, and run the "
          "capability query to pin it";
    }
    AcceptedKey = fingerprint;
    InRefusal = false;
    RefusalSaid = false;
    return verdict;
  }
  InRefusal = true;
  if (!RefusalSaid) {
    RefusalSaid = true;
    verdict.Level = 1;
    verdict.Line =
        address + ": the camera presents the TLS key SHA-256 " + fingerprint + ", not the " +
        (PinText.empty() ? "key it presented before, " : "pinned key ") + expected +
        "; nothing was sent to it. If the camera's certificate was replaced, run the capability query "
        "again to pin the new key";
  }
  return verdict;
}

std::string CCameraKey::Accepted() const {
  std::lock_guard<std::mutex> guard(Lock);
  return AcceptedKey;
}

bool CCameraKey::Refusing() const {
  std::lock_guard<std::mutex> guard(Lock);
  return InRefusal;
}

void CCameraKey::Forget() {
  std::lock_guard<std::mutex> guard(Lock);
  AcceptedKey.clear();
  FirstSaid = false;
  RefusalSaid = false;
  InRefusal = false;
  Https = false;
  Port = 0;
  PlainPort = 0;
}

void CCameraKey::AnsweredPlain(uint16_t port, int64_t nowMs) {
  std::lock_guard<std::mutex> guard(Lock);
  PlainPort = port;
  PlainAnswerMs = nowMs;
}

bool CCameraKey::AnsweredPlainRecently(uint16_t port, int64_t nowMs) const {
  std::lock_guard<std::mutex> guard(Lock);
  return PlainPort != 0 && PlainPort == port && nowMs - PlainAnswerMs < kPlainTrustMs;
}

void CCameraKey::UseHttps(uint16_t port) {
  std::lock_guard<std::mutex> guard(Lock);
  if (Https) return;  // the first HTTPS port found is kept for the driver's life
  Https = true;
  Port = port;
}

bool CCameraKey::UsesHttps() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Https;
}

uint16_t CCameraKey::HttpsPort() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Port;
}

}  // namespace korvalt
