#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace camctl {

// Writes one JSON text value by value, in order: the writer places the commas, the quotes and
// the escapes. Strings go out as JsonString makes them (valid UTF-8, control characters escaped).
class JsonWriter {
 public:
  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }
  // The name of the next value inside an object.
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view text);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) JsonWriter& Number(T value) {
    return Raw(std::to_string(value));
  }
  // A value that is JSON text already (a number in a format of its own).
  JsonWriter& Raw(std::string_view json);
  // The members of another writer's finished object, added to the object open here.
  JsonWriter& Members(const JsonWriter& object);

  const std::string& Text() const { return Out; }

 private:
  void Separate();
  JsonWriter& Open(char bracket);
  JsonWriter& Close(char bracket);

  std::string Out;
  std::vector<bool> Empty;  // per open object or array: nothing written in it yet
  bool AfterKey = false;
};

}  // namespace camctl
