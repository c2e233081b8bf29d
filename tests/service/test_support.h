// Helpers for the launcher's tests: temporary trees, files, and running a program as a real child
// with an exact argument vector and environment.
#pragma once

#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace trelvo::service::testing {

// Creates the parent directories and writes `contents` with the given mode.
void writeFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
void copyFile(const std::string& from, const std::string& to, unsigned mode);
void makeDirectories(const std::string& path);
void makeLink(const std::string& target, const std::string& link);
std::string readWholeFile(const std::string& path);

struct RunResult {
  int pid = -1;
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  // Killed (SIGKILL) once this many seconds have passed; 0: waited for without a limit.
  double timeoutSeconds = 0;
  // Standard output is a pipe whose reader has gone.
  bool outputIntoClosedPipe = false;
  // The program starts with SIGPIPE ignored, as from a caller that ignores it; otherwise with the
  // default disposition, whatever the test program does with the signal.
  bool sigpipeIgnored = false;
};

// Runs `program` with exactly `argv` (which may be empty: not even a program name) and exactly
// `environment`, standard output and error captured, and waits for it.
RunResult run(const std::string& program, const std::vector<std::string>& argv,
              const std::vector<std::string>& environment, const RunOptions& options = {});

}  // namespace trelvo::service::testing
