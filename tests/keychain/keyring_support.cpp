#include "keyring_support.h"

#include <fcntl.h>
#include <libsecret/secret.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

extern char** environ;

namespace trelvo::keychain::testing_support {
namespace {

GHashTable* attributeTable(const std::map<std::string, std::string>& attributes) {
  GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
  for (const auto& [name, value] : attributes) {
    g_hash_table_insert(table, g_strdup(name.c_str()), g_strdup(value.c_str()));
  }
  return table;
}

SecretService* service() {
  GError* error = nullptr;
  SecretService* s = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  g_clear_error(&error);
  return s;
}

GList* search(SecretService* s, const std::string& serviceName, const std::string& account) {
  GHashTable* table = attributeTable({{"service", serviceName}, {"account", account}});
  GError* error = nullptr;
  GList* items = secret_service_search_sync(
      s, nullptr, table,
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
      &error);
  g_hash_table_unref(table);
  g_clear_error(&error);
  return items;
}

}  // namespace

std::string uniqueAccount(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

std::optional<std::vector<KeyringItem>> findKeyringItems(const std::string& serviceName,
                                                         const std::string& account) {
  SecretService* s = service();
  if (!s) return std::nullopt;
  GList* items = search(s, serviceName, account);
  std::vector<KeyringItem> found;
  for (GList* l = items; l; l = l->next) {
    SecretItem* item = SECRET_ITEM(l->data);
    KeyringItem k;
    k.locked = secret_item_get_locked(item);
    GHashTable* attributes = secret_item_get_attributes(item);
    GHashTableIter it;
    gpointer name, value;
    g_hash_table_iter_init(&it, attributes);
    while (g_hash_table_iter_next(&it, &name, &value)) {
      k.attributes[static_cast<const char*>(name)] = static_cast<const char*>(value);
    }
    g_hash_table_unref(attributes);
    if (SecretValue* secret = secret_item_get_secret(item)) {
      gsize length = 0;
      const gchar* bytes = secret_value_get(secret, &length);
      k.secret = std::string(bytes, length);
      secret_value_unref(secret);
    }
    found.push_back(std::move(k));
  }
  g_list_free_full(items, g_object_unref);
  g_object_unref(s);
  return found;
}

bool removeKeyringItems(const std::string& serviceName, const std::string& account) {
  SecretService* s = service();
  if (!s) return false;
  GList* items = search(s, serviceName, account);
  bool ok = true;
  for (GList* l = items; l; l = l->next) {
    GError* error = nullptr;
    if (!secret_item_get_locked(SECRET_ITEM(l->data)) &&
        !secret_item_delete_sync(SECRET_ITEM(l->data), nullptr, &error)) {
      ok = false;
    }
    g_clear_error(&error);
  }
  g_list_free_full(items, g_object_unref);
  g_object_unref(s);
  return ok;
}

bool storeKeyringItem(const std::map<std::string, std::string>& attributes,
                      const std::string& secret) {
  SecretService* s = service();
  if (!s) return false;
  GError* error = nullptr;
  SecretCollection* collection = secret_collection_for_alias_sync(
      s, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
  bool ok = false;
  if (collection) {
    GHashTable* table = attributeTable(attributes);
    SecretValue* value =
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    SecretItem* item = secret_item_create_sync(collection, nullptr, table, "test item", value,
                                               SECRET_ITEM_CREATE_NONE, nullptr, &error);
    ok = item != nullptr;
    if (item) g_object_unref(item);
    secret_value_unref(value);
    g_hash_table_unref(table);
    g_object_unref(collection);
  }
  g_clear_error(&error);
  g_object_unref(s);
  return ok;
}

BareBus::BareBus() : dir_("trelvo-bus-") {
  const std::string config = dir_ / "bus.conf";
  std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir=" << dir_.path()
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string configArg = "--config-file=" + config;
  char program[] = "dbus-daemon";
  char nofork[] = "--nofork";
  char print[] = "--print-address=1";
  char* argv[] = {program, configArg.data(), nofork, print, nullptr};
  if (::posix_spawnp(&pid_, program, &actions, nullptr, argv, environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
  ::close(out[0]);
}

BareBus::~BareBus() {
  if (silent_) g_object_unref(silent_);
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    (void)::waitpid(pid_, nullptr, 0);
  }
}

bool BareBus::addSilentService() {
  GError* error = nullptr;
  silent_ = g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (!silent_) {
    g_clear_error(&error);
    return false;
  }
  g_dbus_connection_add_filter(
      silent_,
      [](GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) -> GDBusMessage* {
        if (incoming &&
            g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
          g_object_unref(message);
          return nullptr;
        }
        return message;
      },
      nullptr, nullptr);
  GVariant* owned = g_dbus_connection_call_sync(
      silent_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", "org.freedesktop.secrets", 4u), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (!owned) {
    g_clear_error(&error);
    return false;
  }
  g_variant_unref(owned);
  return true;
}

}  // namespace trelvo::keychain::testing_support
