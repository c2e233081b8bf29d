#pragma once

// Access to the private keyring that scripts/test.sh starts for the tests. Without it the
// real-keyring tests skip, except under CI, where they must run.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace trelvo::keychain::testing_support {

inline bool keyringAvailable() { return std::getenv("TRELVO_TEST_KEYRING") != nullptr; }

inline bool underCI() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Skips or fails the current test when no private keyring was started.
#define TRELVO_REQUIRE_TEST_KEYRING()                                                     \
  do {                                                                                    \
    if (!::trelvo::keychain::testing_support::keyringAvailable()) {                       \
      if (::trelvo::keychain::testing_support::underCI()) {                               \
        FAIL() << "TRELVO_TEST_KEYRING is not set under CI: run through scripts/test.sh"; \
      }                                                                                   \
      GTEST_SKIP() << "no private keyring: run through scripts/test.sh";                  \
    }                                                                                     \
  } while (0)

// A name no other test or run uses.
std::string uniqueAccount(const std::string& prefix);

// An item of the keyring as another Secret Service client sees it.
struct KeyringItem {
  std::map<std::string, std::string> attributes;
  std::optional<std::string> secret;  // none when the item is locked
  bool locked = false;
};

// Every item with these `service` and `account` attributes, in any collection; nothing when the
// keyring cannot be searched.
std::optional<std::vector<KeyringItem>> findKeyringItems(const std::string& service,
                                                         const std::string& account);

// Removes every unlocked item with these attributes; false on failure.
bool removeKeyringItems(const std::string& service, const std::string& account);

// Stores an item with exactly these attributes in the default collection; false on failure.
bool storeKeyringItem(const std::map<std::string, std::string>& attributes,
                      const std::string& secret);

// A private bus daemon with no services to activate, and optionally a client that owns the
// Secret Service's name but never answers a call. Stopped, and its folder deleted, when destroyed.
class BareBus {
 public:
  BareBus();
  ~BareBus();
  BareBus(const BareBus&) = delete;
  BareBus& operator=(const BareBus&) = delete;

  // The daemon's address; empty when it did not start.
  const std::string& address() const { return address_; }

  // Owns org.freedesktop.secrets on this bus and drops every call made to it.
  bool addSilentService();

 private:
  test_common::TempDir dir_;  // declared first: deleted only once the daemon has ended
  std::string address_;
  pid_t pid_ = -1;
  GDBusConnection* silent_ = nullptr;
};

}  // namespace trelvo::keychain::testing_support
