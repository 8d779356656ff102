#include "tools/camctl/json_writer.h"

#include "tools/camctl/text_escape.h"

namespace camctl {

void JsonWriter::Separate() {
  if (AfterKey) {
    AfterKey = false;
    return;
  }
  if (Empty.empty()) return;
  if (!Empty.back()) Out += ',';
  Empty.back() = false;
}

JsonWriter& JsonWriter::Open(char bracket) {
  Separate();
  Out += bracket;
  Empty.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  Out += bracket;
  if (!Empty.empty()) Empty.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  Separate();
  Out += JsonString(name);
  Out += ':';
  AfterKey = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  return Raw(JsonString(text));
}

JsonWriter& JsonWriter::Bool(bool value) {
  return Raw(value ? "true" : "false");
}

JsonWriter& JsonWriter::Null() {
  return Raw("null");
}

JsonWriter& JsonWriter::Raw(std::string_view json) {
  Separate();
  Out += json;
  return *this;
}

JsonWriter& JsonWriter::Members(const JsonWriter& object) {
  const std::string& text = object.Text();
  // "{}" or less has no members to add.
  if (text.size() <= 2) return *this;
  Separate();
  Out.append(text, 1, text.size() - 2);
  return *this;
}

}  // namespace camctl
