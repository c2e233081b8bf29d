// Measures, side by side in one run: the installer's own time from the desktop application's
// exit to the commit, and the exchange of a 10-file bundle against a 100000-file bundle.
//
//   installer_bench [runs]
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/median.h"
#include "harness.h"
#include "platform.h"

namespace {

using namespace trelvo::installer;
using namespace trelvo::installer::harness;
using trelvo::bench::median;

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One update whose new version finds its ready marker already made, so the stand-in's own start-up
// does not count: what remains is noticing the exit, the handoff, the exchange, the launch and the
// deletion of the staging directory.
double overheadOnce() {
  Tree tree = makeTree();
  BundleLayout previous{"previous"};
  BundleLayout next{"new"};
  next.appBehaviour = "hang";
  makeBundle(tree.bundle, previous);
  makeBundle(tree.staged, next);
  writeFile(tree.marker, "");
  handOver(tree);
  const auto env = testEnvironment(tree);
  const pid_t app =
      spawnProcess(installerCommand({"1000"}, true, "sleep"), env, "/dev/null", "/dev/null");
  const pid_t installer =
      spawnProcess(installerCommand({std::to_string(app), tree.bundle, tree.staging, tree.data}),
                   env, "/dev/null", "/dev/null");
  writeFile(tree.handoff, "{\"pid\": " + std::to_string(installer) + "}");
  if (geteuid() == 0) (void)lchown(tree.handoff.c_str(), kUnprivilegedId, kUnprivilegedId);
  usleep(300000);  // the installer is polling by now
  const double exited = now();
  (void)kill(app, SIGKILL);  // left unreaped: a zombie, as a quitting app is for a moment
  const int status = waitExit(installer, 60);
  const double committed = now();
  killSession(installer);
  (void)waitExit(app, 5);
  const bool ok = status == 0 && completeVersion(tree.bundle) == std::optional<std::string>("new");
  removeTree(tree);
  if (!ok) {
    std::fprintf(stderr, "installer_bench: the update did not commit (status %d)\n", status);
    std::exit(1);
  }
  return committed - exited;
}

void makeFiles(const std::string& bundle, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string dir = bundle + "/Contents/Resources/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) std::filesystem::create_directories(dir);
    std::FILE* f = std::fopen((dir + "/f" + std::to_string(i)).c_str(), "we");
    if (f != nullptr) std::fclose(f);
  }
}

// Median time of one exchange, swapping the pair back and forth.
double exchangeTime(Platform& platform, const std::string& a, const std::string& b, int swaps) {
  std::vector<double> times;
  for (int i = 0; i < swaps; ++i) {
    const double start = now();
    const bool ok = platform.exchange(a, b);
    times.push_back(now() - start);
    if (!ok) {
      std::fprintf(stderr, "installer_bench: exchange failed\n");
      std::exit(1);
    }
  }
  return median(times);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

  std::vector<double> overheads;
  for (int i = 0; i < runs; ++i) overheads.push_back(overheadOnce());
  const auto [lo, hi] = std::minmax_element(overheads.begin(), overheads.end());
  std::printf(
      "installer overhead, app exit -> commit (%d runs): median %.1f ms, min %.1f ms, "
      "max %.1f ms\n",
      runs, median(overheads) * 1e3, *lo * 1e3, *hi * 1e3);
  std::printf(
      "  of which the quit probe's 100 ms pause accounts for up to 100 ms (50 ms on "
      "average); ratio median/pause = %.2f\n",
      median(overheads) / 0.1);

  Tree tree = makeTree();
  const std::string small = tree.root + "/small.app";
  const std::string smallStaged = tree.root + "/small-staged.app";
  const std::string large = tree.root + "/large.app";
  const std::string largeStaged = tree.root + "/large-staged.app";
  makeFiles(small, 10);
  makeFiles(smallStaged, 10);
  makeFiles(large, 100000);
  makeFiles(largeStaged, 100000);
  const auto platform = makeLinuxPlatform();
  constexpr int kSwaps = 2001;
  const double smallTime = exchangeTime(*platform, small, smallStaged, kSwaps);
  const double largeTime = exchangeTime(*platform, large, largeStaged, kSwaps);
  std::printf("exchange, 10-file bundle: median %.2f us over %d exchanges\n", smallTime * 1e6,
              kSwaps);
  std::printf("exchange, 100000-file bundle: median %.2f us over %d exchanges\n", largeTime * 1e6,
              kSwaps);
  std::printf("ratio 100000-file / 10-file: %.2f (one rename either way)\n", largeTime / smallTime);
  removeTree(tree);
  return 0;
}
