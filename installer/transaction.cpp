#include "transaction.h"

#include "child.h"
#include "json.h"
#include "paths.h"
#include "request.h"
#include "rollback.h"
#include "staging_layout.h"

namespace trelvo::installer {

namespace {

bool waitForQuit(Platform& platform, pid_t appPid) {
  const double startTime = platform.uptime();
  if (!platform.processExists(appPid)) return true;
  for (;;) {
    if (platform.uptime() >= startTime + kQuitLimitSeconds) return false;
    platform.pause(kWaitPauseMicroseconds);
    if (!platform.processExists(appPid)) return true;
  }
}

bool handoffNamesInstaller(Platform& platform, const std::string& handoffFile) {
  const std::optional<JsonObject> handoff = readJSON(platform, handoffFile);
  const JsonValue* pid = member(handoff, "pid");
  return pid != nullptr && pid->type == JsonValue::Type::Number &&
         pid->number == static_cast<double>(platform.processId());
}

enum class ReadyOutcome { kReady, kNotReady };

ReadyOutcome waitForReady(Platform& platform, ChildHandle& child, const std::string& marker) {
  const double startTime = platform.uptime();
  if (!isRunning(platform, child)) return ReadyOutcome::kNotReady;
  for (;;) {
    if (platform.uptime() >= startTime + kReadyLimitSeconds) return ReadyOutcome::kNotReady;
    if (platform.itemExists(marker)) return ReadyOutcome::kReady;
    platform.pause(kReadyPauseMicroseconds);
    if (!isRunning(platform, child)) return ReadyOutcome::kNotReady;
  }
}

}  // namespace

ExitStatus runInstaller(Platform& platform, const std::vector<std::string>& arguments) {
  const std::optional<UpdateRequest> request = checkRequest(platform, arguments);
  if (!request) return ExitStatus::kRefused;

  const StagingLayout layout =
      stagingLayout(request->bundlePath, request->stagingDirectory, request->dataDirectory);

  if (!waitForQuit(platform, request->appPid)) return ExitStatus::kNotHandedOver;
  if (!handoffNamesInstaller(platform, layout.handoffFile)) return ExitStatus::kNotHandedOver;

  const bool exchanged = platform.exchange(layout.bundle, layout.stagedBundle);
  platform.removeItem(layout.handoffFile);

  if (!exchanged) {
    ChildHandle previous = launchApp(platform, layout.bundle, kRollbackFlag);
    if (previous) platform.removeItem(layout.stagingDirectory);
    return ExitStatus::kSwapFailed;
  }

  ChildHandle next = launchApp(platform, layout.bundle, kReadyFlagPrefix + layout.readyMarker);
  if (waitForReady(platform, next, layout.readyMarker) == ReadyOutcome::kReady) {
    platform.removeItem(layout.stagingDirectory);
    return ExitStatus::kDone;
  }
  return rollBack(platform, layout, next);
}

}  // namespace trelvo::installer
