#include "alert_linux.h"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

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

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
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

bool showDialog(const std::string& message, const std::string& informative) {
  if (gtk_init_check(nullptr, nullptr) == FALSE) return false;
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                             GTK_BUTTONS_OK, "%s", message.c_str());
  gtk_message_dialog_format_secondary_text(reinterpret_cast<GtkMessageDialog*>(dialog), "%s",
                                           informative.c_str());
  // The checked cast macros expand to C casts; these pointers come straight from the constructor.
  GtkWindow* window = reinterpret_cast<GtkWindow*>(dialog);
  gtk_window_set_title(window, "Trelvo Pro");
  // Like a helper without a Dock icon: no taskbar entry, but kept in front of the user.
  gtk_window_set_skip_taskbar_hint(window, TRUE);
  gtk_window_set_keep_above(window, TRUE);
  gtk_dialog_set_default_response(reinterpret_cast<GtkDialog*>(dialog), GTK_RESPONSE_OK);
  (void)gtk_dialog_run(reinterpret_cast<GtkDialog*>(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending() != FALSE) (void)gtk_main_iteration();
  return true;
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

void showRecoveryAlert(const std::string& message, const std::string& informative) {
  silenceToolkit();
  if (showDialog(message, informative)) return;
  if (promptOnTerminal(message, informative)) return;
  writeWithoutSigpipe(STDERR_FILENO, message + "\n" + informative + "\n");
}

}  // namespace trelvo::installer
