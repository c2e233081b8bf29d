// Preparing the service's environment and handing the process over to the bundled interpreter.
#pragma once

#include <string>
#include <string_view>

#include "platform.h"
#include "runtime.h"

namespace trelvo::service {

inline constexpr std::string_view kServiceScript = "code/tools/desktop/service.py";
inline constexpr std::string_view kProfileName = "TrelvoPro";
inline constexpr std::string_view kPreviewProfileName = "TrelvoProPreview";

// The launcher's one message, written to standard output when the runtime cannot be started.
inline constexpr std::string_view kLaunchErrorLine =
    "{\"error\":\"\xE6\x97\xA0\xE6\xB3\x95\xE5\x90\xAF\xE5\x8A\xA8\xE9\x9A\x8F\xE5\x8C\x85\xE8\xBF"
    "\x90\xE8\xA1\x8C\xE6\x97\xB6\xEF\xBC\x8C\xE8\xAF\xB7\xE9\x87\x8D\xE6\x96\xB0\xE5\xAE\x89\xE8"
    "\xA3\x85 Trelvo Pro\"}\n";

enum class LaunchFailure {
  kOutOfMemory,      // the argument vector could not be allocated
  kHomeUnavailable,  // no home directory to place the per-user directories below
  kHandOverFailed,   // the interpreter could not be executed
};

// "TrelvoProPreview" when the manifest's top-level "preview" reads as true, else "TrelvoPro".
std::string_view profileName(const JsonValue& manifest);

// Sets up the environment, builds the vector (interpreter, script, arguments 1..argc-1, null) and
// executes the interpreter. Returns only on failure; on success the process is the service.
LaunchFailure launchService(Platform& platform, const ResolvedRuntime& runtime, int argc,
                            char* const* argv);

}  // namespace trelvo::service
