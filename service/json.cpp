#include "json.h"

#include <charconv>
#include <cstdint>

namespace trelvo::service {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> parseDocument() {
    JsonValue value;
    skipSpace();
    if (!parseValue(value, 0)) return std::nullopt;
    skipSpace();
    if (pos_ != text_.size()) return std::nullopt;
    if (value.type != JsonValue::Type::kObject && value.type != JsonValue::Type::kArray) {
      return std::nullopt;
    }
    return value;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  void skipSpace() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
      ++pos_;
  }

  bool consume(std::string_view literal) {
    if (text_.substr(pos_, literal.size()) != literal) return false;
    pos_ += literal.size();
    return true;
  }

  bool parseValue(JsonValue& value, int depth) {
    if (atEnd()) return false;
    switch (peek()) {
      case '{':
        return parseObject(value, depth + 1);
      case '[':
        return parseArray(value, depth + 1);
      case '"':
        value.type = JsonValue::Type::kString;
        return parseString(value.text);
      case 't':
        value.type = JsonValue::Type::kBoolean;
        value.boolean = true;
        return consume("true");
      case 'f':
        value.type = JsonValue::Type::kBoolean;
        value.boolean = false;
        return consume("false");
      case 'n':
        value.type = JsonValue::Type::kNull;
        return consume("null");
      default:
        return parseNumber(value);
    }
  }

  bool parseObject(JsonValue& value, int depth) {
    if (depth > kJsonDepthLimit) return false;
    value.type = JsonValue::Type::kObject;
    ++pos_;  // '{'
    skipSpace();
    if (!atEnd() && peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skipSpace();
      if (atEnd() || peek() != '"') return false;
      std::string key;
      if (!parseString(key)) return false;
      skipSpace();
      if (atEnd() || peek() != ':') return false;
      ++pos_;
      skipSpace();
      JsonValue member;
      if (!parseValue(member, depth)) return false;
      value.keys.push_back(std::move(key));
      value.values.push_back(std::move(member));
      skipSpace();
      if (atEnd()) return false;
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return false;
      ++pos_;
    }
  }

  bool parseArray(JsonValue& value, int depth) {
    if (depth > kJsonDepthLimit) return false;
    value.type = JsonValue::Type::kArray;
    ++pos_;  // '['
    skipSpace();
    if (!atEnd() && peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      skipSpace();
      JsonValue item;
      if (!parseValue(item, depth)) return false;
      value.items.push_back(std::move(item));
      skipSpace();
      if (atEnd()) return false;
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return false;
      ++pos_;
    }
  }

  bool parseNumber(JsonValue& value) {
    const std::size_t start = pos_;
    auto digits = [this] {
      const std::size_t from = pos_;
      while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
      return pos_ > from;
    };
    if (!atEnd() && peek() == '-') ++pos_;
    if (atEnd()) return false;
    if (peek() == '0') {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    if (!atEnd() && peek() == '.') {
      ++pos_;
      if (!digits()) return false;
    }
    if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      if (!atEnd() && (peek() == '+' || peek() == '-')) ++pos_;
      if (!digits()) return false;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    const auto result = std::from_chars(first, last, value.number);
    // A number too large for a double is refused rather than silently changed.
    if (result.ec != std::errc() || result.ptr != last) return false;
    value.type = JsonValue::Type::kNumber;
    return true;
  }

  bool parseHex4(std::uint32_t& unit) {
    if (text_.size() - pos_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      unit <<= 4;
      if (c >= '0' && c <= '9') {
        unit |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        unit |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        unit |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  static void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool parseEscape(std::string& out) {
    if (atEnd()) return false;
    const char c = text_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += c;
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    std::uint32_t unit = 0;
    if (!parseHex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // a low surrogate on its own
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      std::uint32_t low = 0;
      if (!consume("\\u") || !parseHex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(out, unit);
    return true;
  }

  // One well-formed UTF-8 sequence (no overlong forms, no surrogates, nothing past U+10FFFF).
  bool copyUtf8(std::string& out) {
    const auto lead = static_cast<unsigned char>(text_[pos_]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text_.size() - pos_ < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      const auto c = static_cast<unsigned char>(text_[pos_ + i]);
      const unsigned char min = i == 1 ? low : 0x80;
      const unsigned char max = i == 1 ? high : 0xBF;
      if (c < min || c > max) return false;
    }
    out.append(text_.substr(pos_, length));
    pos_ += length;
    return true;
  }

  bool parseString(std::string& out) {
    ++pos_;  // opening quote
    for (;;) {
      if (atEnd()) return false;
      const auto c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++pos_;
        if (!parseEscape(out)) return false;
      } else if (c < 0x80) {
        out += static_cast<char>(c);
        ++pos_;
      } else if (!copyUtf8(out)) {
        return false;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

const JsonValue* JsonValue::member(std::string_view key) const {
  if (type != Type::kObject) return nullptr;
  const JsonValue* found = nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) found = &values[i];
  }
  return found;
}

std::optional<JsonValue> parseJson(std::string_view text) { return Parser(text).parseDocument(); }

bool boolValue(const JsonValue* value) {
  if (value == nullptr) return false;
  switch (value->type) {
    case JsonValue::Type::kBoolean:
      return value->boolean;
    case JsonValue::Type::kNumber:
      return value->number != 0;
    case JsonValue::Type::kString: {
      std::string_view text = value->text;
      while (!text.empty() && isWhiteSpace(text.front())) text.remove_prefix(1);
      if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
      while (!text.empty() && text.front() == '0') text.remove_prefix(1);
      if (text.empty()) return false;
      const char c = text.front();
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default:
      return false;
  }
}

}  // namespace trelvo::service
