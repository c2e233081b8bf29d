// Feeds arbitrary bytes to the JSON reader that parses the handoff and status files.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto document = trelvo::installer::parseJsonObject(text);
  if (document) {
    const auto* state = trelvo::installer::member(document, "state");
    if (state != nullptr && state->type == trelvo::installer::JsonValue::Type::String) {
      volatile std::size_t length = state->text.size();
      (void)length;
    }
  }
  return 0;
}
