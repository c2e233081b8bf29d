#include "child.h"

#include "paths.h"

namespace trelvo::installer {

ChildHandle start(Platform& platform, const std::string& executable,
                  const std::vector<std::string>& arguments,
                  const std::optional<std::string>& outputPath) {
  return platform.spawn(executable, arguments, outputPath ? &*outputPath : nullptr);
}

ChildHandle launchApp(Platform& platform, const std::string& bundlePath,
                      const std::string& argument) {
  return start(platform, appendingPathComponent(bundlePath, kMainExecutable), {argument});
}

bool isRunning(Platform& platform, ChildHandle& child) {
  return child && platform.isRunning(*child);
}

bool waitTask(Platform& platform, ChildHandle& child, double limitSeconds) {
  const double startTime = platform.uptime();
  if (isRunning(platform, child)) {
    for (;;) {
      if (platform.uptime() >= startTime + limitSeconds) break;
      platform.pause(kWaitPauseMicroseconds);
      if (!isRunning(platform, child)) break;
    }
  }
  if (!child) return false;
  return !isRunning(platform, child);
}

void stopProcess(Platform& platform, ChildHandle& child) {
  if (!isRunning(platform, child)) return;
  platform.terminate(*child);
  if (!waitTask(platform, child, kGracePeriodSeconds) && isRunning(platform, child)) {
    platform.kill(*child);
  }
  (void)waitTask(platform, child, kGracePeriodSeconds);
}

}  // namespace trelvo::installer
