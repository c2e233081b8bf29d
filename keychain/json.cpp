#include "json.h"

#include <cstdint>
#include <vector>

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

void appendUTF8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A cursor over the text. Every method returns false on malformed input; nested arrays and
// objects below the top level are checked with an explicit stack, so depth costs no C++ stack.
class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  bool atEnd() const { return i_ == s_.size(); }

  void skipWhitespace() {
    while (i_ < s_.size() &&
           (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
      ++i_;
    }
  }

  bool consume(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }

  // A string starting at the quotation mark; decoded into *out when out is not null.
  bool readString(std::string* out) {
    if (!consume('"')) return false;
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++i_;
        if (!readEscape(out)) return false;
        continue;
      }
      const std::size_t n = utf8SequenceLength(s_, i_);
      if (n == 0) return false;
      if (out) out->append(s_.substr(i_, n));
      i_ += n;
    }
    return false;
  }

  bool readNumber() {
    consume('-');
    if (consume('0')) {
      // no leading zeros
    } else if (!readDigits()) {
      return false;
    }
    if (consume('.') && !readDigits()) return false;
    if (peek() == 'e' || peek() == 'E') {
      ++i_;
      if (!consume('+')) consume('-');
      if (!readDigits()) return false;
    }
    return true;
  }

  bool readLiteral(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  // Any value; its type in *type, and for a string its decoded text in *text.
  bool readValue(JsonType* type, std::string* text) {
    switch (peek()) {
      case '"':
        *type = JsonType::kString;
        return readString(text);
      case '[':
        *type = JsonType::kArray;
        return skipContainer();
      case '{':
        *type = JsonType::kObject;
        return skipContainer();
      case 't':
        *type = JsonType::kBoolean;
        return readLiteral("true");
      case 'f':
        *type = JsonType::kBoolean;
        return readLiteral("false");
      case 'n':
        *type = JsonType::kNull;
        return readLiteral("null");
      default:
        *type = JsonType::kNumber;
        return readNumber();
    }
  }

 private:
  bool readDigits() {
    const std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }

  bool readHex4(std::uint32_t* value) {
    if (s_.size() - i_ < 4) return false;
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    *value = v;
    return true;
  }

  // After the reverse solidus. A lone surrogate is refused: every decoded string must have a
  // UTF-8 form.
  bool readEscape(std::string* out) {
    if (i_ >= s_.size()) return false;
    const char c = s_[i_++];
    char plain = 0;
    switch (c) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
        std::uint32_t cp = 0;
        if (!readHex4(&cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::uint32_t low = 0;
          if (!consume('\\') || !consume('u') || !readHex4(&low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out) appendUTF8(*out, cp);
        return true;
      }
      default:
        return false;
    }
    if (out) *out += plain;
    return true;
  }

  // An array or object at any depth, checked but not kept.
  bool skipContainer() {
    std::vector<char> open;  // the closing bracket each open container expects
    // Each open container is in one of two states: expecting a first element (or its end), or
    // having just read an element.
    enum class Expect { kFirstOrEnd, kCommaOrEnd };
    std::vector<Expect> state;
    const auto openContainer = [&]() {
      const char c = s_[i_++];
      open.push_back(c == '[' ? ']' : '}');
      state.push_back(Expect::kFirstOrEnd);
    };
    // Reads one element of the innermost container: for an object, the name and colon first.
    // Returns false on malformed text; a nested container is opened instead of read whole.
    const auto startElement = [&]() -> bool {
      if (open.back() == '}') {
        skipWhitespace();
        if (!readString(nullptr)) return false;
        skipWhitespace();
        if (!consume(':')) return false;
      }
      skipWhitespace();
      state.back() = Expect::kCommaOrEnd;
      if (peek() == '[' || peek() == '{') {
        openContainer();
        return true;
      }
      JsonType type;
      return readValue(&type, nullptr);
    };

    openContainer();
    while (!open.empty()) {
      skipWhitespace();
      if (consume(open.back())) {
        open.pop_back();
        state.pop_back();
        continue;
      }
      if (state.back() == Expect::kCommaOrEnd) {
        if (!consume(',')) return false;
      } else if (atEnd()) {
        return false;
      }
      if (!startElement()) return false;
    }
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

std::optional<std::map<std::string, JsonMember>> readJSONObject(std::string_view text) {
  Reader r(text);
  r.skipWhitespace();
  if (!r.consume('{')) return std::nullopt;
  std::map<std::string, JsonMember> members;
  r.skipWhitespace();
  if (!r.consume('}')) {
    while (true) {
      r.skipWhitespace();
      std::string name;
      if (!r.readString(&name)) return std::nullopt;
      r.skipWhitespace();
      if (!r.consume(':')) return std::nullopt;
      r.skipWhitespace();
      JsonMember member;
      if (!r.readValue(&member.type, &member.text)) return std::nullopt;
      members.insert_or_assign(std::move(name), std::move(member));
      r.skipWhitespace();
      if (r.consume('}')) break;
      if (!r.consume(',')) return std::nullopt;
    }
  }
  r.skipWhitespace();
  if (!r.atEnd()) return std::nullopt;
  return members;
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
