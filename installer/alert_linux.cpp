#include "alert_linux.h"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "alert_font.h"
#include "descriptors.h"

namespace trelvo::installer {

namespace {

// The installer writes nothing but the alert itself, so toolkit diagnostics are dropped.
GLogWriterOutput dropLogRecord(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}
void dropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}
void dropPrint(const gchar*) {}

void silenceToolkit() {
  static bool silenced = false;
  if (silenced) return;
  silenced = true;
  g_log_set_writer_func(dropLogRecord, nullptr, nullptr);
  g_log_set_default_handler(dropLogMessage, nullptr);
  g_set_print_handler(dropPrint);
  g_set_printerr_handler(dropPrint);
}

// Standard error may be a pipe whose reader (the desktop application) has quit: the write must
// fail with EPIPE rather than end the installer by SIGPIPE before it can report its status.
void writeWithoutSigpipe(int fd, std::string_view text) {
  sigset_t pipeOnly;
  sigset_t previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous) != 0) return;
  sigset_t pending;
  sigemptyset(&pending);
  const bool alreadyPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  if (!writeAll(fd, text) && errno == EPIPE && !alreadyPending) {
    const timespec noWait{0, 0};
    (void)sigtimedwait(&pipeOnly, nullptr, &noWait);
  }
  (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Where standard error pointed before it was sent to /dev/null.
struct SavedStandardError {
  int copy = -1;            // a close-on-exec copy of the original, or -1
  bool redirected = false;  // descriptor 2 now points at /dev/null
};

// X11 and fontconfig write some complaints straight to descriptor 2, past every GLib handler
// ("Authorization required...", "Fontconfig error: ..."), so while the toolkit runs descriptor 2
// points at /dev/null. When no copy can be kept to put it back, it is left alone.
SavedStandardError quietenStandardError() {
  SavedStandardError saved;
  saved.copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (saved.copy < 0 && errno != EBADF) return saved;  // open, but cannot be copied
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) {
    if (saved.copy >= 0) (void)close(saved.copy);
    return SavedStandardError{};
  }
  // With descriptor 2 closed, /dev/null lands on it by itself.
  if (devNull != STDERR_FILENO) {
    const bool moved = dup2(devNull, STDERR_FILENO) == STDERR_FILENO;
    (void)close(devNull);
    if (!moved) {
      if (saved.copy >= 0) (void)close(saved.copy);
      return SavedStandardError{};
    }
  }
  saved.redirected = true;
  return saved;
}

void restoreStandardError(const SavedStandardError& saved) {
  if (!saved.redirected) return;
  if (saved.copy >= 0) {
    (void)dup2(saved.copy, STDERR_FILENO);
    (void)close(saved.copy);
  } else {
    (void)close(STDERR_FILENO);  // it was closed before
  }
}

bool runDialog(const std::string& message, const std::string& informative) {
  const std::optional<int> font = openToolkitWithAlertFont();
  if (!font) return false;
  GtkWidget* dialog = makeAlertDialog(message, informative);
  (void)gtk_dialog_run(reinterpret_cast<GtkDialog*>(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending() != FALSE) (void)gtk_main_iteration();
  removeAlertFont(*font);
  return true;
}

bool showDialog(const std::string& message, const std::string& informative) {
  const SavedStandardError saved = quietenStandardError();
  const bool shown = runDialog(message, informative);
  restoreStandardError(saved);
  return shown;
}

bool promptOnTerminal(const std::string& message, const std::string& informative) {
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  const std::string text = message + "\n" + informative + "\n[Enter] ";
  bool answered = writeAll(tty, text);
  // Wait for the end of a line; end of input or an error also ends the wait, as nobody can answer.
  while (answered) {
    char c = 0;
    const ssize_t got = read(tty, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n' || c == '\r') break;
  }
  (void)close(tty);
  return answered;
}

}  // namespace

std::optional<int> openToolkitWithAlertFont() {
  if (gtk_init_check(nullptr, nullptr) == FALSE) return std::nullopt;
  // Only once a display has opened, so the fallbacks never start fontconfig.
  return addAlertFont();
}

GtkWidget* makeAlertDialog(const std::string& message, const std::string& informative) {
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                             GTK_BUTTONS_OK, "%s", message.c_str());
  // The checked cast macros expand to C casts; these pointers come straight from the constructor.
  GtkMessageDialog* messageDialog = reinterpret_cast<GtkMessageDialog*>(dialog);
  gtk_message_dialog_format_secondary_text(messageDialog, "%s", informative.c_str());
  // A GTK 3 message dialog draws no icon for its type. Its image setter would put one where this
  // does, first in the row that holds the texts, but it is deprecated since 3.12 and also turns
  // the dialog's message type into "other"; so the error icon is packed there by hand.
  GtkWidget* row = gtk_widget_get_parent(gtk_message_dialog_get_message_area(messageDialog));
  if (row != nullptr && g_type_check_instance_is_a(reinterpret_cast<GTypeInstance*>(row),
                                                   gtk_box_get_type()) != FALSE) {
    GtkWidget* icon = gtk_image_new_from_icon_name("dialog-error", GTK_ICON_SIZE_DIALOG);
    gtk_widget_set_valign(icon, GTK_ALIGN_START);
    gtk_box_pack_start(reinterpret_cast<GtkBox*>(row), icon, FALSE, FALSE, 0);
    gtk_box_reorder_child(reinterpret_cast<GtkBox*>(row), icon, 0);
    gtk_widget_show(icon);
  }
  GtkWindow* window = reinterpret_cast<GtkWindow*>(dialog);
  gtk_window_set_title(window, "Trelvo Pro");
  // Like a helper without a Dock icon: no taskbar entry, but kept in front of the user.
  gtk_window_set_skip_taskbar_hint(window, TRUE);
  gtk_window_set_keep_above(window, TRUE);
  gtk_dialog_set_default_response(reinterpret_cast<GtkDialog*>(dialog), GTK_RESPONSE_OK);
  return dialog;
}

void showRecoveryAlert(const std::string& message, const std::string& informative) {
  silenceToolkit();
  if (showDialog(message, informative)) return;
  if (promptOnTerminal(message, informative)) return;
  writeWithoutSigpipe(STDERR_FILENO, message + "\n" + informative + "\n");
}

}  // namespace trelvo::installer
