#include "json.h"

#include <nlohmann/json.hpp>

namespace trelvo::service {
namespace {

// Builds the value from the library's events. The depth is checked before a container is opened,
// so no value deeper than kJsonDepthLimit is ever built.
class ValueBuilder {
 public:
  using Json = nlohmann::json;

  bool null() { return scalar(JsonValue{}); }
  bool boolean(bool value) {
    return scalar(valueOf(JsonValue::Type::kBoolean, &JsonValue::boolean, value));
  }
  bool number_integer(Json::number_integer_t value) { return number(static_cast<double>(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return number(static_cast<double>(value)); }
  bool number_float(Json::number_float_t value, const Json::string_t& text) {
    return !underflows(value, text) && number(value);
  }
  bool string(Json::string_t& text) {
    return scalar(valueOf(JsonValue::Type::kString, &JsonValue::text, std::move(text)));
  }
  bool binary(Json::binary_t&) { return false; }  // not part of JSON text
  bool start_object(std::size_t) { return open(JsonValue::Type::kObject); }
  bool start_array(std::size_t) { return open(JsonValue::Type::kArray); }
  bool key(Json::string_t& name) {
    open_.back()->keys.push_back(std::move(name));
    return true;
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  JsonValue take() { return std::move(root_); }

 private:
  // A value of `type` with its one field set.
  template <typename Field, typename Content>
  static JsonValue valueOf(JsonValue::Type type, Field JsonValue::*field, Content content) {
    JsonValue value = valueOf(type);
    value.*field = std::move(content);
    return value;
  }
  static JsonValue valueOf(JsonValue::Type type) {
    JsonValue value;
    value.type = type;
    return value;
  }

  // The library rounds a number too small for a double to zero; a zero the text does not say is
  // refused like a number too large to hold, which the library refuses itself.
  static bool underflows(double value, std::string_view text) {
    if (value != 0) return false;
    return text.substr(0, text.find_first_of("eE")).find_first_of("123456789") !=
           std::string_view::npos;
  }

  bool number(double value) {
    return scalar(valueOf(JsonValue::Type::kNumber, &JsonValue::number, value));
  }

  // A scalar at the top level is not a document.
  bool scalar(JsonValue value) {
    if (open_.empty()) return false;
    (void)add(std::move(value));
    return true;
  }

  // The new value's place in the innermost open container. A container's vectors only grow while
  // it is the innermost one, so the places of the open containers stay valid.
  JsonValue* add(JsonValue value) {
    JsonValue& parent = *open_.back();
    auto& siblings = parent.type == JsonValue::Type::kArray ? parent.items : parent.values;
    siblings.push_back(std::move(value));
    return &siblings.back();
  }

  bool open(JsonValue::Type type) {
    if (open_.size() >= static_cast<std::size_t>(kJsonDepthLimit)) return false;
    if (open_.empty()) {
      root_.type = type;
      open_.push_back(&root_);
    } else {
      open_.push_back(add(valueOf(type)));
    }
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  JsonValue root_;
  std::vector<JsonValue*> open_;
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

std::optional<JsonValue> parseJson(std::string_view text) {
  // The library skips a leading byte order mark and takes a NUL byte for the end of the text;
  // strict JSON has neither.
  if (text.starts_with("\xEF\xBB\xBF") || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  ValueBuilder builder;
  if (!nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder)) {
    return std::nullopt;
  }
  return builder.take();
}

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
