// Strict JSON reading for the handoff file and the service status file, through the JSON library.
// Only a top-level object counts as a document; its members are kept with their type, nested
// values are checked and skipped.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace trelvo::installer {

class Platform;

struct JsonValue {
  enum class Type { Null, Boolean, Number, String, Array, Object };
  Type type = Type::Null;
  double number = 0;
  bool boolean = false;
  std::string text;  // decoded, for strings
};

using JsonObject = std::map<std::string, JsonValue, std::less<>>;

// Files above this size are not documents of this system and count as absent.
inline constexpr std::size_t kJsonFileLimit = 1 << 20;
// Levels of nesting below the top-level object; deeper nesting is refused like malformed text.
inline constexpr int kJsonDepthLimit = 256;

// Parses a whole UTF-8 document; nothing unless it is one JSON object (surrounding white space
// allowed, no byte order mark, no number a double cannot hold). A repeated member keeps its last
// value.
std::optional<JsonObject> parseJsonObject(std::string_view text);

// Reads and parses the file at `path`; missing, unreadable, too large or not an object: nothing.
std::optional<JsonObject> readJSON(Platform& platform, const std::string& path);

// The member `name` when the document and the member are present.
const JsonValue* member(const std::optional<JsonObject>& document, std::string_view name);

}  // namespace trelvo::installer
