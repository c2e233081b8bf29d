// The Linux platform on real files and processes in a temporary directory.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child.h"
#include "common/temp_dir.h"
#include "harness.h"
#include "json.h"
#include "platform.h"
#include "rollback.h"
#include "transaction.h"

namespace trelvo::installer {
namespace {

namespace fs = std::filesystem;

void put(const std::string& path, const std::string& content, fs::perms perms = fs::perms(0644)) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(path, perms);
}

class LinuxPlatformTest : public ::testing::Test {
 protected:
  ChildHandle waitEnded(ChildHandle child) {
    for (int i = 0; i < 500 && isRunning(*platform, child); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return child;
  }
  std::unique_ptr<Platform> platform = makeLinuxPlatform();
  test_common::TempDir scratch{"trelvo-platform-"};
  const std::string dir = scratch.path();
};

TEST_F(LinuxPlatformTest, StartFailsForMissingOrNonExecutableFiles) {
  put(dir + "/plain", "#!/bin/sh\nexit 0\n", fs::perms(0644));
  EXPECT_FALSE(start(*platform, dir + "/missing", {}));
  EXPECT_FALSE(start(*platform, dir + "/plain", {}));
}

TEST_F(LinuxPlatformTest, OutputFileIsCreatedAnewEmptyAndPrivate) {
  const std::string out = dir + "/status.json";
  put(out, "old content that must go", fs::perms(0666));
  // The child reports what its standard output looked like when it started, then writes to it.
  put(dir + "/child", "#!/bin/sh\nstat -c '%a %s' \"$1\" >\"$1.seen\"\nprintf '%s|' \"$@\"\n",
      fs::perms(0755));
  ChildHandle child = waitEnded(start(*platform, dir + "/child", {out, "two words"}, out));
  ASSERT_TRUE(child);
  EXPECT_FALSE(isRunning(*platform, child));
  EXPECT_EQ(harness::readFile(out + ".seen"), "600 0\n");
  EXPECT_EQ(harness::readFile(out), out + "|two words|");
}

TEST_F(LinuxPlatformTest, PlantedLinkAtOutputPathIsReplaced) {
  const std::string victim = dir + "/victim";
  const std::string out = dir + "/status.json";
  put(victim, "precious");
  fs::create_symlink(victim, out);
  put(dir + "/child", "#!/bin/sh\necho written\n", fs::perms(0755));
  ChildHandle child = waitEnded(start(*platform, dir + "/child", {}, out));
  ASSERT_TRUE(child);
  EXPECT_EQ(harness::readFile(victim), "precious");
  EXPECT_FALSE(fs::is_symlink(out));
  EXPECT_EQ(harness::readFile(out), "written\n");
}

TEST_F(LinuxPlatformTest, UnopenableOutputGoesNowhere) {
  // The output path's folder does not exist: the child still starts, writing into nothing.
  put(dir + "/child", "#!/bin/sh\necho lost\n", fs::perms(0755));
  ChildHandle child = waitEnded(start(*platform, dir + "/child", {}, dir + "/no/such/file"));
  ASSERT_TRUE(child);
  EXPECT_FALSE(fs::exists(dir + "/no"));
}

TEST_F(LinuxPlatformTest, ZombieCountsAsGone) {
  // A child that has ended but that nobody has collected yet still answers kill(pid, 0).
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(0);
  for (int i = 0; i < 500; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    if (line.find(") Z") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(kill(pid, 0), 0);
  EXPECT_FALSE(platform->processExists(pid));
  EXPECT_TRUE(platform->processExists(getpid()));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_FALSE(platform->processExists(pid));
}

TEST_F(LinuxPlatformTest, ReadFileRefusesLargeFilesAndFifos) {
  put(dir + "/small", "{\"pid\": 1}");
  put(dir + "/large", std::string(kJsonFileLimit + 1, ' '));
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(platform->readFile(dir + "/small", kJsonFileLimit),
            std::optional<std::string>("{\"pid\": 1}"));
  EXPECT_FALSE(platform->readFile(dir + "/large", kJsonFileLimit));
  EXPECT_FALSE(platform->readFile(dir + "/fifo", kJsonFileLimit));  // and it did not block
  EXPECT_FALSE(platform->readFile(dir + "/missing", kJsonFileLimit));
  EXPECT_FALSE(platform->readFile(dir, kJsonFileLimit));
}

TEST_F(LinuxPlatformTest, RemoveItemNeverFollowsLinks) {
  put(dir + "/outside/keep", "kept");
  put(dir + "/tree/a/b/file", "x");
  put(dir + "/tree/a/file", "y", fs::perms(0400));
  fs::create_directory_symlink(dir + "/outside", dir + "/tree/a/link");
  fs::create_symlink(dir + "/outside/keep", dir + "/tree/filelink");
  platform->removeItem(dir + "/tree");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/tree")));
  EXPECT_EQ(harness::readFile(dir + "/outside/keep"), "kept");
  // A link given directly is removed itself.
  fs::create_directory_symlink(dir + "/outside", dir + "/direct");
  platform->removeItem(dir + "/direct");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/direct")));
  EXPECT_EQ(harness::readFile(dir + "/outside/keep"), "kept");
  // Nothing is left beside the removed tree.
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"outside"});
}

// Removes `path` in a child process, as the unprivileged user when the test runs as root (whose
// privileges would hide every permission problem); its exit status, or -1.
int removeAsUser(Platform& platform, const std::string& path, pid_t* remover) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0) {
      const uid_t user = harness::kUnprivilegedId;
      const gid_t group = harness::kUnprivilegedId;
      if (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 ||
          setresuid(user, user, user) != 0) {
        _exit(120);
      }
    }
    platform.removeItem(path);
    _exit(0);
  }
  *remover = pid;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(LinuxPlatformTest, RemoveItemOpensUpFoldersWithoutWritePermission) {
  const bool root = geteuid() == 0;
  // Folders that deny the owner writing, searching or reading, nested, and a link to a read-only
  // folder outside, which must keep its mode and contents.
  put(dir + "/outside/keep", "kept");
  put(dir + "/tree/ro/file", "x");
  put(dir + "/tree/ro/closed/file", "x");
  put(dir + "/tree/write-search/file", "x");
  put(dir + "/tree/read-write/file", "x");
  fs::create_directories(dir + "/tree/empty-closed");
  fs::create_directory_symlink(dir + "/outside", dir + "/tree/ro/link");
  if (root) {
    // Another user's folder cannot be opened up: it stays, and removal still ends.
    put(dir + "/tree/foreign/file", "x");
    const auto giveAway = [](const std::string& path) {
      return lchown(path.c_str(), harness::kUnprivilegedId, harness::kUnprivilegedId) == 0;
    };
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (entry.path().string().find("/foreign") != std::string::npos) continue;
      ASSERT_TRUE(giveAway(entry.path()));
    }
    ASSERT_TRUE(giveAway(dir));
  }
  fs::permissions(dir + "/tree/ro/closed", fs::perms(0));
  fs::permissions(dir + "/tree/ro", fs::perms(0555));
  fs::permissions(dir + "/tree/write-search", fs::perms(0300));
  fs::permissions(dir + "/tree/read-write", fs::perms(0600));
  fs::permissions(dir + "/tree/empty-closed", fs::perms(0));
  fs::permissions(dir + "/outside", fs::perms(0555));

  pid_t remover = -1;
  ASSERT_EQ(removeAsUser(*platform, dir + "/tree", &remover), 0);

  EXPECT_EQ(harness::readFile(dir + "/outside/keep"), "kept");
  EXPECT_EQ(fs::status(dir + "/outside").permissions(), fs::perms(0555));
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  if (!root) {
    EXPECT_EQ(left, std::vector<std::string>{"outside"});
    return;
  }
  // What could not go stays where the removal put it aside, and only that.
  const std::string aside = "tree.removing-" + std::to_string(remover);
  EXPECT_EQ(left, (std::vector<std::string>{"outside", aside}));
  std::vector<std::string> inside;
  for (const auto& e : fs::recursive_directory_iterator(dir + "/" + aside)) {
    inside.push_back(e.path().lexically_relative(dir + "/" + aside));
  }
  std::sort(inside.begin(), inside.end());
  EXPECT_EQ(inside, (std::vector<std::string>{"foreign", "foreign/file"}));
}

// A path ending in slashes names the entry itself. A link so named goes, and the read-only
// folder it points to keeps its contents and its mode; a folder so named goes whole.
TEST_F(LinuxPlatformTest, RemoveItemGivenWithTrailingSlashesTakesTheEntryItself) {
  struct Case {
    const char* given;
    bool link;  // a link to the folder outside, else a folder of its own
  };
  const Case cases[] = {{"link/", true}, {"link//", true}, {"folder/", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    put(dir + "/outside/keep", "kept");
    if (c.link) {
      fs::create_directory_symlink(dir + "/outside", dir + "/link");
    } else {
      put(dir + "/folder/ro/file", "x");
      fs::permissions(dir + "/folder/ro", fs::perms(0555));
    }
    if (geteuid() == 0) {
      // Removed as the unprivileged user, whose permissions count: give it the tree.
      for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        ASSERT_EQ(lchown(entry.path().c_str(), harness::kUnprivilegedId, harness::kUnprivilegedId),
                  0);
      }
      ASSERT_EQ(lchown(dir.c_str(), harness::kUnprivilegedId, harness::kUnprivilegedId), 0);
    }
    fs::permissions(dir + "/outside", fs::perms(0555));

    pid_t remover = -1;
    ASSERT_EQ(removeAsUser(*platform, dir + "/" + c.given, &remover), 0);

    EXPECT_EQ(harness::readFile(dir + "/outside/keep"), "kept");
    EXPECT_EQ(fs::status(dir + "/outside").permissions(), fs::perms(0555));
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"outside"});
    for (const std::string& name : left) test_common::removeAll(dir + "/" + name);
  }
}

TEST_F(LinuxPlatformTest, SameFileFollowsLinksAndComparesDeviceAndInode) {
  put(dir + "/folder/file", "x");
  put(dir + "/other/file", "x");
  fs::create_directory_symlink(dir + "/folder", dir + "/link");
  struct Case {
    const char* first;
    const char* second;
    bool same;
  };
  const Case cases[] = {
      {"folder", "folder", true},
      {"folder", "link", true},
      {"link", "folder/", true},
      {"folder", "other", false},
      {"folder/file", "other/file", false},
      {"folder", "missing", false},
      {"missing", "missing", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " " + c.second);
    EXPECT_EQ(platform->isSameFile(dir + "/" + c.first, dir + "/" + c.second), c.same);
  }
}

TEST_F(LinuxPlatformTest, ExchangeSwapsTwoEntries) {
  put(dir + "/A.app/Contents/v", "a");
  put(dir + "/stage/B.app/Contents/v", "b");
  EXPECT_TRUE(platform->exchange(dir + "/A.app", dir + "/stage/B.app"));
  EXPECT_EQ(harness::readFile(dir + "/A.app/Contents/v"), "b");
  EXPECT_EQ(harness::readFile(dir + "/stage/B.app/Contents/v"), "a");
  EXPECT_FALSE(platform->exchange(dir + "/A.app", dir + "/stage/missing.app"));
  EXPECT_EQ(harness::readFile(dir + "/A.app/Contents/v"), "b");
}

TEST_F(LinuxPlatformTest, StopProcessEndsAChildThatHonoursTerm) {
  put(dir + "/child", "#!/bin/sh\nexec sleep 30\n", fs::perms(0755));
  ChildHandle child = start(*platform, dir + "/child", {});
  ASSERT_TRUE(child);
  EXPECT_TRUE(isRunning(*platform, child));
  const auto before = std::chrono::steady_clock::now();
  stopProcess(*platform, child);
  EXPECT_FALSE(isRunning(*platform, child));
  // One pause of 100 ms after the signal, not the 5 s grace period.
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
}

// Whether the process has set SIGTERM to be ignored (bit 15 of SigIgn in /proc/<pid>/status).
bool ignoresTerm(pid_t pid) {
  std::istringstream status(harness::readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigIgn:")) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (SIGTERM - 1) & 1) != 0;
    }
  }
  return false;
}

TEST_F(LinuxPlatformTest, RollbackKillsANewVersionThatIgnoresTerm) {
  // The rollback from its first step, on real processes: the new version runs with the ready flag
  // but ignores the termination signal, so it is killed once the 5 s grace period is over and the
  // previous version is put back and relaunched.
  const harness::Tree tree = harness::makeTree();
  harness::BundleLayout next{"new"};
  next.appBehaviour = "ignore-term";
  harness::makeBundle(tree.bundle, next);  // after the swap: the new version at the bundle path
  harness::makeBundle(tree.staged, harness::BundleLayout{"previous"});
  ASSERT_EQ(setenv("TRELVO_TEST_LOG", tree.log.c_str(), 1), 0);
  ChildHandle newVersion =
      launchApp(*platform, tree.bundle, std::string(kReadyFlagPrefix) + tree.marker);
  ASSERT_TRUE(newVersion);
  const pid_t newPid = newVersion->pid;
  for (int i = 0; i < 500 && !ignoresTerm(newPid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(ignoresTerm(newPid)) << "the stand-in did not get to ignore SIGTERM";

  const auto before = std::chrono::steady_clock::now();
  const ExitStatus status =
      rollBack(*platform, stagingLayout(tree.bundle, tree.staging, tree.data), newVersion);
  const auto took = std::chrono::steady_clock::now() - before;

  EXPECT_EQ(status, ExitStatus::kDone);
  EXPECT_GE(took, std::chrono::seconds(5));
  EXPECT_FALSE(isRunning(*platform, newVersion));
  EXPECT_NE(kill(newPid, 0), 0);  // killed and collected
  EXPECT_EQ(harness::completeVersion(tree.bundle), std::optional<std::string>("previous"));
  EXPECT_FALSE(harness::exists(tree.staging));
  // The relaunched previous version records its start on its own time.
  std::vector<harness::AppStart> starts = harness::appStarts(tree);
  for (int i = 0; i < 500 && starts.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    starts = harness::appStarts(tree);
  }
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[1].version, "previous");
  EXPECT_EQ(harness::readFile(tree.log), "new app [--trelvo-beta-ready=" + tree.marker +
                                             "]\n"
                                             "previous service [force-stop] [--data] [" +
                                             tree.data +
                                             "]\n"
                                             "previous service [status] [--data] [" +
                                             tree.data +
                                             "]\n"
                                             "previous app [--trelvo-beta-rollback]\n");
  // The relaunched previous version is this test's child: end it before the tree goes.
  (void)kill(starts[1].pid, SIGKILL);
  (void)waitpid(starts[1].pid, nullptr, 0);
  harness::removeTree(tree);
}

}  // namespace
}  // namespace trelvo::installer
