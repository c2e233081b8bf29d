// How much starting the service through TrelvoService costs over starting the same interpreter and
// script directly. Both ways run alternately in one process, so machine noise hits them alike;
// the medians and their ratio are printed.
//
//   bench_service [RUNS]
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

extern char** environ;

namespace {
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

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

struct Bundle {
  std::string launcher;
  std::string interpreter;
  std::string script;
};

// A bundle whose manifest names `interpreterName` below Resources.
Bundle makeBundle(const fs::path& root, const std::string& interpreterName) {
  const fs::path resources = root / "Trelvo Pro.app/Contents/Resources";
  fs::create_directories(root / "Trelvo Pro.app/Contents/Helpers");
  fs::create_directories(resources / "code/tools/desktop");
  fs::copy_file(TRELVO_BENCH_SERVICE, root / "Trelvo Pro.app/Contents/Helpers/TrelvoService");
  fs::copy_file(TRELVO_BENCH_SCRIPT, resources / "code/tools/desktop/service.py");
  FILE* manifest = std::fopen((resources / "runtime.json").c_str(), "we");
  if (manifest == nullptr) std::exit(1);
  std::fprintf(manifest, "{\"paths\": {\"python\": \"%s\"}}\n", interpreterName.c_str());
  std::fclose(manifest);
  return {(root / "Trelvo Pro.app/Contents/Helpers/TrelvoService").string(),
          (resources / interpreterName).string(),
          (resources / "code/tools/desktop/service.py").string()};
}

void compare(const char* label, const Bundle& bundle, const std::vector<std::string>& args,
             int runs) {
  std::vector<std::string> direct = {bundle.interpreter, bundle.script};
  std::vector<std::string> launched = {bundle.launcher};
  direct.insert(direct.end(), args.begin(), args.end());
  launched.insert(launched.end(), args.begin(), args.end());
  (void)secondsFor(direct);  // warm the page cache for both
  (void)secondsFor(launched);
  std::vector<double> directTimes, launchedTimes;
  for (int i = 0; i < runs; ++i) {
    // Alternate which goes first so neither always follows the other.
    if (i % 2 == 0) {
      directTimes.push_back(secondsFor(direct));
      launchedTimes.push_back(secondsFor(launched));
    } else {
      launchedTimes.push_back(secondsFor(launched));
      directTimes.push_back(secondsFor(direct));
    }
  }
  const double d = median(directTimes), l = median(launchedTimes);
  std::printf("%-34s runs %4d  direct %8.3f ms  through TrelvoService %8.3f ms  ratio %.3f\n",
              label, runs, d * 1e3, l * 1e3, l / d);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 101;
  char pattern[] = "/tmp/trelvo-bench-service.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  // Both ways get the same environment: a private HOME (the launcher places the bytecode cache
  // below it) and bytecode caching on, as on a user's machine, so the warm-up runs fill the caches.
  (void)setenv("HOME", (root / "home").c_str(), 1);
  (void)unsetenv("PYTHONDONTWRITEBYTECODE");
  (void)unsetenv("PYTHONPYCACHEPREFIX");

  // The real case: Python copied into the bundle, running the sample service's status command.
  const Bundle python = makeBundle(root / "python", "python/bin/python3");
  if (runQuietly({"/usr/bin/python3", "-m", "venv", "--copies", "--without-pip",
                  (root / "python/Trelvo Pro.app/Contents/Resources/python").string()}) != 0) {
    std::fprintf(stderr, "bench_service: cannot make a Python environment\n");
    return 1;
  }
  // The launcher's own cost, seen against a program that does next to nothing.
  const Bundle standin = makeBundle(root / "standin", "bin/standin");
  fs::create_directories(fs::path(standin.interpreter).parent_path());
  fs::copy_file(TRELVO_BENCH_STANDIN, standin.interpreter);

  const std::string data = (root / "data").string();
  compare("python service.py status", python, {"status", "--data", data}, runs);
  compare("minimal stand-in interpreter", standin, {"status", "--data", data}, runs * 3);

  std::error_code ignored;
  fs::remove_all(root, ignored);
  return 0;
}
