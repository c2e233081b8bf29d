#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/temp_dir.h"

extern char** environ;

namespace trelvo::installer::harness {

namespace fs = std::filesystem;

namespace {

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void check(bool ok, const std::string& what) {
  if (!ok) {
    // Harness failures are setup faults of the test machine; make them loud.
    std::fprintf(stderr, "installer test harness: %s failed: %s\n", what.c_str(),
                 std::strerror(errno));
    std::abort();
  }
}

}  // namespace

Tree makeTree() {
  const std::optional<std::string> root = test_common::makeTempDirectory("trelvo-installer-");
  check(root.has_value(), "mkdtemp");
  // Open to the unprivileged user the installer runs as under root.
  check(chmod(root->c_str(), 0755) == 0, "chmod");
  Tree t;
  t.root = *root;
  t.apps = t.root + "/Apps";
  t.bundle = t.apps + "/Trelvo Pro.app";
  t.staging = t.apps + "/.trelvo-beta-app-1";
  t.staged = t.staging + "/Trelvo Pro.app";
  t.data = t.root + "/Data Dir";
  t.handoff = t.data + "/run/native-update.json";
  t.marker = t.staging + "/ready";
  t.statusFile = t.staging + "/service-status.json";
  t.log = t.root + "/log";
  t.procs = t.log + ".procs";
  fs::create_directories(t.apps);
  fs::create_directories(t.data + "/run");
  check(mkdir(t.staging.c_str(), 0700) == 0, "mkdir staging");
  writeFile(t.log, "", 0666);
  writeFile(t.procs, "", 0666);
  return t;
}

void removeTree(const Tree& tree) { test_common::removeAll(tree.root); }

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  check(chmod(path.c_str(), mode) == 0, "chmod " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

void makeBundle(const std::string& path, const BundleLayout& layout) {
  const std::string fixtures = TRELVO_INSTALLER_FIXTURES;
  writeFile(path + "/Contents/VERSION", layout.version);
  writeFile(path + "/Contents/app-behaviour", layout.appBehaviour);
  writeFile(path + "/Contents/service-behaviour", layout.serviceBehaviour);
  writeFile(path + "/Contents/MacOS/Trelvo Pro", readFile(fixtures + "/app.sh"),
            layout.appExecutable ? 0755 : 0644);
  if (layout.withService) {
    writeFile(path + "/Contents/Helpers/TrelvoService", readFile(fixtures + "/service.sh"), 0755);
  }
  for (int i = 0; i < layout.extraFiles; ++i) {
    writeFile(path + "/Contents/Resources/file" + std::to_string(i),
              layout.version + " " + std::to_string(i));
  }
  if (layout.readOnlyDirectories) {
    const std::string locked = path + "/Contents/Resources/locked";
    writeFile(locked + "/file", layout.version);
    writeFile(locked + "/sealed/file", layout.version);
    check(chmod((locked + "/sealed").c_str(), 0) == 0, "chmod sealed");
    check(chmod(locked.c_str(), 0555) == 0, "chmod locked");
  }
}

std::optional<std::string> completeVersion(const std::string& path, int extraFiles,
                                           bool readOnlyDirectories) {
  const std::string version = readFile(path + "/Contents/VERSION");
  if (version != "previous" && version != "new") return std::nullopt;
  if (!exists(path + "/Contents/MacOS/Trelvo Pro")) return std::nullopt;
  for (int i = 0; i < extraFiles; ++i) {
    if (readFile(path + "/Contents/Resources/file" + std::to_string(i)) !=
        version + " " + std::to_string(i)) {
      return std::nullopt;
    }
  }
  if (readOnlyDirectories) {
    // What lies in the closed folder cannot be read without privileges; the folder itself can be
    // looked at.
    const std::string locked = path + "/Contents/Resources/locked";
    struct stat st {};
    if (readFile(locked + "/file") != version) return std::nullopt;
    if (lstat((locked + "/sealed").c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        (st.st_mode & 07777) != 0) {
      return std::nullopt;
    }
    if (geteuid() == 0 && readFile(locked + "/sealed/file") != version) return std::nullopt;
  }
  return version;
}

void handOver(const Tree& tree) {
  if (geteuid() != 0) return;
  check(lchown(tree.root.c_str(), kUnprivilegedId, kUnprivilegedId) == 0, "lchown");
  for (const auto& entry : fs::recursive_directory_iterator(tree.root)) {
    check(lchown(entry.path().c_str(), kUnprivilegedId, kUnprivilegedId) == 0, "lchown");
  }
}

std::vector<char*> cStringArray(const std::vector<std::string>& strings) {
  std::vector<char*> array;
  for (const auto& s : strings) array.push_back(const_cast<char*>(s.c_str()));
  array.push_back(nullptr);
  return array;
}

pid_t spawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& stdoutPath, const std::string& stderrPath, int stderrFd) {
  std::vector<char*> args = cStringArray(argv);
  std::vector<char*> envp = cStringArray(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdoutPath.empty()) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0666);
  }
  if (stderrFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0666);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  errno = rc;
  check(rc == 0, "spawn " + argv[0]);
  return pid;
}

std::vector<std::string> testEnvironment(const Tree& tree, const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=") ||
        entry.starts_with("TRELVO_TEST_LOG=")) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("TRELVO_TEST_LOG=" + tree.log);
  for (const auto& e : extra) env.push_back(e);
  return env;
}

std::vector<std::string> installerCommand(const std::vector<std::string>& arguments,
                                          bool unprivileged, const std::string& program) {
  std::vector<std::string> argv;
  if (unprivileged && geteuid() == 0) {
    const std::string id = std::to_string(kUnprivilegedId);
    argv = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"};
  }
  argv.push_back(program.empty() ? std::string(TRELVO_INSTALLER_PATH) : program);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

int waitExit(pid_t pid, double timeoutSeconds) {
  const double deadline = now() + timeoutSeconds;
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    }
    if (got < 0 && errno != EINTR) return -1;
    if (now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void killSession(pid_t leader) {
  (void)kill(-leader, SIGKILL);
  (void)kill(leader, SIGKILL);
  int status = 0;
  (void)waitpid(leader, &status, WNOHANG);
}

std::vector<AppStart> appStarts(const Tree& tree) {
  std::vector<AppStart> starts;
  std::istringstream lines(readFile(tree.procs));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    AppStart start;
    long pid = -1;
    fields >> start.version >> pid;
    start.pid = static_cast<pid_t>(pid);
    std::getline(fields >> std::ws, start.output);
    starts.push_back(start);
  }
  return starts;
}

RunResult runInstaller(const Tree& tree, const RunOptions& options) {
  handOver(tree);
  const std::vector<std::string> env = testEnvironment(tree);
  // The desktop application stand-in is this process's child: once it quits it stays a zombie
  // until the installer is done, which the installer must count as gone.
  std::ostringstream quit;
  quit << options.appRunsFor;
  // It runs as the installer's user, or the installer's probe could not see it.
  const pid_t app =
      spawnProcess(installerCommand({quit.str()}, true, "sleep"), env, "/dev/null", "/dev/null");
  const std::vector<std::string> arguments = options.arguments.value_or(
      std::vector<std::string>{std::to_string(app), tree.bundle, tree.staging, tree.data});
  const std::string outPath = tree.root + "/installer.out";
  const std::string errPath = tree.root + "/installer.err";
  const double started = now();
  const pid_t installer =
      spawnProcess(installerCommand(arguments), env, options.stdoutClosed ? std::string() : outPath,
                   errPath, options.stderrFd);
  RunResult result;
  result.installerPid = installer;
  if (options.writeHandoff) {
    std::string content = options.handoffContent.value_or("{\"pid\": {pid}}");
    for (auto at = content.find("{pid}"); at != std::string::npos; at = content.find("{pid}")) {
      content.replace(at, 5, std::to_string(installer));
    }
    result.handoffWritten = content;
    writeFile(tree.handoff, content);
    if (geteuid() == 0) (void)lchown(tree.handoff.c_str(), kUnprivilegedId, kUnprivilegedId);
  }
  result.status = waitExit(installer, options.timeoutSeconds);
  result.seconds = now() - started;
  if (options.afterExit) options.afterExit(result);
  // Give what the installer started a moment to record its start before ending it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  killSession(installer);
  (void)waitExit(app, 5);
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  std::istringstream lines(readFile(tree.log));
  for (std::string line; std::getline(lines, line);) result.log.push_back(line);
  return result;
}

}  // namespace trelvo::installer::harness
