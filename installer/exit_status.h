// The installer's exit statuses.
#pragma once

namespace trelvo::installer {

// No other value is returned.
enum class ExitStatus : int {
  kDone = 0,            // committed, or rolled back and the previous version relaunched
  kRefused = 2,         // a request check failed; nothing touched
  kNotHandedOver = 3,   // the app did not quit in time, or the handoff file names another process
  kSwapFailed = 4,      // the exchange failed; the previous version relaunched
  kRecoveryFailed = 5,  // the rollback failed; the recovery alert was shown
};

}  // namespace trelvo::installer
