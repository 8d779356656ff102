#pragma once

#include <cstdint>
#include <string>

#include "driver/host/debug.h"
#include "driver/host_destructor.h"

namespace korvalt {

// One diagnostic line as the host's sink sees it; lives on the caller's stack for one hand-over.
class CDebugInfo final : public CDebugInfoIf {
 public:
  CDebugInfo(int level, std::string text) : Level(static_cast<uint8_t>(level)), Text(std::move(text)) {}
  QUENLARK_HOST_DESTRUCTOR
  uint8_t GetLevel() const override { return Level; }
  const char* GetText() const override { return Text.c_str(); }

 private:
  uint8_t Level;
  std::string Text;
};

}  // namespace korvalt
