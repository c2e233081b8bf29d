// The built launcher, copied into real bundles, handing over to a stand-in interpreter that
// records what it received.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "launch.h"
#include "test_support.h"

namespace trelvo::service {
namespace {

using test_common::TempDir;
using testing::RunResult;

struct Record {
  long pid = 0;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;
  std::vector<std::string> entries;  // the environment as it came, repeated names included
};

std::string unhex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

Record parseRecord(const std::string& out) {
  Record record;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 2) continue;
    const std::string value = line.substr(2);
    if (line[0] == 'P') record.pid = std::stol(value);
    if (line[0] == 'A') record.args.push_back(unhex(value));
    if (line[0] == 'E') {
      const std::string entry = unhex(value);
      record.entries.push_back(entry);
      const auto eq = entry.find('=');
      record.env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
  }
  return record;
}

class HandOverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    contents_ = root_ / "Trelvo Pro.app/Contents";
    resources_ = contents_ + "/Resources";
    launcher_ = contents_ + "/Helpers/TrelvoService";
    interpreter_ = resources_ + "/bin/python3";
    testing::copyFile(TRELVO_TEST_SERVICE, launcher_, 0755);
    testing::copyFile(TRELVO_TEST_STANDIN, interpreter_, 0755);
    writeManifest(R"({"paths": {"python": "bin/python3"}})");
    home_ = root_ / "home";
    base_ = {{"HOME", home_}, {"PATH", "/usr/bin:/bin"}, {"OTHER", "kept as it is"}};
    // The sanitizers' settings pass through to both programs.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) base_[name] = value;
    }
  }

  void writeManifest(const std::string& text) {
    testing::writeFile(resources_ + "/runtime.json", text);
  }

  RunResult launch(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& env) {
    std::vector<std::string> entries;
    for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
    return testing::run(launcher_, argv, entries);
  }

  // The environment the service should see, given what the caller passed.
  std::map<std::string, std::string> expectedEnv(std::map<std::string, std::string> env,
                                                 const std::string& profile) {
    env["TRELVO_RUNTIME_MANIFEST"] = resources_ + "/runtime.json";
    env["TRELVO_DISTRIBUTION"] = "desktop";
    env["PYTHONNOUSERSITE"] = "1";
    env.erase("PYTHONPATH");
    env.erase("PYTHONHOME");
    env["PYTHONPYCACHEPREFIX"] = home_ + "/Library/Caches/" + profile + "/bootstrap";
    env.emplace("TRELVO_DESKTOP_DATA_ROOT", home_ + "/Library/Application Support/" + profile);
    return env;
  }

  TempDir root_;
  std::string contents_, resources_, launcher_, interpreter_, home_;
  std::map<std::string, std::string> base_;
};

TEST_F(HandOverTest, ServiceRunsInTheSameProcessWithItsOwnStatusAndOutput) {
  auto env = base_;
  env["TRELVO_STANDIN_STATUS"] = "7";
  const auto result = launch({"TrelvoService", "status", "--data", root_ / "data"}, env);
  EXPECT_EQ(result.status, 7);
  EXPECT_EQ(result.err, "");
  const auto record = parseRecord(result.out);
  EXPECT_EQ(record.pid, result.pid);
  const std::vector<std::string> args = {interpreter_,
                                         resources_ + "/code/tools/desktop/service.py", "status",
                                         "--data", root_ / "data"};
  EXPECT_EQ(record.args, args);
  // Nothing but the service's own output reaches standard output.
  EXPECT_EQ(result.out.rfind("P ", 0), 0u);
}

TEST_F(HandOverTest, EnvironmentStepsReachTheService) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> callerExtra;
  };
  for (const auto& c : {
           Case{"Plain", {}},
           Case{"CallerValuesReplacedAndRemoved",
                {{"TRELVO_RUNTIME_MANIFEST", "/elsewhere.json"},
                 {"TRELVO_DISTRIBUTION", "store"},
                 {"PYTHONNOUSERSITE", ""},
                 {"PYTHONPYCACHEPREFIX", "/tmp/cache"},
                 {"PYTHONPATH", "/injected"},
                 {"PYTHONHOME", "/injected-home"}}},
           Case{"EmptyDataRootKept", {{"TRELVO_DESKTOP_DATA_ROOT", ""}}},
           Case{"DataRootKept", {{"TRELVO_DESKTOP_DATA_ROOT", "/my data"}}},
       }) {
    SCOPED_TRACE(c.name);
    auto env = base_;
    env.insert(c.callerExtra.begin(), c.callerExtra.end());
    const auto result = launch({"TrelvoService"}, env);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(parseRecord(result.out).env, expectedEnv(env, "TrelvoPro"));
  }
}

// A caller with execve can pass a name more than once; the service must see only the launcher's
// value of every name the launcher sets, and nothing of the names it removes.
TEST_F(HandOverTest, RepeatedEntriesOfTheNamesItSetsOrRemovesAllGo) {
  std::vector<std::string> entries;
  for (const auto& [name, value] : base_) entries.push_back(name + "=" + value);
  for (const char* name : {"TRELVO_RUNTIME_MANIFEST", "TRELVO_DISTRIBUTION", "PYTHONNOUSERSITE",
                           "PYTHONPATH", "PYTHONHOME", "PYTHONPYCACHEPREFIX"}) {
    entries.push_back(std::string(name) + "=/first");
    entries.push_back(std::string(name) + "=/second");
  }
  const auto result = testing::run(launcher_, {"TrelvoService"}, entries);
  ASSERT_EQ(result.status, 0) << result.out;
  const Record record = parseRecord(result.out);
  const auto expected = expectedEnv(base_, "TrelvoPro");
  std::map<std::string, int> seen;
  for (const std::string& entry : record.entries) ++seen[entry.substr(0, entry.find('='))];
  for (const auto& [name, value] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(seen[name], 1);
    EXPECT_EQ(record.env.at(name), value);
  }
  EXPECT_EQ(seen.count("PYTHONPATH"), 0u);
  EXPECT_EQ(seen.count("PYTHONHOME"), 0u);
  EXPECT_EQ(record.entries.size(), expected.size());
}

TEST_F(HandOverTest, PreviewReadingsChooseTheProfile) {
  struct Case {
    const char* manifest;
    bool preview;
  };
  for (const auto& c : {
           Case{R"({"paths": {"python": "bin/python3"}})", false},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": true})", true},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": false})", false},
           Case{R"({"paths": {"python": "bin/python3", "preview": true}})", false},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": "yes"})", true},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": "true"})", true},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": "1"})", true},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": " +0012"})", true},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": "no"})", false},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": "false"})", false},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": "0"})", false},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": 1})", true},
           Case{R"({"paths": {"python": "bin/python3"}, "preview": 0})", false},
       }) {
    SCOPED_TRACE(c.manifest);
    writeManifest(c.manifest);
    const auto result = launch({"TrelvoService"}, base_);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(parseRecord(result.out).env,
              expectedEnv(base_, c.preview ? "TrelvoProPreview" : "TrelvoPro"));
  }
}

TEST_F(HandOverTest, ArgumentsAreForwardedUnchangedAfterTheScript) {
  const std::string script = resources_ + "/code/tools/desktop/service.py";
  struct Case {
    const char* name;
    std::vector<std::string> argv;
  };
  for (const auto& c : {
           Case{"OnlyProgramName", {"TrelvoService"}},
           Case{"ForceStop", {"TrelvoService", "force-stop", "--data", "/a b/c"}},
           Case{"Awkward", {"anything", "", "-c", "import os", "--", "-", " lead", "\xE6\x97\xA0"}},
       }) {
    SCOPED_TRACE(c.name);
    const auto result = launch(c.argv, base_);
    ASSERT_EQ(result.status, 0) << result.out;
    std::vector<std::string> expected = {interpreter_, script};
    expected.insert(expected.end(), c.argv.begin() + 1, c.argv.end());
    EXPECT_EQ(parseRecord(result.out).args, expected);
  }
}

TEST_F(HandOverTest, NoArgumentsAtAllForwardsNothing) {
  // The kernel may give a program started with an empty vector one empty argument 0 instead;
  // either way nothing follows the script.
  const auto result = launch({}, base_);
  ASSERT_EQ(result.status, 0) << result.out;
  const std::vector<std::string> expected = {interpreter_,
                                             resources_ + "/code/tools/desktop/service.py"};
  EXPECT_EQ(parseRecord(result.out).args, expected);
}

TEST_F(HandOverTest, LauncherReachedThroughALinkFromOutside) {
  testing::makeLink(launcher_, root_ / "bin/TrelvoService");
  std::vector<std::string> entries;
  for (const auto& [name, value] : base_) entries.push_back(name + "=" + value);
  const auto result = testing::run(root_ / "bin/TrelvoService", {"TrelvoService"}, entries);
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(parseRecord(result.out).args.at(0), interpreter_);
}

TEST_F(HandOverTest, InterpreterThatCannotRunGivesTheLaunchErrorLine) {
  struct Case {
    const char* name;
    void (*prepare)(const std::string& interpreter, const std::string& resources);
    const char* python;
  };
  const Case cases[] = {
      {"Missing", [](const std::string&, const std::string&) {}, "bin/missing"},
      {"Directory", [](const std::string&, const std::string&) {}, "bin"},
      {"EmptyIsTheResourcesDirectory", [](const std::string&, const std::string&) {}, ""},
      {"NotExecutable",
       [](const std::string& interpreter, const std::string&) {
         ASSERT_EQ(::chmod(interpreter.c_str(), 0644), 0);
       },
       "bin/python3"},
      {"NotAProgram",
       [](const std::string&, const std::string& resources) {
         testing::writeFile(resources + "/bin/garbage", "\x01\x02 not a program\n", 0755);
       },
       "bin/garbage"},
      {"RefusedOutsideTheBundle", [](const std::string&, const std::string&) {},
       "../../../outside"},
      {"RefusedAbsolute", [](const std::string&, const std::string&) {}, "/bin/sh"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare(interpreter_, resources_);
    writeManifest(std::string(R"({"paths": {"python": ")") + c.python + R"("}})");
    const auto result = launch({"TrelvoService", "status", "--data", "/d"}, base_);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kLaunchErrorLine);
    EXPECT_EQ(result.err, "");
  }
}

// An interpreter that is the launcher itself would hand over to itself without end, one
// argument longer each time: it is refused at once.
TEST_F(HandOverTest, InterpreterThatIsTheLauncherIsRefused) {
  // A second name beside it finds the same manifest, so it too would run itself.
  ASSERT_EQ(::link(launcher_.c_str(), (contents_ + "/Helpers/python3").c_str()), 0);
  testing::makeLink("../../Helpers/TrelvoService", resources_ + "/bin/launcher-link");
  for (const char* python :
       {"../Helpers/TrelvoService", "bin/launcher-link", "../Helpers/python3"}) {
    SCOPED_TRACE(python);
    writeManifest(std::string(R"({"paths": {"python": ")") + python + R"("}})");
    std::vector<std::string> entries;
    for (const auto& [name, value] : base_) entries.push_back(name + "=" + value);
    testing::RunOptions options;
    options.timeoutSeconds = 20;
    const auto result = testing::run(launcher_, {"TrelvoService", "status"}, entries, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kLaunchErrorLine);
    EXPECT_EQ(result.err, "");
  }
}

// Whoever reads the launcher's output may have gone: its error line then fails to arrive, and the
// status still says so, however SIGPIPE was set when it started. The service it hands over to
// always starts with SIGPIPE's default disposition, even from a caller that ignores the signal:
// it is ended by the signal when it writes into that pipe.
TEST_F(HandOverTest, ClosedOutputPipe) {
  struct Case {
    const char* name;
    bool direct;  // the stand-in interpreter run by itself, without the launcher
    const char* manifest;
    bool sigpipeIgnored;
    int status;
  };
  const char* handedOver = R"({"paths": {"python": "bin/python3"}})";
  const Case cases[] = {
      {"LaunchErrorLineAfterFailedHandOver", false, R"({"paths": {"python": "bin/missing"}})",
       false, 1},
      {"LaunchErrorLineAfterFailedHandOverStartedIgnoring", false,
       R"({"paths": {"python": "bin/missing"}})", true, 1},
      {"LaunchErrorLineOfARefusedRuntimeStartedIgnoring", false,
       R"({"paths": {"python": "/bin/sh"}})", true, 1},
      {"HandedOver", false, handedOver, false, 128 + SIGPIPE},
      {"HandedOverStartedIgnoring", false, handedOver, true, 128 + SIGPIPE},
      // The disposition the harness passes reaches the program: started by itself with SIGPIPE
      // ignored, the stand-in's write fails quietly and it ends with its own status.
      {"StandInByItselfStartedIgnoring", true, handedOver, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeManifest(c.manifest);
    std::vector<std::string> entries;
    for (const auto& [name, value] : base_) entries.push_back(name + "=" + value);
    testing::RunOptions options;
    options.outputIntoClosedPipe = true;
    options.sigpipeIgnored = c.sigpipeIgnored;
    const auto result = testing::run(c.direct ? interpreter_ : launcher_,
                                     {"TrelvoService", "status"}, entries, options);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(HandOverTest, MissingManifestGivesTheLaunchErrorLine) {
  ASSERT_EQ(::unlink((resources_ + "/runtime.json").c_str()), 0);
  const auto result = launch({"TrelvoService"}, base_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, kLaunchErrorLine);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace trelvo::service
