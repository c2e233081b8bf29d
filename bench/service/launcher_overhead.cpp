// How much starting the service through TrelvoService costs over starting the same interpreter and
// script directly, and, given another build of TrelvoService, how this build's start compares with
// that one's. The ways compared run alternately in one process, so machine noise hits them alike;
// the medians and their ratio are printed.
//
//   bench_service_launch [RUNS] [OTHER_TRELVO_SERVICE]
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/median.h"

extern char** environ;

namespace {
using trelvo::bench::median;
namespace fs = std::filesystem;

// Runs a program to its end with standard output and error discarded; its exit status, or -1.
int runQuietly(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

double secondsFor(const std::vector<std::string>& argv) {
  const auto start = std::chrono::steady_clock::now();
  if (runQuietly(argv) != 0) {
    std::fprintf(stderr, "bench_service: %s failed\n", argv[0].c_str());
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Bundle {
  std::string launcher;
  std::string otherLauncher;  // empty unless another build was given
  std::string interpreter;
  std::string script;
};

// A bundle whose manifest names `interpreterName` below Resources. The other build, when given,
// sits beside the launcher in the same Helpers folder, so both find the same bundle.
Bundle makeBundle(const fs::path& root, const std::string& interpreterName,
                  const std::string& otherLauncher) {
  const fs::path resources = root / "Trelvo Pro.app/Contents/Resources";
  const fs::path helpers = root / "Trelvo Pro.app/Contents/Helpers";
  fs::create_directories(helpers);
  fs::create_directories(resources / "code/tools/desktop");
  fs::copy_file(TRELVO_BENCH_SERVICE, helpers / "TrelvoService");
  if (!otherLauncher.empty()) fs::copy_file(otherLauncher, helpers / "TrelvoService-other");
  fs::copy_file(TRELVO_BENCH_SCRIPT, resources / "code/tools/desktop/service.py");
  FILE* manifest = std::fopen((resources / "runtime.json").c_str(), "we");
  if (manifest == nullptr) std::exit(1);
  std::fprintf(manifest, "{\"paths\": {\"python\": \"%s\"}}\n", interpreterName.c_str());
  std::fclose(manifest);
  return {(helpers / "TrelvoService").string(),
          otherLauncher.empty() ? std::string() : (helpers / "TrelvoService-other").string(),
          (resources / interpreterName).string(),
          (resources / "code/tools/desktop/service.py").string()};
}

// The median times of two commands run alternately.
struct Comparison {
  double first = 0;
  double second = 0;
};

Comparison alternate(const std::vector<std::string>& first, const std::vector<std::string>& second,
                     int runs) {
  (void)secondsFor(first);  // warm the page cache for both
  (void)secondsFor(second);
  std::vector<double> firstTimes, secondTimes;
  for (int i = 0; i < runs; ++i) {
    // Alternate which goes first so neither always follows the other.
    if (i % 2 == 0) {
      firstTimes.push_back(secondsFor(first));
      secondTimes.push_back(secondsFor(second));
    } else {
      secondTimes.push_back(secondsFor(second));
      firstTimes.push_back(secondsFor(first));
    }
  }
  return {median(firstTimes), median(secondTimes)};
}

std::vector<std::string> withArgs(std::vector<std::string> command,
                                  const std::vector<std::string>& args) {
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

void compare(const char* label, const Bundle& bundle, const std::vector<std::string>& args,
             int runs) {
  const auto direct = withArgs({bundle.interpreter, bundle.script}, args);
  const auto launched = withArgs({bundle.launcher}, args);
  const Comparison c = alternate(direct, launched, runs);
  std::printf("%-34s runs %4d  direct %8.3f ms  through TrelvoService %8.3f ms  ratio %.3f\n",
              label, runs, c.first * 1e3, c.second * 1e3, c.second / c.first);
  if (bundle.otherLauncher.empty()) return;
  const auto other = withArgs({bundle.otherLauncher}, args);
  const Comparison o = alternate(other, launched, runs);
  std::printf(
      "%-34s runs %4d  other    %8.3f ms  this TrelvoService    %8.3f ms  "
      "ratio new/other %.3f\n",
      label, runs, o.first * 1e3, o.second * 1e3, o.second / o.first);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 101;
  const std::string other = argc > 2 ? fs::absolute(argv[2]).string() : std::string();
  if (!other.empty() && !fs::is_regular_file(other)) {
    std::fprintf(stderr, "bench_service: %s is not a file\n", other.c_str());
    return 1;
  }
  char pattern[] = "/tmp/trelvo-bench-service.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  // Both ways get the same environment: a private HOME (the launcher places the bytecode cache
  // below it) and bytecode caching on, as on a user's machine, so the warm-up runs fill the caches.
  (void)setenv("HOME", (root / "home").c_str(), 1);
  (void)unsetenv("PYTHONDONTWRITEBYTECODE");
  (void)unsetenv("PYTHONPYCACHEPREFIX");

  // The real case: Python copied into the bundle, running the sample service's status command.
  const Bundle python = makeBundle(root / "python", "python/bin/python3", other);
  if (runQuietly({"/usr/bin/python3", "-m", "venv", "--copies", "--without-pip",
                  (root / "python/Trelvo Pro.app/Contents/Resources/python").string()}) != 0) {
    std::fprintf(stderr, "bench_service: cannot make a Python environment\n");
    return 1;
  }
  // The launcher's own cost, seen against a program that does next to nothing.
  const Bundle standin = makeBundle(root / "standin", "bin/standin", other);
  fs::create_directories(fs::path(standin.interpreter).parent_path());
  fs::copy_file(TRELVO_BENCH_STANDIN, standin.interpreter);

  const std::string data = (root / "data").string();
  compare("python service.py status", python, {"status", "--data", data}, runs);
  compare("minimal stand-in interpreter", standin, {"status", "--data", data}, runs * 3);

  std::error_code ignored;
  fs::remove_all(root, ignored);
  return 0;
}
