// The built installer on real bundles in temporary trees, with shell stand-ins for the desktop
// application and the previous bundle's service launcher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace trelvo::installer::harness {
namespace {

const std::string kAlertMessage = "Trelvo Pro 未能自动恢复";
const std::string kAlertSentence = "上一版本已保存在以下位置，请退出 Trelvo Pro 后联系支持。";

std::string alertOnStderr(const std::string& path) {
  return kAlertMessage + "\n" + kAlertSentence + "\n" + path + "\n";
}

class Installer : public ::testing::Test {
 protected:
  void SetUp() override { tree = makeTree(); }
  void TearDown() override { removeTree(tree); }

  std::string expand(std::string line) const {
    const auto replace = [&](const std::string& key, const std::string& value) {
      for (auto at = line.find(key); at != std::string::npos; at = line.find(key)) {
        line.replace(at, key.size(), value);
      }
    };
    replace("{marker}", tree.marker);
    replace("{data}", tree.data);
    return line;
  }

  Tree tree;
};

// ---------------------------------------------------------------- outcomes of whole runs

struct Outcome {
  const char* name;
  BundleLayout previous;
  std::optional<BundleLayout> next;  // nothing: the staging directory holds no bundle
  int status;
  std::string atBundle;
  std::string atStaged;  // empty: the staging directory is gone
  std::string alert;     // "staging", "bundle" or empty
  std::vector<std::string> log;
};

void PrintTo(const Outcome& outcome, std::ostream* os) { *os << outcome.name; }

BundleLayout previousWith(std::string service, bool withService = true, bool executable = true) {
  BundleLayout layout{"previous"};
  layout.serviceBehaviour = std::move(service);
  layout.withService = withService;
  layout.appExecutable = executable;
  return layout;
}

BundleLayout newWith(std::string app) {
  BundleLayout layout{"new"};
  layout.appBehaviour = std::move(app);
  return layout;
}

const std::vector<std::string> kReadyLaunch = {"new app [--trelvo-beta-ready={marker}]"};
const std::vector<std::string> kFullRollback = {
    "new app [--trelvo-beta-ready={marker}]", "previous service [force-stop] [--data] [{data}]",
    "previous service [status] [--data] [{data}]", "previous app [--trelvo-beta-rollback]"};
const std::vector<std::string> kServicesOnly = {"new app [--trelvo-beta-ready={marker}]",
                                                "previous service [force-stop] [--data] [{data}]",
                                                "previous service [status] [--data] [{data}]"};

class Outcomes : public Installer, public ::testing::WithParamInterface<Outcome> {};

TEST_P(Outcomes, LeaveBundlesAsExpected) {
  const Outcome& c = GetParam();
  makeBundle(tree.bundle, c.previous);
  if (c.next) makeBundle(tree.staged, *c.next);
  const RunResult run = runInstaller(tree);

  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>(c.atBundle));
  if (c.atStaged.empty()) {
    EXPECT_FALSE(exists(tree.staging));
  } else {
    EXPECT_EQ(completeVersion(tree.staged), std::optional<std::string>(c.atStaged));
  }
  EXPECT_FALSE(exists(tree.handoff));
  EXPECT_EQ(run.out, "");
  if (c.alert.empty()) {
    EXPECT_EQ(run.err, "");
  } else {
    EXPECT_EQ(run.err, alertOnStderr(c.alert == "bundle" ? tree.bundle : tree.staging));
  }
  std::vector<std::string> expected;
  for (const auto& line : c.log) expected.push_back(expand(line));
  EXPECT_EQ(run.log, expected);
  // The app stand-in quits after 0.3 s and stays a zombie meanwhile: no 45 s wait.
  EXPECT_LT(run.seconds, 20);
}

INSTANTIATE_TEST_SUITE_P(
    Installer, Outcomes,
    ::testing::Values(Outcome{"Commits", previousWith("stopped"), newWith("ready"), 0, "new", "",
                              "", kReadyLaunch},
                      Outcome{"NewVersionEndsEarly", previousWith("stopped"), newWith("exit"), 0,
                              "previous", "", "", kFullRollback},
                      Outcome{"MarkerThenEndWithinOnePause", previousWith("stopped"),
                              newWith("ready-exit"), 0, "previous", "", "", kFullRollback},
                      Outcome{"StatusStoppedWithFailingExit", previousWith("stopped-exit3"),
                              newWith("exit-late"), 0, "previous", "", "", kFullRollback},
                      Outcome{"StatusStopping", previousWith("stopping"), newWith("exit"), 5, "new",
                              "previous", "staging", kServicesOnly},
                      Outcome{"StatusUpperCase", previousWith("upper"), newWith("exit"), 5, "new",
                              "previous", "staging", kServicesOnly},
                      Outcome{"StatusSilentAfterForceStopSaidStopped", previousWith("silent"),
                              newWith("exit"), 5, "new", "previous", "staging", kServicesOnly},
                      Outcome{"LauncherErrorObject", previousWith("error"), newWith("exit"), 5,
                              "new", "previous", "staging", kServicesOnly},
                      Outcome{"NoServiceLauncher",
                              previousWith("stopped", false),
                              newWith("exit"),
                              5,
                              "new",
                              "previous",
                              "staging",
                              {"new app [--trelvo-beta-ready={marker}]"}},
                      Outcome{"RelaunchFails", previousWith("stopped", true, false),
                              newWith("exit"), 5, "previous", "new", "bundle", kServicesOnly},
                      Outcome{"SwapFails",
                              previousWith("stopped"),
                              std::nullopt,
                              4,
                              "previous",
                              "",
                              "",
                              {"previous app [--trelvo-beta-rollback]"}}),
    [](const ::testing::TestParamInfo<Outcome>& param) { return std::string(param.param.name); });

TEST_F(Installer, SwapAndFallbackFailKeepsStaging) {
  makeBundle(tree.bundle, previousWith("stopped", true, false));
  writeFile(tree.staging + "/keep", "x");
  const RunResult run = runInstaller(tree);
  EXPECT_EQ(run.status, 4);
  EXPECT_TRUE(exists(tree.staging + "/keep"));
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("previous"));
  EXPECT_TRUE(run.log.empty());
  EXPECT_FALSE(exists(tree.handoff));
}

// ---------------------------------------------------------------- refusals and handoff

TEST_F(Installer, RequestRefusalsTouchNothing) {
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("ready"));
  const std::string other = tree.root + "/Elsewhere/.trelvo-beta-app-1";
  std::filesystem::create_directories(other);
  chmod(other.c_str(), 0700);
  const std::string link = tree.apps + "/.trelvo-beta-app-link";
  std::filesystem::create_directory_symlink(tree.staging, link);
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    mode_t stagingMode;
  };
  const std::vector<Case> cases = {
      {"three arguments", {"999", tree.bundle, tree.staging}, 0700},
      {"five arguments", {"999", tree.bundle, tree.staging, tree.data, "x"}, 0700},
      {"pid 1", {"1", tree.bundle, tree.staging, tree.data}, 0700},
      {"pid letters", {"abc", tree.bundle, tree.staging, tree.data}, 0700},
      {"upper case extension",
       {"999", tree.apps + "/Trelvo Pro.APP", tree.staging, tree.data},
       0700},
      {"relative data", {"999", tree.bundle, tree.staging, "Data Dir"}, 0700},
      {"group may read and search", {"999", tree.bundle, tree.staging, tree.data}, 0750},
      {"staging is a link", {"999", tree.bundle, link, tree.data}, 0700},
      {"staging is a link, trailing slash", {"999", tree.bundle, link + "/", tree.data}, 0700},
      {"staging elsewhere", {"999", tree.bundle, other, tree.data}, 0700},
      {"parent through ..",
       {"999", tree.bundle, tree.apps + "/../Apps/.trelvo-beta-app-1", tree.data},
       0700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(tree.handoff, "{}");
    RunOptions options;
    options.arguments = c.arguments;
    options.writeHandoff = false;
    options.appRunsFor = 0;
    chmod(tree.staging.c_str(), c.stagingMode);
    const RunResult run = runInstaller(tree, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(readFile(tree.handoff), "{}");
    EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("previous"));
    EXPECT_EQ(completeVersion(tree.staged), std::optional<std::string>("new"));
    EXPECT_TRUE(run.log.empty());
  }
}

// The staging directory is deleted once the run ends: were it the bundle itself, or reached from
// the bundle path through a link, the installed version would go with it.
TEST_F(Installer, StagingThatIsTheBundleIsRefused) {
  const std::string both = tree.apps + "/.trelvo-beta-app-x.app";
  makeBundle(both, previousWith("stopped"));
  ASSERT_EQ(chmod(both.c_str(), 0700), 0);
  makeBundle(tree.staged, newWith("ready"));
  const std::string toStaging = tree.apps + "/To Staging.app";
  const std::string intoStaging = tree.apps + "/Into Staging.app";
  std::filesystem::create_directory_symlink(".trelvo-beta-app-1", toStaging);
  std::filesystem::create_directory_symlink(".trelvo-beta-app-1/Trelvo Pro.app", intoStaging);
  struct Case {
    const char* name;
    std::string bundle;
    std::string staging;
  };
  const std::vector<Case> cases = {
      {"one directory for both", both, both},
      {"one directory, trailing slash", both, both + "/"},
      {"bundle links to the staging directory", toStaging, tree.staging},
      {"bundle links into the staging directory", intoStaging, tree.staging},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.arguments = {"999", c.bundle, c.staging, tree.data};
    const RunResult run = runInstaller(tree, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(readFile(tree.handoff), run.handoffWritten);
    EXPECT_EQ(completeVersion(both), std::optional<std::string>("previous"));
    EXPECT_EQ(completeVersion(tree.staged), std::optional<std::string>("new"));
    EXPECT_TRUE(std::filesystem::is_symlink(toStaging));
    EXPECT_TRUE(std::filesystem::is_symlink(intoStaging));
    EXPECT_TRUE(run.log.empty());
  }
}

TEST_F(Installer, RootIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "the refusal of root can only be shown when running as root";
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("ready"));
  // The tree belongs to root here, so every other check would pass.
  const std::string handoffBefore = "{\"pid\": 1}";
  writeFile(tree.handoff, handoffBefore);
  const pid_t pid =
      spawnProcess(installerCommand({"999", tree.bundle, tree.staging, tree.data}, false),
                   testEnvironment(tree), tree.root + "/out", tree.root + "/err");
  EXPECT_EQ(waitExit(pid, 30), 2);
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("previous"));
  EXPECT_EQ(completeVersion(tree.staged), std::optional<std::string>("new"));
  EXPECT_EQ(readFile(tree.handoff), handoffBefore);
}

TEST_F(Installer, HandoffNotNamingInstallerIsStatus3) {
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("ready"));
  const std::vector<std::optional<std::string>> cases = {
      std::string(R"({"pid": "{pid}"})"), std::string(R"([{"pid": {pid}}])"), std::string(""),
      std::string(R"({"pid": 1})"), std::nullopt};
  for (const auto& content : cases) {
    SCOPED_TRACE(content.value_or("(missing)"));
    std::filesystem::remove(tree.handoff);
    RunOptions options;
    options.appRunsFor = 0.1;
    if (content) {
      options.handoffContent = *content;
    } else {
      options.writeHandoff = false;
    }
    const RunResult run = runInstaller(tree, options);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(exists(tree.handoff), content.has_value());
    if (content) {
      EXPECT_EQ(readFile(tree.handoff), run.handoffWritten);
    }
    EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("previous"));
    EXPECT_EQ(completeVersion(tree.staged), std::optional<std::string>("new"));
    EXPECT_TRUE(run.log.empty());
  }
}

TEST_F(Installer, FifoAtHandoffPathDoesNotBlock) {
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("ready"));
  ASSERT_EQ(mkfifo(tree.handoff.c_str(), 0600), 0);
  RunOptions options;
  options.writeHandoff = false;
  options.appRunsFor = 0.1;
  options.timeoutSeconds = 20;
  const RunResult run = runInstaller(tree, options);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("previous"));
}

TEST_F(Installer, WaitsForTheAppToQuit) {
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("ready"));
  RunOptions options;
  options.appRunsFor = 1.5;
  const RunResult run = runInstaller(tree, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_GE(run.seconds, 1.5);
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("new"));
}

// ---------------------------------------------------------------- standard error gone

TEST_F(Installer, AlertOnAClosedPipeStillEndsWithStatus5) {
  makeBundle(tree.bundle, previousWith("stopping"));
  makeBundle(tree.staged, newWith("exit"));
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);  // whoever read the installer's standard error has gone
  RunOptions options;
  options.stderrFd = fds[1];
  const RunResult run = runInstaller(tree, options);
  close(fds[1]);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("new"));
  EXPECT_EQ(completeVersion(tree.staged), std::optional<std::string>("previous"));
}

// ---------------------------------------------------------------- descriptors and lifetimes

// The state letter of /proc/<pid>/stat ('Z' for a zombie), or 0 when the process is gone.
char processState(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? '\0' : stat[paren + 2];
}

TEST_F(Installer, StatusFileDoesNotLeakIntoLaterChildren) {
  // With the installer's own standard output closed, a status file opened for a service run must
  // not take its place: the relaunched previous version inherits a closed standard output too.
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("exit"));
  RunOptions options;
  options.stdoutClosed = true;
  const RunResult run = runInstaller(tree, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("previous"));
  const std::vector<AppStart> starts = appStarts(tree);
  ASSERT_EQ(starts.size(), 2u);
  for (const AppStart& start : starts) {
    SCOPED_TRACE(start.version);
    EXPECT_EQ(start.output.find("service-status.json"), std::string::npos);
    EXPECT_EQ(start.output, "");
  }
  EXPECT_EQ(starts[1].version, "previous");
}

TEST_F(Installer, CommittedVersionOutlivesTheInstaller) {
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("ready"));
  RunOptions options;
  std::vector<char> states;
  options.afterExit = [&](const RunResult&) {
    for (const AppStart& start : appStarts(tree)) states.push_back(processState(start.pid));
  };
  const RunResult run = runInstaller(tree, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(exists(tree.staging));
  const std::vector<AppStart> starts = appStarts(tree);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].version, "new");
  // Once the installer has exited, the new version still runs: neither ended nor a zombie.
  ASSERT_EQ(states.size(), 1u);
  EXPECT_NE(states[0], '\0');
  EXPECT_NE(states[0], 'Z');
  EXPECT_NE(states[0], 'X');
}

// ---------------------------------------------------------------- links are never followed

TEST_F(Installer, PlantedStatusFileLinkIsReplacedNotFollowed) {
  makeBundle(tree.bundle, previousWith("stopping"));
  makeBundle(tree.staged, newWith("exit"));
  const std::string victim = tree.root + "/victim";
  writeFile(victim, "precious");
  std::filesystem::create_symlink(victim, tree.statusFile);
  const RunResult run = runInstaller(tree);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(readFile(victim), "precious");
  struct stat st {};
  ASSERT_EQ(lstat(tree.statusFile.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(readFile(tree.statusFile), "{\"state\":\"stopping\"}\n");
}

TEST_F(Installer, CommitRemovesLinksNotTheirTargets) {
  makeBundle(tree.bundle, previousWith("stopped"));
  makeBundle(tree.staged, newWith("ready"));
  const std::string outside = tree.root + "/outside";
  writeFile(outside + "/keep", "kept");
  std::filesystem::create_directory_symlink(outside, tree.staging + "/outside-link");
  std::filesystem::create_directory_symlink(outside, tree.staged + "/Contents/Resources/link");
  const RunResult run = runInstaller(tree);
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(exists(tree.staging));
  EXPECT_EQ(readFile(outside + "/keep"), "kept");
  // Nothing is left beside the bundle either.
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(tree.apps))
    left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"Trelvo Pro.app"});
}

// Folders without write permission in the version that goes: the commit, the rollback and the
// fallback after a failed exchange delete it all the same, leaving nothing beside the bundle.
TEST_F(Installer, ReadOnlyFoldersGoWithTheStagingDirectory) {
  struct Case {
    const char* name;
    std::string newApp;
    bool stagedReadOnly;  // a staged bundle that cannot be moved makes the exchange fail
    int status;
    std::string atBundle;
  };
  const std::vector<Case> cases = {
      {"commit", "ready", false, 0, "new"},
      {"rollback", "exit", false, 0, "previous"},
      {"exchange failed", "ready", true, 4, "previous"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Tree t = makeTree();
    BundleLayout previous = previousWith("stopped");
    BundleLayout next = newWith(c.newApp);
    previous.readOnlyDirectories = next.readOnlyDirectories = true;
    makeBundle(t.bundle, previous);
    makeBundle(t.staged, next);
    if (c.stagedReadOnly) {
      ASSERT_EQ(chmod(t.staged.c_str(), 0555), 0);
    }
    const RunResult run = runInstaller(t);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(completeVersion(t.bundle, 8, true), std::optional<std::string>(c.atBundle));
    EXPECT_FALSE(exists(t.staging));
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(t.apps)) {
      left.push_back(e.path().filename());
    }
    EXPECT_EQ(left, std::vector<std::string>{"Trelvo Pro.app"});
    removeTree(t);
  }
}

// ---------------------------------------------------------------- real grace periods

TEST_F(Installer, HangingForceStopIsKilledAndStatusStillRuns) {
  // 40 s for the force-stop run, then 5 s of grace since it ignores the termination signal.
  makeBundle(tree.bundle, previousWith("hang-force-stop"));
  makeBundle(tree.staged, newWith("exit"));
  const RunResult run = runInstaller(tree);
  EXPECT_EQ(run.status, 0);
  EXPECT_GE(run.seconds, 45.0);
  EXPECT_EQ(completeVersion(tree.bundle), std::optional<std::string>("previous"));
  std::vector<std::string> expected;
  for (const auto& line : kFullRollback) expected.push_back(expand(line));
  EXPECT_EQ(run.log, expected);
}

}  // namespace
}  // namespace trelvo::installer::harness

// ---------------------------------------------------------------- the alert on a terminal

namespace trelvo::installer::harness {
namespace {

TEST_F(Installer, AlertPromptsOnTheTerminalAndWaitsForEnter) {
  makeBundle(tree.bundle, previousWith("stopping"));
  makeBundle(tree.staged, newWith("exit"));
  handOver(tree);
  const auto env = testEnvironment(tree);
  const pid_t app =
      spawnProcess(installerCommand({"0.3"}, true, "sleep"), env, "/dev/null", "/dev/null");
  const std::vector<std::string> command =
      installerCommand({std::to_string(app), tree.bundle, tree.staging, tree.data});
  std::vector<char*> argv = cStringArray(command);
  std::vector<char*> envp = cStringArray(env);
  const std::string outPath = tree.root + "/installer.out";
  const std::string errPath = tree.root + "/installer.err";

  int master = -1;
  const pid_t installer = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(installer, 0);
  if (installer == 0) {
    // The terminal stays the controlling one; the standard streams go to files.
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(120);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (geteuid() == 0) (void)fchown(1, kUnprivilegedId, kUnprivilegedId);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(121);
  }
  writeFile(tree.handoff, "{\"pid\": " + std::to_string(installer) + "}");
  if (geteuid() == 0) (void)lchown(tree.handoff.c_str(), kUnprivilegedId, kUnprivilegedId);

  // Read the prompt; the installer must still be waiting for Enter once it is complete.
  std::string shown;
  const std::string expected = alertOnStderr(tree.staging);
  for (int i = 0; i < 1000 && shown.find("[Enter]") == std::string::npos; ++i) {
    // Until the installer opens the terminal nobody holds it open, and reading fails at once.
    pollfd p{master, POLLIN, 0};
    char buffer[4096];
    const ssize_t got = poll(&p, 1, 20) > 0 ? read(master, buffer, sizeof buffer) : 0;
    if (got > 0) {
      shown.append(buffer, static_cast<std::size_t>(got));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // The terminal turns "\n" into "\r\n".
  std::string plain;
  for (char c : shown) {
    if (c != '\r') plain += c;
  }
  EXPECT_EQ(plain.substr(0, expected.size()), expected) << "stderr: " << readFile(errPath);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(waitpid(installer, nullptr, WNOHANG), 0) << "the installer did not wait for Enter";
  ASSERT_EQ(write(master, "\n", 1), 1);
  EXPECT_EQ(waitExit(installer, 20), 5);
  close(master);
  killSession(installer);
  (void)waitExit(app, 5);
  EXPECT_EQ(readFile(outPath) + readFile(errPath), "");
}

}  // namespace
}  // namespace trelvo::installer::harness
