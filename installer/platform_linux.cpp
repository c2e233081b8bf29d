#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "alert_linux.h"
#include "descriptors.h"
#include "paths.h"
#include "platform.h"

extern char** environ;

namespace trelvo::installer {

namespace {

// Directory levels below which removal gives up; each level holds one descriptor open.
constexpr int kRemovalDepthLimit = 256;

bool isPermissionError(int error) { return error == EACCES || error == EPERM; }

// Adds the owner's read, write and search permission to a folder of the tree being deleted: the
// tree is the installer's own, and a version may hold folders that deny writing (whose entries
// cannot be removed) or reading (whose entries cannot be listed). False when nothing changed.
bool openUpDirectory(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & S_IRWXU) == S_IRWXU) {
    return false;
  }
  return fchmod(fd, (st.st_mode & 07777) | S_IRWXU) == 0;
}

// The same for the entry `name` of `dirfd` when it is a folder that cannot be opened; a link is
// never followed (fchmodat refuses to change a link). Without fchmodat2 in the kernel, glibc
// changes such an entry's mode through /proc/self/fd: where /proc is not mounted this fails, and a
// folder of mode 0000 is left behind in the renamed tree (the status is unchanged, as for anything
// else that cannot be removed).
bool openUpEntry(int dirfd, const char* name) {
  struct stat st {};
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
      (st.st_mode & S_IRWXU) == S_IRWXU) {
    return false;
  }
  return fchmodat(dirfd, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0;
}

int openDirectoryAt(int dirfd, const char* name) {
  return openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void removeContents(int dirfd, int depth) {
  DIR* dir = fdopendir(dirfd);
  if (dir == nullptr) {
    (void)close(dirfd);
    return;
  }
  std::vector<std::string> subdirectories;
  bool openedUp = false;  // permission is given once per folder; what still fails is left
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // unlinkat never follows a link: a link is removed, not what it points to.
    if (unlinkat(dirfd, entry->d_name, 0) == 0) continue;
    int error = errno;
    if (isPermissionError(error) && !openedUp) {
      openedUp = true;
      if (openUpDirectory(dirfd)) {
        if (unlinkat(dirfd, entry->d_name, 0) == 0) continue;
        error = errno;
      }
    }
    if (error == EISDIR || error == EPERM) subdirectories.emplace_back(name);
  }
  for (const std::string& name : subdirectories) {
    if (depth < kRemovalDepthLimit) {
      int child = openDirectoryAt(dirfd, name.c_str());
      if (child < 0 && errno == EACCES && openUpEntry(dirfd, name.c_str())) {
        child = openDirectoryAt(dirfd, name.c_str());
      }
      if (child >= 0) removeContents(child, depth + 1);
    }
    (void)unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
  }
  (void)closedir(dir);
}

void removeTree(const std::string& path) {
  // A trailing slash makes lstat, rename and open(O_NOFOLLOW) resolve a link named "link/": the
  // folder it points to would be emptied. Every step uses the entry's own name.
  std::string entry = path;
  while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
  struct stat st {};
  if (lstat(entry.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    (void)unlink(entry.c_str());
    return;
  }
  // Move the tree out of the way in one step first, so that a run cut short never leaves a
  // half-deleted bundle at a path where a whole one is expected.
  std::string doomed = entry + ".removing-" + std::to_string(getpid());
  if (rename(entry.c_str(), doomed.c_str()) != 0) doomed = entry;
  int fd = openDirectoryAt(AT_FDCWD, doomed.c_str());
  if (fd < 0 && errno == EACCES && openUpEntry(AT_FDCWD, doomed.c_str())) {
    fd = openDirectoryAt(AT_FDCWD, doomed.c_str());
  }
  if (fd < 0) return;
  removeContents(fd, 0);
  (void)rmdir(doomed.c_str());
}

// A process that has ended but is not yet collected by its parent still answers kill(pid, 0).
bool isZombie(pid_t pid) {
  const std::string statPath = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = open(statPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[1024];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  (void)close(fd);
  if (got <= 0) return false;
  const std::string_view text(buffer, static_cast<std::size_t>(got));
  const auto paren = text.rfind(')');
  if (paren == std::string_view::npos || paren + 2 >= text.size()) return false;
  const char state = text[paren + 2];
  return state == 'Z' || state == 'X';
}

int openOutputFile(const std::string& path) {
  // Whatever stands at the path (even a planted link) is removed, then a fresh file is made
  // without following links.
  removeTree(path);
  const int fd = aboveStandardStreams(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd >= 0) {
    (void)fchmod(fd, 0600);
    return fd;
  }
  return aboveStandardStreams(open("/dev/null", O_WRONLY | O_CLOEXEC));
}

class LinuxPlatform final : public Platform {
 public:
  double uptime() override {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

  void pause(unsigned microseconds) override {
    timespec left{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  uid_t effectiveUserId() override { return geteuid(); }
  pid_t processId() override { return getpid(); }

  std::optional<EntryInfo> entryInfo(const std::string& path) override {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    return EntryInfo{S_ISDIR(st.st_mode), st.st_uid, static_cast<mode_t>(st.st_mode & 07777)};
  }

  std::optional<std::string> resolvedPath(const std::string& path) override {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string result(resolved);
    std::free(resolved);
    return result;
  }

  bool isSameFile(const std::string& first, const std::string& second) override {
    struct stat a {};
    struct stat b {};
    return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
  }

  bool processExists(pid_t pid) override { return ::kill(pid, 0) == 0 && !isZombie(pid); }

  bool exchange(const std::string& first, const std::string& second) override {
    return renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0;
  }

  void removeItem(const std::string& path) override { removeTree(path); }

  bool itemExists(const std::string& path) override {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
  }

  std::optional<std::string> readFile(const std::string& path, std::size_t limit) override {
    // Non-blocking so that a FIFO planted at the path cannot stall the installer; only regular
    // files are read.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> data;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      std::string text;
      char buffer[65536];
      for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        if (got == 0) {
          data = std::move(text);
          break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > limit) break;
      }
    }
    (void)close(fd);
    return data;
  }

  std::optional<Child> spawn(const std::string& executable,
                             const std::vector<std::string>& arguments,
                             const std::string* outputPath) override {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
    int output = -1;
    bool ready = true;
    if (outputPath != nullptr) {
      // Always above the standard streams, so the child gets it only as its standard output and
      // the installer keeps it only until the child has started.
      output = openOutputFile(*outputPath);
      if (output >= 0) {
        ready = posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO) == 0;
      }
    }
    pid_t pid = -1;
    const bool started = ready && posix_spawn(&pid, executable.c_str(), &actions, nullptr,
                                              argv.data(), environ) == 0;
    (void)posix_spawn_file_actions_destroy(&actions);
    if (output >= 0) (void)close(output);
    if (!started) return std::nullopt;
    return Child{pid, false};
  }

  bool isRunning(Child& child) override {
    if (child.ended) return false;
    for (;;) {
      int status = 0;
      const pid_t got = waitpid(child.pid, &status, WNOHANG);
      if (got == 0) return true;
      if (got < 0 && errno == EINTR) continue;
      // Collected now, or no longer ours to collect: either way it has ended.
      child.ended = true;
      return false;
    }
  }

  void terminate(const Child& child) override {
    if (!child.ended) (void)::kill(child.pid, SIGTERM);
  }

  void kill(const Child& child) override {
    if (!child.ended) (void)::kill(child.pid, SIGKILL);
  }

  void showAlert(const std::string& message, const std::string& informative) override {
    showRecoveryAlert(message, informative);
  }
};

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace trelvo::installer
