#include "secret_service_standin.h"

#include <utility>

namespace trelvo::keychain::testing_support {
namespace {

// The part of the Secret Service API the stand-ins offer.
constexpr const char* kIntrospection =
    "<node>"
    "<interface name='org.freedesktop.Secret.Service'>"
    "<method name='OpenSession'><arg type='s' direction='in'/><arg type='v' direction='in'/>"
    "<arg type='v' direction='out'/><arg type='o' direction='out'/></method>"
    "<method name='SearchItems'><arg type='a{ss}' direction='in'/>"
    "<arg type='ao' direction='out'/><arg type='ao' direction='out'/></method>"
    "<method name='Unlock'><arg type='ao' direction='in'/><arg type='ao' direction='out'/>"
    "<arg type='o' direction='out'/></method>"
    "<method name='GetSecrets'><arg type='ao' direction='in'/><arg type='o' direction='in'/>"
    "<arg type='a{o(oayays)}' direction='out'/></method>"
    "<method name='ReadAlias'><arg type='s' direction='in'/><arg type='o' direction='out'/>"
    "</method>"
    "</interface>"
    "<interface name='org.freedesktop.Secret.Collection'>"
    "<method name='CreateItem'><arg type='a{sv}' direction='in'/>"
    "<arg type='(oayays)' direction='in'/><arg type='b' direction='in'/>"
    "<arg type='o' direction='out'/><arg type='o' direction='out'/></method>"
    "<property name='Items' type='ao' access='read'/>"
    "<property name='Label' type='s' access='read'/>"
    "<property name='Locked' type='b' access='read'/>"
    "<property name='Created' type='t' access='read'/>"
    "<property name='Modified' type='t' access='read'/>"
    "</interface>"
    "<interface name='org.freedesktop.Secret.Item'>"
    "<method name='Delete'><arg type='o' direction='out'/></method>"
    "<method name='GetSecret'><arg type='o' direction='in'/>"
    "<arg type='(oayays)' direction='out'/></method>"
    "<method name='SetSecret'><arg type='(oayays)' direction='in'/></method>"
    "<property name='Locked' type='b' access='read'/>"
    "<property name='Attributes' type='a{ss}' access='read'/>"
    "<property name='Label' type='s' access='read'/>"
    "<property name='Created' type='t' access='read'/>"
    "<property name='Modified' type='t' access='read'/>"
    "</interface>"
    "<interface name='org.freedesktop.Secret.Prompt'>"
    "<method name='Prompt'><arg type='s' direction='in'/></method>"
    "<method name='Dismiss'/>"
    "<signal name='Completed'><arg type='b'/><arg type='v'/></signal>"
    "</interface>"
    "</node>";

}  // namespace

SecretServiceStandIn::SecretServiceStandIn(const std::string& address, std::vector<Object> objects,
                                           CallHandler onCall, PropertyHandler onProperty)
    : onCall_(std::move(onCall)), onProperty_(std::move(onProperty)) {
  std::promise<bool> started;
  auto ready = started.get_future();
  thread_ = std::thread([this, address, objects = std::move(objects), &started]() mutable {
    serve(address, std::move(objects), started);
  });
  ready_ = ready.get();
}

SecretServiceStandIn::~SecretServiceStandIn() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    if (loop_) g_main_loop_quit(loop_);
  }
  thread_.join();
}

void SecretServiceStandIn::serve(const std::string& address, std::vector<Object> objects,
                                 std::promise<bool>& started) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  GError* error = nullptr;
  connection_ = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  bool ok = connection_ && node;
  static const GDBusInterfaceVTable vtable = {
      &SecretServiceStandIn::onMethodCall, &SecretServiceStandIn::onGetProperty, nullptr, {}};
  std::vector<guint> registrations;
  for (const Object& object : objects) {
    if (!ok) break;
    GDBusInterfaceInfo* interface =
        g_dbus_node_info_lookup_interface(node, object.interface.c_str());
    const guint id =
        interface ? g_dbus_connection_register_object(connection_, object.path.c_str(), interface,
                                                      &vtable, this, nullptr, &error)
                  : 0;
    ok = id != 0;
    if (id) registrations.push_back(id);
  }
  // Registered first, named last: no client reaches the service before its objects exist.
  if (ok) {
    GVariant* owned = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.secrets", 4u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    ok = owned != nullptr;
    if (owned) g_variant_unref(owned);
  }
  g_clear_error(&error);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ok && !stopping_) loop_ = g_main_loop_new(context, FALSE);
  }
  started.set_value(ok);
  if (loop_) g_main_loop_run(loop_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loop_) g_main_loop_unref(loop_);
    loop_ = nullptr;
  }
  for (const guint id : registrations) g_dbus_connection_unregister_object(connection_, id);
  if (connection_) {
    (void)g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  if (node) g_dbus_node_info_unref(node);
  // Drains what the closed connection still queued here, then lets the context go.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

void SecretServiceStandIn::onMethodCall(GDBusConnection*, const gchar*, const gchar* path,
                                        const gchar*, const gchar* method, GVariant* parameters,
                                        GDBusMethodInvocation* invocation, gpointer self) {
  static_cast<SecretServiceStandIn*>(self)->onCall_(path, method, parameters, invocation);
}

GVariant* SecretServiceStandIn::onGetProperty(GDBusConnection*, const gchar*, const gchar* path,
                                              const gchar*, const gchar* property, GError** error,
                                              gpointer self) {
  auto* standIn = static_cast<SecretServiceStandIn*>(self);
  GVariant* value = standIn->onProperty_ ? standIn->onProperty_(path, property) : nullptr;
  if (!value) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
  }
  return value;
}

}  // namespace trelvo::keychain::testing_support
