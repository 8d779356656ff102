#include "http/tls_key.h"

#include "platform/clock.h"

namespace Web {

bool JudgePresentedKey(TLS_KEY_CHECK& check, bool storeVerified) {
  if (check.Login == nullptr) {
    check.Refused = check.Presented.empty();
    return !check.Refused;
  }
  korvalt::CCameraKey& key = check.Key != nullptr ? *check.Key : check.Login->Key();
  const auto verdict = key.Check(check.Presented, storeVerified, check.Host);
  if (!verdict.Line.empty()) check.Login->Say(verdict.Level, verdict.Line);
  check.Refused = !verdict.Accepted;
  if (check.Refused) {
    bool first = false;
    check.Login->Refused(korvalt::platform::MonotonicMs(), first);
  }
  return verdict.Accepted;
}

}  // namespace Web
