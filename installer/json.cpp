#include "json.h"

#include <charconv>

#include "paths.h"
#include "platform.h"

namespace trelvo::installer {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonObject> document() {
    JsonObject object;
    skipSpace();
    if (!parseObject(0, &object)) return std::nullopt;
    skipSpace();
    if (pos_ != text_.size()) return std::nullopt;
    return object;
  }

 private:
  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool consume(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool consumeWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // `out` may be null: the value is then only checked.
  bool parseValue(int depth, JsonValue* out) {
    if (pos_ >= text_.size()) return false;
    JsonValue value;
    switch (text_[pos_]) {
      case '{':
        value.type = JsonValue::Type::Object;
        if (!parseObject(depth + 1, nullptr)) return false;
        break;
      case '[':
        value.type = JsonValue::Type::Array;
        if (!parseArray(depth + 1)) return false;
        break;
      case '"':
        value.type = JsonValue::Type::String;
        if (!parseString(&value.text)) return false;
        break;
      case 't':
      case 'f':
        value.type = JsonValue::Type::Boolean;
        value.boolean = text_[pos_] == 't';
        if (!consumeWord(value.boolean ? "true" : "false")) return false;
        break;
      case 'n':
        if (!consumeWord("null")) return false;
        break;
      default:
        value.type = JsonValue::Type::Number;
        if (!parseNumber(&value.number)) return false;
        break;
    }
    if (out != nullptr) *out = std::move(value);
    return true;
  }

  bool parseObject(int depth, JsonObject* out) {
    if (depth > kJsonDepthLimit || !consume('{')) return false;
    skipSpace();
    if (consume('}')) return true;
    for (;;) {
      skipSpace();
      std::string name;
      if (!parseString(&name)) return false;
      skipSpace();
      if (!consume(':')) return false;
      skipSpace();
      JsonValue value;
      if (!parseValue(depth, out != nullptr ? &value : nullptr)) return false;
      if (out != nullptr) (*out)[name] = std::move(value);
      skipSpace();
      if (consume('}')) return true;
      if (!consume(',')) return false;
    }
  }

  bool parseArray(int depth) {
    if (depth > kJsonDepthLimit || !consume('[')) return false;
    skipSpace();
    if (consume(']')) return true;
    for (;;) {
      skipSpace();
      if (!parseValue(depth, nullptr)) return false;
      skipSpace();
      if (consume(']')) return true;
      if (!consume(',')) return false;
    }
  }

  bool parseHex4(char32_t* out) {
    if (text_.size() - pos_ < 4) return false;
    char32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<char32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<char32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<char32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    *out = value;
    return true;
  }

  static void appendUtf8(char32_t cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool parseString(std::string* out) {
    if (!consume('"')) return false;
    out->clear();
    for (;;) {
      if (pos_ >= text_.size()) return false;
      const auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char escape = text_[pos_++];
      switch (escape) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          char32_t cp = 0;
          if (!parseHex4(&cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            char32_t low = 0;
            if (!consume('\\') || !consume('u') || !parseHex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          appendUtf8(cp, out);
          break;
        }
        default:
          return false;
      }
    }
  }

  bool parseNumber(double* out) {
    const std::size_t begin = pos_;
    consume('-');
    if (consume('0')) {
    } else if (pos_ < text_.size() && text_[pos_] >= '1' && text_[pos_] <= '9') {
      while (pos_ < text_.size() && isDigit(text_[pos_])) ++pos_;
    } else {
      return false;
    }
    if (consume('.')) {
      if (!digits()) return false;
    }
    if (consume('e') || consume('E')) {
      if (!consume('+')) consume('-');
      if (!digits()) return false;
    }
    const char* first = text_.data() + begin;
    const char* last = text_.data() + pos_;
    double value = 0;
    const auto result = std::from_chars(first, last, value);
    // Out of range magnitudes are refused, as a number that cannot be held is not a number.
    if (result.ec != std::errc() || result.ptr != last) return false;
    *out = value;
    return true;
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  bool digits() {
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && isDigit(text_[pos_])) ++pos_;
    return pos_ > begin;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<JsonObject> parseJsonObject(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  return Parser(text).document();
}

std::optional<JsonObject> readJSON(Platform& platform, const std::string& path) {
  const std::optional<std::string> data = platform.readFile(path, kJsonFileLimit);
  if (!data) return std::nullopt;
  return parseJsonObject(*data);
}

const JsonValue* member(const std::optional<JsonObject>& document, std::string_view name) {
  if (!document) return nullptr;
  const auto found = document->find(name);
  return found == document->end() ? nullptr : &found->second;
}

}  // namespace trelvo::installer
