// Finding the bundle from the launcher's own executable, reading the runtime manifest and accepting
// the interpreter it names only when it lies inside the bundle's Contents directory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "json.h"
#include "platform.h"

namespace trelvo::service {

// A larger manifest is refused like one that does not parse.
inline constexpr std::size_t kManifestSizeLimit = std::size_t{1} << 20;

inline constexpr const char* kManifestName = "runtime.json";

// Owns copies of its strings and of the parsed manifest.
struct ResolvedRuntime {
  std::string contentsDirectory;
  std::string resourcesDirectory;
  std::string manifestPath;
  JsonValue manifest;           // the manifest's top-level object
  std::string interpreterPath;  // standardized, links resolved, below contentsDirectory + "/"
};

enum class ResolveOutcome {
  kResolved,
  kSelfPathUnavailable,  // the system did not report the executable's path
  kRuntimeRefused,       // the manifest or the interpreter path is not acceptable
};

struct Resolution {
  ResolveOutcome outcome = ResolveOutcome::kRuntimeRefused;
  std::optional<ResolvedRuntime> runtime;  // present exactly when outcome is kResolved
};

// Locates the bundle from the executable path alone, reads the manifest once and checks the
// interpreter path. Changes nothing and writes nothing.
Resolution resolveRuntime(Platform& platform);

}  // namespace trelvo::service
