// Runs the built installer on real bundles in a temporary tree, as an unprivileged user when the
// tests run as root, in a session of its own with no terminal and no display.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace trelvo::installer::harness {

inline constexpr uid_t kUnprivilegedId = 65534;

// A temporary tree: <root>/Apps/Trelvo Pro.app, <root>/Apps/.trelvo-beta-app-1, <root>/Data.
struct Tree {
  std::string root;
  std::string apps;
  std::string bundle;
  std::string staging;
  std::string staged;
  std::string data;
  std::string handoff;
  std::string marker;
  std::string statusFile;
  std::string log;    // where the stand-ins record how they were started
  std::string procs;  // where the app stand-in records "<version> <pid> <its standard output>"
};

Tree makeTree();
// Deletes the tree, folders without permissions included; lingering stand-ins must have been
// ended first.
void removeTree(const Tree& tree);

struct BundleLayout {
  std::string version;  // "previous" or "new"
  std::string appBehaviour = "ready";
  std::string serviceBehaviour = "stopped";
  bool withService = true;
  bool appExecutable = true;
  int extraFiles = 8;  // Contents/Resources/file<i>, holding "<version> <i>"
  // Contents/Resources/locked (0555) holding "file" and "sealed" (0000), which holds "file" too:
  // folders whose entries can be removed only once the user has write permission on them.
  bool readOnlyDirectories = false;
};

void makeBundle(const std::string& path, const BundleLayout& layout);
// The version whose every file is present and unchanged at `path`; nothing otherwise.
std::optional<std::string> completeVersion(const std::string& path, int extraFiles = 8,
                                           bool readOnlyDirectories = false);

void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Gives the tree to the unprivileged user when running as root.
void handOver(const Tree& tree);

// A null-terminated array of the strings' C forms, for exec and posix_spawn; valid while the
// strings live.
std::vector<char*> cStringArray(const std::vector<std::string>& strings);

// Starts a process in a new session with stdin from /dev/null and the given outputs.
// With `stderrFd` >= 0 that descriptor is standard error instead of `stderrPath`; an empty
// `stdoutPath` starts it with its standard output closed.
pid_t spawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& stdoutPath, const std::string& stderrPath, int stderrFd = -1);
// The environment of this process without any display, plus `extra` ("NAME=value").
std::vector<std::string> testEnvironment(const Tree& tree,
                                         const std::vector<std::string>& extra = {});
// The installer's command line (or another program's), through setpriv when running as root.
std::vector<std::string> installerCommand(const std::vector<std::string>& arguments,
                                          bool unprivileged = true,
                                          const std::string& program = "");
// Waits for the process; its exit status, 128+signal when killed, or -1 after the timeout.
int waitExit(pid_t pid, double timeoutSeconds);
// Ends every process of the session led by `leader`.
void killSession(pid_t leader);

struct RunResult {
  int status = -1;
  double seconds = 0;
  std::string out;
  std::string err;
  std::vector<std::string> log;
  pid_t installerPid = -1;
  std::string handoffWritten;
};

struct RunOptions {
  std::optional<std::vector<std::string>> arguments;  // default: app pid, bundle, staging, data
  bool writeHandoff = true;
  // Default: {"pid": <installer pid>}; "{pid}" in a given text becomes the installer's pid.
  std::optional<std::string> handoffContent;
  double appRunsFor = 0.3;  // the stand-in desktop application quits after this
  double timeoutSeconds = 120;
  int stderrFd = -1;          // the installer's standard error, instead of a file
  bool stdoutClosed = false;  // the installer starts with its standard output closed
  // Called once the installer has ended, while what it started still runs.
  std::function<void(const RunResult&)> afterExit;
};

// One start of the app stand-in, as it recorded it.
struct AppStart {
  std::string version;
  pid_t pid = -1;
  std::string output;  // what its standard output was ("" when closed)
};
std::vector<AppStart> appStarts(const Tree& tree);

// Starts the desktop application stand-in and the installer, hands over, and waits for the end.
RunResult runInstaller(const Tree& tree, const RunOptions& options = {});

}  // namespace trelvo::installer::harness
