// Presents the recovery alert on this machine: a modal dialog when a display can be opened, else
// a prompt on the controlling terminal, else the two texts on standard error.
#pragma once

#include <gtk/gtk.h>

#include <optional>
#include <string>

namespace trelvo::installer {

void showRecoveryAlert(const std::string& message, const std::string& informative);

// Opens the toolkit on the display and offers it the embedded font (alert_font.h); nothing when no
// display can be opened. Otherwise the font's memory file, for removeAlertFont once the dialog is
// gone (-1 when the font could not be offered).
std::optional<int> openToolkitWithAlertFont();

// The alert's dialog, built but not yet run: error icon, the message as primary and the
// informative text as secondary text, one OK button. Needs an initialised toolkit; the caller
// destroys it.
GtkWidget* makeAlertDialog(const std::string& message, const std::string& informative);

}  // namespace trelvo::installer
