#pragma once

// The platform seam of the keychain bridge: the user's Secret Service as an ItemStore, and the
// silencing of the libraries' logging (nothing may reach standard error).

#include <chrono>
#include <memory>
#include <string>

#include "item_store.h"

namespace trelvo::keychain {

struct SecretStoreOptions {
  // Budget of one store operation's D-Bus calls; a service that does not answer is a failure.
  std::chrono::milliseconds callTimeout{5000};
  // Budget of an unlock prompt the user answers; prompts are tried only when `allowPrompt`.
  std::chrono::milliseconds promptTimeout{120000};
  bool allowPrompt = false;
  // How long lockWrites waits for another run holding the write lock.
  std::chrono::milliseconds lockTimeout{15000};
  // Folder of the per-user write lock file; empty: $XDG_RUNTIME_DIR when it is private, else a
  // private folder below the temporary directory.
  std::string lockDirectory;
};

// The session bus: `configured` (DBUS_SESSION_BUS_ADDRESS) when set and not empty, else the user's
// bus socket `runtimeDir`/bus (XDG_RUNTIME_DIR) when it is a socket, else "" (no bus: none is ever
// launched in its place).
std::string sessionBusAddress(const char* configured, const char* runtimeDir);
std::string sessionBusAddressFromEnvironment();

// Options from the environment: a prompt is allowed only where a display exists.
SecretStoreOptions secretStoreOptionsFromEnvironment();

// The Secret Service store of the session bus (sessionBusAddressFromEnvironment()). Nothing is
// contacted before the first operation; every failure to reach the service, and the lack of a
// session bus, is a failure status of that operation.
std::unique_ptr<ItemStore> openSecretServiceStore(const SecretStoreOptions& options);

// Drops every GLib log message and print so no library writes to standard error.
void silenceLibraryLogging();

}  // namespace trelvo::keychain
