#pragma once

// The strict JSON reader and writer the request protocol needs: UTF-8 only, no extensions. The
// reading itself is the JSON library's; this keeps only what the protocol needs of it.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace trelvo::keychain {

enum class JsonType { kNull, kBoolean, kNumber, kString, kArray, kObject };

// A member of the top-level object: its type, and its decoded UTF-8 text when it is a string.
struct JsonMember {
  JsonType type = JsonType::kNull;
  std::string text;
};

// Deeper nesting is refused like malformed text. Each level takes at least two bytes, so a request
// within its size limit never comes near it; it bounds the reader for any longer text.
inline constexpr int kJsonDepthLimit = 32768;

// The members of the top-level object of one strict JSON text (RFC 8259, UTF-8 without a byte
// order mark, no lone surrogates, no number a double cannot hold, at most kJsonDepthLimit levels
// of arrays and objects counting the top-level object). Nothing when the text is not valid JSON
// or its top-level value is not an object. A repeated member name keeps its last occurrence.
std::optional<std::map<std::string, JsonMember>> readJSONObject(std::string_view text);

// `text` (valid UTF-8) in JSON form between quotation marks: quotation mark, reverse solidus and
// U+0000..U+001F escaped, a solidus written as \/, every other character as itself.
std::string writeJSONString(std::string_view text);

// True when `bytes` is valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUTF8(std::string_view bytes);

// The number of UTF-16 code units of valid UTF-8 `text`.
std::size_t utf16Length(std::string_view text);

}  // namespace trelvo::keychain
