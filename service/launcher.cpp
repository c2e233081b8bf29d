#include "launcher.h"

#include "launch.h"
#include "runtime.h"

namespace trelvo::service {

ExitStatus runLauncher(Platform& platform, int argc, char* const* argv) {
  auto resolution = resolveRuntime(platform);
  switch (resolution.outcome) {
    case ResolveOutcome::kSelfPathUnavailable:
      return ExitStatus::kFailure;
    case ResolveOutcome::kRuntimeRefused:
      platform.writeOutput(kLaunchErrorLine);
      return ExitStatus::kFailure;
    case ResolveOutcome::kResolved:
      break;
  }
  switch (launchService(platform, *resolution.runtime, argc, argv)) {
    case LaunchFailure::kOutOfMemory:
      return ExitStatus::kFailure;
    case LaunchFailure::kHomeUnavailable:
    case LaunchFailure::kHandOverFailed:
      platform.writeOutput(kLaunchErrorLine);
      return ExitStatus::kFailure;
  }
  return ExitStatus::kFailure;
}

}  // namespace trelvo::service
