#include "rollback.h"

#include "json.h"
#include "paths.h"
#include "transaction.h"

namespace trelvo::installer {

bool stopServices(Platform& platform, const std::string& previousBundle,
                  const std::string& dataDirectory, const std::string& stagingDirectory) {
  const std::string launcher = appendingPathComponent(previousBundle, kServiceLauncher);
  const std::string statusFile = appendingPathComponent(stagingDirectory, kStatusFileName);

  // The force-stop run only has to end; what it prints is overwritten by the status run.
  ChildHandle forceStop = start(platform, launcher, {"force-stop", "--data", dataDirectory},
                                statusFile);
  if (!waitTask(platform, forceStop, kForceStopLimitSeconds)) stopProcess(platform, forceStop);

  ChildHandle status = start(platform, launcher, {"status", "--data", dataDirectory}, statusFile);
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

ExitStatus rollBack(Platform& platform, const RollbackInputs& inputs, ChildHandle& newVersion) {
  stopProcess(platform, newVersion);
  if (isRunning(platform, newVersion)) {
    recoverableError(platform, inputs.stagingDirectory);
    return ExitStatus::kRecoveryFailed;
  }
  if (!stopServices(platform, inputs.stagedBundlePath, inputs.dataDirectory,
                    inputs.stagingDirectory)) {
    recoverableError(platform, inputs.stagingDirectory);
    return ExitStatus::kRecoveryFailed;
  }
  if (!platform.exchange(inputs.bundlePath, inputs.stagedBundlePath)) {
    recoverableError(platform, inputs.stagingDirectory);
    return ExitStatus::kRecoveryFailed;
  }
  ChildHandle previous = launchApp(platform, inputs.bundlePath, kRollbackFlag);
  if (!previous) {
    recoverableError(platform, inputs.bundlePath);
    return ExitStatus::kRecoveryFailed;
  }
  platform.removeItem(inputs.stagingDirectory);
  return ExitStatus::kDone;
}

}  // namespace trelvo::installer
