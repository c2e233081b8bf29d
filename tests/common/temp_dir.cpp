#include "temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace trelvo::test_common {
namespace fs = std::filesystem;

namespace {

// The order GoogleTest's testing::TempDir() looks in, without depending on it: the installer's
// harness is linked into a benchmark too.
std::string temporaryRoot() {
  for (const char* name : {"TEST_TMPDIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] == '/') {
      std::string root = value;
      while (root.size() > 1 && root.back() == '/') root.pop_back();
      return root;
    }
  }
  return "/tmp";
}

// Gives the owner every permission on each folder from `path` down, never through a link.
void openUp(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  (void)::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(path, ignored)) openUp(entry.path());
}

}  // namespace

std::optional<std::string> makeTempDirectory(const std::string& prefix) {
  std::string pattern = temporaryRoot() + "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  std::error_code error;
  const fs::path canonical = fs::canonical(pattern, error);
  if (error) {
    const int saved = error.value();
    removeAll(pattern);
    errno = saved;
    return std::nullopt;
  }
  return canonical.string();
}

void removeAll(const std::string& path) {
  openUp(path);
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

TempDir::TempDir(const std::string& prefix) {
  std::optional<std::string> made = makeTempDirectory(prefix);
  if (!made) {
    throw std::runtime_error("cannot make a temporary directory " + prefix +
                             "XXXXXX: " + std::strerror(errno));
  }
  path_ = std::move(*made);
}

TempDir::~TempDir() { removeAll(path_); }

}  // namespace trelvo::test_common
