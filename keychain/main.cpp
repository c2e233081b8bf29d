// TrelvoKeychain: one JSON request on standard input, one item operation on the user's Secret
// Service, the response on standard output only on success. Nothing is ever written to standard
// error; the exit status is the only report of a failure.

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "platform.h"
#include "request.h"

namespace {

int realMain() {
  using namespace trelvo::keychain;
  // A closed reader of standard output must end in a failure status, not in a signal.
  (void)std::signal(SIGPIPE, SIG_IGN);
  silenceLibraryLogging();

  const auto input = readRequest(STDIN_FILENO);
  if (!input) return static_cast<int>(ExitStatus::kRefused);
  const bool testStorage = std::getenv("TRELVO_DESKTOP_TEST_STORAGE") != nullptr;
  const auto store = openSecretServiceStore(secretStoreOptionsFromEnvironment());
  const Outcome outcome = handleRequest(*input, testStorage, *store);
  if (outcome.status == ExitStatus::kDone && !writeResponse(STDOUT_FILENO, outcome.response)) {
    return static_cast<int>(ExitStatus::kStoreFailure);
  }
  return static_cast<int>(outcome.status);
}

}  // namespace

int main() { return realMain(); }
