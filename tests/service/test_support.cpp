#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace trelvo::service::testing {
namespace fs = std::filesystem;

void makeDirectories(const std::string& path) { fs::create_directories(path); }

void writeFile(const std::string& path, const std::string& contents, unsigned mode) {
  fs::create_directories(fs::path(path).parent_path());
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
    if (!file) throw std::runtime_error("cannot write " + path);
  }
  if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + path);
}

void copyFile(const std::string& from, const std::string& to, unsigned mode) {
  fs::create_directories(fs::path(to).parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  if (::chmod(to.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + to);
}

void makeLink(const std::string& target, const std::string& link) {
  fs::create_directories(fs::path(link).parent_path());
  fs::create_symlink(target, link);
}

std::string readWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

RunResult run(const std::string& program, const std::vector<std::string>& argv,
              const std::vector<std::string>& environment, const RunOptions& options) {
  test_common::TempDir capture;
  const std::string outPath = capture / "out";
  const std::string errPath = capture / "err";

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  int pipeEnds[2] = {-1, -1};
  if (options.outputIntoClosedPipe) {
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    ::close(pipeEnds[0]);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // An ignored signal stays ignored through exec: for a child that starts with SIGPIPE ignored,
  // this process ignores it while it spawns. Otherwise the child gets the default.
  struct sigaction previous {};
  bool ignoring = false;
  if (options.sigpipeIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGPIPE, &ignore, &previous) != 0) throw std::runtime_error("sigaction failed");
    ignoring = true;
  } else {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  }
  RunResult result;
  pid_t pid = -1;
  const int error =
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(), env.data());
  if (ignoring) (void)::sigaction(SIGPIPE, &previous, nullptr);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
  if (error != 0) throw std::runtime_error("cannot start " + program);
  int status = 0;
  bool limited = options.timeoutSeconds > 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
  for (;;) {
    const pid_t got = ::waitpid(pid, &status, limited ? WNOHANG : 0);
    if (got == pid) break;
    if (got < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (got != 0) continue;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      limited = false;  // the killed child is collected by the next, blocking wait
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.pid = pid;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readWholeFile(outPath);
  result.err = readWholeFile(errPath);
  return result;
}

}  // namespace trelvo::service::testing
