#include "runtime.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>

#include "fake_platform.h"
#include "test_support.h"

namespace trelvo::service {
namespace {

using test_common::TempDir;
using testing::FakePlatform;

// A bundle on disk, with things inside and beside it to point at:
//   <root>/Trelvo Pro.app/Contents/Helpers/TrelvoService
//   <root>/Trelvo Pro.app/Contents/Resources/{runtime.json, python/bin/python3}
//   <root>/Trelvo Pro.app/Contents/Frameworks/py/bin/python3
//   <root>/Trelvo Pro.app/Contents-old/python3
//   <root>/outside/python3, <root>/outside/sub/
// and links to the launcher inside Resources.
class ResolveRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    contents_ = root_ / "Trelvo Pro.app/Contents";
    resources_ = contents_ + "/Resources";
    testing::writeFile(contents_ + "/Helpers/TrelvoService", "", 0755);
    testing::writeFile(resources_ + "/python/bin/python3", "", 0755);
    testing::writeFile(contents_ + "/Frameworks/py/bin/python3", "", 0755);
    testing::writeFile(root_ / "Trelvo Pro.app/Contents-old/python3", "", 0755);
    testing::writeFile(root_ / "outside/python3", "", 0755);
    testing::makeDirectories(root_ / "outside/sub");
    testing::makeLink(root_ / "outside/python3", resources_ + "/link-out");
    testing::makeLink("../Frameworks/py/bin/python3", resources_ + "/link-in");
    testing::makeLink(contents_ + "/Frameworks/py/bin/python3", resources_ + "/link-in-absolute");
    testing::makeLink("../Frameworks/py/bin", resources_ + "/bin-link");
    testing::makeLink(root_ / "outside/sub", resources_ + "/out-dir-link");
    testing::makeLink("loop", resources_ + "/loop");
    testing::makeLink("../Helpers/TrelvoService", resources_ + "/launcher-link");
    ASSERT_EQ(::link((contents_ + "/Helpers/TrelvoService").c_str(),
                     (resources_ + "/launcher-hard-link").c_str()),
              0);
    platform_.selfPath = contents_ + "/Helpers/TrelvoService";
  }

  void writeManifest(const std::string& text) {
    testing::writeFile(resources_ + "/runtime.json", text);
  }
  void writePython(const std::string& python) {
    writeManifest(R"({"paths": {"python": ")" + python + R"("}})");
  }

  TempDir root_;
  std::string contents_;
  std::string resources_;
  FakePlatform platform_;
};

struct InterpreterCase {
  const char* name;
  std::string python;    // "{root}" stands for the temporary folder
  const char* accepted;  // interpreterPath below <root>, or nullptr when refused
};

void PrintTo(const InterpreterCase& c, std::ostream* os) { *os << c.name; }

class InterpreterPathTest : public ResolveRuntimeTest,
                            public ::testing::WithParamInterface<InterpreterCase> {};

TEST_P(InterpreterPathTest, AcceptsOnlyInterpretersInsideTheContentsDirectory) {
  std::string python = GetParam().python;
  if (const auto at = python.find("{root}"); at != std::string::npos) {
    python.replace(at, 6, root_.path());
  }
  writePython(python);
  const auto resolution = resolveRuntime(platform_);
  if (GetParam().accepted == nullptr) {
    EXPECT_EQ(resolution.outcome, ResolveOutcome::kRuntimeRefused);
    EXPECT_FALSE(resolution.runtime.has_value());
    return;
  }
  ASSERT_EQ(resolution.outcome, ResolveOutcome::kResolved);
  ASSERT_TRUE(resolution.runtime.has_value());
  EXPECT_EQ(resolution.runtime->interpreterPath, root_ / GetParam().accepted);
  EXPECT_EQ(resolution.runtime->contentsDirectory, contents_);
  EXPECT_EQ(resolution.runtime->resourcesDirectory, resources_);
  EXPECT_EQ(resolution.runtime->manifestPath, resources_ + "/runtime.json");
  EXPECT_TRUE(resolution.runtime->manifest.isObject());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InterpreterPathTest,
    ::testing::Values(
        InterpreterCase{"Relative", "python/bin/python3",
                        "Trelvo Pro.app/Contents/Resources/python/bin/python3"},
        InterpreterCase{"Untidy", "./python//bin/./python3/",
                        "Trelvo Pro.app/Contents/Resources/python/bin/python3"},
        InterpreterCase{"AbsoluteInsideBundle",
                        "{root}/Trelvo Pro.app/Contents/Resources/python/bin/python3", nullptr},
        InterpreterCase{"AbsoluteSystem", "/usr/bin/python3", nullptr},
        InterpreterCase{"Tilde", "~/python3", nullptr},
        InterpreterCase{"TildeUser", "~root/python3", nullptr},
        InterpreterCase{"EmptyIsTheResourcesDirectory", "", "Trelvo Pro.app/Contents/Resources"},
        InterpreterCase{"DotDotStaysInside", "../Frameworks/py/bin/python3",
                        "Trelvo Pro.app/Contents/Frameworks/py/bin/python3"},
        InterpreterCase{"DotDotClimbsOut", "../../../outside/python3", nullptr},
        InterpreterCase{"DotDotToContentsItself", "..", nullptr},
        InterpreterCase{"DotDotToContentsWithSlash", "../", nullptr},
        InterpreterCase{"SiblingContentsOld", "../../Contents-old/python3", nullptr},
        InterpreterCase{"LinkToOutside", "link-out", nullptr},
        InterpreterCase{"LinkInside", "link-in",
                        "Trelvo Pro.app/Contents/Frameworks/py/bin/python3"},
        InterpreterCase{"AbsoluteLinkInside", "link-in-absolute",
                        "Trelvo Pro.app/Contents/Frameworks/py/bin/python3"},
        InterpreterCase{"DotDotAfterLinkIsPhysical", "bin-link/../bin/python3",
                        "Trelvo Pro.app/Contents/Frameworks/py/bin/python3"},
        InterpreterCase{"DotDotAfterLinkLeadsOut", "out-dir-link/../python3", nullptr},
        InterpreterCase{"MissingFileInside", "python/bin/missing",
                        "Trelvo Pro.app/Contents/Resources/python/bin/missing"},
        InterpreterCase{"DirectoryInside", "python/bin",
                        "Trelvo Pro.app/Contents/Resources/python/bin"},
        InterpreterCase{"LinkLoop", "loop", nullptr},
        // The launcher would hand over to itself, again and again.
        InterpreterCase{"TheLauncherItself", "../Helpers/TrelvoService", nullptr},
        InterpreterCase{"LinkToTheLauncher", "launcher-link", nullptr},
        InterpreterCase{"HardLinkToTheLauncher", "launcher-hard-link", nullptr},
        InterpreterCase{"EmbeddedNul", "python/bin/python3\\u0000x", nullptr}),
    [](const auto& param) { return std::string(param.param.name); });

struct ManifestCase {
  const char* name;
  std::string text;
};

void PrintTo(const ManifestCase& c, std::ostream* os) { *os << c.name; }

class ManifestTest : public ResolveRuntimeTest,
                     public ::testing::WithParamInterface<ManifestCase> {};

TEST_P(ManifestTest, RefusesAManifestWithoutAUsablePythonString) {
  writeManifest(GetParam().text);
  const auto resolution = resolveRuntime(platform_);
  EXPECT_EQ(resolution.outcome, ResolveOutcome::kRuntimeRefused);
  EXPECT_FALSE(resolution.runtime.has_value());
  EXPECT_TRUE(platform_.environmentCalls.empty());
  EXPECT_TRUE(platform_.output.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ManifestTest,
    ::testing::Values(
        ManifestCase{"Empty", ""}, ManifestCase{"NotJson", "python = python/bin/python3"},
        ManifestCase{"TopLevelArray", R"([{"paths": {"python": "python/bin/python3"}}])"},
        ManifestCase{"TopLevelString", R"("python/bin/python3")"},
        ManifestCase{"TopLevelNumber", "1"}, ManifestCase{"EmptyObject", "{}"},
        ManifestCase{"PathsArray", R"({"paths": ["python/bin/python3"]})"},
        ManifestCase{"PathsString", R"({"paths": "python/bin/python3"})"},
        ManifestCase{"PythonMissing", R"({"paths": {}})"},
        ManifestCase{"PythonNumber", R"({"paths": {"python": 3}})"},
        ManifestCase{"PythonNull", R"({"paths": {"python": null}})"},
        ManifestCase{"PythonArray", R"({"paths": {"python": ["python/bin/python3"]}})"},
        ManifestCase{"PythonAtTopLevel", R"({"python": "python/bin/python3"})"},
        ManifestCase{"TrailingComma", R"({"paths": {"python": "python/bin/python3"},})"},
        ManifestCase{"Comment", "// runtime\n{\"paths\": {\"python\": \"python/bin/python3\"}}"},
        ManifestCase{"TooDeep", R"({"paths": {"python": "python/bin/python3"}, "x": )" +
                                    std::string(kJsonDepthLimit, '[') +
                                    std::string(kJsonDepthLimit, ']') + "}"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(ResolveRuntimeTest, MissingOrUnreadableManifestIsRefused) {
  EXPECT_EQ(resolveRuntime(platform_).outcome, ResolveOutcome::kRuntimeRefused);  // missing
  testing::makeDirectories(resources_ + "/runtime.json");  // a directory is not a file
  EXPECT_EQ(resolveRuntime(platform_).outcome, ResolveOutcome::kRuntimeRefused);
}

TEST_F(ResolveRuntimeTest, ManifestSizeIsLimited) {
  const std::string body = R"({"paths": {"python": "python/bin/python3"}})";
  writeManifest(body + std::string(kManifestSizeLimit - body.size(), ' '));
  EXPECT_EQ(resolveRuntime(platform_).outcome, ResolveOutcome::kResolved);
  writeManifest(body + std::string(kManifestSizeLimit - body.size() + 1, ' '));
  EXPECT_EQ(resolveRuntime(platform_).outcome, ResolveOutcome::kRuntimeRefused);
}

TEST_F(ResolveRuntimeTest, KeepsTheWholeManifestAndIgnoresOtherKeys) {
  writeManifest(R"({"paths": {"python": "python/bin/python3", "preview": true, "lib": "x"},
                   "preview": false, "extra": [1, 2]})");
  const auto resolution = resolveRuntime(platform_);
  ASSERT_EQ(resolution.outcome, ResolveOutcome::kResolved);
  ASSERT_NE(resolution.runtime->manifest.member("extra"), nullptr);
  EXPECT_FALSE(resolution.runtime->manifest.member("preview")->boolean);
}

TEST_F(ResolveRuntimeTest, LauncherReachedThroughALinkUsesTheRealBundle) {
  // A link beside an unrelated "Contents" tree must not make that tree the bundle.
  testing::writeFile(root_ / "elsewhere/Contents/Resources/runtime.json",
                     R"({"paths": {"python": "python3"}})");
  testing::writeFile(root_ / "elsewhere/Contents/Resources/python3", "", 0755);
  testing::makeLink(contents_ + "/Helpers/TrelvoService", root_ / "elsewhere/Contents/Helpers/ts");
  writePython("python/bin/python3");
  platform_.selfPath = root_ / "elsewhere/Contents/Helpers/ts";
  const auto resolution = resolveRuntime(platform_);
  ASSERT_EQ(resolution.outcome, ResolveOutcome::kResolved);
  EXPECT_EQ(resolution.runtime->contentsDirectory, contents_);
  EXPECT_EQ(resolution.runtime->interpreterPath, resources_ + "/python/bin/python3");
}

TEST_F(ResolveRuntimeTest, ContentsDirectoryIsTwoComponentsUpWhateverItIsCalled) {
  // The launcher relies on its position, not on names: Helpers/Contents are not checked.
  testing::writeFile(root_ / "Other/Bin/TrelvoService", "", 0755);
  testing::writeFile(root_ / "Other/Resources/runtime.json", R"({"paths": {"python": "py"}})");
  platform_.selfPath = root_ / "Other/Bin/TrelvoService";
  const auto resolution = resolveRuntime(platform_);
  ASSERT_EQ(resolution.outcome, ResolveOutcome::kResolved);
  EXPECT_EQ(resolution.runtime->contentsDirectory, root_ / "Other");
  EXPECT_EQ(resolution.runtime->interpreterPath, root_ / "Other/Resources/py");
}

TEST_F(ResolveRuntimeTest, NoExecutablePathIsSelfPathUnavailable) {
  writePython("python/bin/python3");
  platform_.selfPath.reset();
  const auto resolution = resolveRuntime(platform_);
  EXPECT_EQ(resolution.outcome, ResolveOutcome::kSelfPathUnavailable);
  EXPECT_FALSE(resolution.runtime.has_value());
}

}  // namespace
}  // namespace trelvo::service
