// The launcher as a whole: resolve, launch, and map every failure to its output and status.
#pragma once

#include "platform.h"

namespace trelvo::service {

// The launcher never ends successfully on its own: on success the service's process takes over
// and its exit status is the service's.
enum class ExitStatus : int {
  kFailure = 1,
};

// Runs the launcher. Returns only on failure, having written the launch error line where one is
// due.
ExitStatus runLauncher(Platform& platform, int argc, char* const* argv);

}  // namespace trelvo::service
