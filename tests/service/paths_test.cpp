#include "paths.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace trelvo::service {
namespace {

using test_common::TempDir;

TEST(PathStringsTest, JoinDeleteAndAbsolute) {
  struct JoinCase {
    const char* first;
    const char* second;
    const char* joined;
  };
  for (const auto& c :
       {JoinCase{"/a", "b", "/a/b"}, JoinCase{"/a/", "b/c", "/a/b/c"}, JoinCase{"/", "b", "/b"},
        JoinCase{"/a", "", "/a"}, JoinCase{"a", "b", "a/b"}, JoinCase{"", "b", "b"},
        JoinCase{"/a//", "/b", "/a/b"}}) {
    SCOPED_TRACE(std::string(c.first) + " + " + c.second);
    EXPECT_EQ(joinPath(c.first, c.second), c.joined);
  }
  struct DeleteCase {
    const char* path;
    const char* parent;
  };
  for (const auto& c : {DeleteCase{"/a/b/c", "/a/b"}, DeleteCase{"/a/b/", "/a"},
                        DeleteCase{"/a", "/"}, DeleteCase{"/", "/"}, DeleteCase{"a", ""},
                        DeleteCase{"a/b", "a"}, DeleteCase{"/a//b", "/a"}}) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(deleteLastPathComponent(c.path), c.parent);
  }
  EXPECT_TRUE(isAbsolutePath("/x"));
  EXPECT_TRUE(isAbsolutePath("~"));
  EXPECT_TRUE(isAbsolutePath("~user/x"));
  EXPECT_FALSE(isAbsolutePath(""));
  EXPECT_FALSE(isAbsolutePath("x/~"));
  EXPECT_FALSE(isAbsolutePath("./x"));
}

// A real tree:
//   real/dir/file, real/dir/sub/
//   link-dir -> real/dir            (relative)
//   abs-link -> <root>/real/dir/file
//   chain -> link-dir/sub/../file   (a link whose target holds ".." after a link)
//   loop-a -> loop-b -> loop-a
class ResolvePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeFile(dir_ / "real/dir/file", "x");
    testing::makeDirectories(dir_ / "real/dir/sub");
    testing::makeLink("real/dir", dir_ / "link-dir");
    testing::makeLink(dir_ / "real/dir/file", dir_ / "abs-link");
    testing::makeLink("link-dir/sub/../file", dir_ / "chain");
    testing::makeLink("loop-b", dir_ / "loop-a");
    testing::makeLink("loop-a", dir_ / "loop-b");
  }
  TempDir dir_;
  LinuxPlatform platform_;
};

TEST_F(ResolvePathTest, ResolvesEveryLinkAndKeepsMissingComponents) {
  const std::string root = dir_.path();
  struct Case {
    std::string path;
    std::string resolved;
  };
  for (const auto& c : {
           Case{root + "/real/dir/file", root + "/real/dir/file"},
           Case{root + "/link-dir/file", root + "/real/dir/file"},
           Case{root + "/abs-link", root + "/real/dir/file"},
           Case{root + "/chain", root + "/real/dir/file"},
           Case{root + "//link-dir/./sub/", root + "/real/dir/sub"},
           Case{root + "/link-dir/../dir", root + "/real/dir"},  // ".." of the link's target
           Case{root + "/link-dir/missing/more", root + "/real/dir/missing/more"},
           Case{root + "/link-dir/missing/../file", root + "/real/dir/file"},
           Case{root + "/nothing/../link-dir", root + "/real/dir"},
           Case{"/", "/"},
           Case{"/..", "/"},
       }) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(resolveSymlinks(platform_, c.path), c.resolved);
  }
}

TEST_F(ResolvePathTest, StandardizeTakesDotDotAgainstTheRealParent) {
  const std::string root = dir_.path();
  EXPECT_EQ(standardizePath(platform_, root + "/link-dir/../dir/./file/"), root + "/real/dir/file");
  // Without "..", links stay as written: only clean-up happens.
  EXPECT_EQ(standardizePath(platform_, root + "//link-dir/./file/"), root + "/link-dir/file");
  EXPECT_EQ(standardizePath(platform_, "a/./b/../c/"), "a/c");
}

TEST_F(ResolvePathTest, GivesUpOnLoopsAndOverlongPaths) {
  EXPECT_EQ(resolveSymlinks(platform_, dir_ / "loop-a"), std::nullopt);
  EXPECT_EQ(resolveSymlinks(platform_, dir_ / "loop-a/x"), std::nullopt);
  EXPECT_EQ(standardizePath(platform_, dir_ / "loop-a/.."), std::nullopt);
  EXPECT_EQ(resolveSymlinks(platform_, "/" + std::string(kPathLengthLimit, 'a')), std::nullopt);
}

TEST_F(ResolvePathTest, FollowsUpToTheLinkLimit) {
  // A chain of exactly kSymbolicLinkLimit links resolves; one more gives up.
  std::string previous = "real/dir/file";
  for (int i = 1; i <= kSymbolicLinkLimit + 1; ++i) {
    const std::string name = "hop" + std::to_string(i);
    testing::makeLink(previous, dir_ / name);
    previous = name;
  }
  EXPECT_EQ(resolveSymlinks(platform_, dir_ / ("hop" + std::to_string(kSymbolicLinkLimit))),
            dir_ / "real/dir/file");
  EXPECT_EQ(resolveSymlinks(platform_, dir_ / ("hop" + std::to_string(kSymbolicLinkLimit + 1))),
            std::nullopt);
}

}  // namespace
}  // namespace trelvo::service
