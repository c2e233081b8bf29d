#pragma once

// A Secret Service stand-in for the whole-program tests: owns org.freedesktop.secrets on a private
// bus and serves the objects it is given from a thread of its own, each call answered by the
// test's handler. It lets a test script what the service does at a chosen moment, which a real
// keyring daemon never does on demand.

#include <gio/gio.h>

#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trelvo::keychain::testing_support {

inline constexpr const char* kSecretServicePath = "/org/freedesktop/secrets";

class SecretServiceStandIn {
 public:
  // An object to serve: its path and one interface of the Secret Service API
  // ("org.freedesktop.Secret.Service", "...Collection", "...Item" or "...Prompt").
  struct Object {
    std::string path;
    std::string interface;
  };
  // Both run on the serving thread. A call handler answers the invocation (or keeps it to answer
  // later); a property handler returns a new value of the declared type, never null.
  using CallHandler = std::function<void(const std::string& path, const std::string& method,
                                         GVariant* parameters, GDBusMethodInvocation* invocation)>;
  using PropertyHandler =
      std::function<GVariant*(const std::string& path, const std::string& property)>;

  // Connects to the bus at `address`, serves `objects` and takes the service's name; ready()
  // tells whether all of that worked. The handlers must stay usable until this object is gone.
  SecretServiceStandIn(const std::string& address, std::vector<Object> objects, CallHandler onCall,
                       PropertyHandler onProperty = {});
  ~SecretServiceStandIn();
  SecretServiceStandIn(const SecretServiceStandIn&) = delete;
  SecretServiceStandIn& operator=(const SecretServiceStandIn&) = delete;

  bool ready() const { return ready_; }
  // The service's connection, for signals emitted from a handler.
  GDBusConnection* connection() const { return connection_; }

 private:
  void serve(const std::string& address, std::vector<Object> objects, std::promise<bool>& started);
  static void onMethodCall(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                           const gchar* method, GVariant* parameters,
                           GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                                 const gchar* property, GError** error, gpointer self);

  CallHandler onCall_;
  PropertyHandler onProperty_;
  std::mutex mutex_;
  GMainLoop* loop_ = nullptr;
  bool stopping_ = false;
  bool ready_ = false;
  GDBusConnection* connection_ = nullptr;
  std::thread thread_;  // last: it uses the members above
};

}  // namespace trelvo::keychain::testing_support
