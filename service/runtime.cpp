#include "runtime.h"

#include "paths.h"

namespace trelvo::service {
namespace {

Resolution refused() { return Resolution{ResolveOutcome::kRuntimeRefused, std::nullopt}; }

}  // namespace

Resolution resolveRuntime(Platform& platform) {
  const auto executable = platform.executablePath();
  if (!executable) return Resolution{ResolveOutcome::kSelfPathUnavailable, std::nullopt};

  // The real file decides the bundle, so a link to the launcher placed elsewhere still finds it.
  const auto canonical = resolveSymlinks(platform, *executable);
  if (!canonical) return refused();

  ResolvedRuntime runtime;
  runtime.contentsDirectory = deleteLastPathComponent(deleteLastPathComponent(*canonical));
  runtime.resourcesDirectory = joinPath(runtime.contentsDirectory, "Resources");
  runtime.manifestPath = joinPath(runtime.resourcesDirectory, kManifestName);

  const auto text = platform.readFile(runtime.manifestPath, kManifestSizeLimit);
  if (!text) return refused();
  auto manifest = parseJson(*text);
  if (!manifest || !manifest->isObject()) return refused();
  const JsonValue* paths = manifest->member("paths");
  const JsonValue* python = paths != nullptr ? paths->member("python") : nullptr;
  if (python == nullptr || !python->isString() || isAbsolutePath(python->text)) return refused();
  // A NUL would cut the path short where the system reads it, so it could name another file.
  if (python->text.find('\0') != std::string::npos) return refused();

  const auto standardized =
      standardizePath(platform, joinPath(runtime.resourcesDirectory, python->text));
  if (!standardized) return refused();
  auto candidate = resolveSymlinks(platform, *standardized);
  if (!candidate) return refused();

  // Plain append, not a join: the prefix must end in exactly one separator so that a sibling such
  // as "Contents-old" does not pass.
  const std::string prefix = runtime.contentsDirectory + "/";
  if (candidate->compare(0, prefix.size(), prefix) != 0) return refused();
  // The launcher itself lies inside the bundle too; handing over to it would start the launcher
  // again, one argument longer each time, without end.
  if (platform.isOwnExecutable(*candidate)) return refused();

  runtime.manifest = std::move(*manifest);
  runtime.interpreterPath = std::move(*candidate);
  return Resolution{ResolveOutcome::kResolved, std::move(runtime)};
}

}  // namespace trelvo::service
