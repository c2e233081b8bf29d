#include <fcntl.h>
// The object-path calls read an item without a proxy per item.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform.h"

namespace trelvo::keychain {
namespace {

constexpr const char* kLockFileName = "trelvo-keychain.lock";
constexpr const char* kAccessible = "after-first-unlock-this-device-only";
constexpr const char* kUserBusName = "bus";
// Searches a read makes when the item it found goes away before it is read.
constexpr int kLookups = 2;

// Items are matched on `service` and `account` alone: no schema name is stored or required, so
// items stay found after the daemon restarts and items other tools stored with the same attributes
// are found too.
const SecretSchema kSchema = {"com.trelvo.pro.Keychain",
                              SECRET_SCHEMA_DONT_MATCH_NAME,
                              {
                                  {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"accessible", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                              },
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

// A cancellable that a watchdog thread cancels once `limit` has passed: libsecret's synchronous
// calls take no timeout of their own, and GDBus would wait 25 s for a silent service.
class CancelAfter {
 public:
  explicit CancelAfter(std::chrono::milliseconds limit)
      : cancellable_(g_cancellable_new()), thread_([this, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
            g_cancellable_cancel(cancellable_);
          }
        }) {}
  ~CancelAfter() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
    g_object_unref(cancellable_);
  }
  CancelAfter(const CancelAfter&) = delete;
  CancelAfter& operator=(const CancelAfter&) = delete;

  GCancellable* get() const { return cancellable_; }

 private:
  GCancellable* cancellable_;
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;  // last: it uses the members above
};

// The budget of one store operation: a CancelAfter that can be started afresh. The time a user
// spends answering an unlock prompt is not the service's, so the calls after a successful unlock
// get a full budget of their own instead of one that ran out while the prompt was open.
class Budget {
 public:
  explicit Budget(std::chrono::milliseconds limit) : limit_(limit) { cancel_.emplace(limit_); }
  GCancellable* get() const { return cancel_->get(); }
  void renew() {
    cancel_.reset();
    cancel_.emplace(limit_);
  }

 private:
  std::chrono::milliseconds limit_;
  std::optional<CancelAfter> cancel_;
};

// Owns a null-terminated array of object paths.
class Paths {
 public:
  Paths() = default;
  explicit Paths(gchar** paths) : paths_(paths) {}
  ~Paths() { g_strfreev(paths_); }
  Paths(const Paths&) = delete;
  Paths& operator=(const Paths&) = delete;
  void reset(gchar** paths) {
    g_strfreev(paths_);
    paths_ = paths;
  }
  gchar** get() const { return paths_; }
  bool empty() const { return !paths_ || !paths_[0]; }
  bool contains(const gchar* path) const {
    for (gchar** p = paths_; p && *p; ++p) {
      if (std::strcmp(*p, path) == 0) return true;
    }
    return false;
  }

 private:
  gchar** paths_ = nullptr;
};

Status statusOf(GError* error) {
  Status status = kNotAvailable;
  if (error && error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) {
    status = kInteractionNotAllowed;
  }
  g_clear_error(&error);
  return status;
}

GHashTable* attributesFor(const ItemQuery& query) {
  GHashTable* attributes = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
  g_hash_table_insert(attributes, g_strdup("service"), g_strdup(query.service.c_str()));
  g_hash_table_insert(attributes, g_strdup("account"), g_strdup(query.account.c_str()));
  return attributes;
}

// Opens (creating it) the private folder for the lock file: owned by this user and closed to
// everyone else, or -1.
int openPrivateDirectory(const std::string& path, bool create) {
  if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int openLockDirectory(const std::string& configured) {
  if (!configured.empty()) return openPrivateDirectory(configured, false);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') {
    const int fd = openPrivateDirectory(runtime, false);
    if (fd >= 0) return fd;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp && tmp[0] == '/') ? tmp : "/tmp";
  return openPrivateDirectory(base + "/trelvo-keychain-" + std::to_string(::geteuid()), true);
}

class SecretServiceStore : public ItemStore {
 public:
  explicit SecretServiceStore(const SecretStoreOptions& options) : options_(options) {}
  ~SecretServiceStore() override {
    if (lock_fd_ >= 0) ::close(lock_fd_);
    if (service_) g_object_unref(service_);
  }
  SecretServiceStore(const SecretServiceStore&) = delete;
  SecretServiceStore& operator=(const SecretServiceStore&) = delete;

  // Reads by object path, without a proxy per item: one search and one GetSecrets call in the
  // common case of a single matching item.
  Status itemCopyMatching(const ItemQuery& query, std::string* data) override {
    if (!queryIsStorable(query)) return kParameterError;
    Budget cancel(options_.callTimeout);
    // Another run may delete the item between the search and the read. An item gone by then is
    // no failure: another match is looked for once more, and none is a missing item.
    for (int lookup = 1;; ++lookup) {
      std::string failedPath;
      const Status status = readNewest(query, cancel, data, &failedPath);
      if (status == kSuccess || status == kItemNotFound || failedPath.empty()) return status;
      if (const Status s = unlessGone(query, cancel, failedPath.c_str(), status);
          s != kItemNotFound) {
        return s;
      }
      if (lookup == kLookups) return kItemNotFound;
    }
  }

  Status itemUpdate(const ItemQuery& query, const std::string& data) override {
    if (!queryIsStorable(query)) return kParameterError;
    Budget cancel(options_.callTimeout);
    Paths paths;
    if (const Status s = searchPaths(query, cancel, &paths); s != kSuccess) return s;
    SecretValue* value =
        secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain");
    Status status = kItemNotFound;
    for (gchar** p = paths.get(); *p; ++p) {
      GError* error = nullptr;
      SecretItem* item =
          secret_item_new_for_dbus_path_sync(service_, *p, SECRET_ITEM_NONE, cancel.get(), &error);
      const bool done = item && secret_item_set_secret_sync(item, value, cancel.get(), &error);
      if (item) g_object_unref(item);
      if (done) {
        status = kSuccess;
        continue;
      }
      // An item gone since the search holds nothing to update; when every match has gone the
      // answer is -25300, and the caller adds the item afresh.
      if (const Status s = unlessGone(query, cancel, *p, statusOf(error)); s != kItemNotFound) {
        status = s;
        break;
      }
    }
    secret_value_unref(value);
    return status;
  }

  Status itemAdd(const NewItem& item) override {
    if (!queryIsStorable(item.query)) return kParameterError;
    Budget cancel(options_.callTimeout);
    Paths existing;
    const Status s = searchPaths(item.query, cancel, &existing);
    if (s == kSuccess) return kDuplicateItem;
    if (s != kItemNotFound) return s;

    GError* error = nullptr;
    SecretCollection* collection = secret_collection_for_alias_sync(
        service_, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancel.get(), &error);
    if (!collection) return statusOf(error);
    if (secret_collection_get_locked(collection)) {
      GList one{collection, nullptr, nullptr};
      const Status unlocked = unlock(&one, 1);
      if (unlocked != kSuccess) {
        g_object_unref(collection);
        return unlocked;
      }
      cancel.renew();
    }
    GHashTable* attributes = attributesFor(item.query);
    g_hash_table_insert(attributes, g_strdup("accessible"), g_strdup(kAccessible));
    SecretValue* value =
        secret_value_new(item.data.data(), static_cast<gssize>(item.data.size()), "text/plain");
    // The label is the service, as a generic password without a label of its own shows it.
    SecretItem* created =
        secret_item_create_sync(collection, &kSchema, attributes, item.query.service.c_str(), value,
                                SECRET_ITEM_CREATE_NONE, cancel.get(), &error);
    secret_value_unref(value);
    g_hash_table_unref(attributes);
    g_object_unref(collection);
    if (!created) return statusOf(error);
    g_object_unref(created);
    return kSuccess;
  }

  Status itemDelete(const ItemQuery& query) override {
    if (!queryIsStorable(query)) return kParameterError;
    Budget cancel(options_.callTimeout);
    Paths paths;
    if (const Status s = searchPaths(query, cancel, &paths); s != kSuccess) return s;
    for (gchar** p = paths.get(); *p; ++p) {
      GError* error = nullptr;
      if (secret_service_delete_item_dbus_path_sync(service_, *p, cancel.get(), &error)) continue;
      // An item another run deleted since the search is gone, as this run was to leave it.
      if (const Status s = unlessGone(query, cancel, *p, statusOf(error)); s != kItemNotFound) {
        return s;
      }
    }
    return kSuccess;
  }

  Status lockWrites() override {
    if (lock_fd_ < 0) {
      const int dir = openLockDirectory(options_.lockDirectory);
      if (dir < 0) return kIOFailure;
      lock_fd_ = ::openat(dir, kLockFileName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      ::close(dir);
      if (lock_fd_ < 0) return kIOFailure;
    }
    // Polled rather than blocking, so a run that holds the lock too long cannot stall this one
    // beyond its budget.
    const auto deadline = std::chrono::steady_clock::now() + options_.lockTimeout;
    while (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return kIOFailure;
      if (std::chrono::steady_clock::now() >= deadline) return kIOFailure;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return kSuccess;
  }

  void unlockWrites() override {
    if (lock_fd_ >= 0) (void)::flock(lock_fd_, LOCK_UN);
  }

 private:
  // Connects to the Secret Service on the user's session bus. Without a known bus nothing is
  // contacted: GLib would otherwise launch a bus of its own (and with it a keyring daemon) that
  // outlives this short run.
  Status connect(GCancellable* cancellable) {
    if (service_) return kSuccess;
    const char* configured = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!configured || configured[0] == '\0') {
      const std::string address = sessionBusAddressFromEnvironment();
      if (address.empty()) return kNotAvailable;
      // Named explicitly, so GLib connects there or fails, and never falls back to launching one.
      // No other thread of this process reads the environment while no connection exists.
      if (::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1) != 0) return kNotAvailable;
    }
    GError* error = nullptr;
    service_ = secret_service_get_sync(SECRET_SERVICE_NONE, cancellable, &error);
    return service_ ? kSuccess : statusOf(error);
  }

  // The data of the most recently changed item matching the query. When a call about one item
  // fails, its path is left in *failedPath, so the caller can tell a failure from an item that
  // went away since the search.
  Status readNewest(const ItemQuery& query, Budget& cancel, std::string* data,
                    std::string* failedPath) {
    Paths paths;
    if (const Status s = searchPaths(query, cancel, &paths); s != kSuccess) return s;
    const gchar* path = paths.get()[0];
    if (paths.get()[1]) {
      // More than one item can match (another tool, or an earlier run without the lock): the most
      // recently changed one holds the value last written.
      guint64 newest = 0;
      for (gchar** p = paths.get(); *p; ++p) {
        GError* error = nullptr;
        SecretItem* item = secret_item_new_for_dbus_path_sync(service_, *p, SECRET_ITEM_NONE,
                                                              cancel.get(), &error);
        if (!item) {
          *failedPath = *p;
          return statusOf(error);
        }
        const guint64 modified = secret_item_get_modified(item);
        g_object_unref(item);
        if (p == paths.get() || modified > newest) {
          newest = modified;
          path = *p;
        }
      }
    }
    GError* error = nullptr;
    SecretValue* value =
        secret_service_get_secret_for_dbus_path_sync(service_, path, cancel.get(), &error);
    if (!value) {
      *failedPath = path;
      return error ? statusOf(error) : kNotAvailable;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    data->assign(bytes ? bytes : "", bytes ? length : 0);
    secret_value_unref(value);
    return kSuccess;
  }

  // Whether the item at `path` still matches the query: 0 while it does, -25300 once it has gone,
  // the search's failure when the search fails. Locked matches count; nothing is unlocked.
  Status stillMatching(const ItemQuery& query, GCancellable* cancellable, const gchar* path) {
    Paths unlocked;
    Paths locked;
    if (const Status s = searchOnce(query, cancellable, &unlocked, &locked); s != kSuccess) {
      return s;
    }
    return unlocked.contains(path) || locked.contains(path) ? kSuccess : kItemNotFound;
  }

  // After a call about the item at `path` failed with `failure`: -25300 when the item has gone
  // since it was found (another run deleted it), else `failure` or the failure of looking.
  Status unlessGone(const ItemQuery& query, Budget& cancel, const gchar* path, Status failure) {
    const Status present = stillMatching(query, cancel.get(), path);
    if (present == kSuccess) return failure;
    return present;
  }

  // The object paths of every item matching the query, all unlocked: 0 with at least one path,
  // -25300 with none, and a failure when one of them is locked and cannot be unlocked.
  Status searchPaths(const ItemQuery& query, Budget& budget, Paths* paths) {
    if (const Status s = connect(budget.get()); s != kSuccess) return s;
    for (int attempt = 0; attempt < 2; ++attempt) {
      Paths locked;
      if (const Status s = searchOnce(query, budget.get(), paths, &locked); s != kSuccess) {
        return s;
      }
      if (locked.empty()) return paths->empty() ? kItemNotFound : kSuccess;
      // Unlocked now, they are found by searching again.
      if (attempt > 0) break;
      if (const Status s = unlockPaths(locked.get()); s != kSuccess) return s;
      budget.renew();
    }
    return kInteractionNotAllowed;
  }

  // One search of the connected service: the paths of the matching items in *unlocked and
  // *locked (either may be empty), or the search's failure with both untouched.
  Status searchOnce(const ItemQuery& query, GCancellable* cancellable, Paths* unlocked,
                    Paths* locked) {
    GHashTable* attributes = attributesFor(query);
    gchar** unlockedPaths = nullptr;
    gchar** lockedPaths = nullptr;
    GError* error = nullptr;
    const gboolean searched = secret_service_search_for_dbus_paths_sync(
        service_, &kSchema, attributes, cancellable, &unlockedPaths, &lockedPaths, &error);
    g_hash_table_unref(attributes);
    if (!searched) {
      g_strfreev(unlockedPaths);
      g_strfreev(lockedPaths);
      return statusOf(error);
    }
    unlocked->reset(unlockedPaths);
    locked->reset(lockedPaths);
    return kSuccess;
  }

  Status unlockPaths(gchar** paths) {
    if (!options_.allowPrompt) return kInteractionNotAllowed;
    CancelAfter cancel(options_.promptTimeout);
    GError* error = nullptr;
    const gint count = static_cast<gint>(g_strv_length(paths));
    const gint unlocked = secret_service_unlock_dbus_paths_sync(
        service_, const_cast<const gchar**>(paths), cancel.get(), nullptr, &error);
    if (error) return statusOf(error);
    return unlocked == count ? kSuccess : kInteractionNotAllowed;
  }

  // Unlocking needs the Secret Service's own prompt; where no display exists it would never be
  // answered, so the locked objects are a failure at once.
  Status unlock(GList* objects, int count) {
    if (!options_.allowPrompt) return kInteractionNotAllowed;
    CancelAfter cancel(options_.promptTimeout);
    GError* error = nullptr;
    const gint unlocked =
        secret_service_unlock_sync(service_, objects, cancel.get(), nullptr, &error);
    if (error) return statusOf(error);
    return unlocked == count ? kSuccess : kInteractionNotAllowed;
  }

  SecretStoreOptions options_;
  SecretService* service_ = nullptr;
  int lock_fd_ = -1;
};

void dropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}
GLogWriterOutput dropStructuredLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}
void dropPrint(const gchar*) {}

}  // namespace

std::string sessionBusAddress(const char* configured, const char* runtimeDir) {
  if (configured && configured[0] != '\0') return configured;
  // The bus socket a user session manager keeps in the runtime folder, and nothing else.
  if (!runtimeDir || runtimeDir[0] != '/') return {};
  const std::string socketPath = std::string(runtimeDir) + "/" + kUserBusName;
  struct stat st {};
  if (::stat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
  gchar* escaped = g_dbus_address_escape_value(socketPath.c_str());
  std::string address = std::string("unix:path=") + escaped;
  g_free(escaped);
  return address;
}

std::string sessionBusAddressFromEnvironment() {
  return sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
}

SecretStoreOptions secretStoreOptionsFromEnvironment() {
  SecretStoreOptions options;
  const auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] != '\0';
  };
  options.allowPrompt = set("DISPLAY") || set("WAYLAND_DISPLAY");
  return options;
}

std::unique_ptr<ItemStore> openSecretServiceStore(const SecretStoreOptions& options) {
  return std::make_unique<SecretServiceStore>(options);
}

void silenceLibraryLogging() {
  // GLib accepts a writer only once per process.
  static std::once_flag once;
  std::call_once(once, [] { g_log_set_writer_func(dropStructuredLog, nullptr, nullptr); });
  g_log_set_default_handler(dropLogMessage, nullptr);
  g_set_printerr_handler(dropPrint);
  g_set_print_handler(dropPrint);
}

}  // namespace trelvo::keychain
