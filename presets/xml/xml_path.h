#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalt {

// One step of a settings path: an element name and the attributes its predicates ask for.
struct XmlPathStep {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Attributes;  // from [@name="value"]
};

// Splits "Root/Child/Leaf[@id=\"7\"]" into its steps. A "/" inside a quoted value does not split.
// False for an empty step, a name that XML cannot carry, or a malformed predicate.
bool ParseXmlPath(std::string_view path, std::vector<XmlPathStep>& steps);

// Element and attribute names as XML allows them (ASCII rules; bytes above 0x7F pass, as UTF-8).
bool IsXmlName(std::string_view name);

}  // namespace korvalt
