#include "json.h"

#include <nlohmann/json.hpp>

namespace trelvo::keychain {
namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a valid one.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

// Collects the members of the top-level object from the library's events; the values below it are
// checked by the library and only counted here, so nothing nested is ever built.
class MemberReader {
 public:
  using Json = nlohmann::json;

  bool null() { return value(JsonType::kNull); }
  bool boolean(bool) { return value(JsonType::kBoolean); }
  bool number_integer(Json::number_integer_t) { return value(JsonType::kNumber); }
  bool number_unsigned(Json::number_unsigned_t) { return value(JsonType::kNumber); }
  bool number_float(Json::number_float_t number, const Json::string_t& text) {
    return !underflows(number, text) && value(JsonType::kNumber);
  }
  bool string(Json::string_t& text) {
    if (depth_ == 1) pending_.text = std::move(text);
    return value(JsonType::kString);
  }
  bool binary(Json::binary_t&) { return false; }  // not part of JSON text
  bool start_object(std::size_t) { return open(JsonType::kObject); }
  bool start_array(std::size_t) { return open(JsonType::kArray); }
  bool key(Json::string_t& name) {
    if (depth_ == 1) name_ = std::move(name);
    return true;
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  std::map<std::string, JsonMember> take() { return std::move(members_); }

 private:
  // The library rounds a number too small for a double to zero; a zero the text does not say is
  // refused like a number too large to hold, which the library refuses itself.
  static bool underflows(double number, std::string_view text) {
    if (number != 0) return false;
    return text.substr(0, text.find_first_of("eE")).find_first_of("123456789") !=
           std::string_view::npos;
  }

  // A scalar: a member's value when directly inside the top-level object. A scalar at the top
  // level is not a request.
  bool value(JsonType type) {
    if (depth_ == 0) return false;
    if (depth_ == 1) keep(type);
    return true;
  }

  bool open(JsonType type) {
    if (depth_ == 0 && type != JsonType::kObject) return false;
    if (depth_ == 1) keep(type);
    return ++depth_ <= kJsonDepthLimit;
  }

  bool close() {
    --depth_;
    return true;
  }

  // A repeated name keeps its last value.
  void keep(JsonType type) {
    pending_.type = type;
    members_.insert_or_assign(std::move(name_), std::move(pending_));
    pending_ = JsonMember{};
  }

  int depth_ = 0;  // containers open
  std::string name_;
  JsonMember pending_;
  std::map<std::string, JsonMember> members_;
};

}  // namespace

std::optional<std::map<std::string, JsonMember>> readJSONObject(std::string_view text) {
  // The library skips a leading byte order mark and takes a NUL byte for the end of the text;
  // strict JSON has neither.
  if (text.starts_with("\xEF\xBB\xBF") || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  MemberReader reader;
  if (!nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &reader)) {
    return std::nullopt;
  }
  return reader.take();
}

std::string writeJSONString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

bool isValidUTF8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8SequenceLength(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::size_t utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) != 0x80) units += 1;  // a lead byte starts one code point
    if (c >= 0xF0) units += 1;           // four-byte sequences are above U+FFFF: a pair
  }
  return units;
}

}  // namespace trelvo::keychain
