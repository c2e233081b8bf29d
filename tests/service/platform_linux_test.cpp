// The real platform against the real system, in temporary folders.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform.h"
#include "test_support.h"

namespace trelvo::service {
namespace {

using test_common::TempDir;

TEST(LinuxPlatformTest, ExecutablePathIsThisProgram) {
  LinuxPlatform platform;
  const auto path = platform.executablePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, std::filesystem::canonical("/proc/self/exe").string());
}

TEST(LinuxPlatformTest, ReadFileReadsOnlyWholeRegularFilesWithinTheLimit) {
  TempDir dir;
  LinuxPlatform platform;
  const std::string big(100000, 'x');
  testing::writeFile(dir / "big", big);
  testing::makeDirectories(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(platform.readFile(dir / "big", big.size()), big);
  EXPECT_EQ(platform.readFile(dir / "big", big.size() - 1), std::nullopt);
  EXPECT_EQ(platform.readFile(dir / "missing", 10), std::nullopt);
  EXPECT_EQ(platform.readFile(dir / "folder", 10), std::nullopt);
  // A FIFO with no writer would block a plain read for ever; it is refused at once.
  EXPECT_EQ(platform.readFile(dir / "fifo", 10), std::nullopt);
}

TEST(LinuxPlatformTest, LinksOfAnyLength) {
  TempDir dir;
  LinuxPlatform platform;
  const std::string target(3000, 'a');
  testing::makeLink(target, dir / "long");
  testing::writeFile(dir / "file", "");
  EXPECT_TRUE(platform.isSymbolicLink(dir / "long"));
  EXPECT_EQ(platform.readLink(dir / "long"), target);
  EXPECT_FALSE(platform.isSymbolicLink(dir / "file"));
  EXPECT_FALSE(platform.isSymbolicLink(dir / "missing"));
  EXPECT_EQ(platform.readLink(dir / "file"), std::nullopt);
}

TEST(LinuxPlatformTest, HomeIsAbsoluteHomeVariableElseThePasswordEntry) {
  LinuxPlatform platform;
  const struct passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(entry, nullptr);
  const std::string fromDatabase = entry->pw_dir;
  struct Case {
    const char* home;  // nullptr: unset
    std::string expected;
  };
  for (const auto& c :
       {Case{"/some/home", "/some/home"}, Case{"relative/home", fromDatabase},
        Case{"", fromDatabase}, Case{"~", fromDatabase}, Case{nullptr, fromDatabase}}) {
    SCOPED_TRACE(c.home == nullptr ? "(unset)" : c.home);
    if (c.home == nullptr) {
      ASSERT_EQ(::unsetenv("HOME"), 0);
    } else {
      ASSERT_EQ(::setenv("HOME", c.home, 1), 0);
    }
    EXPECT_EQ(platform.homeDirectory(), c.expected);
  }
}

TEST(LinuxPlatformTest, EnvironmentAndVector) {
  LinuxPlatform platform;
  platform.setEnv("TRELVO_TEST_VARIABLE", "");
  EXPECT_EQ(platform.getEnv("TRELVO_TEST_VARIABLE"), "");  // empty, but present
  platform.setEnv("TRELVO_TEST_VARIABLE", "a b");
  EXPECT_STREQ(std::getenv("TRELVO_TEST_VARIABLE"), "a b");
  platform.unsetEnv("TRELVO_TEST_VARIABLE");
  EXPECT_EQ(platform.getEnv("TRELVO_TEST_VARIABLE"), std::nullopt);

  char** vector = platform.allocateVector(5);
  ASSERT_NE(vector, nullptr);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(vector[i], nullptr);
  platform.releaseVector(vector);
}

}  // namespace
}  // namespace trelvo::service
