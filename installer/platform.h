// The installer's seam to the operating system: every system call its logic needs goes through
// Platform, so the logic runs against a fake (fake clock, fake processes, fake files) in unit
// tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trelvo::installer {

// What lstat tells about a directory entry itself (a link is not followed).
struct EntryInfo {
  bool isDirectory = false;
  uid_t owner = 0;
  mode_t permissions = 0;  // the permission bits only (mode & 07777)
};

// A started child process. `ended` turns true once the platform has seen it end (and reaped it).
struct Child {
  pid_t pid = -1;
  bool ended = false;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Seconds since boot, monotonic, unaffected by wall-clock changes.
  virtual double uptime() = 0;
  virtual void pause(unsigned microseconds) = 0;

  virtual uid_t effectiveUserId() = 0;
  virtual pid_t processId() = 0;

  // lstat of `path`; nothing when it fails.
  virtual std::optional<EntryInfo> entryInfo(const std::string& path) = 0;
  // The path with every symbolic link and "." or ".." component resolved, as realpath gives it;
  // nothing when it does not exist or cannot be resolved.
  virtual std::optional<std::string> resolvedPath(const std::string& path) = 0;
  // Whether the two paths, links followed, name one file (the same device and inode), as a folder
  // and a bind mount of it do; false when either cannot be examined.
  virtual bool isSameFile(const std::string& first, const std::string& second) = 0;
  // True while a process with that id exists and has not ended; an ended but unreaped process
  // (a zombie) counts as gone.
  virtual bool processExists(pid_t pid) = 0;
  // Exchanges two directory entries in one atomic step; false when the system refuses.
  virtual bool exchange(const std::string& first, const std::string& second) = 0;
  // Deletes a file or a directory tree without following symbolic links; failures are ignored.
  virtual void removeItem(const std::string& path) = 0;
  // Whether anything exists at `path`, following symbolic links.
  virtual bool itemExists(const std::string& path) = 0;
  // The whole file, or nothing when it is missing, unreadable or larger than `limit` bytes.
  virtual std::optional<std::string> readFile(const std::string& path, std::size_t limit) = 0;

  // Starts `executable` with `arguments` (argv[1..]) directly, without a shell. With an output
  // path, the file there is created anew (empty, 0600) and becomes the child's standard output.
  virtual std::optional<Child> spawn(const std::string& executable,
                                     const std::vector<std::string>& arguments,
                                     const std::string* outputPath) = 0;
  // Asks whether the child is still running; an ended child is collected and marked ended.
  virtual bool isRunning(Child& child) = 0;
  // Asks the child to terminate (SIGTERM).
  virtual void terminate(const Child& child) = 0;
  // The last resort (SIGKILL); the result is not reported.
  virtual void kill(const Child& child) = 0;

  // Shows the two texts modally and returns once the user has dismissed them.
  virtual void showAlert(const std::string& message, const std::string& informative) = 0;
};

// The real platform of this machine.
std::unique_ptr<Platform> makeLinuxPlatform();

}  // namespace trelvo::installer
