#include "launch.h"

#include "paths.h"

namespace trelvo::service {

std::string_view profileName(const JsonValue& manifest) {
  return boolValue(manifest.member("preview")) ? kPreviewProfileName : kProfileName;
}

LaunchFailure launchService(Platform& platform, const ResolvedRuntime& runtime, int argc,
                            char* const* argv) {
  platform.setEnv("TRELVO_RUNTIME_MANIFEST", runtime.manifestPath);
  platform.setEnv("TRELVO_DISTRIBUTION", "desktop");
  platform.setEnv("PYTHONNOUSERSITE", "1");
  platform.unsetEnv("PYTHONPATH");
  platform.unsetEnv("PYTHONHOME");

  const std::string profile(profileName(runtime.manifest));
  const auto home = platform.homeDirectory();
  if (!home) return LaunchFailure::kHomeUnavailable;
  platform.setEnv("PYTHONPYCACHEPREFIX",
                  joinPath(*home, "Library/Caches/" + profile + "/bootstrap"));
  // A value the caller set, even an empty one, is the caller's choice of data root.
  if (!platform.getEnv("TRELVO_DESKTOP_DATA_ROOT")) {
    platform.setEnv("TRELVO_DESKTOP_DATA_ROOT",
                    joinPath(*home, joinPath("Library/Application Support", profile)));
  }

  std::string script = joinPath(runtime.resourcesDirectory, kServiceScript);
  std::string interpreter = runtime.interpreterPath;

  // n + 2 entries (two paths, n - 1 arguments, the null entry), or 3 when not even a program name
  // was given, so that the vector always ends in a null entry.
  const std::size_t count = argc > 0 ? static_cast<std::size_t>(argc) : 0;
  const std::size_t entries = count > 0 ? count + 2 : 3;
  char** vector = platform.allocateVector(entries);
  if (vector == nullptr) return LaunchFailure::kOutOfMemory;
  vector[0] = interpreter.data();
  vector[1] = script.data();
  for (std::size_t i = 1; i < count; ++i) vector[i + 1] = argv[i];

  platform.execute(interpreter, vector);
  platform.releaseVector(vector);
  return LaunchFailure::kHandOverFailed;
}

}  // namespace trelvo::service
