// Whole-program tests of the built TrelvoKeychain against the private keyring of scripts/test.sh,
// and without any reachable Secret Service.

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "keyring_support.h"
#include "secret_service_standin.h"

extern char** environ;

namespace trelvo::keychain {
namespace {

using testing_support::BareBus;
using testing_support::findKeyringItems;
using testing_support::uniqueAccount;

// Changes to the inherited environment: a value sets the variable, nothing removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct ProgramRun {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
  double seconds = 0;
};

std::vector<std::string> environmentWith(const EnvChanges& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (!changes.count(name)) env.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

// A started TrelvoKeychain with pipes on its three standard streams.
class Child {
 public:
  explicit Child(const EnvChanges& changes) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> env = environmentWith(changes);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = TRELVO_KEYCHAIN_PATH;
    char* argv[] = {program, nullptr};
    start_ = std::chrono::steady_clock::now();
    if (::posix_spawn(&pid_, program, &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    for (int fd : {in_, out_, err_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }

  // Nobody reads the child's standard output any more.
  void closeOutput() {
    ::close(out_);
    out_ = -1;
  }

  // Writes `input` (as much as the child reads), closes its standard input, collects both outputs
  // and waits for the exit.
  ProgramRun finish(const std::string& input) {
    ProgramRun run;
    std::thread writer([this, &input] {
      std::size_t done = 0;
      while (done < input.size()) {
        const ssize_t n = ::write(in_, input.data() + done, input.size() - done);
        if (n <= 0) break;  // the child stopped reading
        done += static_cast<std::size_t>(n);
      }
      ::close(in_);
      in_ = -1;
    });
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = out_ >= 0 ? 2 : 1;
    while (open > 0 && ::poll(fds, 2, -1) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(n));
        } else {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    writer.join();
    int wstatus = 0;
    if (::waitpid(pid_, &wstatus, 0) == pid_ && WIFEXITED(wstatus))
      run.status = WEXITSTATUS(wstatus);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    return run;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::chrono::steady_clock::time_point start_;
};

ProgramRun runKeychain(const std::string& input, const EnvChanges& changes = {}) {
  Child child(changes);
  if (!child.started()) return ProgramRun{};
  return child.finish(input);
}

std::string request(const std::string& service, const std::string& account,
                    const std::string& action, const std::optional<std::string>& value = {}) {
  std::string r = "{\"service\":\"" + service + "\",\"account\":\"" + account + "\",\"action\":\"" +
                  action + "\"";
  if (value) r += ",\"value\":\"" + *value + "\"";
  return r + "}";
}

const EnvChanges kPlainStorage = {{"TRELVO_DESKTOP_TEST_STORAGE", std::nullopt}};

class KeychainProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    TRELVO_REQUIRE_TEST_KEYRING();
    account_ = uniqueAccount("program");
  }
  void TearDown() override {
    for (const char* s : {"com.trelvo.pro", "com.trelvo.pro.providers", "com.trelvo.pro.preview",
                          "com.trelvo.pro.preview.providers"}) {
      (void)testing_support::removeKeyringItems(s, account_);
    }
  }
  std::string account_;
};

TEST_F(KeychainProgramTest, SetGetDeleteAndMissingItems) {
  struct Step {
    std::string action;
    std::optional<std::string> value;  // JSON text of the "value" string
    std::string response;
  };
  const Step steps[] = {
      {"get", {}, "{\"value\":null}"},
      {"delete", {}, "{\"value\":null}"},
      {"set", "a/b \\u00e9", "{\"value\":null}"},
      {"get", {}, "{\"value\":\"a\\/b \xC3\xA9\"}"},
      {"set", "", "{\"value\":null}"},
      {"get", {}, "{\"value\":\"\"}"},
      {"delete", {}, "{\"value\":null}"},
      {"get", {}, "{\"value\":null}"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.action + " " + step.value.value_or("-"));
    const ProgramRun run = runKeychain(
        request("com.trelvo.pro.providers", account_, step.action, step.value), kPlainStorage);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, step.response);
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(KeychainProgramTest, CreatedItemCarriesTheAttributes) {
  ASSERT_EQ(runKeychain(request("com.trelvo.pro", account_, "set", "s"), kPlainStorage).status, 0);
  const auto items = findKeyringItems("com.trelvo.pro", account_);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 1u);
  EXPECT_EQ(items->front().secret, "s");
  EXPECT_EQ(items->front().attributes.at("accessible"), "after-first-unlock-this-device-only");
}

TEST_F(KeychainProgramTest, TestStorageUsesThePreviewServices) {
  const EnvChanges testStorage = {{"TRELVO_DESKTOP_TEST_STORAGE", ""}};
  const std::pair<const char*, const char*> mapping[] = {
      {"com.trelvo.pro", "com.trelvo.pro.preview"},
      {"com.trelvo.pro.providers", "com.trelvo.pro.preview.providers"},
  };
  for (const auto& [requested, stored] : mapping) {
    SCOPED_TRACE(requested);
    ASSERT_EQ(runKeychain(request(requested, account_, "set", "preview"), testStorage).status, 0);
    EXPECT_EQ(findKeyringItems(stored, account_)->size(), 1u);
    EXPECT_EQ(findKeyringItems(requested, account_)->size(), 0u);
    EXPECT_EQ(runKeychain(request(requested, account_, "get"), testStorage).out,
              "{\"value\":\"preview\"}");
    EXPECT_EQ(runKeychain(request(requested, account_, "get"), kPlainStorage).out,
              "{\"value\":null}");
  }
  // The preview names are never accepted in a request.
  const ProgramRun refused =
      runKeychain(request("com.trelvo.pro.preview", account_, "get"), testStorage);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
}

TEST_F(KeychainProgramTest, RefusalsTouchNothing) {
  std::string big = request("com.trelvo.pro", account_, "set", "v");
  big += std::string(70000, ' ');
  const std::string cases[] = {big, "", "[]", request("com.trelvo.pro", account_, "set")};
  for (const std::string& input : cases) {
    SCOPED_TRACE(input.substr(0, 60));
    const ProgramRun run = runKeychain(input, kPlainStorage);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(findKeyringItems("com.trelvo.pro", account_)->size(), 0u);
}

// A response that cannot be delivered is a failure, not a success nobody heard of.
TEST_F(KeychainProgramTest, UnwritableOutputIsAFailure) {
  Child child(kPlainStorage);
  ASSERT_TRUE(child.started());
  child.closeOutput();
  const ProgramRun run = child.finish(request("com.trelvo.pro", account_, "get"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
}

// Twenty runs race to create one new item: the write lock makes exactly one of them add it and
// the others update it, so every run succeeds and one item remains.
TEST_F(KeychainProgramTest, ConcurrentSetsLeaveOneItem) {
  constexpr int kRuns = 20;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < kRuns; ++i) {
    children.push_back(std::make_unique<Child>(kPlainStorage));
    ASSERT_TRUE(children.back()->started());
  }
  std::vector<ProgramRun> runs(kRuns);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      runs[i] = children[i]->finish(
          request("com.trelvo.pro", account_, "set", "value-" + std::to_string(i)));
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> written;
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(runs[i].status, 0);
    EXPECT_EQ(runs[i].out, "{\"value\":null}");
    EXPECT_EQ(runs[i].err, "");
    written.insert("value-" + std::to_string(i));
  }
  const auto items = findKeyringItems("com.trelvo.pro", account_);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 1u);
  ASSERT_TRUE(items->front().secret.has_value());
  EXPECT_EQ(written.count(*items->front().secret), 1u) << *items->front().secret;
}

// Runs of different actions on one stored item at the same time, round after round. An item that
// goes away between a run's search and its read or removal is a missing item, never a failure;
// and since a delete waits for the write lock like a set, no set loses its item half way.
TEST_F(KeychainProgramTest, ConcurrentActionsOnOneItemNeverFail) {
  struct Scenario {
    const char* name;
    int gets;
    int sets;
    int deletes;
  };
  const Scenario scenarios[] = {{"gets and deletes", 10, 0, 3}, {"sets and deletes", 0, 5, 3}};
  constexpr int kRounds = 10;
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    for (int round = 0; round < kRounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      ASSERT_EQ(
          runKeychain(request("com.trelvo.pro", account_, "set", "stored"), kPlainStorage).status,
          0);
      std::vector<std::string> inputs;
      for (int i = 0; i < scenario.gets; ++i) {
        inputs.push_back(request("com.trelvo.pro", account_, "get"));
      }
      for (int i = 0; i < scenario.sets; ++i) {
        inputs.push_back(request("com.trelvo.pro", account_, "set", "value-" + std::to_string(i)));
      }
      for (int i = 0; i < scenario.deletes; ++i) {
        inputs.push_back(request("com.trelvo.pro", account_, "delete"));
      }
      std::vector<std::unique_ptr<Child>> children;
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        children.push_back(std::make_unique<Child>(kPlainStorage));
        ASSERT_TRUE(children.back()->started());
      }
      std::vector<ProgramRun> runs(inputs.size());
      std::vector<std::thread> threads;
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        threads.emplace_back([&, i] { runs[i] = children[i]->finish(inputs[i]); });
      }
      for (auto& t : threads) t.join();
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(inputs[i]);
        EXPECT_EQ(runs[i].status, 0);
        EXPECT_EQ(runs[i].err, "");
        const bool get = static_cast<int>(i) < scenario.gets;
        if (get && runs[i].out != "{\"value\":null}") {
          EXPECT_EQ(runs[i].out, "{\"value\":\"stored\"}");
        } else {
          EXPECT_EQ(runs[i].out, "{\"value\":null}");
        }
      }
      // Every run has ended: the last one to hold the lock decides what is left.
      const auto items = findKeyringItems("com.trelvo.pro", account_);
      ASSERT_TRUE(items.has_value());
      if (scenario.sets == 0) {
        EXPECT_EQ(items->size(), 0u);
      } else {
        ASSERT_LE(items->size(), 1u);
        if (!items->empty()) {
          ASSERT_TRUE(items->front().secret.has_value());
          EXPECT_EQ(items->front().secret->rfind("value-", 0), 0u) << *items->front().secret;
        }
      }
      ASSERT_TRUE(testing_support::removeKeyringItems("com.trelvo.pro", account_));
    }
  }
}

// An account holding U+0000 names no item the keyring can hold: every action fails, and the item
// of the text before the NUL is neither read, overwritten nor deleted.
TEST_F(KeychainProgramTest, AccountHoldingANulTouchesNoOtherItem) {
  ASSERT_EQ(runKeychain(request("com.trelvo.pro", account_, "set", "kept"), kPlainStorage).status,
            0);
  for (const std::string action : {"get", "set", "delete"}) {
    SCOPED_TRACE(action);
    const ProgramRun run = runKeychain(
        request("com.trelvo.pro", account_ + "\\u0000evil", action, "evil"), kPlainStorage);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
  const auto items = findKeyringItems("com.trelvo.pro", account_);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 1u);
  EXPECT_EQ(items->front().secret, "kept");
  EXPECT_EQ(runKeychain(request("com.trelvo.pro", account_, "get"), kPlainStorage).out,
            "{\"value\":\"kept\"}");
}

// ---- A locked collection, made and locked through the Secret Service itself. ----

// A collection of the private keyring with a master password of its own, so locking it leaves
// the default collection (and the tests running beside this one) alone.
class LockedCollection {
 public:
  explicit LockedCollection(const std::string& account) {
    GError* error = nullptr;
    bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus_) {
      fail(error);
      return;
    }
    GVariant* opened =
        call("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "OpenSession",
             g_variant_new("(sv)", "plain", g_variant_new_string("")));
    if (!opened) return;
    const gchar* session = nullptr;
    g_variant_get(opened, "(v&o)", nullptr, &session);
    session_ = session;
    g_variant_unref(opened);

    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string("trelvo locked test"));
    GVariant* created = call("/org/freedesktop/secrets",
                             "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                             "CreateWithMasterPassword",
                             g_variant_new("(a{sv}@(oayays))", &properties, secret("password")));
    if (!created) return;
    const gchar* path = nullptr;
    g_variant_get(created, "(&o)", &path);
    collection_ = path;
    g_variant_unref(created);

    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", "com.trelvo.pro");
    g_variant_builder_add(&attributes, "{ss}", "account", account.c_str());
    GVariantBuilder item;
    g_variant_builder_init(&item, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&item, "{sv}", "org.freedesktop.Secret.Item.Label",
                          g_variant_new_string("locked item"));
    g_variant_builder_add(&item, "{sv}", "org.freedesktop.Secret.Item.Attributes",
                          g_variant_builder_end(&attributes));
    GVariant* added = call(collection_, "org.freedesktop.Secret.Collection", "CreateItem",
                           g_variant_new("(a{sv}@(oayays)b)", &item, secret("hidden"), FALSE));
    if (!added) return;
    g_variant_unref(added);

    const char* objects[] = {collection_.c_str(), nullptr};
    GVariant* locked = call("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
                            g_variant_new("(^ao)", objects));
    if (!locked) return;
    g_variant_unref(locked);
    ready_ = true;
  }

  ~LockedCollection() {
    if (!collection_.empty()) {
      if (GVariant* v =
              call("/org/freedesktop/secrets",
                   "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                   "UnlockWithMasterPassword",
                   g_variant_new("(o@(oayays))", collection_.c_str(), secret("password")))) {
        g_variant_unref(v);
      }
      if (GVariant* v = call(collection_, "org.freedesktop.Secret.Collection", "Delete", nullptr)) {
        g_variant_unref(v);
      }
    }
    if (bus_) g_object_unref(bus_);
  }
  LockedCollection(const LockedCollection&) = delete;
  LockedCollection& operator=(const LockedCollection&) = delete;

  bool ready() const { return ready_; }
  const std::string& failure() const { return failure_; }

 private:
  void fail(GError* error) {
    failure_ = error ? error->message : "unknown failure";
    g_clear_error(&error);
  }

  GVariant* secret(const char* text) {
    return g_variant_new(
        "(o@ay@ays)", session_.c_str(), g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, text, std::strlen(text), 1), "text/plain");
  }

  GVariant* call(const std::string& path, const char* interface, const char* method,
                 GVariant* parameters) {
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(bus_, "org.freedesktop.secrets", path.c_str(),
                                                   interface, method, parameters, nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (!result) fail(error);
    return result;
  }

  GDBusConnection* bus_ = nullptr;
  std::string session_;
  std::string collection_;
  std::string failure_;
  bool ready_ = false;
};

TEST_F(KeychainProgramTest, LockedItemIsAFailureNeverMissing) {
  LockedCollection locked(account_);
  ASSERT_TRUE(locked.ready()) << locked.failure();
  // No display: the unlock prompt could never be answered, so every action fails at once.
  EnvChanges env = kPlainStorage;
  env["DISPLAY"] = std::nullopt;
  env["WAYLAND_DISPLAY"] = std::nullopt;
  for (const std::string action : {"get", "set", "delete"}) {
    SCOPED_TRACE(action);
    const ProgramRun run = runKeychain(request("com.trelvo.pro", account_, action, "v"), env);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.seconds, 10.0);
  }
  const auto items = findKeyringItems("com.trelvo.pro", account_);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 1u);
  EXPECT_TRUE(items->front().locked);
}

// ---- No Secret Service at all. ----

TEST(KeychainWithoutService, FailsWithinSeconds) {
  ::signal(SIGPIPE, SIG_IGN);
  BareBus bare;
  ASSERT_FALSE(bare.address().empty());
  BareBus silent;
  ASSERT_FALSE(silent.address().empty());
  ASSERT_TRUE(silent.addSilentService());
  const test_common::TempDir runtimeDir("trelvo-runtime-");
  const std::string& emptyRuntime = runtimeDir.path();

  struct Case {
    const char* name;
    EnvChanges env;
    bool silent = false;
  };
  const std::string missingSocket = "unix:path=" + emptyRuntime + "/no-such-socket";
  const Case cases[] = {
      {"busWithoutSecretService", {{"DBUS_SESSION_BUS_ADDRESS", bare.address()}}},
      {"missingSocket", {{"DBUS_SESSION_BUS_ADDRESS", missingSocket}}},
      {"noBusAtAll",
       {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
        {"DISPLAY", std::nullopt},
        {"XDG_RUNTIME_DIR", emptyRuntime}}},
      {"serviceThatNeverAnswers", {{"DBUS_SESSION_BUS_ADDRESS", silent.address()}}, true},
  };
  for (const Case& c : cases) {
    for (const std::string action : {"get", "set", "delete"}) {
      // A silent service costs the whole call budget each time; one action shows it.
      if (c.silent && action != "get") continue;
      SCOPED_TRACE(std::string(c.name) + " " + action);
      EnvChanges env = c.env;
      env["TRELVO_DESKTOP_TEST_STORAGE"] = std::nullopt;
      const ProgramRun run = runKeychain(request("com.trelvo.pro", "nobody", action, "v"), env);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, "");
      EXPECT_LT(run.seconds, 10.0);
    }
  }
}

// The processes named `names` whose environment holds HOME=`home`.
std::vector<pid_t> processesWithHome(const std::set<std::string>& names, const std::string& home) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  const std::string wanted = "HOME=" + home;
  while (const dirent* entry = ::readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string comm;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), comm);
    if (!names.count(comm)) continue;
    std::ifstream environment("/proc/" + pid + "/environ");
    for (std::string variable; std::getline(environment, variable, '\0');) {
      if (variable == wanted) {
        found.push_back(static_cast<pid_t>(std::stol(pid)));
        break;
      }
    }
  }
  ::closedir(proc);
  return found;
}

// The names in a folder, "." and ".." aside.
std::vector<std::string> folderEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

// No session bus address, but a display: nothing may be launched in its place (no bus, no keyring
// daemon outliving the run, nothing written to HOME), and the run fails.
TEST(KeychainWithoutService, NoBusAddressLaunchesNothing) {
  ::signal(SIGPIPE, SIG_IGN);
  const char* display = std::getenv("TRELVO_TEST_DISPLAY");
  if (!display || display[0] == '\0') {
    if (testing_support::underCI()) FAIL() << "TRELVO_TEST_DISPLAY is not set under CI";
    GTEST_SKIP() << "no test display: run through scripts/test.sh";
  }
  const test_common::TempDir homeDir("trelvo-home-");
  const test_common::TempDir runtimeDir("trelvo-runtime-");
  const std::string& home = homeDir.path();
  const std::string& runtime = runtimeDir.path();
  const EnvChanges env = {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                          {"DISPLAY", std::string(display)},
                          {"HOME", home},
                          {"XDG_RUNTIME_DIR", runtime},
                          {"TRELVO_DESKTOP_TEST_STORAGE", std::nullopt}};
  for (const std::string action : {"get", "set", "delete"}) {
    SCOPED_TRACE(action);
    const ProgramRun run = runKeychain(request("com.trelvo.pro", "nobody", action, "v"), env);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.seconds, 10.0);
  }
  // comm holds at most 15 characters.
  const std::vector<pid_t> left =
      processesWithHome({"dbus-daemon", "dbus-launch", "gnome-keyring-d"}, home);
  EXPECT_TRUE(left.empty()) << left.size() << " processes left behind";
  for (const pid_t pid : left) ::kill(pid, SIGTERM);  // started by this test's runs
  EXPECT_EQ(folderEntries(home), std::vector<std::string>{});
  // The runtime folder holds at most the write lock of "set", and no bus socket.
  for (const std::string& name : folderEntries(runtime)) EXPECT_EQ(name, "trelvo-keychain.lock");
}

// ---- Secret Services of the tests' own on a private bus. ----

// Opens a session without encryption, the only kind the stand-ins offer.
void answerOpenSession(GVariant* parameters, GDBusMethodInvocation* invocation,
                       const char* sessionPath) {
  const gchar* algorithm = nullptr;
  g_variant_get(parameters, "(&sv)", &algorithm, nullptr);
  if (std::string(algorithm) != "plain") {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.NotSupported", "plain only");
    return;
  }
  g_dbus_method_invocation_return_value(
      invocation, g_variant_new("(vo)", g_variant_new_string(""), sessionPath));
}

// Adds the secret of the item at `path`, unencrypted, to an a{o(oayays)} answer.
void addSecret(GVariantBuilder* secrets, const char* path, const char* sessionPath,
               const std::string& value) {
  g_variant_builder_add(
      secrets, "{o(o@ay@ays)}", path, sessionPath,
      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, value.data(), value.size(), 1), "text/plain");
}

// ---- An unlock prompt longer than the call budget. ----

// A minimal Secret Service on a private bus holding one locked item: an unlock goes through a
// prompt that the "user" answers after `promptDelay`, after which the item is readable.
class PromptingSecretService {
 public:
  static constexpr const char* kItemPath = "/org/freedesktop/secrets/collection/c/1";
  static constexpr const char* kPromptPath = "/org/freedesktop/secrets/prompt/p1";
  static constexpr const char* kSessionPath = "/org/freedesktop/secrets/session/s1";

  PromptingSecretService(const std::string& address, std::chrono::milliseconds promptDelay)
      : delay_(promptDelay),
        standIn_(
            address,
            {{testing_support::kSecretServicePath, "org.freedesktop.Secret.Service"},
             {kPromptPath, "org.freedesktop.Secret.Prompt"}},
            [this](const std::string&, const std::string& method, GVariant* parameters,
                   GDBusMethodInvocation* invocation) { answer(method, parameters, invocation); }) {
  }
  PromptingSecretService(const PromptingSecretService&) = delete;
  PromptingSecretService& operator=(const PromptingSecretService&) = delete;

  bool ready() const { return standIn_.ready(); }
  int prompts() const { return prompts_; }

 private:
  void answer(const std::string& method, GVariant* parameters, GDBusMethodInvocation* invocation) {
    const gchar* item[] = {kItemPath, nullptr};
    const gchar* none[] = {nullptr};
    if (method == "OpenSession") {
      answerOpenSession(parameters, invocation, kSessionPath);
    } else if (method == "SearchItems") {
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(^ao^ao)", unlocked_ ? item : none, unlocked_ ? none : item));
    } else if (method == "Unlock") {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(^aoo)", none, kPromptPath));
    } else if (method == "Prompt") {
      ++prompts_;
      g_dbus_method_invocation_return_value(invocation, nullptr);
      GSource* answer = g_timeout_source_new(static_cast<guint>(delay_.count()));
      g_source_set_callback(
          answer,
          [](gpointer data) -> gboolean {
            auto* service = static_cast<PromptingSecretService*>(data);
            service->unlocked_ = true;
            const gchar* unlocked[] = {kItemPath, nullptr};
            g_dbus_connection_emit_signal(
                service->standIn_.connection(), nullptr, kPromptPath,
                "org.freedesktop.Secret.Prompt", "Completed",
                g_variant_new("(bv)", FALSE, g_variant_new_objv(unlocked, -1)), nullptr);
            return G_SOURCE_REMOVE;
          },
          this, nullptr);
      g_source_attach(answer, g_main_context_get_thread_default());
      g_source_unref(answer);
    } else if (method == "GetSecrets") {
      GVariantBuilder secrets;
      g_variant_builder_init(&secrets, G_VARIANT_TYPE("a{o(oayays)}"));
      addSecret(&secrets, kItemPath, kSessionPath, "hidden");
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(a{o(oayays)})", &secrets));
    } else {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.NotSupported", "not offered");
    }
  }

  std::chrono::milliseconds delay_;
  // Touched only on the service's thread until it is stopped.
  bool unlocked_ = false;
  std::atomic<int> prompts_{0};
  testing_support::SecretServiceStandIn standIn_;  // last: it serves with the members above
};

// The user takes longer to answer the unlock prompt than one call's budget: the calls after the
// unlock get a budget of their own, so the run still reads the item.
TEST(KeychainUnlockPrompt, CallsAfterASlowPromptStillRun) {
  ::signal(SIGPIPE, SIG_IGN);
  BareBus bus;
  ASSERT_FALSE(bus.address().empty());
  // Longer than the program's 5 s budget of one operation.
  PromptingSecretService service(bus.address(), std::chrono::milliseconds(5500));
  ASSERT_TRUE(service.ready());
  // libsecret's prompt leaks two small blocks inside GIO (tests/lsan.supp); under the sanitizers
  // the full allocation stack is kept so that suppression can recognise them.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      (asan && asan[0] != '\0' ? std::string(asan) + ":" : std::string()) +
      "fast_unwind_on_malloc=0";
  const EnvChanges env = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                          {"DISPLAY", std::string(":trelvo-prompt-test")},
                          {"ASAN_OPTIONS", asanOptions},
                          {"TRELVO_DESKTOP_TEST_STORAGE", std::nullopt}};
  const ProgramRun run = runKeychain(request("com.trelvo.pro", "alice", "get"), env);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "{\"value\":\"hidden\"}");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(service.prompts(), 1);
}

// ---- An item that changes between a run's search and its next call about it. ----

// A Secret Service whose default collection holds one unlocked item (service com.trelvo.pro,
// account alice, secret "stored"). At the first call of the scripted method about that item, the
// item goes away or becomes locked: that call fails as a service answers it then, and every later
// search shows the change. What a client creates is kept, with its attributes and secret.
class ChangingSecretService {
 public:
  enum class Change { kVanishes, kLocks };
  struct Script {
    const char* trigger;  // "GetSecrets", "Delete" or "SetSecret"
    Change change;
    // GetSecrets leaves a vanished item out of its answer instead of answering an error.
    bool leftOut = false;
  };
  struct CreatedItem {
    std::map<std::string, std::string> attributes;
    std::string secret;
  };
  static constexpr const char* kService = "com.trelvo.pro";
  static constexpr const char* kAccount = "alice";

  ChangingSecretService(const std::string& address, const Script& script)
      : script_(script),
        standIn_(
            address,
            {{testing_support::kSecretServicePath, "org.freedesktop.Secret.Service"},
             {kCollectionPath, "org.freedesktop.Secret.Collection"},
             {kItemPath, "org.freedesktop.Secret.Item"},
             {kCreatedPath, "org.freedesktop.Secret.Item"}},
            [this](const std::string& path, const std::string& method, GVariant* parameters,
                   GDBusMethodInvocation* invocation) {
              std::lock_guard<std::mutex> lock(mutex_);
              answer(path, method, parameters, invocation);
            },
            [this](const std::string& path, const std::string& property) {
              std::lock_guard<std::mutex> lock(mutex_);
              return propertyOf(path, property);
            }) {}
  ChangingSecretService(const ChangingSecretService&) = delete;
  ChangingSecretService& operator=(const ChangingSecretService&) = delete;

  bool ready() const { return standIn_.ready(); }
  // Whether the scripted call came, and changed the item.
  bool changed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changed_;
  }
  std::optional<CreatedItem> created() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return created_;
  }

 private:
  static constexpr const char* kCollectionPath = "/org/freedesktop/secrets/collection/login";
  static constexpr const char* kItemPath = "/org/freedesktop/secrets/collection/login/1";
  static constexpr const char* kCreatedPath = "/org/freedesktop/secrets/collection/login/2";
  static constexpr const char* kSessionPath = "/org/freedesktop/secrets/session/s1";

  static std::map<std::string, std::string> stringMap(GVariant* dictionary) {
    std::map<std::string, std::string> map;
    GVariantIter iter;
    const gchar* name = nullptr;
    const gchar* value = nullptr;
    g_variant_iter_init(&iter, dictionary);
    while (g_variant_iter_next(&iter, "{&s&s}", &name, &value)) map[name] = value;
    return map;
  }

  static GVariant* stringDictionary(const std::map<std::string, std::string>& map) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
    for (const auto& [name, value] : map) {
      g_variant_builder_add(&builder, "{ss}", name.c_str(), value.c_str());
    }
    return g_variant_builder_end(&builder);
  }

  static bool matches(const std::map<std::string, std::string>& wanted,
                      const std::map<std::string, std::string>& attributes) {
    for (const auto& [name, value] : wanted) {
      const auto found = attributes.find(name);
      if (found == attributes.end() || found->second != value) return false;
    }
    return true;
  }

  const std::map<std::string, std::string>& itemAttributes() const {
    static const std::map<std::string, std::string> attributes = {{"service", kService},
                                                                  {"account", kAccount}};
    return attributes;
  }

  // The scripted change, once, at the first call of the scripted method about the item.
  bool changesNow(const std::string& method) {
    if (changed_ || method != script_.trigger) return false;
    changed_ = true;
    if (script_.change == Change::kVanishes) {
      present_ = false;
    } else {
      locked_ = true;
    }
    return true;
  }

  static void fail(GDBusMethodInvocation* invocation, Change change) {
    if (change == Change::kVanishes) {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.Secret.Error.NoSuchObject", "no such item");
    } else {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.Secret.Error.IsLocked", "the item is locked");
    }
  }

  void answer(const std::string& path, const std::string& method, GVariant* parameters,
              GDBusMethodInvocation* invocation) {
    if (method == "OpenSession") {
      answerOpenSession(parameters, invocation, kSessionPath);
    } else if (method == "SearchItems") {
      GVariant* wanted = g_variant_get_child_value(parameters, 0);
      const auto attributes = stringMap(wanted);
      g_variant_unref(wanted);
      std::vector<const gchar*> unlocked;
      std::vector<const gchar*> locked;
      if (present_ && matches(attributes, itemAttributes())) {
        (locked_ ? locked : unlocked).push_back(kItemPath);
      }
      if (created_ && matches(attributes, created_->attributes)) unlocked.push_back(kCreatedPath);
      unlocked.push_back(nullptr);
      locked.push_back(nullptr);
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(^ao^ao)", unlocked.data(), locked.data()));
    } else if (method == "GetSecrets") {
      const gchar** paths = nullptr;
      g_variant_get(parameters, "(^a&o&o)", &paths, nullptr);
      GVariantBuilder secrets;
      g_variant_builder_init(&secrets, G_VARIANT_TYPE("a{o(oayays)}"));
      bool failed = false;
      for (const gchar** p = paths; *p && !failed; ++p) {
        if (std::strcmp(*p, kItemPath) != 0) continue;
        if (changesNow(method)) {
          // Left out, the vanished item is simply missing from the answer.
          if (!script_.leftOut) {
            fail(invocation, script_.change);
            failed = true;
          }
        } else if (locked_) {
          fail(invocation, Change::kLocks);
          failed = true;
        } else if (present_) {
          addSecret(&secrets, kItemPath, kSessionPath, "stored");
        }
      }
      g_free(paths);
      if (failed) {
        g_variant_builder_clear(&secrets);
        return;
      }
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(a{o(oayays)})", &secrets));
    } else if (method == "ReadAlias") {
      const gchar* name = nullptr;
      g_variant_get(parameters, "(&s)", &name);
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(o)", std::string(name) == "default" ? kCollectionPath : "/"));
    } else if (method == "CreateItem") {
      GVariant* properties = g_variant_get_child_value(parameters, 0);
      GVariant* secret = g_variant_get_child_value(parameters, 1);
      CreatedItem item;
      if (GVariant* attributes = g_variant_lookup_value(
              properties, "org.freedesktop.Secret.Item.Attributes", G_VARIANT_TYPE("a{ss}"))) {
        item.attributes = stringMap(attributes);
        g_variant_unref(attributes);
      }
      GVariant* bytes = g_variant_get_child_value(secret, 2);
      gsize length = 0;
      const auto* data =
          static_cast<const char*>(g_variant_get_fixed_array(bytes, &length, sizeof(char)));
      item.secret.assign(data ? data : "", data ? length : 0);
      g_variant_unref(bytes);
      g_variant_unref(secret);
      g_variant_unref(properties);
      created_ = std::move(item);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(oo)", kCreatedPath, "/"));
    } else if (path == kItemPath && (method == "Delete" || method == "SetSecret")) {
      if (changesNow(method)) {
        fail(invocation, script_.change);
      } else if (!present_) {
        fail(invocation, Change::kVanishes);
      } else if (locked_) {
        fail(invocation, Change::kLocks);
      } else if (method == "Delete") {
        present_ = false;
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", "/"));
      } else {
        g_dbus_method_invocation_return_value(invocation, nullptr);
      }
    } else {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.NotSupported", "not offered");
    }
  }

  GVariant* propertyOf(const std::string& path, const std::string& property) const {
    if (property == "Label") return g_variant_new_string("an item");
    if (property == "Created" || property == "Modified") return g_variant_new_uint64(1);
    if (path == kCollectionPath) {
      if (property == "Locked") return g_variant_new_boolean(FALSE);
      std::vector<const gchar*> items;
      if (present_) items.push_back(kItemPath);
      if (created_) items.push_back(kCreatedPath);
      return g_variant_new_objv(items.data(), static_cast<gssize>(items.size()));
    }
    const bool item = path == kItemPath;
    if (property == "Locked") return g_variant_new_boolean(item && locked_);
    if (item) return stringDictionary(itemAttributes());
    return stringDictionary(created_ ? created_->attributes : std::map<std::string, std::string>{});
  }

  mutable std::mutex mutex_;  // the state below, between the service's thread and the test
  Script script_;
  bool present_ = true;
  bool locked_ = false;
  bool changed_ = false;
  std::optional<CreatedItem> created_;
  testing_support::SecretServiceStandIn standIn_;  // last: it serves with the members above
};

// The item found by a run's search goes away (another run deleted it) before the run's next call
// about it: a missing item, never a failure. get answers null, delete succeeds, and a set whose
// update finds its match gone adds the item afresh. An item locked in that moment instead stays a
// failure.
TEST(KeychainChangingItem, VanishedItemIsMissingAndLockedItemFails) {
  ::signal(SIGPIPE, SIG_IGN);
  using Change = ChangingSecretService::Change;
  struct Case {
    const char* name;
    const char* action;
    ChangingSecretService::Script script;
    int status;
    const char* out;
    bool adds;
  };
  const char* kNull = "{\"value\":null}";
  const Case cases[] = {
      {"GetOfAVanishedItem", "get", {"GetSecrets", Change::kVanishes}, 0, kNull, false},
      {"GetOfAVanishedItemLeftOutOfTheAnswer",
       "get",
       {"GetSecrets", Change::kVanishes, true},
       0,
       kNull,
       false},
      {"DeleteOfAVanishedItem", "delete", {"Delete", Change::kVanishes}, 0, kNull, false},
      {"SetWhoseMatchVanished", "set", {"SetSecret", Change::kVanishes}, 0, kNull, true},
      {"GetOfAnItemLockedMeanwhile", "get", {"GetSecrets", Change::kLocks}, 1, "", false},
      {"DeleteOfAnItemLockedMeanwhile", "delete", {"Delete", Change::kLocks}, 1, "", false},
      {"SetOfAnItemLockedMeanwhile", "set", {"SetSecret", Change::kLocks}, 1, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BareBus bus;
    ASSERT_FALSE(bus.address().empty());
    ChangingSecretService service(bus.address(), c.script);
    ASSERT_TRUE(service.ready());
    // No display: nothing is unlocked through a prompt.
    const EnvChanges env = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                            {"DISPLAY", std::nullopt},
                            {"WAYLAND_DISPLAY", std::nullopt},
                            {"TRELVO_DESKTOP_TEST_STORAGE", std::nullopt}};
    const std::string action = c.action;
    const ProgramRun run = runKeychain(
        request(ChangingSecretService::kService, ChangingSecretService::kAccount, action,
                action == "set" ? std::optional<std::string>("fresh") : std::nullopt),
        env);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(service.changed()) << "the run never made the scripted call";
    const auto created = service.created();
    ASSERT_EQ(created.has_value(), c.adds);
    if (created) {
      EXPECT_EQ(created->secret, "fresh");
      EXPECT_EQ(created->attributes.at("service"), ChangingSecretService::kService);
      EXPECT_EQ(created->attributes.at("account"), ChangingSecretService::kAccount);
      EXPECT_EQ(created->attributes.at("accessible"), "after-first-unlock-this-device-only");
    }
  }
}

}  // namespace
}  // namespace trelvo::keychain
