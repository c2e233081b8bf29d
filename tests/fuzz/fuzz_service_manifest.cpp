// Feeds arbitrary bytes to the manifest reader and the Boolean reading of its "preview" value.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = trelvo::service::parseJson(text);
  if (value) {
    (void)trelvo::service::boolValue(value->member("preview"));
    const auto* paths = value->member("paths");
    if (paths != nullptr) (void)paths->member("python");
  }
  return 0;
}
