// The installer is killed with SIGKILL at random moments of a committing and of a rolling-back
// transaction, each version holding folders without write permission. Whatever the moment, each
// version is either complete at one of the two paths or, once the transaction has finished,
// deliberately gone with the staging directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

#include "harness.h"

namespace trelvo::installer::harness {
namespace {

struct Scenario {
  const char* name;
  std::string newApp;   // how the new version behaves
  std::string outcome;  // which version the bundle path holds once the run has finished
};

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

class Crash : public ::testing::TestWithParam<Scenario> {};

pid_t startRun(const Tree& tree, pid_t* app) {
  handOver(tree);
  const auto env = testEnvironment(tree);
  *app = spawnProcess(installerCommand({"0.05"}, true, "sleep"), env, "/dev/null", "/dev/null");
  const pid_t installer =
      spawnProcess(installerCommand({std::to_string(*app), tree.bundle, tree.staging, tree.data}),
                   env, "/dev/null", "/dev/null");
  writeFile(tree.handoff, "{\"pid\": " + std::to_string(installer) + "}");
  if (geteuid() == 0) (void)lchown(tree.handoff.c_str(), kUnprivilegedId, kUnprivilegedId);
  return installer;
}

TEST_P(Crash, NoVersionIsEverLostOrHalfPresent) {
  const Scenario& s = GetParam();
  constexpr int kRuns = 30;
  std::mt19937 random(20261210);
  // Most of an undisturbed run is spent in its waits; cut it anywhere within 1.5 s.
  std::uniform_int_distribution<int> killAfterMicroseconds(0, 1500000);
  int finished = 0;
  for (int i = 0; i < kRuns; ++i) {
    const int delay = killAfterMicroseconds(random);
    SCOPED_TRACE("run " + std::to_string(i) + ", killed after " + std::to_string(delay) + " us");
    Tree tree = makeTree();
    BundleLayout previous{"previous"};
    BundleLayout next{"new"};
    next.appBehaviour = s.newApp;
    previous.extraFiles = next.extraFiles = 40;
    previous.readOnlyDirectories = next.readOnlyDirectories = true;
    makeBundle(tree.bundle, previous);
    makeBundle(tree.staged, next);
    pid_t app = -1;
    const pid_t installer = startRun(tree, &app);
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
    (void)kill(installer, SIGKILL);
    const int status = waitExit(installer, 10);
    killSession(installer);
    (void)waitExit(app, 5);

    const auto atBundle = completeVersion(tree.bundle, 40, true);
    ASSERT_TRUE(atBundle) << "the bundle path holds no complete version";
    if (exists(tree.staged)) {
      const auto atStaged = completeVersion(tree.staged, 40, true);
      ASSERT_TRUE(atStaged) << "the staged bundle path holds a damaged version";
      EXPECT_NE(*atBundle, *atStaged);
    } else {
      // Only a finished transaction lets the other version go, and the staging directory goes
      // with it as a whole.
      EXPECT_FALSE(exists(tree.staging));
      EXPECT_EQ(*atBundle, s.outcome);
      ++finished;
    }
    if (status == 0) {
      EXPECT_EQ(*atBundle, s.outcome);  // finished before the kill landed
    }
    removeTree(tree);
  }
  // The random moments must reach both sides of the exchange for the test to mean anything.
  EXPECT_GT(finished, 0);
  EXPECT_LT(finished, kRuns);
}

INSTANTIATE_TEST_SUITE_P(Installer, Crash,
                         ::testing::Values(Scenario{"Committing", "ready-late", "new"},
                                           Scenario{"RollingBack", "exit-late", "previous"}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace trelvo::installer::harness
