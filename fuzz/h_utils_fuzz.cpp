// Reply parsing over arbitrary camera replies: key, separator, terminators and the text itself
// come from the input, split at the first three zero bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/h_utils.h"

namespace {

std::string Take(const uint8_t*& data, size_t& size) {
  std::string piece;
  while (size > 0) {
    const char c = static_cast<char>(*data++);
    --size;
    if (c == '\0') break;
    piece.push_back(c);
  }
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvalt::HUtils;
  const std::string key = Take(data, size);
  const std::string separator = Take(data, size);
  const std::string terminators = Take(data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::string value = HUtils::GetValue(key, separator, text, terminators);
  if (value.size() > text.size()) __builtin_trap();
  HUtils::GetIntValue(key, separator, text, terminators);
  HUtils::IsValue(key, separator, value, text, terminators);
  for (const std::string& piece : HUtils::GetValueList(key, separator, text, ",", terminators)) {
    if (piece.empty() || piece.find(',') != std::string::npos) __builtin_trap();
  }
  HUtils::GetValueList(key, separator, text, separator, "\r\n");

  int number = 0;
  if (!HUtils::ParseInt(key, number) && number != 0) __builtin_trap();
  HUtils::ParseInt(text, number);
  size_t joined = 0;
  const std::vector<std::string> pieces = HUtils::SplitList(text);
  for (const std::string& piece : pieces) joined += piece.size() + 1;
  if (joined > text.size() + 1) __builtin_trap();
  return 0;
}
