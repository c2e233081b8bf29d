#include "descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace trelvo::installer {

// With one of the installer's own standard streams closed, a fresh descriptor takes its number,
// and would otherwise be inherited by every later child as that stream, or be closed or replaced
// by code that means the stream.
int aboveStandardStreams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  (void)close(fd);
  return moved;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace trelvo::installer
