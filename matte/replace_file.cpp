#include "replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace trelvo::matte {

namespace {

// Writes all of `bytes` to `fd`; false on any failure, a full disk included.
bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t count = ::write(fd, bytes, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

bool replaceFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  constexpr int kAttempts = 100;
  std::string temporary;
  int fd = -1;
  // The new file is ".NAME.PID.N.tmp": O_EXCL, so nothing already there is ever opened or followed.
  for (int attempt = 0; attempt < kAttempts && fd < 0; ++attempt) {
    temporary = directory + "." + name + "." + std::to_string(::getpid()) + "." +
                std::to_string(attempt) + ".tmp";
    // 0666 less the umask: the mode a matte has always had.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes.data(), bytes.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    (void)::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace trelvo::matte
