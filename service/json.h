// A strict JSON reader for the runtime manifest, over the JSON library: standard JSON text in UTF-8
// (no comments, no trailing commas, no byte-order mark, no number a double cannot hold), bounded
// in nesting depth.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trelvo::service {

// Levels of arrays and objects, the top-level one included; deeper nesting is refused like text
// that does not parse.
inline constexpr int kJsonDepthLimit = 64;

struct JsonValue {
  enum class Type { kNull, kBoolean, kNumber, kString, kArray, kObject };

  Type type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;               // a string's bytes, escapes decoded
  std::vector<JsonValue> items;   // an array's elements
  std::vector<std::string> keys;  // an object's member names, in order
  std::vector<JsonValue> values;  // and their values, one for each name

  bool isObject() const { return type == Type::kObject; }
  bool isString() const { return type == Type::kString; }

  // The member named `key` (the last one when the key repeats); nothing when this is not an object
  // or has no such member.
  const JsonValue* member(std::string_view key) const;
};

// The value of the whole text, or nothing when it is not one valid JSON value whose top level is an
// object or an array.
std::optional<JsonValue> parseJson(std::string_view text);

// The platform's Boolean reading of a value: true and false as themselves, a number when it is not
// zero, a string when its first character after leading white space, an optional sign and leading
// zeros is Y, y, T, t or a digit 1 to 9. Everything else, and no value at all, is false.
bool boolValue(const JsonValue* value);

}  // namespace trelvo::service
