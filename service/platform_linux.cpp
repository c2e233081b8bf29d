#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform.h"

namespace trelvo::service {
namespace {

// A path longer than this is not a path the system would hand out; it bounds the buffer growth.
constexpr std::size_t kPathBufferLimit = std::size_t{1} << 20;

std::optional<std::string> readLinkAt(const char* path) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = ::readlink(path, buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    // readlink truncates silently: only a result shorter than the buffer is known to be whole.
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    if (buffer.size() >= kPathBufferLimit) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

bool isAbsoluteDirectory(const char* path) { return path != nullptr && path[0] == '/'; }

}  // namespace

std::optional<std::string> LinuxPlatform::executablePath() {
  auto path = readLinkAt("/proc/self/exe");
  if (path && path->empty()) return std::nullopt;
  return path;
}

bool LinuxPlatform::isSymbolicLink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::optional<std::string> LinuxPlatform::readLink(const std::string& path) {
  return readLinkAt(path.c_str());
}

bool LinuxPlatform::isOwnExecutable(const std::string& path) {
  struct stat candidate {};
  struct stat self {};
  return ::stat(path.c_str(), &candidate) == 0 && ::stat("/proc/self/exe", &self) == 0 &&
         candidate.st_dev == self.st_dev && candidate.st_ino == self.st_ino;
}

std::optional<std::string> LinuxPlatform::readFile(const std::string& path, std::size_t limit) {
  // Non-blocking so that a FIFO planted at the path cannot hold the launcher; only regular files
  // are read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> contents;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    std::string data;
    char chunk[16384];
    bool ok = true;
    for (;;) {
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        ok = false;
        break;
      }
      if (got == 0) break;
      if (data.size() + static_cast<std::size_t>(got) > limit) {
        ok = false;
        break;
      }
      data.append(chunk, static_cast<std::size_t>(got));
    }
    if (ok) contents = std::move(data);
  }
  (void)::close(fd);
  return contents;
}

std::optional<std::string> LinuxPlatform::homeDirectory() {
  const char* home = std::getenv("HOME");
  if (isAbsoluteDirectory(home)) return std::string(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  for (;;) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kPathBufferLimit) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || !isAbsoluteDirectory(found->pw_dir)) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

std::optional<std::string> LinuxPlatform::getEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void LinuxPlatform::setEnv(const char* name, const std::string& value) {
  // A caller using execve may pass a name more than once, and setenv replaces only the first
  // entry: the service would still see the caller's later ones. unsetenv removes every entry.
  (void)::unsetenv(name);
  (void)::setenv(name, value.c_str(), 1);
}

void LinuxPlatform::unsetEnv(const char* name) { (void)::unsetenv(name); }

char** LinuxPlatform::allocateVector(std::size_t entries) {
  return static_cast<char**>(std::calloc(entries, sizeof(char*)));
}

void LinuxPlatform::releaseVector(char** vector) { std::free(vector); }

void LinuxPlatform::execute(const std::string& path, char* const* vector) {
  // A caller may have started the launcher with SIGPIPE ignored (a shell's trap, a supervisor that
  // ignores it for itself). That is no choice for the service: a program writing into a pipe
  // whose reader has gone expects to be ended by the signal, so it starts with the default. When
  // execv fails the launcher goes on as it was; its error line is shielded on its own.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  (void)sigemptyset(&defaults.sa_mask);
  struct sigaction previous {};
  const bool reset = ::sigaction(SIGPIPE, &defaults, &previous) == 0;
  (void)::execv(path.c_str(), vector);
  if (reset) (void)::sigaction(SIGPIPE, &previous, nullptr);
}

void LinuxPlatform::writeOutput(std::string_view text) {
  // Whoever reads standard output may have gone: the write must then fail and the launcher end
  // with its status 1, not be killed by SIGPIPE. Only this write is shielded; the disposition it
  // had before is back right after it.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)sigemptyset(&ignore.sa_mask);
  struct sigaction previous {};
  const bool shielded = ::sigaction(SIGPIPE, &ignore, &previous) == 0;
  (void)std::fwrite(text.data(), 1, text.size(), stdout);
  (void)std::fflush(stdout);
  if (shielded) (void)::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace trelvo::service
