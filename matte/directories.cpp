#include "directories.h"

#include <sys/stat.h>

namespace trelvo::matte {

namespace {

bool isDirectory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

bool makeDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (isDirectory(path)) return true;
  // Each prefix that ends before a "/", then the whole path. A prefix that already is a directory
  // may still refuse mkdir (EACCES on a parent we cannot write), so judge by what is there.
  for (std::size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    if (path[end - 1] == '/') continue;
    const std::string prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), 0777) != 0 && !isDirectory(prefix)) return false;
  }
  return isDirectory(path);
}

}  // namespace trelvo::matte
