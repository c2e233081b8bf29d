// The update request: the four command-line values and the checks that must all pass before the
// installer touches anything.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace trelvo::installer {

inline constexpr char kStagingPrefix[] = ".trelvo-beta-app-";

struct UpdateRequest {
  pid_t appPid = 0;
  std::string bundlePath;
  std::string stagingDirectory;
  std::string dataDirectory;
};

// Decimal text as strtol with base 10 reads it, narrowed to its low 32 bits.
pid_t parseProcessId(const std::string& text);

// Runs the request checks in order; nothing when one fails. `arguments` excludes the program name.
std::optional<UpdateRequest> checkRequest(Platform& platform,
                                          const std::vector<std::string>& arguments);

}  // namespace trelvo::installer
