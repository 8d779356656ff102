#include "presets/xml/xml_path.h"

namespace korvalt {
namespace {

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Reads one predicate, @name="value", from text just after its "[", through its "]".
bool ParsePredicate(std::string_view& text, XmlPathStep& step) {
  if (text.empty() || text.front() != '@') return false;
  text.remove_prefix(1);
  const auto equals = text.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view name = text.substr(0, equals);
  if (!IsXmlName(name)) return false;
  text.remove_prefix(equals + 1);
  if (text.empty() || text.front() != '"') return false;
  text.remove_prefix(1);
  // The value ends at the quote that closes the predicate.
  const auto close = text.find("\"]");
  if (close == std::string_view::npos) return false;
  step.Attributes.emplace_back(std::string(name), std::string(text.substr(0, close)));
  text.remove_prefix(close + 2);
  return true;
}

}  // namespace

bool IsXmlName(std::string_view name) {
  if (name.empty() || !IsNameStart(static_cast<unsigned char>(name.front()))) return false;
  for (const char c : name) {
    if (!IsNameChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool ParseXmlPath(std::string_view path, std::vector<XmlPathStep>& steps) {
  steps.clear();
  for (;;) {
    XmlPathStep step;
    const auto end = path.find_first_of("/[");
    step.Name = std::string(path.substr(0, end));
    if (!IsXmlName(step.Name)) return false;
    path.remove_prefix(end == std::string_view::npos ? path.size() : end);
    while (!path.empty() && path.front() == '[') {
      path.remove_prefix(1);
      if (!ParsePredicate(path, step)) return false;
    }
    steps.push_back(std::move(step));
    if (path.empty()) return true;
    if (path.front() != '/') return false;
    path.remove_prefix(1);
  }
}

}  // namespace korvalt
