#include "launch.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "launcher.h"
#include "test_support.h"

namespace trelvo::service {
namespace {

using testing::FakePlatform;

ResolvedRuntime runtimeWith(const std::string& manifest) {
  ResolvedRuntime runtime;
  runtime.contentsDirectory = "/Apps/Trelvo Pro.app/Contents";
  runtime.resourcesDirectory = "/Apps/Trelvo Pro.app/Contents/Resources";
  runtime.manifestPath = "/Apps/Trelvo Pro.app/Contents/Resources/runtime.json";
  runtime.manifest = *parseJson(manifest);
  runtime.interpreterPath = "/Apps/Trelvo Pro.app/Contents/Resources/python/bin/python3";
  return runtime;
}

const std::string kScript = "/Apps/Trelvo Pro.app/Contents/Resources/code/tools/desktop/service.py";

TEST(LaunchServiceTest, EnvironmentStepsRunInOrderAndReplaceCallerValues) {
  FakePlatform platform;
  platform.environment = {{"TRELVO_RUNTIME_MANIFEST", "old"},
                          {"TRELVO_DISTRIBUTION", "store"},
                          {"PYTHONNOUSERSITE", "0"},
                          {"PYTHONPATH", "/evil"},
                          {"PYTHONHOME", "/evil"},
                          {"PYTHONPYCACHEPREFIX", "/old"},
                          {"OTHER", "kept"}};
  const auto failure = launchService(platform, runtimeWith("{}"), 1, nullptr);
  EXPECT_EQ(failure, LaunchFailure::kHandOverFailed);  // the fake's hand-over always returns
  const std::vector<std::string> expected = {
      "set TRELVO_RUNTIME_MANIFEST=/Apps/Trelvo Pro.app/Contents/Resources/runtime.json",
      "set TRELVO_DISTRIBUTION=desktop",
      "set PYTHONNOUSERSITE=1",
      "unset PYTHONPATH",
      "unset PYTHONHOME",
      "set PYTHONPYCACHEPREFIX=/home/tester/Library/Caches/TrelvoPro/bootstrap",
      "get TRELVO_DESKTOP_DATA_ROOT",
      "set TRELVO_DESKTOP_DATA_ROOT=/home/tester/Library/Application Support/TrelvoPro",
  };
  EXPECT_EQ(platform.environmentCalls, expected);
  ASSERT_EQ(platform.executions.size(), 1u);
  EXPECT_EQ(platform.executions[0].environment.at("OTHER"), "kept");
  EXPECT_EQ(platform.executions[0].environment.count("PYTHONPATH"), 0u);
  EXPECT_EQ(platform.executions[0].environment.count("PYTHONHOME"), 0u);
}

TEST(LaunchServiceTest, PresentDataRootStaysEvenWhenEmpty) {
  for (const char* value : {"", "/custom root"}) {
    SCOPED_TRACE(value);
    FakePlatform platform;
    platform.environment["TRELVO_DESKTOP_DATA_ROOT"] = value;
    (void)launchService(platform, runtimeWith("{}"), 1, nullptr);
    ASSERT_EQ(platform.executions.size(), 1u);
    EXPECT_EQ(platform.executions[0].environment.at("TRELVO_DESKTOP_DATA_ROOT"), value);
    EXPECT_EQ(platform.environmentCalls.back(), "get TRELVO_DESKTOP_DATA_ROOT");
  }
}

TEST(LaunchServiceTest, PreviewSelectsTheProfileOfBothDirectories) {
  struct Case {
    const char* manifest;
    const char* profile;
  };
  for (const auto& c :
       {Case{"{}", "TrelvoPro"}, Case{R"({"preview": true})", "TrelvoProPreview"},
        Case{R"({"preview": false})", "TrelvoPro"},
        Case{R"({"preview": "yes"})", "TrelvoProPreview"}, Case{R"({"preview": 0})", "TrelvoPro"},
        Case{R"({"paths": {"preview": true}})", "TrelvoPro"}}) {
    SCOPED_TRACE(c.manifest);
    FakePlatform platform;
    platform.home = "/Users/a b/";
    (void)launchService(platform, runtimeWith(c.manifest), 1, nullptr);
    ASSERT_EQ(platform.executions.size(), 1u);
    const auto& env = platform.executions[0].environment;
    EXPECT_EQ(env.at("PYTHONPYCACHEPREFIX"),
              std::string("/Users/a b/Library/Caches/") + c.profile + "/bootstrap");
    EXPECT_EQ(env.at("TRELVO_DESKTOP_DATA_ROOT"),
              std::string("/Users/a b/Library/Application Support/") + c.profile);
  }
}

TEST(LaunchServiceTest, VectorHoldsInterpreterScriptArgumentsAndNull) {
  struct Case {
    const char* name;
    std::vector<std::string> argv;  // the launcher's own, program name included
  };
  for (const auto& c : {Case{"NoArgumentsAtAll", {}}, Case{"OnlyProgramName", {"TrelvoService"}},
                        Case{"Status", {"TrelvoService", "status", "--data", "/d d"}},
                        Case{"Awkward", {"x", "", "-c", "--help", "a b", "\xE6\x97\xA0"}}}) {
    SCOPED_TRACE(c.name);
    std::vector<char*> argv;
    for (const auto& arg : c.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    FakePlatform platform;
    const auto failure =
        launchService(platform, runtimeWith("{}"), static_cast<int>(c.argv.size()), argv.data());
    EXPECT_EQ(failure, LaunchFailure::kHandOverFailed);
    ASSERT_EQ(platform.executions.size(), 1u);
    const auto& execution = platform.executions[0];
    EXPECT_EQ(execution.path, runtimeWith("{}").interpreterPath);
    std::vector<std::optional<std::string>> expected = {execution.path, kScript};
    for (std::size_t i = 1; i < c.argv.size(); ++i) expected.emplace_back(c.argv[i]);
    expected.emplace_back(std::nullopt);
    EXPECT_EQ(execution.vector, expected);
    EXPECT_EQ(execution.entries, c.argv.empty() ? 3u : c.argv.size() + 2);
    EXPECT_EQ(platform.releases, 1);  // released after the failed hand-over
  }
}

TEST(LaunchServiceTest, FailedAllocationIsOutOfMemoryWithoutHandOver) {
  FakePlatform platform;
  platform.failAllocationAt = 1;
  EXPECT_EQ(launchService(platform, runtimeWith("{}"), 1, nullptr), LaunchFailure::kOutOfMemory);
  EXPECT_TRUE(platform.executions.empty());
  EXPECT_EQ(platform.releases, 0);
}

TEST(LaunchServiceTest, NoHomeDirectoryStopsBeforeTheHandOver) {
  FakePlatform platform;
  platform.home.reset();
  EXPECT_EQ(launchService(platform, runtimeWith("{}"), 1, nullptr),
            LaunchFailure::kHomeUnavailable);
  EXPECT_TRUE(platform.executions.empty());
  EXPECT_EQ(platform.allocations, 0);
}

// The whole launcher with the fake: outputs and statuses of every failure.
class RunLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string contents = root_ / "B.app/Contents";
    testing::writeFile(contents + "/Helpers/TrelvoService", "", 0755);
    testing::writeFile(contents + "/Resources/runtime.json",
                       R"({"paths": {"python": "python/bin/python3"}})");
    platform_.selfPath = contents + "/Helpers/TrelvoService";
  }
  ExitStatus runWith(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return runLauncher(platform_, static_cast<int>(args.size()), argv.data());
  }
  test_common::TempDir root_;
  FakePlatform platform_;
};

TEST_F(RunLauncherTest, SelfPathUnavailableWritesNothing) {
  platform_.selfPath.reset();
  EXPECT_EQ(runWith({"TrelvoService", "status"}), ExitStatus::kFailure);
  EXPECT_EQ(platform_.output, "");
  EXPECT_TRUE(platform_.environmentCalls.empty());
}

TEST_F(RunLauncherTest, RefusedRuntimeWritesTheLineAndLeavesTheEnvironment) {
  testing::writeFile(root_ / "B.app/Contents/Resources/runtime.json",
                     R"({"paths": {"python": "/usr/bin/python3"}})");
  EXPECT_EQ(runWith({"TrelvoService"}), ExitStatus::kFailure);
  EXPECT_EQ(platform_.output, kLaunchErrorLine);
  EXPECT_TRUE(platform_.environmentCalls.empty());
}

TEST_F(RunLauncherTest, OutOfMemoryWritesNothing) {
  platform_.failAllocationAt = 1;
  EXPECT_EQ(runWith({"TrelvoService", "status"}), ExitStatus::kFailure);
  EXPECT_EQ(platform_.output, "");
}

TEST_F(RunLauncherTest, FailedHandOverWritesTheLine) {
  EXPECT_EQ(runWith({"TrelvoService", "status"}), ExitStatus::kFailure);
  ASSERT_EQ(platform_.executions.size(), 1u);
  EXPECT_EQ(platform_.output, kLaunchErrorLine);
}

TEST_F(RunLauncherTest, NoHomeDirectoryWritesTheLine) {
  platform_.home.reset();
  EXPECT_EQ(runWith({"TrelvoService"}), ExitStatus::kFailure);
  EXPECT_EQ(platform_.output, kLaunchErrorLine);
}

TEST(LaunchErrorLineTest, IsTheExactUtf8Text) {
  EXPECT_EQ(kLaunchErrorLine,
            "{\"error\":\"\u65e0\u6cd5\u542f\u52a8\u968f\u5305\u8fd0\u884c\u65f6\uff0c"
            "\u8bf7\u91cd\u65b0\u5b89\u88c5 Trelvo Pro\"}\n");
  const auto parsed = parseJson(kLaunchErrorLine);
  ASSERT_TRUE(parsed.has_value());
  const std::vector<std::string> keys = {"error"};
  EXPECT_EQ(parsed->keys, keys);
}

}  // namespace
}  // namespace trelvo::service
