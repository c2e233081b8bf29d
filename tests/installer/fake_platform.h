// An in-memory platform for the installer's unit tests: a clock moved only by pauses, a process
// table, scripted children, a small file system and a switch that fails the Nth call.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace trelvo::installer::testing {

inline constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

inline std::int64_t seconds(double s) { return static_cast<std::int64_t>(s * 1e6 + 0.5); }

// How a scripted child behaves; times are microseconds after its launch.
struct ChildScript {
  std::int64_t runsFor = kNever;                   // ends by itself after this long
  std::int64_t termDelay = 0;                      // ends this long after SIGTERM...
  bool ignoresTerm = false;                        // ...unless it ignores it
  bool survivesKill = false;                       // SIGKILL has no effect
  std::optional<std::int64_t> createsMarkerAfter;  // creates the ready marker (from its flag)
  std::optional<std::int64_t> writesAfter;         // writes `output` to its standard output
  std::string output;
};

class FakePlatform : public Platform {
 public:
  struct Spawned {
    std::string executable;
    std::vector<std::string> arguments;
    std::optional<std::string> outputPath;
    std::int64_t launchedAt = 0;
    std::int64_t endsAt = kNever;
    ChildScript script;
  };

  // --- what a test sets up
  std::int64_t now = seconds(1000);
  uid_t euid = 501;
  pid_t ownPid = 4242;
  std::map<pid_t, std::int64_t> processGoneAt;  // the desktop application and others
  std::map<std::string, EntryInfo> entries;     // what lstat reports
  std::map<std::string, std::string> files;     // path -> content; directories end with "/"
  // What realpath answers; a path not listed is its own resolved path.
  std::map<std::string, std::optional<std::string>> realPaths;
  // Pairs of paths that name one file (a folder and a bind mount of it).
  std::set<std::pair<std::string, std::string>> sameFiles;
  std::function<ChildScript(const Spawned&)> scriptFor = [](const Spawned&) {
    return ChildScript{};
  };
  int failCall = 0;  // the 1-based call of a failable operation that fails; 0: none

  // --- what a test inspects
  std::vector<Spawned> spawned;
  std::vector<std::string> calls;  // one line per platform call, in order
  int pauses = 0;
  std::vector<std::pair<std::string, std::string>> alerts;
  std::vector<std::pair<pid_t, std::string>> signals;

  double uptime() override { return static_cast<double>(now) / 1e6; }
  void pause(unsigned microseconds) override {
    ++pauses;
    now += microseconds;
    settle();
  }
  uid_t effectiveUserId() override { return euid; }
  pid_t processId() override { return ownPid; }

  std::optional<EntryInfo> entryInfo(const std::string& path) override {
    calls.push_back("lstat " + path);
    if (failing()) return std::nullopt;
    const auto found = entries.find(path);
    if (found == entries.end()) return std::nullopt;
    return found->second;
  }

  // Not recorded in `calls`: it changes nothing and fails only as a test sets it up.
  std::optional<std::string> resolvedPath(const std::string& path) override {
    const auto found = realPaths.find(path);
    return found == realPaths.end() ? std::optional<std::string>(path) : found->second;
  }

  // Not recorded either.
  bool isSameFile(const std::string& first, const std::string& second) override {
    return sameFiles.count({first, second}) != 0 || sameFiles.count({second, first}) != 0;
  }

  bool processExists(pid_t pid) override {
    calls.push_back("probe " + std::to_string(pid));
    const auto found = processGoneAt.find(pid);
    return found != processGoneAt.end() && now < found->second;
  }

  bool exchange(const std::string& first, const std::string& second) override {
    calls.push_back("exchange " + first + " " + second);
    settle();
    if (failing() || !exists(first) || !exists(second)) return false;
    std::map<std::string, std::string> swapped;
    for (const auto& [path, content] : files) swapped[swapPrefix(path, first, second)] = content;
    files = std::move(swapped);
    return true;
  }

  void removeItem(const std::string& path) override {
    calls.push_back("remove " + path);
    settle();
    for (auto it = files.begin(); it != files.end();) {
      it = underOrAt(it->first, path) ? files.erase(it) : std::next(it);
    }
  }

  bool itemExists(const std::string& path) override {
    settle();
    return exists(path);
  }

  std::optional<std::string> readFile(const std::string& path, std::size_t limit) override {
    calls.push_back("read " + path);
    settle();
    if (failing()) return std::nullopt;
    const auto found = files.find(path);
    if (found == files.end() || found->second.size() > limit) return std::nullopt;
    return found->second;
  }

  std::optional<Child> spawn(const std::string& executable,
                             const std::vector<std::string>& arguments,
                             const std::string* outputPath) override {
    std::string line = "spawn " + executable;
    for (const auto& argument : arguments) line += " [" + argument + "]";
    calls.push_back(line);
    settle();
    if (outputPath != nullptr) files[*outputPath] = "";
    if (failing() || files.count(executable) == 0) return std::nullopt;
    Spawned child{executable, arguments, outputPath ? std::optional(*outputPath) : std::nullopt,
                  now,        kNever,    {}};
    child.script = scriptFor(child);
    if (child.script.runsFor != kNever) child.endsAt = now + child.script.runsFor;
    spawned.push_back(child);
    return Child{static_cast<pid_t>(10000 + spawned.size() - 1), false};
  }

  bool isRunning(Child& child) override {
    settle();
    const Spawned& s = spawned.at(static_cast<std::size_t>(child.pid - 10000));
    if (now >= s.endsAt) child.ended = true;
    return !child.ended;
  }

  void terminate(const Child& child) override {
    signals.emplace_back(child.pid, "TERM@" + std::to_string(now));
    Spawned& s = spawned.at(static_cast<std::size_t>(child.pid - 10000));
    if (!s.script.ignoresTerm) s.endsAt = std::min(s.endsAt, now + s.script.termDelay);
  }

  void kill(const Child& child) override {
    signals.emplace_back(child.pid, "KILL@" + std::to_string(now));
    Spawned& s = spawned.at(static_cast<std::size_t>(child.pid - 10000));
    if (!s.script.survivesKill) s.endsAt = std::min(s.endsAt, now);
  }

  void showAlert(const std::string& message, const std::string& informative) override {
    calls.push_back("alert");
    alerts.emplace_back(message, informative);
  }

  // Applies what scripted children did up to now, unless they had ended before.
  void settle() {
    for (Spawned& s : spawned) {
      const auto due = [&](const std::optional<std::int64_t>& after) {
        return after && s.launchedAt + *after <= now && s.launchedAt + *after < s.endsAt;
      };
      if (due(s.script.createsMarkerAfter)) {
        const std::string& flag = s.arguments.at(0);
        files[flag.substr(flag.find('=') + 1)] = "";
        s.script.createsMarkerAfter.reset();
      }
      if (due(s.script.writesAfter) && s.outputPath) {
        files[*s.outputPath] = s.script.output;
        s.script.writesAfter.reset();
      }
    }
  }

  bool exists(const std::string& path) const {
    for (const auto& [file, content] : files) {
      if (underOrAt(file, path)) return true;
    }
    return false;
  }

 private:
  bool failing() { return ++failableCalls_ == failCall; }

  static bool underOrAt(const std::string& file, const std::string& path) {
    return file == path || file == path + "/" || file.starts_with(path + "/");
  }

  static std::string swapPrefix(const std::string& path, const std::string& a,
                                const std::string& b) {
    if (underOrAt(path, a)) return b + path.substr(a.size());
    if (underOrAt(path, b)) return a + path.substr(b.size());
    return path;
  }

  int failableCalls_ = 0;
};

}  // namespace trelvo::installer::testing
