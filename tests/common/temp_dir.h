// Temporary directories for the tests: fresh, private (0700), named <prefix>XXXXXX below
// $TEST_TMPDIR, else $TMPDIR, else /tmp (a relative setting is passed over), given by their
// canonical path so that they compare equal to the paths the programs resolve.
#pragma once

#include <optional>
#include <string>

namespace trelvo::test_common {

// A fresh directory; nothing, with errno set, when it cannot be made.
std::optional<std::string> makeTempDirectory(const std::string& prefix);

// Deletes `path` and everything below it, never following a link. Folders a test left read-only
// or closed (mode 0000) are given back to their owner first, so an unprivileged user can delete
// them too. Failures are ignored: what is left is in the temporary folder.
void removeAll(const std::string& path);

// A fresh temporary directory, deleted as by removeAll when the object goes. Throws
// std::runtime_error when it cannot be made, which fails the test that wanted it before the test
// can write anywhere else.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "trelvo-test-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

}  // namespace trelvo::test_common
