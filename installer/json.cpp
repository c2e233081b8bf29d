#include "json.h"

#include <nlohmann/json.hpp>

#include "platform.h"

namespace trelvo::installer {

namespace {

// Collects the members of the top-level object from the library's events. Values below it are
// checked by the library and only counted here, so nothing nested is ever built.
class MemberReader {
 public:
  using Json = nlohmann::json;

  // A value outside any object (depth 0) makes the text no document.
  bool null() {
    (void)slot(JsonValue::Type::Null);
    return depth_ > 0;
  }
  bool boolean(bool value) {
    if (JsonValue* kept = slot(JsonValue::Type::Boolean)) kept->boolean = value;
    return depth_ > 0;
  }
  bool number_integer(Json::number_integer_t value) { return number(static_cast<double>(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return number(static_cast<double>(value)); }
  bool number_float(Json::number_float_t value, const Json::string_t& text) {
    return !underflows(value, text) && number(value);
  }
  bool string(Json::string_t& text) {
    if (JsonValue* kept = slot(JsonValue::Type::String)) kept->text = std::move(text);
    return depth_ > 0;
  }
  bool binary(Json::binary_t&) { return false; }  // not part of JSON text
  bool start_object(std::size_t) { return open(JsonValue::Type::Object); }
  bool start_array(std::size_t) { return open(JsonValue::Type::Array); }
  bool key(Json::string_t& name) {
    if (depth_ == 1) name_ = std::move(name);
    return true;
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  JsonObject take() { return std::move(members_); }

 private:
  // The library rounds a number too small for a double to zero; a zero the text does not say is
  // refused like a number too large to hold, which the library refuses itself.
  static bool underflows(double value, std::string_view text) {
    if (value != 0) return false;
    return text.substr(0, text.find_first_of("eE")).find_first_of("123456789") !=
           std::string_view::npos;
  }

  bool number(double value) {
    if (JsonValue* kept = slot(JsonValue::Type::Number)) kept->number = value;
    return depth_ > 0;
  }

  // The member being read, of `type`, when directly inside the top-level object; a repeated name
  // keeps its last value.
  JsonValue* slot(JsonValue::Type type) {
    if (depth_ != 1) return nullptr;
    JsonValue& kept = members_[std::move(name_)];
    kept = JsonValue{};
    kept.type = type;
    return &kept;
  }

  // The top-level object is level 0; kJsonDepthLimit counts the levels below it.
  bool open(JsonValue::Type type) {
    if (depth_ == 0 && type != JsonValue::Type::Object) return false;
    (void)slot(type);
    return ++depth_ <= kJsonDepthLimit + 1;
  }

  bool close() {
    --depth_;
    return true;
  }

  int depth_ = 0;  // containers open
  std::string name_;
  JsonObject members_;
};

}  // namespace

std::optional<JsonObject> parseJsonObject(std::string_view text) {
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
