// Presents the recovery alert on this machine: a modal dialog when a display can be opened, else
// a prompt on the controlling terminal, else the two texts on standard error.
#pragma once

#include <string>

namespace trelvo::installer {

void showRecoveryAlert(const std::string& message, const std::string& informative);

}  // namespace trelvo::installer
