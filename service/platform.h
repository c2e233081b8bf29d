// The platform calls the service launcher needs, behind one small interface so that the logic can
// be exercised with a fake. LinuxPlatform is the only code that touches the system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace trelvo::service {

class Platform {
 public:
  virtual ~Platform() = default;

  // The running executable's path as the system reports it (it may hold or be a symbolic link);
  // nothing when the system cannot say.
  virtual std::optional<std::string> executablePath() = 0;

  // Whether the directory entry itself (not a link's target) is a symbolic link; false when it
  // does not exist or cannot be examined.
  virtual bool isSymbolicLink(const std::string& path) = 0;

  // The text stored in a symbolic link; nothing when it is not a link or cannot be read.
  virtual std::optional<std::string> readLink(const std::string& path) = 0;

  // Whether `path` (links followed) is the running executable's own file: the same device and
  // inode as the file the system runs. False when either cannot be examined.
  virtual bool isOwnExecutable(const std::string& path) = 0;

  // The whole contents of a regular file of at most `limit` bytes; nothing on any failure,
  // including a file that is larger or is not a regular file.
  virtual std::optional<std::string> readFile(const std::string& path, std::size_t limit) = 0;

  // The current user's home directory as an absolute path; nothing when none can be found.
  virtual std::optional<std::string> homeDirectory() = 0;

  // The process environment that the next execute() passes on. getEnv gives nothing for an absent
  // variable and an empty string for one set to empty; setEnv leaves exactly one entry of the name
  // and unsetEnv none, however many the process started with; their results are ignored.
  virtual std::optional<std::string> getEnv(const char* name) = 0;
  virtual void setEnv(const char* name, const std::string& value) = 0;
  virtual void unsetEnv(const char* name) = 0;

  // A zero-filled array of `entries` pointers, or nothing when memory is exhausted. The caller
  // releases it with releaseVector().
  virtual char** allocateVector(std::size_t entries) = 0;
  virtual void releaseVector(char** vector) = 0;

  // Replaces the process image with the file at `path` (no search along PATH), passing `vector`
  // and the current environment; the new image starts with SIGPIPE at its default disposition,
  // however the launcher was started. Returns only on failure, with the disposition unchanged.
  virtual void execute(const std::string& path, char* const* vector) = 0;

  // Writes to standard output at once. An output that cannot be written (a pipe whose reader has
  // gone) fails quietly, never ending the process by SIGPIPE.
  virtual void writeOutput(std::string_view text) = 0;
};

class LinuxPlatform final : public Platform {
 public:
  std::optional<std::string> executablePath() override;
  bool isSymbolicLink(const std::string& path) override;
  std::optional<std::string> readLink(const std::string& path) override;
  bool isOwnExecutable(const std::string& path) override;
  std::optional<std::string> readFile(const std::string& path, std::size_t limit) override;
  std::optional<std::string> homeDirectory() override;
  std::optional<std::string> getEnv(const char* name) override;
  void setEnv(const char* name, const std::string& value) override;
  void unsetEnv(const char* name) override;
  char** allocateVector(std::size_t entries) override;
  void releaseVector(char** vector) override;
  void execute(const std::string& path, char* const* vector) override;
  void writeOutput(std::string_view text) override;
};

}  // namespace trelvo::service
