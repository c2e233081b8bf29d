// The update transaction: request checks, quit wait, handoff check, exchange, ready wait and
// commit, handing over to the rollback procedure when the new version does not become ready.
#pragma once

#include <string>
#include <vector>

#include "exit_status.h"
#include "platform.h"

namespace trelvo::installer {

inline constexpr double kQuitLimitSeconds = 45;
inline constexpr double kReadyLimitSeconds = 125;
inline constexpr unsigned kReadyPauseMicroseconds = 200000;

// Runs the whole transaction for the arguments after the program name.
ExitStatus runInstaller(Platform& platform, const std::vector<std::string>& arguments);

}  // namespace trelvo::installer
