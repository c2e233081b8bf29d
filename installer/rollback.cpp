#include "rollback.h"

#include "json.h"
#include "paths.h"

namespace trelvo::installer {

bool stopServices(Platform& platform, const StagingLayout& layout) {
  const std::string launcher = appendingPathComponent(layout.stagedBundle, kServiceLauncher);
  const std::string& statusFile = layout.statusFile;

  // The force-stop run only has to end; what it prints is overwritten by the status run.
  ChildHandle forceStop =
      start(platform, launcher, {"force-stop", "--data", layout.dataDirectory}, statusFile);
  if (!waitTask(platform, forceStop, kForceStopLimitSeconds)) stopProcess(platform, forceStop);

  ChildHandle status =
      start(platform, launcher, {"status", "--data", layout.dataDirectory}, statusFile);
  if (!waitTask(platform, status, kStatusLimitSeconds)) {
    stopProcess(platform, status);
    return false;
  }
  const std::optional<JsonObject> document = readJSON(platform, statusFile);
  const JsonValue* state = member(document, "state");
  return state != nullptr && state->type == JsonValue::Type::String && state->text == "stopped";
}

std::string alertInformativeText(const std::string& path) {
  return std::string(kAlertSentence) + "\n" + path;
}

void recoverableError(Platform& platform, const std::string& path) {
  platform.showAlert(kAlertMessage, alertInformativeText(path));
}

ExitStatus rollBack(Platform& platform, const StagingLayout& layout, ChildHandle& newVersion) {
  stopProcess(platform, newVersion);
  if (isRunning(platform, newVersion)) {
    recoverableError(platform, layout.stagingDirectory);
    return ExitStatus::kRecoveryFailed;
  }
  if (!stopServices(platform, layout)) {
    recoverableError(platform, layout.stagingDirectory);
    return ExitStatus::kRecoveryFailed;
  }
  if (!platform.exchange(layout.bundle, layout.stagedBundle)) {
    recoverableError(platform, layout.stagingDirectory);
    return ExitStatus::kRecoveryFailed;
  }
  ChildHandle previous = launchApp(platform, layout.bundle, kRollbackFlag);
  if (!previous) {
    recoverableError(platform, layout.bundle);
    return ExitStatus::kRecoveryFailed;
  }
  platform.removeItem(layout.stagingDirectory);
  return ExitStatus::kDone;
}

}  // namespace trelvo::installer
