// Putting the previous version back when the new one did not become ready, and the recovery
// alert when that fails.
#pragma once

#include <string>

#include "child.h"
#include "platform.h"

namespace trelvo::installer {

enum class ExitStatus : int;

inline constexpr char kServiceLauncher[] = "Contents/Helpers/TrelvoService";
inline constexpr char kStatusFileName[] = "service-status.json";
inline constexpr double kForceStopLimitSeconds = 40;
inline constexpr double kStatusLimitSeconds = 12;
inline constexpr char kAlertMessage[] = "Trelvo Pro 未能自动恢复";
inline constexpr char kAlertSentence[] = "上一版本已保存在以下位置，请退出 Trelvo Pro 后联系支持。";

struct RollbackInputs {
  std::string bundlePath;        // holds the new version
  std::string stagingDirectory;  // holds the previous version as "Trelvo Pro.app"
  std::string dataDirectory;
  std::string stagedBundlePath;
};

// Stops the new version and the services, exchanges the bundles back and relaunches the previous
// version with the rollback flag; status 0, or 5 after the recovery alert.
ExitStatus rollBack(Platform& platform, const RollbackInputs& inputs, ChildHandle& newVersion);

// Runs the previous bundle's service launcher with force-stop, then status; true only when the
// status run ended in time and left a document whose "state" is "stopped".
bool stopServices(Platform& platform, const std::string& previousBundle,
                  const std::string& dataDirectory, const std::string& stagingDirectory);

// The informative text: the fixed sentence, one line break, then the path.
std::string alertInformativeText(const std::string& path);
// Shows the recovery alert naming `path` and returns once the user has dismissed it.
void recoverableError(Platform& platform, const std::string& path);

}  // namespace trelvo::installer
