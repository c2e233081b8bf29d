// Starting, watching and stopping child processes. A child is started directly with an argument
// list, waited for only with a limit, and keeps running after the installer exits.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace trelvo::installer {

inline constexpr unsigned kWaitPauseMicroseconds = 100000;
inline constexpr double kGracePeriodSeconds = 5;
inline constexpr char kMainExecutable[] = "Contents/MacOS/Trelvo Pro";
// The one argument the app is launched with: where to report that the new version is ready, or
// that it is the previous version coming back.
inline constexpr char kReadyFlagPrefix[] = "--trelvo-beta-ready=";
inline constexpr char kRollbackFlag[] = "--trelvo-beta-rollback";

// Nothing stands for a child that could not be started; every operation accepts it.
using ChildHandle = std::optional<Child>;

// Starts `executable`; with an output path, its standard output goes to that file, created anew.
ChildHandle start(Platform& platform, const std::string& executable,
                  const std::vector<std::string>& arguments,
                  const std::optional<std::string>& outputPath = std::nullopt);
// Starts the bundle's main executable with exactly one argument.
ChildHandle launchApp(Platform& platform, const std::string& bundlePath,
                      const std::string& argument);
// Whether the child still runs; nothing counts as not running.
bool isRunning(Platform& platform, ChildHandle& child);
// Waits up to `limitSeconds`, polling every 100 ms; true when the child has ended.
bool waitTask(Platform& platform, ChildHandle& child, double limitSeconds);
// Terminates the child, waits 5 s, kills it if needed and waits 5 s more. A child that outlives
// both grace periods is left running; callers ask again.
void stopProcess(Platform& platform, ChildHandle& child);

}  // namespace trelvo::installer
