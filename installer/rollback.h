// Putting the previous version back when the new one did not become ready, and the recovery
// alert when that fails.
#pragma once

#include <string>

#include "child.h"
#include "exit_status.h"
#include "platform.h"
#include "staging_layout.h"

namespace trelvo::installer {

inline constexpr double kForceStopLimitSeconds = 40;
inline constexpr double kStatusLimitSeconds = 12;
inline constexpr char kAlertMessage[] = "Trelvo Pro 未能自动恢复";
inline constexpr char kAlertSentence[] = "上一版本已保存在以下位置，请退出 Trelvo Pro 后联系支持。";

// After the exchange: the new version at `layout.bundle`, the previous one at
// `layout.stagedBundle`. Stops the new version and the services, exchanges the bundles back and
// relaunches the previous version with the rollback flag; status 0, or 5 after the recovery alert.
ExitStatus rollBack(Platform& platform, const StagingLayout& layout, ChildHandle& newVersion);

// Runs the service launcher of the previous version (at `layout.stagedBundle`) with force-stop,
// then status; true only when the status run ended in time and left a document whose "state" is
// "stopped".
bool stopServices(Platform& platform, const StagingLayout& layout);

// The informative text: the fixed sentence, one line break, then the path.
std::string alertInformativeText(const std::string& path);
// Shows the recovery alert naming `path` and returns once the user has dismissed it.
void recoverableError(Platform& platform, const std::string& path);

}  // namespace trelvo::installer
