// The update transaction: request checks, quit wait, handoff check, exchange, ready wait and
// commit, handing over to the rollback procedure when the new version does not become ready.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

namespace trelvo::installer {

// The installer's exit statuses; no other value is returned.
enum class ExitStatus : int {
  kDone = 0,            // committed, or rolled back and the previous version relaunched
  kRefused = 2,         // a request check failed; nothing touched
  kNotHandedOver = 3,   // the app did not quit in time, or the handoff file names another process
  kSwapFailed = 4,      // the exchange failed; the previous version relaunched
  kRecoveryFailed = 5,  // the rollback failed; the recovery alert was shown
};

inline constexpr double kQuitLimitSeconds = 45;
inline constexpr double kReadyLimitSeconds = 125;
inline constexpr unsigned kReadyPauseMicroseconds = 200000;
inline constexpr char kHandoffFile[] = "run/native-update.json";
inline constexpr char kStagedBundleName[] = "Trelvo Pro.app";
inline constexpr char kReadyMarkerName[] = "ready";
inline constexpr char kReadyFlagPrefix[] = "--trelvo-beta-ready=";
inline constexpr char kRollbackFlag[] = "--trelvo-beta-rollback";

// Runs the whole transaction for the arguments after the program name.
ExitStatus runInstaller(Platform& platform, const std::vector<std::string>& arguments);

}  // namespace trelvo::installer
