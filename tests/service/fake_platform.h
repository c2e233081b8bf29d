// A Platform for unit tests: the file-system questions go to the real disk (the tests build real
// trees in temporary folders); the executable path, environment, home directory, allocation,
// hand-over and output are in memory, recorded, and can be made to fail.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace trelvo::service::testing {

class FakePlatform : public Platform {
 public:
  struct Execution {
    std::string path;
    std::size_t entries = 0;                         // size of the allocated vector
    std::vector<std::optional<std::string>> vector;  // every entry, null ones as nothing
    std::map<std::string, std::string> environment;  // at the moment of the hand-over
  };

  std::optional<std::string> selfPath;
  std::optional<std::string> home = std::string("/home/tester");
  std::map<std::string, std::string> environment;
  int failAllocationAt = 0;  // fail the Nth allocation (1-based); 0: never

  std::vector<std::string> environmentCalls;  // "set NAME=VALUE", "unset NAME", "get NAME"
  std::vector<Execution> executions;
  std::string output;
  int allocations = 0;
  int releases = 0;

  std::optional<std::string> executablePath() override { return selfPath; }
  bool isSymbolicLink(const std::string& path) override { return disk_.isSymbolicLink(path); }
  std::optional<std::string> readLink(const std::string& path) override {
    return disk_.readLink(path);
  }
  // The running executable is the file at `selfPath`, not this test program.
  bool isOwnExecutable(const std::string& path) override {
    struct stat candidate {};
    struct stat self {};
    return selfPath && ::stat(path.c_str(), &candidate) == 0 &&
           ::stat(selfPath->c_str(), &self) == 0 && candidate.st_dev == self.st_dev &&
           candidate.st_ino == self.st_ino;
  }
  std::optional<std::string> readFile(const std::string& path, std::size_t limit) override {
    return disk_.readFile(path, limit);
  }
  std::optional<std::string> homeDirectory() override { return home; }
  std::optional<std::string> getEnv(const char* name) override {
    environmentCalls.push_back(std::string("get ") + name);
    const auto found = environment.find(name);
    if (found == environment.end()) return std::nullopt;
    return found->second;
  }
  void setEnv(const char* name, const std::string& value) override {
    environmentCalls.push_back(std::string("set ") + name + "=" + value);
    environment[name] = value;
  }
  void unsetEnv(const char* name) override {
    environmentCalls.push_back(std::string("unset ") + name);
    environment.erase(name);
  }
  char** allocateVector(std::size_t entries) override {
    if (++allocations == failAllocationAt) return nullptr;
    lastEntries_ = entries;
    return static_cast<char**>(std::calloc(entries, sizeof(char*)));
  }
  void releaseVector(char** vector) override {
    ++releases;
    std::free(vector);
  }
  void execute(const std::string& path, char* const* vector) override {
    Execution execution{path, lastEntries_, {}, environment};
    for (std::size_t i = 0; i < lastEntries_; ++i) {
      execution.vector.push_back(vector[i] == nullptr ? std::nullopt
                                                      : std::optional<std::string>(vector[i]));
    }
    executions.push_back(std::move(execution));
  }
  void writeOutput(std::string_view text) override { output += text; }

 private:
  LinuxPlatform disk_;
  std::size_t lastEntries_ = 0;
};

}  // namespace trelvo::service::testing
